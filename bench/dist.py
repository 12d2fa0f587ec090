"""Partitioned sampling against one sampler, on the synthetic shop graph (bench/graph.py).

    python bench/dist.py                # scale 0.1, parts 1 2 4
    python bench/dist.py --scale 0.01   # a smoke run in seconds

Every part is opened in this process and requests go through a transport that pickles each request
and answer as RPC would, counting the bytes; the time is the trainers' and owners' work without the
network (the loopback world's figure is not measured yet). Calls alternate between the
configurations, and each row reports the median of the rounds with their range.
"""

from __future__ import annotations

import argparse
import pickle
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import graph as shop  # noqa: E402
from report import fmt_rate, markdown_table  # noqa: E402
from workloads import request, seed_batches  # noqa: E402

import quorvix  # noqa: E402
import quorvix_dist  # noqa: E402


class CountingTransport(quorvix_dist.InProcessTransport):
    """Answers in process after a pickle round trip of request and answer, counting their bytes."""

    def __init__(self, parts):
        super().__init__(parts)
        self.bytes = 0

    def request(self, owner, operation, *args):
        sent = pickle.dumps((operation, args), protocol=pickle.HIGHEST_PROTOCOL)
        answer = super().request(owner, operation, *pickle.loads(sent)[1]).wait()
        received = pickle.dumps(answer, protocol=pickle.HIGHEST_PROTOCOL)
        self.bytes += len(sent) + len(received)
        return quorvix_dist.sampler._Answered(pickle.loads(received))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=0.1)
    parser.add_argument("--parts", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--workload", default="last-k", choices=["last-k", "window"])
    parser.add_argument("--batch", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args(argv)

    g = shop.load_graph(args.scale)
    graph = quorvix.Graph(list(g.node_types), list(g.edge_types), dict(g.colptr), dict(g.row), dict(g.node_time))
    num_neighbors, offsets = request(args.workload)
    batches = seed_batches(g, args.batch, args.rounds, seed=0)
    single = quorvix.NeighborSampler(graph, 1)
    single.disjoint = True
    configs = {"one sampler": (lambda u, t: single.sample_with_edge_ids(num_neighbors, offsets, "users", u, t), None)}
    with tempfile.TemporaryDirectory() as tmp:
        for num_parts in args.parts:
            quorvix.partition(graph, num_parts, Path(tmp) / str(num_parts))
            parts = {k: quorvix_dist.open_part(Path(tmp) / str(num_parts), k) for k in range(num_parts)}
            transport = CountingTransport(parts)
            sampler = quorvix_dist.DistNeighborSampler(parts[0], disjoint=True, transport=transport)
            configs[f"{num_parts} parts"] = (
                lambda u, t, s=sampler: s.sample_with_edge_ids(num_neighbors, offsets, "users", u, t), transport)
        rates = {name: [] for name in configs}
        edges_total = {name: 0 for name in configs}
        for users, times in batches:  # configurations alternate call by call
            for name, (call, _) in configs.items():
                start = time.perf_counter()
                result = call(users, times)
                seconds = time.perf_counter() - start
                edges = sum(a.size for a in result[0].values())
                edges_total[name] += edges
                rates[name].append(edges / seconds)
        body = []
        for name, (_, transport) in configs.items():
            values = rates[name]
            per_edge = "-" if transport is None else f"{transport.bytes / edges_total[name]:.1f}"
            body.append([name, fmt_rate(statistics.median(values)),
                         f"{fmt_rate(min(values))}-{fmt_rate(max(values))}", per_edge])
    print(f"shop graph scale {args.scale}, {args.workload}, batch {args.batch}, {args.rounds} rounds")
    print(markdown_table(["configuration", "edges/s (median)", "range", "bytes sent per sampled edge"], body))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
