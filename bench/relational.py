"""Time from a database file to the first training batch, two ways.

    python bench/relational.py [--customers 20000] [--repeats 3] [--quick]

The database (written once per format, DuckDB and SQLite): five shop tables, customers,
products, orders, order_items (no primary key) and reviews, with their key constraints,
and a training table ``churn`` of (customer, cut-off time, label) rows. Each repeat runs in
a fresh child process, the configurations alternating:

- graph: examples/relational_entity.py's ``make_loader`` (``Graph.from_database``, then
  ``quorvix.tables.features`` without a cache, then ``NeighborLoader`` on the graph);
- graph/cached: the same with the feature arrays already cached on disk;
- heterodata: the tables read with pandas, keys turned into ``edge_index`` with pandas
  lookups, a ``HeteroData`` with the same features, then ``quorvix.pyg.NeighborLoader``.

Each ends when the first batch is out. Reported: median wall time (range) and CPU time.
"""

from __future__ import annotations

import argparse
import multiprocessing
import sqlite3
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
TIME_COLUMNS = {"customers": "signup", "orders": "time", "reviews": "time"}
NUM_NEIGHBORS = (8, 4)
BATCH_SIZE = 512
CONFIGURATIONS = ["graph", "graph/cached", "heterodata"]

SCHEMA = [
    "CREATE TABLE customers (id BIGINT PRIMARY KEY, age BIGINT, country VARCHAR, signup TIMESTAMP)",
    "CREATE TABLE products (id BIGINT PRIMARY KEY, price DOUBLE, category VARCHAR)",
    "CREATE TABLE orders (id BIGINT PRIMARY KEY, customer_id BIGINT REFERENCES customers (id), "
    "time TIMESTAMP, total DOUBLE)",
    "CREATE TABLE order_items (order_id BIGINT REFERENCES orders (id), "
    "product_id BIGINT REFERENCES products (id), quantity BIGINT)",
    "CREATE TABLE reviews (id BIGINT PRIMARY KEY, customer_id BIGINT REFERENCES customers (id), "
    "product_id BIGINT REFERENCES products (id), time TIMESTAMP, rating BIGINT)",
    "CREATE TABLE churn (customer_id BIGINT, time TIMESTAMP, label BIGINT)",
]


def shop_tables(customers: int, seed: int = 0) -> dict:
    """The tables as column dicts of NumPy arrays (times as datetime64[s]), keys shuffled
    and sparse, some numbers null (NaN) and some foreign keys dangling or null."""
    rng = np.random.default_rng(seed)
    n_products, n_orders = max(customers // 4, 1), customers * 5
    start = np.datetime64("2024-01-01T00:00:00", "s")

    def times(n, days=365):
        return start + rng.integers(0, days * 86_400, n).astype("timedelta64[s]")

    customer_id = rng.permutation(customers) * 3 + 7
    product_id = rng.permutation(n_products) * 5 + 2
    order_id = rng.permutation(n_orders) + 1000
    age = rng.integers(18, 90, customers).astype(np.float64)
    age[rng.random(customers) < 0.1] = np.nan
    order_customer = customer_id[rng.integers(0, customers, n_orders)]
    n_items = n_orders * 2
    item_product = product_id[rng.integers(0, n_products, n_items)].astype(np.float64)
    item_product[rng.random(n_items) < 0.05] = np.nan  # an item whose product is unknown
    n_reviews = customers * 2
    cut_off = times(customers, 400)
    return {
        "customers": {"id": customer_id, "age": age,
                      "country": np.array(["DE", "FR", "NL", "PL"])[rng.integers(0, 4, customers)],
                      "signup": times(customers, 30)},
        "products": {"id": product_id, "price": np.round(rng.random(n_products) * 100, 2),
                     "category": np.array(["toys", "books", "food"])[rng.integers(0, 3, n_products)]},
        "orders": {"id": order_id, "customer_id": order_customer, "time": times(n_orders),
                   "total": np.round(rng.random(n_orders) * 300, 2)},
        "order_items": {"order_id": order_id[rng.integers(0, n_orders, n_items)],
                        "product_id": item_product, "quantity": rng.integers(1, 5, n_items)},
        "reviews": {"id": np.arange(n_reviews) * 2 + 1,
                    "customer_id": customer_id[rng.integers(0, customers, n_reviews)],
                    "product_id": product_id[rng.integers(0, n_products, n_reviews)],
                    "time": times(n_reviews), "rating": rng.integers(1, 6, n_reviews)},
        "churn": {"customer_id": customer_id, "time": cut_off,
                  "label": rng.integers(0, 2, customers)},
    }


def write_shop(path: str | Path, customers: int = 200, seed: int = 0) -> Path:
    """The shop as a DuckDB file, or an SQLite file for a .sqlite path (times as ISO text)."""
    import pandas as pd

    path = Path(path)
    tables = shop_tables(customers, seed)
    if path.suffix == ".sqlite":
        con = sqlite3.connect(path)
        for statement in SCHEMA:
            con.execute(statement.replace("BIGINT", "INTEGER").replace("VARCHAR", "TEXT"))
        for name, columns in tables.items():
            frame = pd.DataFrame(columns)
            for c, values in columns.items():
                if values.dtype.kind == "M":
                    frame[c] = np.datetime_as_string(values, unit="s")
            rows = [tuple(None if v != v else v for v in row) for row in frame.itertuples(index=False)]
            con.executemany(f"INSERT INTO {name} VALUES ({', '.join('?' * len(columns))})",
                            [tuple(v.item() if isinstance(v, np.generic) else v for v in r) for r in rows])
        con.commit()
        con.close()
        return path
    import duckdb

    con = duckdb.connect(str(path))
    for statement in SCHEMA:
        con.execute(statement)
    for name, columns in tables.items():
        con.register("frame", pd.DataFrame(columns))
        con.execute(f"INSERT INTO {name} SELECT * FROM frame")
        con.unregister("frame")
    con.close()
    return path


def hetero_loader(path: str, entity: str = "customers", task: str = "churn", batch_size: int = BATCH_SIZE):
    """The path through HeteroData: pandas reads, pandas key lookups, the same features."""
    import pandas as pd
    import torch
    from torch_geometric.data import HeteroData

    from quorvix.pyg import NeighborLoader
    from quorvix.tables import features

    sys.path.insert(0, str(ROOT / "examples"))
    import relational_entity as example

    con = example.connect(path)
    tables = sorted(t for t in example.table_names(con) if t != task)
    frames = {t: pd.read_sql_query(f'SELECT * FROM "{t}" ORDER BY rowid', con)
              if isinstance(con, sqlite3.Connection) else con.sql(f'SELECT * FROM "{t}" ORDER BY rowid').df()
              for t in tables}
    primary = {"customers": "id", "products": "id", "orders": "id", "reviews": "id"}
    foreign = sorted([("order_items", "order_id", "orders"), ("order_items", "product_id", "products"),
                      ("orders", "customer_id", "customers"), ("reviews", "customer_id", "customers"),
                      ("reviews", "product_id", "products")])
    keyed = {(t, c) for t, c in primary.items()} | {(t, c) for t, c, _ in foreign}
    columns = {t: {c: "timestamp" if TIME_COLUMNS.get(t) == c else None for c in frames[t].columns
                   if (t, c) not in keyed} for t in tables}
    data = features(frames, columns).to_hetero_data()
    for t in tables:
        if t in TIME_COLUMNS:
            data[t].time = torch.from_numpy(np.asarray(pd.to_datetime(frames[t][TIME_COLUMNS[t]]),
                                                       dtype="datetime64[s]").view(np.int64))
    for child, column, parent in foreign:
        parent_row = pd.Index(frames[parent][primary[parent]]).get_indexer(frames[child][column])
        child_row = np.flatnonzero(parent_row >= 0)
        parent_row = parent_row[child_row]
        data[child, f"f2p_{column}", parent].edge_index = torch.from_numpy(np.stack([child_row, parent_row]))
        data[parent, f"rev_f2p_{column}", child].edge_index = torch.from_numpy(np.stack([parent_row, child_row]))
    rows = con.execute(f'SELECT * FROM "{task}"').fetchall()
    entity_key, cut_off, _ = (np.array(c) for c in zip(*rows))
    seeds = pd.Index(frames[entity][primary[entity]]).get_indexer(entity_key)
    seconds = np.array(cut_off, dtype="datetime64[s]").view(np.int64)
    return NeighborLoader(data, list(NUM_NEIGHBORS), input_nodes=(entity, torch.from_numpy(seeds)),
                          input_time=seconds, time_attr="time", temporal_strategy="last",
                          batch_size=batch_size, seed=0)


def measure(configuration: str, path: str, cache: str, out) -> None:
    import torch_geometric.data  # noqa: F401  (imports are not part of the time)

    import quorvix.pyg  # noqa: F401

    sys.path.insert(0, str(ROOT / "examples"))
    import relational_entity as example

    start, start_cpu = time.perf_counter(), time.process_time()
    if configuration == "heterodata":
        loader = hetero_loader(path)
    else:
        loader = example.make_loader(path, num_neighbors=NUM_NEIGHBORS, batch_size=BATCH_SIZE,
                                     cache=cache if configuration == "graph/cached" else None)[0]
    next(iter(loader))
    out.send((time.perf_counter() - start, time.process_time() - start_cpu))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--customers", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="500 customers, one repeat (a smoke run)")
    args = parser.parse_args(argv)
    if args.quick:
        args.customers, args.repeats = 500, 1
    with tempfile.TemporaryDirectory() as scratch:
        print(f"{args.customers:,} customers, {args.customers * 5:,} orders, {args.customers * 10:,} order "
              f"items, {args.customers * 2:,} reviews; first batch of {BATCH_SIZE}, fan-out {list(NUM_NEIGHBORS)}; "
              f"{args.repeats} repeat(s)")
        print("| database | configuration | wall s (median, range) | CPU s |")
        print("|---|---|---|---|")
        for suffix in (".duckdb", ".sqlite"):
            path = str(write_shop(Path(scratch) / f"shop{suffix}", args.customers))
            cache = str(Path(scratch) / f"cache{suffix}")
            sys.path.insert(0, str(ROOT / "examples"))
            import relational_entity as example

            example.make_loader(path, cache=cache)  # fills the cache
            results = {c: [] for c in CONFIGURATIONS}
            for _ in range(args.repeats):
                for configuration in CONFIGURATIONS:
                    receive, send = multiprocessing.Pipe(duplex=False)
                    child = multiprocessing.Process(target=measure, args=(configuration, path, cache, send))
                    child.start()
                    results[configuration].append(receive.recv())
                    child.join()
            for configuration, rows in results.items():
                wall = [r[0] for r in rows]
                print(f"| {suffix[1:]} | {configuration} | {statistics.median(wall):.2f} "
                      f"({min(wall):.2f}-{max(wall):.2f}) | {statistics.median(r[1] for r in rows):.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
