"""From relational tables to sampled feature batches, with NumPy only.

    python examples/from_tables.py

1. Generate three tables (customers, products, transactions) as dicts of NumPy columns;
   transactions refer to the other two through foreign keys and carry a timestamp.
2. Turn every foreign key into two edge types, one per direction, and store each as
   compressed sparse columns (colptr/row) whose neighbour runs are sorted by time.
3. Sample subgraphs around customers at given times.
4. Look up the features of every sampled node: features[t][out_node[t]].
"""

from __future__ import annotations

import numpy as np

import quorvix

DAY = 86_400  # timestamps are seconds

# child table, foreign key column, parent table
FOREIGN_KEYS = [
    ("transactions", "customer_id", "customers"),
    ("transactions", "product_id", "products"),
]
TIME_COLUMN = {"customers": "signup", "products": "listed", "transactions": "time"}


def make_tables(num_customers=300, num_products=60, num_transactions=5000, seed=0):
    """Three tables as dicts of equal-length NumPy columns; row i has primary key i."""
    rng = np.random.default_rng(seed)
    start = 1_700_000_000
    customers = {
        "signup": start + rng.integers(0, 200 * DAY, num_customers),
        "age": rng.integers(18, 90, num_customers),
        "region": rng.integers(0, 4, num_customers),
    }
    products = {
        "listed": start + rng.integers(0, 200 * DAY, num_products),
        "price": rng.gamma(2.0, 15.0, num_products).round(2),
    }
    customer_id = rng.integers(0, num_customers, num_transactions)
    product_id = rng.integers(0, num_products, num_transactions)
    product_id[rng.random(num_transactions) < 0.02] = -1  # a few rows without a product
    # A transaction happens after both its customer and its product exist.
    known = np.maximum(customers["signup"][customer_id], products["listed"][product_id])
    transactions = {
        "customer_id": customer_id,
        "product_id": product_id,
        "time": known + rng.integers(0, 120 * DAY, num_transactions),
        "quantity": rng.integers(1, 5, num_transactions),
    }
    return {"customers": customers, "products": products, "transactions": transactions}


def to_csc(neighbour, frontier, num_frontier, neighbour_time):
    """colptr/row for edges neighbour -> frontier, each frontier node's run sorted by time.

    colptr[v]:colptr[v + 1] is the run of frontier node v in row; row holds neighbour ids.
    """
    neighbour = np.asarray(neighbour, dtype=np.int64)
    frontier = np.asarray(frontier, dtype=np.int64)
    order = np.lexsort((neighbour_time[neighbour], frontier))  # last key sorts first
    colptr = np.zeros(num_frontier + 1, dtype=np.int64)
    np.cumsum(np.bincount(frontier, minlength=num_frontier), out=colptr[1:])
    return colptr, neighbour[order]


def runs_are_time_sorted(colptr, row, neighbour_time):
    """True when every run of row is in non-decreasing time order."""
    t = neighbour_time[row]
    step_back = np.flatnonzero(t[1:] < t[:-1]) + 1  # positions whose time drops
    run_starts = colptr[1:-1]
    return bool(np.isin(step_back, run_starts).all())  # drops only where a new run starts


def build_graph(tables, foreign_keys=FOREIGN_KEYS, time_column=TIME_COLUMN):
    """The six NeighborSampler arguments (without the seed) for a set of tables."""
    node_types = list(tables)
    size = {t: len(next(iter(cols.values()))) for t, cols in tables.items()}
    node_time = {t: np.asarray(tables[t][c], dtype=np.int64) for t, c in time_column.items()}
    edge_types, colptr, row = [], {}, {}
    for child, column, parent in foreign_keys:
        fk = np.asarray(tables[child][column], dtype=np.int64)
        child_id = np.flatnonzero(fk >= 0)  # a missing reference (-1) gives no edge
        parent_id = fk[child_id]
        # (neighbour type, relation, frontier type): the parent's children, then the reverse.
        for edge_type, nbr, frontier in (
            ((child, column, parent), child_id, parent_id),
            ((parent, "rev_" + column, child), parent_id, child_id),
        ):
            key = "__".join(edge_type)
            colptr[key], row[key] = to_csc(nbr, frontier, size[edge_type[2]], node_time[edge_type[0]])
            assert runs_are_time_sorted(colptr[key], row[key], node_time[edge_type[0]])
            edge_types.append(edge_type)
    return node_types, edge_types, colptr, row, node_time


def feature_matrices(tables):
    """One float32 feature matrix per table (row i = node i); ids and times left out."""
    skip = {"customer_id", "product_id", *TIME_COLUMN.values()}
    out = {}
    for t, cols in tables.items():
        kept = [np.asarray(v, dtype=np.float32) for c, v in cols.items() if c not in skip]
        out[t] = np.stack(kept, axis=1)
    return out


def sample_batch(sampler, seed_node, seed_time, num_hops=3):
    """Customers' transactions of the last 30 days, the products bought, and each product's
    three most recent transactions - none later than the seed's time."""
    window = np.array([[-30 * DAY, 0]] * num_hops, dtype=np.int64)
    num_neighbors = {
        "customers__rev_customer_id__transactions": [1] * num_hops,
        "transactions__product_id__products": [3] * num_hops,
        "products__rev_product_id__transactions": [1] * num_hops,
    }
    offsets = {"transactions__customer_id__customers": window}
    return sampler.sample(num_neighbors, offsets, "customers", seed_node, seed_time)


def to_batch(result, features):
    """Per-type feature rows, per-edge-type index pairs and per-node seed index."""
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = result
    return {
        "x": {t: features[t][out_node[t]] for t in out_node},
        "batch": out_batch,
        # Row 0: local index of the neighbour (into x[t0]); row 1: of the frontier node (x[t2]).
        "edge_index": {k: np.stack([out_row[k], out_col[k]]) for k in out_row},
        "num_sampled_nodes": num_nodes,
        "num_sampled_edges": num_edges,
    }


def main():
    tables = make_tables()
    node_types, edge_types, colptr, row, node_time = build_graph(tables)
    sampler = quorvix.NeighborSampler(node_types, edge_types, colptr, row, node_time)
    features = feature_matrices(tables)
    print("edge types:", ", ".join("__".join(e) for e in edge_types))

    # Seeds: 8 customers, each observed at a time after its signup.
    rng = np.random.default_rng(1)
    seed_node = rng.choice(len(node_time["customers"]), 8, replace=False).astype(np.int64)
    seed_time = node_time["customers"][seed_node] + 90 * DAY

    batch = to_batch(sample_batch(sampler, seed_node, seed_time), features)
    print("\nsampled features (nodes x features):")
    for t, x in batch["x"].items():
        print(f"  {t:13s} {str(x.shape):10s} per hop {batch['num_sampled_nodes'][t].tolist()}")
    print("edge index (2 x edges):")
    for k, ei in batch["edge_index"].items():
        src_type, _, dst_type = next(e for e in edge_types if "__".join(e) == k)
        # The local indices point into the feature rows of the two end types.
        assert ei.size == 0 or (ei[0].max() < len(batch["x"][src_type])
                                and ei[1].max() < len(batch["x"][dst_type]))
        print(f"  {k:42s} {str(ei.shape):8s} per hop {batch['num_sampled_edges'][k].tolist()}")
    quantity = batch["x"]["transactions"][:, 0].sum()  # the one feature column
    print(f"\nitems bought in the sampled transactions: {quantity:.0f}")


if __name__ == "__main__":
    main()
