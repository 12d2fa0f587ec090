"""A schema with many paths of edge types: one node type, four self-loop edge types, eight hops.

Every path of edge types over the hops is tracked separately when a call is split over threads
(4 + 16 + ... + 4**8 = 87,380 of them here), so this is the case where splitting costs most. The
script times calls on 1, 2 and 8 threads alternating call by call, prints the median per thread
count and its ratio to one thread, and the process's peak resident memory before and after.

    python bench/paths.py [--hops 8] [--fan-out 0] [--seeds 1024] [--calls 200]
"""

import argparse
import resource
import time

import numpy as np

import quorvix


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hops", type=int, default=8)
    parser.add_argument("--fan-out", type=int, default=0)
    parser.add_argument("--seeds", type=int, default=1024)
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--threads", default="1,2,8")
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    size = 1000
    edge_types = [("n", f"r{i}", "n") for i in range(4)]
    colptr, row = {}, {}
    for edge_type in edge_types:
        key = "__".join(edge_type)
        degrees = rng.integers(0, 5, size)
        colptr[key] = np.concatenate([[0], np.cumsum(degrees)]).astype(np.int64)
        row[key] = rng.integers(0, size, int(colptr[key][-1])).astype(np.int64)
    num_neighbors = {"__".join(e): np.full(args.hops, args.fan_out, dtype=np.int64) for e in edge_types}
    seeds = rng.integers(0, size, args.seeds).astype(np.int64)
    no_times = np.zeros(0, dtype=np.int64)

    counts = [int(t) for t in args.threads.split(",")]
    samplers = {}
    for threads in counts:
        samplers[threads] = quorvix.NeighborSampler(["n"], edge_types, colptr, row, {})
        samplers[threads].num_threads = threads
    before = peak_rss_mib()
    for sampler in samplers.values():  # warm-up: pools started, lists grown
        sampler.sample(num_neighbors, {}, "n", seeds, no_times)
    times = {threads: [] for threads in counts}
    for _ in range(args.calls):
        for threads in counts:
            start = time.perf_counter()
            samplers[threads].sample(num_neighbors, {}, "n", seeds, no_times)
            times[threads].append(time.perf_counter() - start)
    base = np.median(times[counts[0]])
    print(f"hops {args.hops}, fan-out {args.fan_out}, {args.seeds} seeds, {args.calls} calls per thread count")
    print("| threads | ms/call (median) | time / one thread's |")
    print("|---:|---:|---:|")
    for threads in counts:
        median = np.median(times[threads])
        print(f"| {threads} | {median * 1e3:.3f} | {median / base:.2f}x |")
    print(f"peak RSS: {before:.0f} MiB before the calls, {peak_rss_mib():.0f} MiB after")


if __name__ == "__main__":
    main()
