"""Time quorvix.pyg.graph_from_hetero_data on the shop graph of bench/graph.py.

    python bench/pyg_graph.py [--scale 1.0] [--repeats 3]

The cached graph's four edge types become a HeteroData whose edge_index lists the edges in
a random order (as a database export would), with node-level times. Each repeat converts it
back to time-sorted CSC in a fresh child process and reports the wall and CPU time and the
child's peak RSS; the first result is checked against the cache: same colptr, same neighbour times
run by run, and a permutation that maps every CSC position to its original edge.
"""

from __future__ import annotations

import argparse
import multiprocessing
import resource
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph as bench_graph  # noqa: E402


def shuffled_hetero_data(scale: float):
    import torch
    from torch_geometric.data import HeteroData

    cached = bench_graph.load_graph(scale)
    rng = np.random.default_rng(0)
    data = HeteroData()
    for t in cached.node_types:
        data[t].num_nodes = cached.num_nodes[t]
        data[t].time = torch.from_numpy(np.array(cached.node_time[t]))  # a writable copy
    for edge_type, key in zip(cached.edge_types, bench_graph.EDGE_TYPE_KEYS):
        colptr = np.asarray(cached.colptr[key])
        src = np.asarray(cached.row[key])
        dst = np.repeat(np.arange(colptr.size - 1), np.diff(colptr))
        order = rng.permutation(src.size)
        data[edge_type].edge_index = torch.from_numpy(np.stack([src[order], dst[order]]))
    return cached, data


def current_rss_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # not Linux: the peak so far


def measure(scale: float, check: bool, out) -> None:
    from quorvix.pyg import graph_from_hetero_data

    cached, data = shuffled_hetero_data(scale)
    base_rss = current_rss_kib()
    start, start_cpu = time.perf_counter(), time.process_time()
    graph = graph_from_hetero_data(data, time_attr="time")
    seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - start_cpu
    peak_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if check:
        for edge_type, key in zip(cached.edge_types, bench_graph.EDGE_TYPE_KEYS):
            edge_index = data[edge_type].edge_index.numpy()
            time_of = np.asarray(cached.node_time[edge_type[0]])
            assert np.array_equal(graph.colptr[key], cached.colptr[key]), key
            assert np.array_equal(time_of[graph.row[key]], time_of[np.asarray(cached.row[key])]), key
            assert np.array_equal(edge_index[0][graph.perm[key]], graph.row[key]), key
    out.send((seconds, cpu_seconds, base_rss / 1024, peak_rss / 1024, sum(r.size for r in graph.row.values())))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args(argv)
    bench_graph.load_graph(args.scale)  # build the cache once, outside the measurements
    results = []
    for i in range(args.repeats):
        receive, send = multiprocessing.Pipe(duplex=False)
        child = multiprocessing.Process(target=measure, args=(args.scale, i == 0, send))
        child.start()
        results.append(receive.recv())
        child.join()
        if child.exitcode:
            return child.exitcode
    seconds, cpu_seconds = [r[0] for r in results], [r[1] for r in results]
    _, _, base, peak, edges = results[0]
    print(f"graph_from_hetero_data, {edges:,} edges in {len(bench_graph.EDGE_TYPES)} edge types: "
          f"median {statistics.median(seconds):.2f} s wall, {statistics.median(cpu_seconds):.2f} s CPU "
          f"(wall runs: {', '.join(f'{s:.2f}' for s in seconds)}); "
          f"peak RSS {peak:.0f} MiB, {peak - base:.0f} MiB above the {base:.0f} MiB in use before the call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
