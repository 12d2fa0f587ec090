"""Two (or more) builds of the extension side by side: thread speed-ups alternated call by call.

    python bench/builds.py build/python ../other/build/python
    python bench/builds.py A B --batch-sizes 8192,1024 --workloads last-k,uniform --threads 1,2
    python bench/builds.py A B --shared      # one subgraph per call (disjoint=False, one seed time)

Each build runs in a child process of its own (measure.py's call server, PYTHONPATH set to the
given directory, which holds the `quorvix` package). The parent walks --rounds rounds; in each,
every (workload, batch size) takes the next batch of the pool and calls it once per (build,
thread count), the builds' order turning every round. A machine whose load moves during the run
then moves every build's figures alike, and the ratios a round gives are of calls made within a
few hundred milliseconds of each other.

Per (workload, batch size, build) the table shows the median edges/s for each thread count and
the per-round speed-up of every thread count over the first (median and interquartile range).
State the load (uptime) with any figure; a machine shared with other work shows smaller,
noisier speed-ups than an idle one.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph as shop  # noqa: E402
from measure import CallServer  # noqa: E402
from report import markdown_table  # noqa: E402
from workloads import WORKLOADS  # noqa: E402


def quartiles(values: list[float]) -> tuple[float, float, float]:
    if len(values) < 2:
        return values[0], values[0], values[0]
    q1, median, q3 = statistics.quantiles(values, n=4)
    return q1, median, q3


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="+", help="directories holding a built quorvix package")
    parser.add_argument("--scale", type=float, default=0.4, help="shop graph scale (default 0.4: 2M orders)")
    parser.add_argument("--graph-seed", type=int, default=0)
    parser.add_argument("--bench-seed", type=int, default=1)
    parser.add_argument("--batch-sizes", type=str, default="8192,1024")
    parser.add_argument("--workloads", type=str, default="last-k,uniform")
    parser.add_argument("--threads", type=str, default="1,2")
    parser.add_argument("--rounds", type=int, default=30)
    parser.add_argument("--pool", type=int, default=16, help="distinct batches per batch size")
    parser.add_argument("--shared", action="store_true", help="one subgraph per call instead of one per seed")
    args = parser.parse_args(argv)
    workloads = args.workloads.split(",")
    unknown = [w for w in workloads if w not in WORKLOADS]
    if unknown:
        parser.error(f"unknown workload(s) {unknown}; choose from {WORKLOADS}")
    batch_sizes = [int(b) for b in args.batch_sizes.split(",")]
    threads = [int(t) for t in args.threads.split(",")]

    shop.load_graph(args.scale, args.graph_seed)  # built here once, so the children only map it
    plan = {"graph_scale": args.scale, "graph_seed": args.graph_seed, "bench_seed": args.bench_seed,
            "workloads": workloads, "batch_sizes": batch_sizes, "threads": threads, "pool": args.pool,
            "shared": args.shared}
    servers = [CallServer(str(Path(b).resolve()), plan) for b in args.builds]
    # seconds[(workload, batch, build, threads)] per round; edges per call likewise
    seconds: dict[tuple, list[float]] = {}
    edges: dict[tuple, list[int]] = {}
    try:
        for r in range(args.rounds):
            order = list(range(len(servers)))
            order = order[r % len(order):] + order[:r % len(order)]
            for workload in workloads:
                for batch in batch_sizes:
                    for b in order:
                        for t in threads:
                            answer = servers[b].call(workload, batch, t, r)
                            seconds.setdefault((workload, batch, b, t), []).append(answer["seconds"])
                            edges.setdefault((workload, batch, b, t), []).append(answer["edges"])
    finally:
        for server in servers:
            server.close()

    for b, server in enumerate(servers):
        print(f"build {b}: {args.builds[b]} ({server.module})")
    header = ["workload", "batch", "build"] + [f"M edges/s, {t} thr" for t in threads]
    header += [f"{t}/{threads[0]} thr: median [IQR]" for t in threads[1:]]
    rows = []
    for workload in workloads:
        for batch in batch_sizes:
            for b in range(len(servers)):
                row = [workload, str(batch), str(b)]
                for t in threads:
                    key = (workload, batch, b, t)
                    rate = [e / s for e, s in zip(edges[key], seconds[key])]
                    row.append(f"{statistics.median(rate) / 1e6:.1f}")
                for t in threads[1:]:
                    ratios = [one / many for one, many in
                              zip(seconds[(workload, batch, b, threads[0])], seconds[(workload, batch, b, t)])]
                    q1, median, q3 = quartiles(ratios)
                    row.append(f"{median:.2f} [{q1:.2f}-{q3:.2f}]")
                rows.append(row)
    mode = "one subgraph per call" if args.shared else "one subgraph per seed"
    print(f"\nshop graph scale {args.scale:g}, {mode}, {args.rounds} rounds, load {os.getloadavg()[0]:.2f}\n")
    print(markdown_table(header, rows))
    # Identical builds must sample identical edges: a difference is a result change, not noise.
    for workload in workloads:
        for batch in batch_sizes:
            counts = {tuple(edges[(workload, batch, b, t)]) for b in range(len(servers)) for t in threads}
            if len(counts) > 1:
                print(f"note: {workload} batch {batch}: edge counts differ between builds or thread counts")
    return 0


if __name__ == "__main__":
    sys.exit(main())
