"""Synthetic shop graph for the benchmarks: users place orders, orders list items.

The graph is deterministic for a given (scale, seed) and is cached as .npy files under
bench/data/<tag>/, then memory-mapped read-only on reuse, so repeated benchmark runs start
in well under a second and share the page cache.

Shape at scale 1.0 (every count is multiplied by --scale):

- 1,000,000 users, 100,000 items, 5,000,000 orders.
- Each order has one user and 1 + Poisson(2) order lines, each naming an item; an item
  appearing twice in one order is kept once, leaving about 3.0 distinct items per order
  (about 14.9 million order lines).
- Four edge types, both directions of both relations, about 39.7 million edges:

    ("users",  "places",    "orders")  frontier order -> the user who placed it
    ("orders", "placed_by", "users")   frontier user  -> the user's orders
    ("items",  "listed_in", "orders")  frontier order -> the items on it
    ("orders", "lists",     "items")   frontier item  -> the orders that list it

  An edge type is written (neighbour type, relation, frontier type), and keyed by the three
  names joined with "__".
- Skew: a user's share of orders follows (rank)^-0.8 and an item's share of order lines
  (rank)^-0.95, with ranks shuffled over ids. The busiest users place tens of thousands of
  orders and the most popular items sit on close to a million order lines, while a typical
  user has a handful of orders (mean 5, 99th percentile about 40).
- Time (int64 seconds): order times cover 2021-01-01 to 2024-01-01 with a rate that grows
  linearly (a growing shop). A user is created some days (exponential, mean 60) before their
  first order, an item some days (mean 30) before its first sale; users and items that never
  appear are created uniformly over the year before the start and the three years after.
- Ids are handed out in creation order, like auto-increment keys: order ids follow order
  time and user and item ids follow creation time. This makes the sampler's ordering
  requirement (within each node's run of `row`, neighbour times never decrease) a plain sort
  by id.

Only NumPy is used; the build is vectorised (sorts, bincount, cumsum) and takes about ten
seconds at scale 1.0, with a peak RSS under 1 GiB.

Run `python bench/graph.py --scale 0.01` to build (or check) a cache and print a summary.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

# Bump when the generator changes what it produces: the cache tag includes it.
FORMAT_VERSION = 1

DATA_DIR = Path(__file__).resolve().parent / "data"

DAY = 86_400
TIME_START = 1_609_459_200  # 2021-01-01T00:00:00Z
TIME_END = TIME_START + 3 * 365 * DAY

NUM_USERS = 1_000_000
NUM_ITEMS = 100_000
NUM_ORDERS = 5_000_000
EXTRA_LINES_PER_ORDER = 2.0  # lines per order = 1 + Poisson(this)
USER_SKEW = 0.8
ITEM_SKEW = 0.95
USER_LEAD_DAYS = 60.0
ITEM_LEAD_DAYS = 30.0

NODE_TYPES = ["users", "items", "orders"]
EDGE_TYPES = [
    ("users", "places", "orders"),
    ("orders", "placed_by", "users"),
    ("items", "listed_in", "orders"),
    ("orders", "lists", "items"),
]


def edge_type_key(edge_type: tuple[str, str, str]) -> str:
    return "__".join(edge_type)


EDGE_TYPE_KEYS = [edge_type_key(et) for et in EDGE_TYPES]


@dataclass
class Graph:
    """A cached graph: arrays are read-only memory maps (or in-memory arrays right after a build)."""

    scale: float
    seed: int
    path: Path
    num_nodes: dict[str, int]
    colptr: dict[str, np.ndarray]
    row: dict[str, np.ndarray]
    node_time: dict[str, np.ndarray]
    build_seconds: float = 0.0
    info: dict = field(default_factory=dict)

    node_types = NODE_TYPES
    edge_types = EDGE_TYPES
    time_start = TIME_START
    time_end = TIME_END

    @property
    def num_edges(self) -> dict[str, int]:
        return {key: int(r.size) for key, r in self.row.items()}

    def nbytes(self, with_time: bool = True) -> int:
        """Bytes of the arrays a sampler over this graph reads."""
        total = sum(a.nbytes for a in self.colptr.values()) + sum(a.nbytes for a in self.row.values())
        if with_time:
            total += sum(a.nbytes for a in self.node_time.values())
        return int(total)


def scale_tag(scale: float, seed: int) -> str:
    return f"v{FORMAT_VERSION}-scale{scale:g}-seed{seed}"


def _count(base: int, scale: float) -> int:
    return max(1, int(round(base * scale)))


def _zipf_draws(rng: np.random.Generator, num_choices: int, size: int, exponent: float) -> np.ndarray:
    """Ids in [0, num_choices) with P(id) proportional to (1 + rank(id))^-exponent, ranks shuffled."""
    rank = rng.permutation(num_choices)
    weight = (rank + 1.0) ** -exponent
    cdf = np.cumsum(weight)
    draws = np.searchsorted(cdf, rng.random(size) * cdf[-1], side="right")
    # Rounding can push a draw one past the end.
    np.minimum(draws, num_choices - 1, out=draws)
    return draws


def _creation_times(
    rng: np.random.Generator, first_use: np.ndarray, used: np.ndarray, lead_days: float
) -> np.ndarray:
    """A creation time per node: some days before its first use, or uniform if never used."""
    n = first_use.size
    lead = (rng.exponential(lead_days, n) * DAY).astype(np.int64)
    created = first_use - lead
    unused = ~used
    created[unused] = rng.integers(TIME_START - 365 * DAY, TIME_END, int(unused.sum()))
    return created


def _relabel_by_time(created: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """New ids in creation order: returns (new id of each old id, creation time by new id)."""
    order = np.argsort(created, kind="stable")
    new_id = np.empty_like(order)
    new_id[order] = np.arange(order.size, dtype=order.dtype)
    return new_id, created[order]


def _colptr_from_counts(counts: np.ndarray) -> np.ndarray:
    colptr = np.zeros(counts.size + 1, dtype=np.int64)
    np.cumsum(counts, out=colptr[1:])
    return colptr


def _csc_grouped_by(frontier: np.ndarray, neighbour: np.ndarray, num_frontier: int):
    """CSC of (frontier, neighbour) pairs; within a frontier node the input order is kept."""
    order = np.argsort(frontier, kind="stable")
    colptr = _colptr_from_counts(np.bincount(frontier, minlength=num_frontier))
    return colptr, np.ascontiguousarray(neighbour[order], dtype=np.int64)


def build_arrays(scale: float, seed: int) -> tuple[dict, dict, dict, dict]:
    """Generate the graph in memory: (num_nodes, colptr, row, node_time), keyed as the sampler expects."""
    rng = np.random.default_rng(seed)
    num_users = _count(NUM_USERS, scale)
    num_items = _count(NUM_ITEMS, scale)
    num_orders = _count(NUM_ORDERS, scale)

    # Orders: ids follow time. sqrt of a uniform gives a linearly growing order rate.
    span = TIME_END - TIME_START
    order_time = TIME_START + (np.sqrt(rng.random(num_orders)) * span).astype(np.int64)
    order_time.sort()

    # Users: who placed each order; creation just before the first order.
    order_user = _zipf_draws(rng, num_users, num_orders, USER_SKEW)
    first_order = np.full(num_users, num_orders, dtype=np.int64)
    np.minimum.at(first_order, order_user, np.arange(num_orders, dtype=np.int64))
    user_used = first_order < num_orders
    first_time = np.where(user_used, order_time[np.minimum(first_order, num_orders - 1)], 0)
    new_user, user_time = _relabel_by_time(_creation_times(rng, first_time, user_used, USER_LEAD_DAYS))
    order_user = new_user[order_user]
    del first_order, first_time, user_used, new_user

    # Order lines: 1 + Poisson lines per order, items by popularity.
    lines_per_order = 1 + rng.poisson(EXTRA_LINES_PER_ORDER, num_orders)
    line_order = np.repeat(np.arange(num_orders, dtype=np.int64), lines_per_order)
    del lines_per_order
    line_item = _zipf_draws(rng, num_items, line_order.size, ITEM_SKEW)
    first_line_order = np.full(num_items, num_orders, dtype=np.int64)
    np.minimum.at(first_line_order, line_item, line_order)
    item_used = first_line_order < num_orders
    first_time = np.where(item_used, order_time[np.minimum(first_line_order, num_orders - 1)], 0)
    new_item, item_time = _relabel_by_time(_creation_times(rng, first_time, item_used, ITEM_LEAD_DAYS))
    line_item = new_item[line_item]
    del first_line_order, first_time, item_used, new_item

    # One line per (order, item); sorting the combined key orders lines by order, then by item
    # id, which is item creation order: exactly the order an order's run of items needs.
    line_key = line_order * num_items + line_item
    del line_order, line_item
    line_key.sort()
    keep = np.empty(line_key.size, dtype=bool)
    keep[:1] = True
    np.not_equal(line_key[1:], line_key[:-1], out=keep[1:])
    line_key = line_key[keep]
    del keep
    line_order, line_item = np.divmod(line_key, num_items)
    del line_key

    colptr: dict[str, np.ndarray] = {}
    row: dict[str, np.ndarray] = {}

    # Frontier order -> its user: one neighbour per order.
    key = edge_type_key(("users", "places", "orders"))
    colptr[key] = np.arange(num_orders + 1, dtype=np.int64)
    row[key] = order_user.astype(np.int64, copy=False)

    # Frontier user -> orders: order ids ascending within a user, so times ascend too.
    key = edge_type_key(("orders", "placed_by", "users"))
    colptr[key], row[key] = _csc_grouped_by(order_user, np.arange(num_orders, dtype=np.int64), num_users)

    # Frontier order -> items: the lines are already grouped by order and sorted by item id.
    key = edge_type_key(("items", "listed_in", "orders"))
    colptr[key] = _colptr_from_counts(np.bincount(line_order, minlength=num_orders))
    row[key] = line_item

    # Frontier item -> orders: a stable sort by item keeps the ascending order ids.
    key = edge_type_key(("orders", "lists", "items"))
    colptr[key], row[key] = _csc_grouped_by(line_item, line_order, num_items)

    num_nodes = {"users": num_users, "items": num_items, "orders": num_orders}
    node_time = {"users": user_time, "items": item_time, "orders": order_time}
    return num_nodes, colptr, row, node_time


def _files(colptr: dict, row: dict, node_time: dict) -> dict[str, np.ndarray]:
    files = {}
    for key in EDGE_TYPE_KEYS:
        files[f"colptr.{key}.npy"] = colptr[key]
        files[f"row.{key}.npy"] = row[key]
    for node_type in NODE_TYPES:
        files[f"time.{node_type}.npy"] = node_time[node_type]
    return files


def _degree_summary(colptr: np.ndarray) -> dict:
    degree = np.diff(colptr)
    return {
        "mean": round(float(degree.mean()), 3) if degree.size else 0.0,
        "p99": int(np.percentile(degree, 99)) if degree.size else 0,
        "max": int(degree.max()) if degree.size else 0,
        "zero_share": round(float((degree == 0).mean()), 4) if degree.size else 0.0,
    }


def _write_cache(path: Path, scale: float, seed: int) -> float:
    started = time.perf_counter()
    num_nodes, colptr, row, node_time = build_arrays(scale, seed)
    seconds = time.perf_counter() - started
    tmp = path.with_name(f"{path.name}.tmp-{os.getpid()}")
    shutil.rmtree(tmp, ignore_errors=True)
    tmp.mkdir(parents=True)
    for name, array in _files(colptr, row, node_time).items():
        np.save(tmp / name, array)
    info = {
        "format_version": FORMAT_VERSION,
        "scale": scale,
        "seed": seed,
        "num_nodes": num_nodes,
        "num_edges": {key: int(r.size) for key, r in row.items()},
        "degree": {key: _degree_summary(c) for key, c in colptr.items()},
        "build_seconds": round(seconds, 2),
    }
    (tmp / "meta.json").write_text(json.dumps(info, indent=2) + "\n")
    try:
        tmp.rename(path)
    except OSError:
        # Another process finished the same cache first; its files are identical.
        shutil.rmtree(tmp, ignore_errors=True)
    return seconds


def load_graph(scale: float = 1.0, seed: int = 0, rebuild: bool = False) -> Graph:
    """The graph for (scale, seed), built and cached on first use, memory-mapped afterwards."""
    path = DATA_DIR / scale_tag(scale, seed)
    if rebuild:
        shutil.rmtree(path, ignore_errors=True)
    build_seconds = 0.0
    if not (path / "meta.json").exists():
        DATA_DIR.mkdir(parents=True, exist_ok=True)
        build_seconds = _write_cache(path, scale, seed)
    info = json.loads((path / "meta.json").read_text())

    def load(name: str) -> np.ndarray:
        return np.load(path / name, mmap_mode="r")

    return Graph(
        scale=scale,
        seed=seed,
        path=path,
        num_nodes=dict(info["num_nodes"]),
        colptr={key: load(f"colptr.{key}.npy") for key in EDGE_TYPE_KEYS},
        row={key: load(f"row.{key}.npy") for key in EDGE_TYPE_KEYS},
        node_time={t: load(f"time.{t}.npy") for t in NODE_TYPES},
        build_seconds=build_seconds,
        info=info,
    )


def check_time_order(graph: Graph) -> None:
    """Raise if some node's run of neighbours is not in non-decreasing neighbour time."""
    for (neighbour_type, _, _), key in zip(EDGE_TYPES, EDGE_TYPE_KEYS):
        colptr = np.asarray(graph.colptr[key])
        times = np.asarray(graph.node_time[neighbour_type])[np.asarray(graph.row[key])]
        if times.size < 2:
            continue
        decreasing = np.flatnonzero(times[1:] < times[:-1]) + 1
        # A decrease is allowed only where a new run starts.
        run_starts = np.zeros(times.size + 1, dtype=bool)
        run_starts[colptr] = True
        bad = decreasing[~run_starts[decreasing]]
        if bad.size:
            raise AssertionError(
                f"{key}: neighbour times decrease inside a run at row position {int(bad[0])}"
            )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplier of every count (default 1.0)")
    parser.add_argument("--seed", type=int, default=0, help="generator seed (default 0)")
    parser.add_argument("--rebuild", action="store_true", help="drop the cache and build again")
    parser.add_argument("--check", action="store_true", help="verify the time order of every run")
    args = parser.parse_args(argv)

    graph = load_graph(args.scale, args.seed, rebuild=args.rebuild)
    if graph.build_seconds:
        print(f"built in {graph.build_seconds:.1f} s")
    print(f"cache: {graph.path}")
    print("nodes: " + ", ".join(f"{t} {n:,}" for t, n in graph.num_nodes.items()))
    for key, n in graph.num_edges.items():
        d = graph.info["degree"][key]
        print(f"  {key:<26} {n:>12,} edges   degree mean {d['mean']:<7} p99 {d['p99']:<6} max {d['max']:,}")
    print(f"edges: {sum(graph.num_edges.values()):,}   bytes: {graph.nbytes() / 2**20:,.1f} MiB")
    if args.check:
        check_time_order(graph)
        print("time order: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
