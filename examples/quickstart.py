"""Sample two batches from a tiny shop database: users place orders, orders contain items.

    python examples/quickstart.py                # print what was sampled
    python examples/quickstart.py --plot g.png   # also draw one seed's subgraph (needs matplotlib)

The graph has three node types and four edge types, one for each direction of the two
foreign keys of the orders table. Every node has a timestamp (day of signup, listing or
order), and every node's neighbours are stored oldest first, as the sampler requires.
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

import quorvix

USER_SIGNUP_DAY = [0, 5, 12, 20]
ITEM_LISTED_DAY = [0, 0, 3, 10, 25]
ORDERS = [  # (user, item, day); order id = position in this list
    (0, 0, 2), (0, 1, 4), (1, 0, 6), (0, 2, 9), (1, 2, 11), (2, 1, 14),
    (0, 3, 15), (2, 3, 18), (1, 3, 21), (3, 4, 26), (0, 4, 28), (2, 0, 30),
]

NODE_TYPES = ["users", "orders", "items"]
# (neighbour type, relation, frontier type): sampling walks from the frontier type to the
# neighbour type, so each foreign key appears once in each direction.
EDGE_TYPES = [
    ("orders", "placed_by", "users"),      # a user's orders
    ("users", "placed", "orders"),         # the user of an order
    ("items", "contained_in", "orders"),   # the item of an order
    ("orders", "contains", "items"),       # the orders of an item
]
SHORT = {"users": "u", "orders": "o", "items": "i"}


def edge_key(edge_type: tuple[str, str, str]) -> str:
    return "__".join(edge_type)


def to_csc(neighbour, frontier, num_frontier, neighbour_time):
    """Compressed sparse columns with each frontier node's neighbours sorted by time."""
    neighbour = np.asarray(neighbour, dtype=np.int64)
    frontier = np.asarray(frontier, dtype=np.int64)
    order = np.lexsort((neighbour_time[neighbour], frontier))  # by frontier, then by time
    colptr = np.zeros(num_frontier + 1, dtype=np.int64)
    np.cumsum(np.bincount(frontier, minlength=num_frontier), out=colptr[1:])
    return colptr, neighbour[order]


def build_graph():
    """The arguments of NeighborSampler for the shop database."""
    orders = np.array(ORDERS, dtype=np.int64)
    order_id = np.arange(len(orders), dtype=np.int64)
    user, item = orders[:, 0], orders[:, 1]
    node_time = {
        "users": np.array(USER_SIGNUP_DAY, dtype=np.int64),
        "orders": orders[:, 2].copy(),
        "items": np.array(ITEM_LISTED_DAY, dtype=np.int64),
    }
    size = {t: len(node_time[t]) for t in NODE_TYPES}
    edges = {  # edge type -> (neighbour ids, frontier ids)
        ("orders", "placed_by", "users"): (order_id, user),
        ("users", "placed", "orders"): (user, order_id),
        ("items", "contained_in", "orders"): (item, order_id),
        ("orders", "contains", "items"): (order_id, item),
    }
    colptr, row = {}, {}
    for (nbr_type, rel, frontier_type), (nbr, frontier) in edges.items():
        key = edge_key((nbr_type, rel, frontier_type))
        colptr[key], row[key] = to_csc(nbr, frontier, size[frontier_type], node_time[nbr_type])
    return colptr, row, node_time


def hop_of_each_node(counts: np.ndarray) -> np.ndarray:
    """Hop in which each sampled node (in local-index order) was added; 0 for the seeds."""
    return np.repeat(np.arange(len(counts)), counts)


def report(title, result, seed_node, seed_time, node_time):
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = result
    num_hops = len(next(iter(num_edges.values())))
    print(f"\n{title}")
    print("  seeds: " + ", ".join(f"user {u} at day {t}" for u, t in zip(seed_node, seed_time)))

    print("  nodes added".ljust(32) + "".join(t.rjust(8) for t in NODE_TYPES))
    for hop in range(num_hops + 1):
        label = "seeds" if hop == 0 else f"hop {hop}"
        print(f"    {label}".ljust(32) + "".join(str(num_nodes[t][hop]).rjust(8) for t in NODE_TYPES))
    print("  edges sampled".ljust(32) + "".join(f"hop {h + 1}".rjust(8) for h in range(num_hops)))
    for key, counts in num_edges.items():
        print(f"    {key}".ljust(32) + "".join(str(c).rjust(8) for c in counts))

    # Per seed: the nodes of its own subgraph, hop by hop, as <letter><global id>@<day>.
    for b, (u, t) in enumerate(zip(seed_node, seed_time)):
        print(f"  seed {b} (user {u}, day {t}):")
        for hop in range(1, num_hops + 1):
            parts = []
            for ntype in NODE_TYPES:
                mine = (out_batch[ntype] == b) & (hop_of_each_node(num_nodes[ntype]) == hop)
                ids = out_node[ntype][mine]
                parts += [f"{SHORT[ntype]}{g}@{node_time[ntype][g]}" for g in ids]
            print(f"    hop {hop}: " + (" ".join(parts) if parts else "-"))

    # Every node reached from a seed is bounded by that seed's time, in every hop.
    latest = max(
        (int(node_time[t][g]) - int(seed_time[b]) for t in NODE_TYPES
         for g, b in zip(out_node[t], out_batch[t])),
        default=0,
    )
    print(f"  no sampled node is later than its seed's time: {'yes' if latest <= 0 else 'NO'}")
    edges = sum(len(v) for v in out_row.values())
    print(f"  total: {sum(len(v) for v in out_node.values())} nodes, {edges} edges")


def plot_seed(path, result, node_time, batch_index=0):
    """Draw one seed's sampled subgraph: one column per hop, one colour per node type."""
    try:
        import matplotlib
    except ImportError:
        sys.exit("--plot needs matplotlib: pip install matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out_row, out_col, out_node, out_batch, num_nodes, _ = result
    colours = {"users": "tab:blue", "orders": "tab:orange", "items": "tab:green"}
    position = {}  # (node type, local index) -> (x, y)
    column_fill: dict[int, int] = {}
    for ntype in NODE_TYPES:
        hops = hop_of_each_node(num_nodes[ntype])
        for local in np.flatnonzero(out_batch[ntype] == batch_index):
            hop = int(hops[local])
            y = column_fill.get(hop, 0)
            column_fill[hop] = y + 1
            position[(ntype, int(local))] = (hop, -y)

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for nbr_type, rel, frontier_type in EDGE_TYPES:
        key = edge_key((nbr_type, rel, frontier_type))
        for r, c in zip(out_row[key], out_col[key]):
            a, b = (frontier_type, int(c)), (nbr_type, int(r))
            if a in position:  # an edge joins two nodes of the same seed
                (x0, y0), (x1, y1) = position[a], position[b]
                back = x1 <= x0  # an edge to a node reached earlier: bend it so both show
                ax.annotate("", xy=(x1, y1), xytext=(x0, y0),
                            arrowprops=dict(arrowstyle="->", color="0.6", shrinkA=11, shrinkB=11,
                                            connectionstyle=f"arc3,rad={0.35 if back else 0}"))
    labelled = set()
    for (ntype, local), (x, y) in position.items():
        g = int(out_node[ntype][local])
        ax.scatter([x], [y], s=500, color=colours[ntype], zorder=3,
                   label=None if ntype in labelled else ntype)
        labelled.add(ntype)
        ax.text(x, y, f"{SHORT[ntype]}{g}\n@{node_time[ntype][g]}", ha="center", va="center",
                fontsize=7, color="white", zorder=4)
    ax.set_xticks(sorted(column_fill), ["seed" if h == 0 else f"hop {h}" for h in sorted(column_fill)])
    ax.set_yticks([])
    ax.set_xlim(-0.5, max(column_fill) + 0.5)
    ax.set_ylim(-max(column_fill.values()) + 0.4, 0.6)
    ax.set_title(f"Subgraph sampled around seed {batch_index} (node id @ day)")
    ax.legend(loc="lower right", fontsize=8, markerscale=0.4)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"\nwrote {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", metavar="PNG", help="draw seed 0's subgraph of the first batch")
    args = parser.parse_args(argv)

    colptr, row, node_time = build_graph()
    sampler = quorvix.NeighborSampler(NODE_TYPES, EDGE_TYPES, colptr, row, node_time, seed=7)
    print(f"quorvix quickstart: {len(USER_SIGNUP_DAY)} users, {len(ORDERS)} orders, "
          f"{len(ITEM_LISTED_DAY)} items")

    seed_node = np.array([0, 2], dtype=np.int64)
    seed_time = np.array([20, 30], dtype=np.int64)

    # Batch 1: a fan-out per edge type and hop. With timestamps, a fan-out k takes the k
    # most recent neighbours that are not later than the seed's time.
    num_neighbors = {
        "orders__placed_by__users": [2, 2, 2],
        "users__placed__orders": [1, 1, 1],
        "items__contained_in__orders": [1, 1, 1],
        "orders__contains__items": [2, 2, 2],
    }
    fanout = sampler.sample(num_neighbors, {}, "users", seed_node, seed_time)
    report("Batch 1: fan-out (the k most recent neighbours up to the seed's time), 3 hops",
           fanout, seed_node, seed_time, node_time)

    # Batch 2: time windows. A row (lower, upper) per hop takes every neighbour with
    # seed time + lower < time <= seed time + upper; a lower bound of None means no lower
    # bound (it needs an object array). Edge types not windowed keep a fan-out.
    windows = {
        "orders__placed_by__users": np.array([[-10, 0], [-10, 0]]),
        "users__placed__orders": np.array([[None, 0], [None, 0]], dtype=object),
    }
    num_neighbors = {"items__contained_in__orders": [-1, -1], "orders__contains__items": [0, 0]}
    window = sampler.sample(num_neighbors, windows, "users", seed_node, seed_time)
    report("Batch 2: time window (a user's orders of the last 10 days), 2 hops",
           window, seed_node, seed_time, node_time)

    if args.plot:
        plot_seed(args.plot, fanout, node_time, batch_index=0)


if __name__ == "__main__":
    main()
