"""Time and peak memory of building a graph from a generated shop database.

    python bench/tables.py [--rows 10000000] [--repeats 3] [--quick]

The database: customers and products (sparse, unordered integer keys, a signup/listing time)
and orders (a shuffled key, a time, foreign keys customer_id and product_id, and referred_by
pointing to customers, null for half the orders). At the default size that is 10M rows and
20M non-null foreign key values, 40M edges. Three ways to a graph ready to sample, each
repeat in a fresh child process, the configurations alternating:

- tables/pandas: quorvix.Graph.from_tables on the pandas DataFrames;
- tables/duckdb: the same on the tables held in an in-memory DuckDB database;
- tables/sqlite: quorvix.Graph.from_database on the tables in an in-memory SQLite database
  (times as ISO text, as SQLite keeps them);
- pyg: pandas key lookups to edge_index, a HeteroData, quorvix.pyg.graph_from_hetero_data.

Each ends with a quorvix.Graph and a NeighborSampler over it. Reported: median wall time (range),
CPU time and the child's peak RSS above what the generated tables already used. The first
repeat checks that all three give the same colptr and the same neighbour times run by run.
"""

from __future__ import annotations

import argparse
import multiprocessing
import statistics
import sys
import time
from pathlib import Path

import numpy as np

FOREIGN_KEYS = [("orders", "customer_id", "customers"), ("orders", "product_id", "products"),
                ("orders", "referred_by", "customers")]
PRIMARY_KEYS = {"customers": "id", "products": "id", "orders": "id"}
TIME_COLUMNS = {"customers": "signup", "products": "listed", "orders": "placed"}
CONFIGURATIONS = ["tables/pandas", "tables/duckdb", "tables/sqlite", "pyg"]


def make_database(rows: int, seed: int = 0):
    """Three pandas DataFrames: 10% customers, 10% products, 80% orders of `rows`."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    n_customers = n_products = max(rows // 10, 1)
    n_orders = max(rows - n_customers - n_products, 1)
    start = np.datetime64("2024-01-01T00:00:00", "s")

    def sparse_keys(n):  # unique, unordered, with gaps
        return rng.permutation(n).astype(np.int64) * 3 + 11

    def times(n):
        return start + rng.integers(0, 365 * 86_400, n).astype("timedelta64[s]")

    customers = pd.DataFrame({"id": sparse_keys(n_customers), "signup": times(n_customers)})
    products = pd.DataFrame({"id": sparse_keys(n_products), "listed": times(n_products)})
    referred = customers["id"].to_numpy()[rng.integers(0, n_customers, n_orders)].astype(np.float64)
    referred[rng.random(n_orders) < 0.5] = np.nan  # as pandas keeps an integer column with nulls
    orders = pd.DataFrame({
        "id": rng.permutation(n_orders).astype(np.int64),
        "customer_id": customers["id"].to_numpy()[rng.integers(0, n_customers, n_orders)],
        "product_id": products["id"].to_numpy()[rng.integers(0, n_products, n_orders)],
        "referred_by": referred,
        "placed": times(n_orders),
    })
    return {"customers": customers, "products": products, "orders": orders}


def rss_kib(field: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak() -> None:
    """Start VmHWM afresh at the current RSS, so the peak is that of the build alone."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def build_with_tables(tables):
    import quorvix

    if not isinstance(tables, dict):  # an SQLite connection: keys given, tables read by name
        graph, _ = quorvix.Graph.from_database(tables, list(PRIMARY_KEYS), PRIMARY_KEYS, FOREIGN_KEYS, TIME_COLUMNS)
        return graph
    graph, _ = quorvix.Graph.from_tables(tables, PRIMARY_KEYS, FOREIGN_KEYS, TIME_COLUMNS)
    return graph


def sqlite_tables(tables):
    """The tables in an in-memory SQLite database, nulls as NULL and times as ISO text."""
    import sqlite3

    con = sqlite3.connect(":memory:")
    for name, frame in tables.items():
        columns = list(frame.columns)
        con.execute(f"CREATE TABLE {name} ({', '.join(columns)})")
        values = []
        for c in columns:
            array = frame[c].to_numpy()
            if array.dtype.kind == "M":
                values.append(np.datetime_as_string(array, unit="s").tolist())
            elif array.dtype.kind == "f":  # a key column with nulls
                values.append([None if v != v else int(v) for v in array.tolist()])
            else:
                values.append(array.tolist())
        con.executemany(f"INSERT INTO {name} VALUES ({', '.join('?' * len(columns))})", zip(*values))
    return con


def build_with_pyg(tables):
    """What a PyG user writes today: keys to row numbers with pandas, then the bridge."""
    import pandas as pd
    import torch
    from torch_geometric.data import HeteroData

    import quorvix

    from quorvix.pyg import graph_from_hetero_data

    data = HeteroData()
    for name, frame in tables.items():
        data[name].num_nodes = len(frame)
        seconds = frame[TIME_COLUMNS[name]].to_numpy().astype("datetime64[s]").view(np.int64)
        data[name].time = torch.from_numpy(seconds)
    for child, column, parent in FOREIGN_KEYS:
        parent_row = pd.Index(tables[parent][PRIMARY_KEYS[parent]]).get_indexer(tables[child][column])
        child_row = np.flatnonzero(parent_row >= 0)  # nulls and missing keys give -1
        parent_row = parent_row[child_row]
        data[child, f"f2p_{column}", parent].edge_index = torch.from_numpy(np.stack([child_row, parent_row]))
        data[parent, f"rev_f2p_{column}", child].edge_index = torch.from_numpy(np.stack([parent_row, child_row]))
    graph = graph_from_hetero_data(data, time_attr="time")
    return quorvix.Graph(*graph.sampler_arguments())


def measure(configuration: str, rows: int, out) -> None:
    import quorvix

    if configuration == "pyg":  # imports are not part of the build
        import torch_geometric.data  # noqa: F401
        import quorvix.pyg  # noqa: F401
    else:
        import quorvix.tables  # noqa: F401
    tables = make_database(rows)
    if configuration == "tables/duckdb":
        import duckdb

        con = duckdb.connect()
        for name, frame in tables.items():
            con.register("frame", frame)
            con.execute(f"CREATE TABLE {name} AS SELECT * FROM frame")
            con.unregister("frame")
        tables = {name: con.table(name) for name in tables}
    if configuration == "tables/sqlite":
        tables = sqlite_tables(tables)
    base = rss_kib("VmRSS")
    reset_peak()
    start, start_cpu = time.perf_counter(), time.process_time()
    graph = build_with_pyg(tables) if configuration == "pyg" else build_with_tables(tables)
    quorvix.NeighborSampler(graph)
    seconds, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    peak = rss_kib("VmHWM")
    edge_types, colptr, row, node_time = graph.edge_types, graph.colptr, graph.row, graph.node_time
    # Runs compared by their neighbours' times: ties may be in another order on the pyg path.
    runs = {"__".join(e): (np.asarray(colptr["__".join(e)]),
                           np.asarray(node_time[e[0]])[np.asarray(row["__".join(e)])])
            for e in edge_types}
    out.send((seconds, cpu, base / 1024, (peak - base) / 1024, sum(len(r) for r in row.values()),
              runs if out.check else None))


class Pipe:
    def __init__(self, check: bool):
        self.receive, self.sender = multiprocessing.Pipe(duplex=False)
        self.check = check

    def send(self, value) -> None:
        self.sender.send(value)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="10,000 rows, one repeat (a smoke run)")
    args = parser.parse_args(argv)
    if args.quick:
        args.rows, args.repeats = 10_000, 1
    results = {c: [] for c in CONFIGURATIONS}
    checked = {}
    for repeat in range(args.repeats):
        for configuration in CONFIGURATIONS:
            pipe = Pipe(check=repeat == 0)
            child = multiprocessing.Process(target=measure, args=(configuration, args.rows, pipe))
            child.start()
            result = pipe.receive.recv()
            child.join()
            if child.exitcode:
                return child.exitcode
            results[configuration].append(result[:5])
            if result[5] is not None:
                checked[configuration] = result[5]
    reference = checked[CONFIGURATIONS[0]]
    for configuration, runs in checked.items():
        for key, (colptr, times) in reference.items():
            assert np.array_equal(runs[key][0], colptr), (configuration, key)
            assert np.array_equal(runs[key][1], times), (configuration, key)
    edges = results[CONFIGURATIONS[0]][0][4]
    print(f"{args.rows:,} rows, {edges:,} edges in {len(reference)} edge types, "
          f"{args.repeats} repeat(s), same graph from every configuration")
    print("| configuration | wall s (median, range) | CPU s | peak RSS above the tables (MiB) |")
    print("|---|---|---|---|")
    for configuration, rows in results.items():
        wall = [r[0] for r in rows]
        print(f"| {configuration} | {statistics.median(wall):.2f} ({min(wall):.2f}-{max(wall):.2f}) "
              f"| {statistics.median(r[1] for r in rows):.2f} "
              f"| {statistics.median(r[3] for r in rows):.0f} |")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    sys.exit(main())
