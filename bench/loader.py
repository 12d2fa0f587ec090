"""Batches per second of quorvix.pyg.NeighborLoader by worker processes and sampler threads.

    python bench/loader.py            # the table of docs/guide/workers.md (a few minutes on 2 cores)
    python bench/loader.py --quick    # a small graph, one round: well under a minute

The graph is the shop of bench/graph.py at --scale (0.03: 30k users, 3k items, 150k orders,
183k nodes) with four more edge types, eight in all:

    ("users", "places", "orders")      ("orders", "placed_by", "users")     the shop's four
    ("items", "listed_in", "orders")   ("orders", "lists", "items")
    ("items", "bought_by", "users")    ("users", "bought", "items")         a user's items
    ("users", "referred", "users")     ("users", "referred_by", "users")    referrals

"bought" links a user to every item of their orders, "referred" a third of the users to an
earlier user. Every node type has a node-level "time" and a float32 feature matrix "x" of
--features columns, which collation gathers. Seeds are users, each with an input time drawn
between its creation and the end of the timeline; an epoch is --batches shuffled batches of
--batch-size seeds, sampled with the most recent --fanouts neighbours per edge type and hop.

Configurations: num_workers 0, 1, 2; with workers, persistent_workers off and on, and PyG's
filter_per_worker off (collation in the main process, the default on CPU) and on (collation
in the workers, the collated batch sent to the main process); num_threads 1 and 2. Worker
processes are forked (the default start method on Linux).

Method. Each round runs every configuration once, in a fresh random order (rounds interleave
configurations, so a burst of load from other processes hits several of them rather than one).
A run builds the loader over the prebuilt SamplerGraph, iterates one untimed warm-up epoch,
then times --epochs epochs, each from iter() to the last batch: with non-persistent workers
that includes starting the workers every epoch, as a user pays it. Inside the loader, the
sampler's sample_from_nodes and the loader's filter_fn (collation: gathering features, making
the HeteroData) are wrapped with timers that add to counters in shared memory, so their time
is counted in whichever process runs them. Per configuration the table gives the median over
rounds and the spread (lowest to highest):

- batches/s: timed batches over timed seconds;
- first batch: ms from iter() to the first batch of a timed epoch (worker start-up);
- sampling, collation: ms per batch in sample_from_nodes and in filter_fn;
- vs. no workers: the median over rounds of batches/s over that of num_workers=0 with one
  thread in the same round;
- sampling share: sampling ms over the ms per delivered batch (1000 / batches/s). Without
  workers it is the share of the main process's time; with workers it is work done elsewhere,
  in parallel, and the rest of a batch's time in the main process is collation or receiving
  the batch from the worker.
- CPU ms/batch: CPU time (user + system) over every batch of the run, warm-up included, of
  the main process (all its threads) and of the worker processes (counted as they end; a
  persistent worker ends with its loader). Other processes on the machine inflate CPU time
  far less than wall time, so these are the steadier figures on a shared machine.
"""

from __future__ import annotations

import argparse
import gc
import multiprocessing
import os
import random
import resource
import statistics
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph as shop  # noqa: E402

REFERRED_SHARE = 1 / 3  # of the users, referred by an earlier user


@dataclass(frozen=True)
class Config:
    workers: int
    persistent: bool
    filter_per_worker: bool
    threads: int

    @property
    def label(self) -> str:
        if self.workers == 0:
            return f"workers 0, threads {self.threads}"
        return (f"workers {self.workers}, persistent {'on' if self.persistent else 'off'}, "
                f"collate in {'workers' if self.filter_per_worker else 'main'}, threads {self.threads}")


def all_configs(workers: list[int], threads: list[int]) -> list[Config]:
    configs = []
    for w in workers:
        for t in threads:
            if w == 0:
                configs.append(Config(0, False, False, t))
                continue
            for persistent in (False, True):
                for filter_per_worker in (False, True):
                    configs.append(Config(w, persistent, filter_per_worker, t))
    return configs


# ---- the graph ------------------------------------------------------------------------------

def build_data(scale: float, features: int, seed: int = 0):
    """The shop at `scale` as a HeteroData with eight edge types, times and features."""
    import torch
    from torch_geometric.data import HeteroData

    cached = shop.load_graph(scale)
    rng = np.random.default_rng(seed)
    data = HeteroData()
    for node_type in cached.node_types:
        n = cached.num_nodes[node_type]
        data[node_type].time = torch.from_numpy(np.array(cached.node_time[node_type]))
        data[node_type].x = torch.from_numpy(rng.standard_normal((n, features), dtype=np.float32))

    def add(edge_type, src: np.ndarray, dst: np.ndarray) -> None:
        data[edge_type].edge_index = torch.from_numpy(np.stack([src, dst]).astype(np.int64))

    for edge_type, key in zip(cached.edge_types, shop.EDGE_TYPE_KEYS):
        colptr, row = np.asarray(cached.colptr[key]), np.asarray(cached.row[key])
        add(edge_type, row, np.repeat(np.arange(colptr.size - 1), np.diff(colptr)))

    # A user's items: every (user, item) pair of their orders, once.
    order_user = np.asarray(cached.row["users__places__orders"])
    colptr = np.asarray(cached.colptr["items__listed_in__orders"])
    line_item = np.asarray(cached.row["items__listed_in__orders"])
    line_user = order_user[np.repeat(np.arange(colptr.size - 1), np.diff(colptr))]
    pairs = np.unique(line_user * cached.num_nodes["items"] + line_item)
    user, item = np.divmod(pairs, cached.num_nodes["items"])
    add(("items", "bought_by", "users"), item, user)
    add(("users", "bought", "items"), user, item)

    # Referrals: a user referred by a user created earlier (user ids follow creation time).
    num_users = cached.num_nodes["users"]
    referred = rng.choice(np.arange(1, num_users), int(num_users * REFERRED_SHARE), replace=False)
    referrer = (rng.random(referred.size) * referred).astype(np.int64)
    add(("users", "referred", "users"), referrer, referred)
    add(("users", "referred_by", "users"), referred, referrer)
    return data


def seeds(data, batches: int, batch_size: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """User ids and input times for one epoch of `batches` batches."""
    rng = np.random.default_rng(seed)
    created = data["users"].time.numpy()
    users = rng.choice(created.size, min(batches * batch_size, created.size), replace=False)
    earliest = np.maximum(created[users], shop.TIME_START)
    times = earliest + (rng.random(users.size) * (shop.TIME_END - earliest)).astype(np.int64)
    return users, times


# ---- timing inside the loader -----------------------------------------------------------------

SAMPLE_SECONDS, SAMPLE_CALLS, COLLATE_SECONDS, COLLATE_CALLS = range(4)


class timed:
    """`function` adding its wall time and one call to shared counters, in any process; a class
    rather than a closure, so that loaders pickled for spawned or forkserver workers take it along."""

    def __init__(self, function, counters, seconds_slot: int, calls_slot: int):
        self.function, self.counters = function, counters
        self.seconds_slot, self.calls_slot = seconds_slot, calls_slot

    def __call__(self, *args, **kwargs):
        start = time.perf_counter()
        result = self.function(*args, **kwargs)
        elapsed = time.perf_counter() - start
        with self.counters.get_lock():
            self.counters[self.seconds_slot] += elapsed
            self.counters[self.calls_slot] += 1
        return result


def make_loader(data, graph, users, times, config: Config, args, counters):
    from quorvix.pyg import NeighborLoader

    kwargs = {}
    if config.workers:
        kwargs = dict(persistent_workers=config.persistent, filter_per_worker=config.filter_per_worker)
    loader = NeighborLoader(
        data, args.fanouts, ("users", users), times, time_attr="time", graph=graph,
        num_threads=config.threads, batch_size=args.batch_size, shuffle=True,
        num_workers=config.workers, **kwargs)
    sampler = loader.quorvix_sampler
    sampler.sample_from_nodes = timed(sampler.sample_from_nodes, counters, SAMPLE_SECONDS, SAMPLE_CALLS)
    loader.filter_fn = timed(loader.filter_fn, counters, COLLATE_SECONDS, COLLATE_CALLS)
    return loader


def children_cpu_seconds() -> float:
    """CPU time of the ended child processes this process has waited for (the loader's workers)."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_once(data, graph, users, times, config: Config, args) -> dict:
    counters = multiprocessing.Array("d", 4)
    cpu_start, children_start = time.process_time(), children_cpu_seconds()
    loader = make_loader(data, graph, users, times, config, args, counters)
    warm_up = sum(1 for _ in loader)  # page cache, allocator, persistent workers started
    counters[:] = [0.0] * 4
    batches, seconds, first = 0, 0.0, []
    for _ in range(args.epochs):
        start = time.perf_counter()
        iterator = iter(loader)
        next(iterator)
        first.append(time.perf_counter() - start)
        batches += 1 + sum(1 for _ in iterator)
        seconds += time.perf_counter() - start
        del iterator
    sample_calls, collate_calls = counters[SAMPLE_CALLS], counters[COLLATE_CALLS]
    if sample_calls != batches or collate_calls != batches:
        raise RuntimeError(f"{config.label}: {batches} batches, but {sample_calls:.0f} timed samples "
                           f"and {collate_calls:.0f} timed collations")
    result = {
        "batches_per_s": batches / seconds,
        "first_batch_ms": 1000 * statistics.median(first),
        "sample_ms": 1000 * counters[SAMPLE_SECONDS] / batches,
        "collate_ms": 1000 * counters[COLLATE_SECONDS] / batches,
    }
    del loader
    gc.collect()  # persistent workers end with their loader
    all_batches = warm_up + batches
    result["main_cpu_ms"] = 1000 * (time.process_time() - cpu_start) / all_batches
    # Workers are this process's children only when forked; a forkserver or spawn start method makes
    # them another process's, whose CPU time this process cannot read.
    forked = multiprocessing.get_start_method() == "fork"
    result["worker_cpu_ms"] = (1000 * (children_cpu_seconds() - children_start) / all_batches if forked
                               else float("nan"))
    return result


def subgraph_size(data, graph, users, times, args) -> tuple[float, float]:
    """Mean sampled nodes and edges per seed over one epoch."""
    counters = multiprocessing.Array("d", 4)
    loader = make_loader(data, graph, users, times, Config(0, False, False, 1), args, counters)
    nodes = edges = 0
    for batch in loader:
        nodes += sum(batch[t].num_nodes for t in batch.node_types)
        edges += sum(batch[e].edge_index.size(1) for e in batch.edge_types)
    return nodes / users.size, edges / users.size


# ---- report ----------------------------------------------------------------------------------

def spread(values: list[float], digits: int) -> str:
    median = statistics.median(values)
    if len(values) == 1:
        return f"{median:.{digits}f}"
    return f"{median:.{digits}f} ({min(values):.{digits}f}-{max(values):.{digits}f})"


def table(configs: list[Config], results: dict[Config, list[dict]]) -> str:
    no_workers = Config(0, False, False, 1)
    baseline = results.get(no_workers) or results[configs[0]]
    versus = "vs. no workers" if no_workers in results else "vs. first row"
    lines = [f"| num_workers | persistent_workers | collation in | num_threads | batches/s | {versus} "
             "| first batch ms | sampling ms/batch | collation ms/batch | sampling share "
             "| CPU ms/batch, main | CPU ms/batch, workers |",
             "|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for c in configs:
        runs = results[c]
        rate = [r["batches_per_s"] for r in runs]
        # Each round's ratio to the baseline run of the same round: load that lasts a round cancels.
        ratio = [r / b["batches_per_s"] for r, b in zip(rate, baseline)]
        share = [r["sample_ms"] * r["batches_per_s"] / 1000 for r in runs]
        lines.append(
            f"| {c.workers} | {('on' if c.persistent else 'off') if c.workers else '-'} "
            f"| {('workers' if c.filter_per_worker else 'main') if c.workers else 'main'} | {c.threads} "
            f"| {spread(rate, 0)} | {statistics.median(ratio):.2f}x | {spread([r['first_batch_ms'] for r in runs], 0)} "
            f"| {spread([r['sample_ms'] for r in runs], 2)} | {spread([r['collate_ms'] for r in runs], 2)} "
            f"| {statistics.median(share):.0%} | {spread([r['main_cpu_ms'] for r in runs], 1)} "
            f"| {spread([r['worker_cpu_ms'] for r in runs], 1) if c.workers else '-'} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog="See the module docstring (top of bench/loader.py) for the method.")
    parser.add_argument("--quick", action="store_true",
                        help="a small graph (scale 0.005), 4-batch epochs, one round: for CI")
    parser.add_argument("--scale", type=float, default=0.03, help="shop graph scale (default 0.03: 183k nodes)")
    parser.add_argument("--features", type=int, default=64, help="float32 features per node (default 64)")
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--fanouts", type=int, nargs="+", default=[4, 2, 1],
                        help="most recent neighbours per edge type and hop (default 4 2 1)")
    parser.add_argument("--batches", type=int, default=40, help="batches per epoch (default 40)")
    parser.add_argument("--epochs", type=int, default=2, help="timed epochs per run (default 2)")
    parser.add_argument("--rounds", type=int, default=5, help="runs of every configuration (default 5)")
    parser.add_argument("--workers", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args(argv)
    if args.quick:
        args.scale, args.batches, args.epochs, args.rounds = 0.005, 4, 1, 1

    import torch

    from quorvix.pyg import graph_from_hetero_data

    started = time.perf_counter()
    data = build_data(args.scale, args.features)
    graph = graph_from_hetero_data(data, "time")
    # The graph's own copy of the node times, so that nothing the loader does to data's storage
    # can reach the arrays the sampler reads.
    graph.node_time = {t: np.array(a) for t, a in graph.node_time.items()}
    users, times = seeds(data, args.batches, args.batch_size)
    nodes_per_seed, edges_per_seed = subgraph_size(data, graph, users, times, args)
    num_nodes = sum(data[t].num_nodes for t in data.node_types)
    num_edges = sum(data[e].num_edges for e in data.edge_types)
    print(f"graph: {num_nodes:,} nodes, {num_edges:,} edges in {len(data.edge_types)} edge types, "
          f"{args.features} float32 features per node; built in {time.perf_counter() - started:.1f} s")
    print(f"epoch: {-(-users.size // args.batch_size)} batches of {args.batch_size} users, fan-outs {args.fanouts}, "
          f"{nodes_per_seed:.1f} nodes and {edges_per_seed:.1f} edges per seed")
    print(f"{os.cpu_count()} CPUs, torch {torch.__version__} with {torch.get_num_threads()} threads in the main "
          f"process, load average before {os.getloadavg()[0]:.2f}")

    configs = all_configs(args.workers, args.threads)
    results: dict[Config, list[dict]] = {c: [] for c in configs}
    order = random.Random(0)
    for round_ in range(args.rounds):
        shuffled = configs[:]
        order.shuffle(shuffled)
        for c in shuffled:
            results[c].append(run_once(data, graph, users, times, c, args))
        print(f"round {round_ + 1}/{args.rounds} done, load average {os.getloadavg()[0]:.2f}", flush=True)

    print(f"\nMedian of {args.rounds} rounds (lowest-highest), {args.epochs} timed epochs of "
          f"{-(-users.size // args.batch_size)} batches per run; "
          f"{time.perf_counter() - started:.0f} s in all, load average after {os.getloadavg()[0]:.2f}\n")
    print(table(configs, results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
