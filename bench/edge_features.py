"""Cost of edge times, edge weights and draws with replacement, against the plain rules.

    python bench/edge_features.py                # shop graph at scale 0.05, batches of 1024 users
    python bench/edge_features.py --scale 1.0    # the full graph (about 40M edges)
    python bench/edge_features.py --quick        # a few seconds, for CI
    python bench/edge_features.py --model-step   # a stand-in model step before every call

Workloads on the shop graph of bench/graph.py (seeded from users, fan-outs [16, 8] on every edge
type, seed times as in bench/run.py):

- last-k, node times:   the sampler of bench/run.py's last-k row.
- last-k, edge times:   node_time={}, and every edge carries the time of its order end (so the
                        temporal rules read edge_time instead of node_time).
- uniform:              no times, uniform draws without replacement (bench/run.py's uniform row).
- uniform, weighted:    the same with a weight per edge (exponential, one in ten 0).
- uniform, replace:     no weights, draws with replacement.
- weighted, replace:    weights, draws with replacement.
- temporal uniform, weighted: edge times and weights, temporal_strategy="uniform".

And a star: one user with --hub-degree (default 1,000,000) weighted neighbours, a batch of
1024 seeds all at that user, fan-out 16: microseconds per seed, weighted and not.

Rows are measured in interleaved rounds in one process and the median time per call of each is
kept, so the ratios between rows hold even on a busy machine; absolute figures do not. With
--model-step, bench/loop.py's stand-in training step (five 600x600 matrix products on one torch
thread) runs before every call, untimed, as between a training loop's batches.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph as shop  # noqa: E402

import quorvix  # noqa: E402

FANOUTS = [16, 8]


def edge_times(g: shop.Graph) -> dict[str, np.ndarray]:
    """Per edge the time of its order end, in row order (runs stay sorted: order ids follow time)."""
    times = {}
    order_time = np.asarray(g.node_time["orders"])
    for t0, rel, t2 in shop.EDGE_TYPES:
        key = shop.edge_type_key((t0, rel, t2))
        colptr, row = np.asarray(g.colptr[key]), np.asarray(g.row[key])
        if t0 == "orders":
            times[key] = order_time[row]
        else:  # the frontier is the order: repeat each order's time over its run
            times[key] = np.repeat(order_time, np.diff(colptr))
    return times


def edge_weights(g: shop.Graph, rng: np.random.Generator) -> dict[str, np.ndarray]:
    weights = {}
    for edge_type in shop.EDGE_TYPES:
        key = shop.edge_type_key(edge_type)
        w = rng.exponential(size=len(g.row[key]))
        w[rng.random(len(w)) < 0.1] = 0.0
        weights[key] = w
    return weights


def seed_batches(g: shop.Graph, batch: int, count: int, rng: np.random.Generator):
    users = g.num_nodes["users"]
    created = np.asarray(g.node_time["users"])
    out = []
    for _ in range(count):
        seeds = rng.integers(0, users, size=batch).astype(np.int64)
        start = np.maximum(created[seeds], shop.TIME_START)
        times = (start + rng.random(batch) * (shop.TIME_END - start)).astype(np.int64)
        out.append((seeds, times))
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float, default=0.05)
    parser.add_argument("--batch-size", type=int, default=1024)
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds; medians are kept")
    parser.add_argument("--calls", type=int, default=8, help="calls per row and round")
    parser.add_argument("--hub-degree", type=int, default=1_000_000)
    parser.add_argument("--quick", action="store_true", help="tiny scale and few rounds")
    parser.add_argument("--model-step", action="store_true", help="a stand-in model step before every call")
    args = parser.parse_args(argv)
    if args.quick:
        args.scale, args.rounds, args.calls, args.hub_degree = 0.01, 3, 2, 100_000

    rng = np.random.default_rng(0)
    g = shop.load_graph(args.scale, 0)
    base = dict(node_types=shop.NODE_TYPES, edge_types=shop.EDGE_TYPES, colptr=g.colptr, row=g.row)
    times = edge_times(g)
    weights = edge_weights(g, rng)
    num_edges = sum(len(r) for r in g.row.values())

    started = time.perf_counter()
    weighted_sampler = quorvix.NeighborSampler(**base, node_time={}, edge_weight=weights)
    weight_index_seconds = time.perf_counter() - started
    plain_sampler = quorvix.NeighborSampler(**base, node_time={})
    replace_sampler = quorvix.NeighborSampler(**base, node_time={})
    replace_sampler.replace = True
    weighted_replace = quorvix.NeighborSampler(**base, node_time={}, edge_weight=weights)
    weighted_replace.replace = True
    temporal_weighted = quorvix.NeighborSampler(**base, node_time={}, edge_time=times, edge_weight=weights)
    temporal_weighted.temporal_strategy = "uniform"
    rows = {
        "last-k, node times": (quorvix.NeighborSampler(**base, node_time=g.node_time), True),
        "last-k, edge times": (quorvix.NeighborSampler(**base, node_time={}, edge_time=times), True),
        "uniform": (plain_sampler, False),
        "uniform, weighted": (weighted_sampler, False),
        "uniform, replace": (replace_sampler, False),
        "weighted, replace": (weighted_replace, False),
        "temporal uniform, weighted": (temporal_weighted, True),
    }
    num_neighbors = {shop.edge_type_key(e): np.array(FANOUTS, dtype=np.int64) for e in shop.EDGE_TYPES}
    batches = seed_batches(g, args.batch_size, args.calls, rng)
    empty = np.empty(0, dtype=np.int64)

    hub_key = "items__rated__users"
    hub_weights = rng.exponential(size=args.hub_degree)
    hub = dict(node_types=["users", "items"], edge_types=[("items", "rated", "users")],
               colptr={hub_key: np.array([0, args.hub_degree], dtype=np.int64)},
               row={hub_key: np.arange(args.hub_degree, dtype=np.int64)}, node_time={})
    hub_rows = {
        "hub, uniform": quorvix.NeighborSampler(**hub),
        "hub, weighted": quorvix.NeighborSampler(**hub, edge_weight={hub_key: hub_weights}),
    }
    hub_request = ({hub_key: np.array([16], dtype=np.int64)}, {}, "users",
                   np.zeros(args.batch_size, dtype=np.int64), empty)

    for sampler, timed in rows.values():  # warm-up: the graph's pages, the samplers' storage
        for seeds, seed_times in batches:
            sampler.sample(num_neighbors, {}, "users", seeds, seed_times if timed else empty)
    for sampler in hub_rows.values():
        sampler.sample(*hub_request)

    step = lambda: None  # noqa: E731
    if args.model_step:
        from loop import make_step

        step = make_step("model1")

    def timed_call(call, *request):
        """The call's result and seconds, after the (untimed) step."""
        step()
        started = time.perf_counter()
        out = call(*request)
        return out, time.perf_counter() - started

    per_call = {name: [] for name in [*rows, *hub_rows]}
    edges = {}
    for _ in range(args.rounds):
        for name, (sampler, timed) in rows.items():
            seconds = total = 0
            for seeds, seed_times in batches:
                out, spent = timed_call(sampler.sample, num_neighbors, {}, "users", seeds,
                                        seed_times if timed else empty)
                seconds += spent
                total += sum(len(v) for v in out[0].values())
            per_call[name].append(seconds / len(batches))
            edges[name] = total / len(batches)
        for name, sampler in hub_rows.items():
            spent = sum(timed_call(sampler.sample, *hub_request)[1] for _ in range(args.calls))
            per_call[name].append(spent / args.calls)

    print(f"graph scale {args.scale:g}: {num_edges:,} edges; batch {args.batch_size}; "
          f"medians of {args.rounds} interleaved rounds")
    print(f"weight index (cumulative sums and zero counts, 12 bytes per edge): built in "
          f"{weight_index_seconds:.3f} s with the sampler, {12 * num_edges / 2**20:.1f} MiB\n")
    print("| workload | edges/call | ms/call | ns/edge | vs. plain |")
    print("|---|---:|---:|---:|---:|")
    plain = {"last-k, edge times": "last-k, node times", "temporal uniform, weighted": "last-k, node times"}
    for name in rows:
        seconds = statistics.median(per_call[name])
        reference = statistics.median(per_call[plain.get(name, "uniform" if "uniform" in name or "replace" in name
                                                          else name)])
        print(f"| {name} | {edges[name]:,.0f} | {seconds * 1e3:.2f} | {seconds / edges[name] * 1e9:.0f} | "
              f"{seconds / reference:.2f} |")
    print(f"\n| star of {args.hub_degree:,} neighbours, fan-out 16 | us/seed |")
    print("|---|---:|")
    for name in hub_rows:
        print(f"| {name} | {statistics.median(per_call[name]) / args.batch_size * 1e6:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
