"""Partitioned sampling against one sampler, on the synthetic shop graph (bench/graph.py).

    python bench/dist.py                # scale 0.1, parts 1 2 4
    python bench/dist.py --scale 0.01   # a smoke run in seconds
    python bench/dist.py --world        # also one process per part over RPC on 127.0.0.1

Every part is opened in this process and requests go through a transport that pickles each request
and answer as RPC would, counting the bytes; the time is the trainers' and owners' work without the
network. Calls alternate between the configurations, and each row reports the median of the rounds
with their range. With --world, each part count also runs as a world of processes on the loopback
(TensorPipe), rank 0 sampling the same batches while the others serve.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import socket
import subprocess
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


def serve_world(args) -> int:
    """One rank of a --world run: rank 0 times the batches and prints its rates as JSON."""
    rank, world, port, parts_dir, done_dir = args.serve
    rank, world = int(rank), int(world)
    part = quorvix_dist.init_part_worker(parts_dir, rank, world, init_method=f"tcp://127.0.0.1:{port}",
                                         timeout=120)
    if rank == 0:
        g = shop.load_graph(args.scale)
        num_neighbors, offsets = request(args.workload)
        sampler = quorvix_dist.DistNeighborSampler(part, disjoint=True, timeout=120)
        rates = []
        for users, times in seed_batches(g, args.batch, args.rounds, seed=0):
            start = time.perf_counter()
            result = sampler.sample_with_edge_ids(num_neighbors, offsets, "users", users, times)
            rates.append(sum(a.size for a in result[0].values()) / (time.perf_counter() - start))
        print(json.dumps(rates), flush=True)
    quorvix_dist.shutdown()  # the others keep serving until rank 0 gets here
    Path(done_dir, str(rank)).touch()
    if rank == 0:  # rank 0 hosts the store the others' shutdown uses: it leaves last
        while not all(Path(done_dir, str(r)).exists() for r in range(1, world)):
            time.sleep(0.05)
    return 0


def world_rates(args, parts_dir: Path, num_parts: int) -> list[float]:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    done = parts_dir / "done"
    done.mkdir()
    env = dict(os.environ, TP_SOCKET_IFNAME="lo", GLOO_SOCKET_IFNAME="lo")
    common = ["--scale", str(args.scale), "--workload", args.workload, "--batch", str(args.batch),
              "--rounds", str(args.rounds)]
    processes = [subprocess.Popen([sys.executable, __file__, *common, "--serve", str(rank), str(num_parts), str(port),
                                   str(parts_dir), str(done)], env=env, stdout=subprocess.PIPE, text=True)
                 for rank in range(num_parts)]
    outputs = [p.communicate(timeout=1800)[0] for p in processes]
    return json.loads(outputs[0].strip().splitlines()[-1])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=0.1)
    parser.add_argument("--parts", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--workload", default="last-k", choices=["last-k", "window"])
    parser.add_argument("--batch", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--world", action="store_true", help="also time worlds of processes over RPC")
    parser.add_argument("--serve", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.serve:
        return serve_world(args)

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
        if args.world:
            for num_parts in args.parts:
                if num_parts > 1:
                    values = world_rates(args, Path(tmp) / str(num_parts), num_parts)
                    body.append([f"{num_parts} processes over RPC", fmt_rate(statistics.median(values)),
                                 f"{fmt_rate(min(values))}-{fmt_rate(max(values))}", "as in process"])
    print(f"shop graph scale {args.scale}, {args.workload}, batch {args.batch}, {args.rounds} rounds")
    print(markdown_table(["configuration", "edges/s (median)", "range", "bytes sent per sampled edge"], body))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
