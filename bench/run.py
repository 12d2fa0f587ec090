"""Throughput and memory of NeighborSampler.sample on a synthetic shop graph (bench/graph.py).

    python bench/run.py                  # default scale: 1M users, 100k items, 5M orders, ~40M edges
    python bench/run.py --quick          # a few seconds at a tiny scale; exits 0 and prints the table
    python bench/run.py --threads 1,2    # every row with num_threads 1 and 2, and the speed-ups
    python bench/run.py --callgrind      # instructions per sampled edge under valgrind (small scale)

Workloads, all seeded from users:

- last-k:   seed times drawn per seed, fan-outs [16, 8] on every edge type (most recent k).
- window:   the same seeds and times, time windows on every edge type: the last 30 days on
            hop 0 and the last 365 days on hop 1.
- uniform:  a sampler built without timestamps (node_time={}), fan-outs [16, 8], drawn
            uniformly without replacement.
- take-all: fan-outs [-1, -1] with timestamps, on a graph a tenth of --scale (--small-scale),
            since whole neighbourhoods of busy users are large.

Seeds are users drawn uniformly; a seed's time is drawn uniformly between the user's creation
(or the start of the timeline, if later) and the end of the timeline. A uniformly drawn user
is typically light (5 orders over three years on average), so the window workload finds well
under one edge per seed: it measures the per-seed cost more than the per-edge one. Hop 0
expands users into orders and hop 1 orders into users and items; items are reached only in the
last hop, so ("orders", "lists", "items") is walked with an empty frontier.

Method
------
Every (workload, batch size) row runs in a fresh child process, so that its peak RSS is its
own. The child maps the cached graph, builds the sampler, draws a pool of seed batches holding
--distinct-seeds seeds in all (at least two batches), and calls `sample` once per batch as
warm-up. The pool is large so that small batches do not replay a few hundred seeds whose
neighbourhoods then sit in the CPU caches: sampling over a graph of hundreds of MiB mostly
misses them. A measurement loops over the pool until at least --min-time seconds have passed
and divides by the number of calls;
the reported time per call is the median of --repeats such measurements. The garbage
collector is off while timing, and each result is dropped as soon as the call returns, so at
most one result is alive at a time.

- ms/call is that median wall time. CPU ms/call is the calling thread's CPU time over the
  same loops: it suffers less than wall time when other processes share the machine.
- seeds/s and edges/s divide the batch size and the mean number of sampled edges (over the
  pool) by the median time per call. nodes/seed counts sampled nodes of all types, seeds
  included, per seed.
- faults/call is the number of minor page faults per call during the timed loops: memory the
  process gives back to the system and faults in again on every call.
- peak RSS is the child's VmHWM (/proc/self/status), read right after the timed calls, before
  anything else allocates. (Not ru_maxrss: Linux carries the parent's peak into a child across
  fork and exec, so a run that had just built the graph cache reported the builder's peak.) It
  holds the interpreter, NumPy, the pages of the memory-mapped graph that sampling
  touched (the sampler reads the mapped arrays in place), the sampler, the seed pool and one
  result at a time. The JSON also holds base_rss_bytes, the RSS before the first call. The
  budget checked is graph bytes + 4 x output bytes + 100 MiB, with the largest output of the
  pool and the bytes of every graph array the sampler was given, plus PER_THREAD_RSS for each
  thread beyond the first (its stack and allocator arena; the chunks' lists are covered by the
  output term).
- outside is the share of a call spent outside the traversal, estimated as

      outside = fixed + (copy(full result) - copy(result of the fixed call))

  where `fixed` is the median time of a call with the same seeds, seed times and sampler but
  every fan-out 0 (same number of hops, so validation, seeding, the per-hop bookkeeping and
  the assembly of the seed-only result all run, but no neighbour is looked up), and
  copy(result) is the median time to copy all arrays of a result into six new dicts with
  NumPy (allocation plus memcpy of the same bytes the extension copies out of its tables).
  For the window workload the fixed call uses fan-outs too, so the conversion of its offset
  rows (two small rows per edge type and hop) is not included. The estimate does not count
  what the extension spends growing its tables, which is traversal.

With --threads, every (workload, batch) is measured once per thread count, in adjacent child
processes, and a second table gives each count's speed-up over one thread, the serial fraction
f that two threads imply (Amdahl: speed-up S on n threads gives f = (n / S - 1) / (n - 1)) and
the speed-up that f allows on 16 and 64 cores.

The callgrind mode runs the last-k and uniform workloads (or --workloads) under valgrind with
collection switched on only inside the extension's sample function (and, with several threads,
inside the pool workers' share of it) and one profile dump per call, summed over threads; the
first call is a warm-up and is dropped. Instructions per sampled edge do not move
with machine noise, so they suit comparing two builds of the hot path.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph as shop  # noqa: E402
from callgrind import CALLGRIND_FUNCTION, callgrind_table, run_callgrind  # noqa: E402
from measure import BENCH_DIR, child_main, module_info, run_child  # noqa: E402
from report import graph_lines, machine_info, plot, plot_instructions, plot_note, scaling_rows, scaling_table, table  # noqa: E402
from workloads import DESCRIPTIONS, WORKLOADS, graph_scale  # noqa: E402


def parse_args(argv: list[str] | None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\nWorkloads")[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--scale", type=float, default=None, help="graph scale (default 1.0; 0.05 with --callgrind)"
    )
    parser.add_argument(
        "--small-scale", type=float, default=None, help="graph scale of take-all (default scale / 10)"
    )
    parser.add_argument("--quick", action="store_true", help="a few seconds at a tiny scale (for CI)")
    parser.add_argument(
        "--batch-sizes", type=str, default=None, help="comma-separated (default 128,1024,8192)"
    )
    parser.add_argument(
        "--repeats", type=int, default=None, help="measurements per row, median taken (default 7)"
    )
    parser.add_argument("--min-time", type=float, default=None, help="seconds per measurement (default 0.2)")
    parser.add_argument(
        "--distinct-seeds", type=int, default=None, help="seeds in the pool of each row (default 65536)"
    )
    parser.add_argument(
        "--workloads", type=str, default=None, help="comma-separated subset of " + ",".join(WORKLOADS)
    )
    parser.add_argument(
        "--json", type=str, default=str(BENCH_DIR / "results.json"), help="where to write results"
    )
    parser.add_argument("--plot", type=str, default=None,
                        help="draw edges/s against batch size (with --callgrind: instructions per edge) to this file")
    parser.add_argument(
        "--threads", type=str, default="1", help="comma-separated num_threads values to measure (default 1)"
    )
    parser.add_argument("--graph-seed", type=int, default=0)
    parser.add_argument("--bench-seed", type=int, default=1)
    parser.add_argument(
        "--callgrind",
        action="store_true",
        help="instructions per edge under valgrind (batch 1024 unless --batch-sizes)",
    )
    parser.add_argument("--callgrind-calls", type=int, default=3, help="measured calls per row (default 3)")
    parser.add_argument(
        "--callgrind-function", type=str, default=CALLGRIND_FUNCTION, help="callgrind name pattern"
    )
    parser.add_argument(
        "--callgrind-module", type=str, default=None, help="a quorvix .so with symbols to profile"
    )
    parser.add_argument("--callgrind-dir", type=str, default=None, help="keep the profiles here")
    args = parser.parse_args(argv)

    if args.repeats is not None and args.repeats < 1:
        parser.error("--repeats must be at least 1")
    args.batch_sizes_given = args.batch_sizes is not None
    args.batch_sizes = [int(b) for b in (args.batch_sizes or "128,1024,8192").split(",")]
    args.threads = [int(t) for t in args.threads.split(",")]
    if any(t < 1 for t in args.threads):
        parser.error("--threads values must be at least 1")
    if args.quick:
        args.scale = args.scale if args.scale is not None else 0.002
        args.repeats = args.repeats or 5
        args.min_time = args.min_time if args.min_time is not None else 0.005
        args.distinct_seeds = args.distinct_seeds or 4096
    elif args.callgrind:
        args.scale = args.scale if args.scale is not None else 0.05
    args.scale = args.scale if args.scale is not None else 1.0
    args.small_scale = args.small_scale if args.small_scale is not None else args.scale / 10
    args.repeats = args.repeats or 7
    args.min_time = args.min_time if args.min_time is not None else 0.2
    args.distinct_seeds = args.distinct_seeds or 65536
    default_workloads = "last-k,uniform" if args.callgrind else ",".join(WORKLOADS)
    args.workloads = (args.workloads or default_workloads).split(",")
    unknown = [w for w in args.workloads if w not in WORKLOADS]
    if unknown:
        parser.error(f"unknown workload(s) {unknown}; choose from {WORKLOADS}")
    return args


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) == 2 and argv[0] in ("--child-row", "--child-callgrind"):
        return child_main(argv[0].removeprefix("--child-"), argv[1])
    args = parse_args(argv)

    # Build every graph here, once, so children only map it.
    graphs: dict[float, shop.Graph] = {}
    for workload in args.workloads:
        s = graph_scale(workload, args.scale, args.small_scale)
        if s not in graphs:
            graphs[s] = shop.load_graph(s, args.graph_seed)
            if graphs[s].build_seconds:
                print(f"built graph scale {s:g} in {graphs[s].build_seconds:.1f} s", flush=True)
    for line in graph_lines(graphs):
        print(line)

    load = os.getloadavg()[0]
    if not args.callgrind and load > 0.5 * (os.cpu_count() or 1):
        print(
            f"warning: load average {load:.1f} on {os.cpu_count()} CPUs; wall times will be noisy",
            file=sys.stderr,
        )
    report = {
        "machine": machine_info(),
        "module": module_info(),
        "args": {k: v for k, v in vars(args).items() if k not in ("json", "plot", "callgrind_dir")},
        "graphs": {f"{s:g}": g.info for s, g in graphs.items()},
    }

    if args.callgrind:
        rows = run_callgrind(args)
        print()
        print(callgrind_table(rows))
        for r in rows:
            print(f"\n{r['workload']}, batch {r['batch_size']}: one call, {r['profile']}")
            for kind in ("self", "inclusive"):
                print(f"  {kind} cost:")
                for line in r["top_functions"][kind]:
                    print("    " + line)
        report["callgrind"] = rows
        if args.plot:
            plot_instructions(rows, args.plot, plot_note(report))
    else:
        rows = []
        started = time.perf_counter()
        for workload in args.workloads:
            for batch in args.batch_sizes:
                # The thread counts of one row run back to back, so machine load drifts little between them.
                for threads in args.threads:
                    plan = {
                        "workload": workload,
                        "graph_scale": graph_scale(workload, args.scale, args.small_scale),
                        "graph_seed": args.graph_seed,
                        "batch_size": batch,
                        "threads": threads,
                        "repeats": args.repeats,
                        "min_time": args.min_time,
                        "pool": max(2, -(-args.distinct_seeds // batch)),
                        "bench_seed": args.bench_seed,
                    }
                    rows.append(run_child("row", plan))
                    r = rows[-1]
                    print(
                        f"  {workload:<9} batch {batch:>5} threads {threads}: "
                        f"{r['seconds_per_call'] * 1e3:9.3f} ms/call",
                        file=sys.stderr,
                        flush=True,
                    )
        print()
        print(table(rows))
        scaling = scaling_rows(rows, "seconds_per_call")
        if scaling:
            print()
            print(scaling_table(scaling))
            report["scaling"] = scaling
        print()
        for workload in args.workloads:
            print(f"{workload}: {DESCRIPTIONS[workload]}")
        print(f"\n{len(rows)} rows in {time.perf_counter() - started:.1f} s")
        report["results"] = rows
        if args.plot:
            plot(rows, args.plot, plot_note(report))

    Path(args.json).write_text(json.dumps(report, indent=2) + "\n")
    print(f"results written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
