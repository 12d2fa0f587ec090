"""Partitioned sampling against one sampler, on the synthetic shop graph (bench/graph.py).

    python bench/dist.py                # scale 0.1, parts 1 2 4
    python bench/dist.py --scale 0.01   # a smoke run in seconds
    python bench/dist.py --world        # also one process per part over RPC on 127.0.0.1
    python bench/dist.py --loader       # batches/s of quorvix.pyg's loaders, whole graph and parts
    python bench/dist.py --quick --loader --world   # all of it small, in well under a minute

Every part is opened in this process and requests go through a transport that pickles each request
and answer as RPC would, counting the bytes; the time is the trainers' and owners' work without the
network. Calls alternate between the configurations, and each row reports the median of the rounds
with their range. With --world, each part count also runs as a world of processes on the loopback,
rank 0 sampling the same batches while the others serve, once with requests over the sockets every
rank serves (the default transport) and once over RPC (TensorPipe).

With --loader, the same seeds in batches of --batch go through quorvix.pyg.NeighborLoader over the
whole graph (as a HeteroData with a 16-wide float feature per node) and DistNeighborLoader over its
parts, alternating batch by batch; a batch's time includes gathering the features (from their
owners). With --world also, a world of 2 processes on the loopback runs DistNeighborLoader on rank 0
(over the sockets, then over RPC), and with --workers N once more with N loader worker processes: its
CPU column is then the training process's alone (which serves the workers' requests to the other
part), the workers' own beside it.

A world's ratio is to the whole-graph sampler (or NeighborLoader) that rank 0 runs in the same
rounds, alternating call by call (batch by batch) with the distributed one. --model-step puts a
stand-in model step before every call and batch, as a training loop does, untimed (in the worlds
and the loaders; the in-process sampler rows stay back to back).
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import resource
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
import quorvix.dist  # noqa: E402


class CountingTransport(quorvix.dist.InProcessTransport):
    """Answers in process after a pickle round trip of request and answer, counting their bytes."""

    def __init__(self, parts):
        super().__init__(parts)
        self.bytes = 0

    def request(self, owner, operation, *args):
        sent = pickle.dumps((operation, args), protocol=pickle.HIGHEST_PROTOCOL)
        answer = super().request(owner, operation, *pickle.loads(sent)[1]).wait()
        received = pickle.dumps(answer, protocol=pickle.HIGHEST_PROTOCOL)
        self.bytes += len(sent) + len(received)
        return quorvix.dist.sampler._Answered(pickle.loads(received))


FEATURE_WIDTH = 16


def loader_data(scale: float):
    """The shop graph as a HeteroData (edges in random order, node times) with a float feature per node."""
    import torch
    from pyg_graph import shuffled_hetero_data

    g, data = shuffled_hetero_data(scale)
    rng = np.random.default_rng(1)
    for node_type in g.node_types:
        data[node_type].x = torch.from_numpy(rng.random((g.num_nodes[node_type], FEATURE_WIDTH), dtype=np.float32))
    return g, data


def loader_settings(args, g) -> dict:
    """The seeds of every round in one input, taken in batches of --batch, last-k 16 then 8."""
    import torch

    # One thread, as torchrun gives each rank: on a shared 2-core machine torch's gathers on two
    # threads wait on each other (30 times slower index_select seen) and would swamp the sampling.
    torch.set_num_threads(1)

    batches = seed_batches(g, args.batch, args.rounds, seed=0)
    users = np.concatenate([u for u, _ in batches])
    times = np.concatenate([t for _, t in batches])
    return dict(num_neighbors=[16, 8], input_nodes=("users", torch.from_numpy(users)), input_time=times,
                temporal_strategy="last", batch_size=args.batch)


def timed_batches(iterators: dict, step=None) -> dict[str, list[tuple[float, float]]]:
    """(wall, CPU) seconds per batch of each loader, taking one batch of each in turn until they end,
    `step` (untimed) before each batch when given. The process's CPU time holds up where a shared
    machine's other load stretches the wall time."""
    seconds = {name: [] for name in iterators}
    while True:
        for name, batches in iterators.items():
            if step is not None:
                step()
            start, cpu = time.perf_counter(), time.process_time()
            if next(batches, None) is None:
                return seconds
            seconds[name].append((time.perf_counter() - start, time.process_time() - cpu))


def model_step(args):
    """The training step a loader's batches come between, when asked for: five 600x600 matrix
    products on one torch thread (bench/loop.py's model1), untimed."""
    if not args.model_step:
        return None
    from loop import make_step

    return make_step("model1")


def serve_world(args) -> int:
    """One rank of a --world run: rank 0 times the batches and prints its rates as JSON."""
    rank, world, port, parts_dir, done_dir = args.serve
    rank, world = int(rank), int(world)
    part = quorvix.dist.init_part_worker(parts_dir, rank, world, init_method=f"tcp://127.0.0.1:{port}",
                                         timeout=120)
    transport = quorvix.dist.RpcTransport(120) if args.transport == "rpc" else None  # None: the sockets
    if rank == 0 and args.loader:
        from quorvix.pyg import DistNeighborLoader, NeighborLoader

        g, data = loader_data(args.scale)
        settings = loader_settings(args, g)
        loader = DistNeighborLoader(part, timeout=120, num_workers=args.workers, transport=transport, **settings)
        whole = NeighborLoader(data, time_attr="time", **settings)  # the baseline, in the same rounds
        before = children_cpu()
        seconds = timed_batches({"dist": iter(loader), "whole": iter(whole)}, model_step(args))  # rank 0's CPU only
        # The workers are joined once the epoch ends, and only then counted among the children.
        print(json.dumps([seconds["dist"], (children_cpu() - before) / len(seconds["dist"]),
                          statistics.median(cpu for _, cpu in seconds["whole"])]), flush=True)
    elif rank == 0:
        g = shop.load_graph(args.scale)
        graph = quorvix.Graph(list(g.node_types), list(g.edge_types), dict(g.colptr), dict(g.row), dict(g.node_time))
        single = quorvix.NeighborSampler(graph, 1)  # the baseline, alternated call by call
        single.disjoint = True
        num_neighbors, offsets = request(args.workload)
        sampler = quorvix.dist.DistNeighborSampler(part, disjoint=True, timeout=120, transport=transport)
        rates, cpu, single_cpu = [], [], []
        step = model_step(args) or (lambda: None)
        for users, times in seed_batches(g, args.batch, args.rounds, seed=0):
            step()
            cpu_start = time.process_time()
            single.sample_with_edge_ids(num_neighbors, offsets, "users", users, times)
            single_cpu.append(time.process_time() - cpu_start)
            step()
            start, cpu_start = time.perf_counter(), time.process_time()
            result = sampler.sample_with_edge_ids(num_neighbors, offsets, "users", users, times)
            rates.append(sum(a.size for a in result[0].values()) / (time.perf_counter() - start))
            cpu.append(time.process_time() - cpu_start)
        print(json.dumps([rates, cpu, statistics.median(single_cpu)]), flush=True)
    quorvix.dist.shutdown()  # the others keep serving until rank 0 gets here
    Path(done_dir, str(rank)).touch()
    if rank == 0:  # rank 0 hosts the store the others' shutdown uses: it leaves last
        while not all(Path(done_dir, str(r)).exists() for r in range(1, world)):
            time.sleep(0.05)
    return 0


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def world_rates(args, parts_dir: Path, num_parts: int, loader: bool = False, workers: int = 0,
                transport: str = "sockets") -> list:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    done = Path(tempfile.mkdtemp(prefix="done-", dir=parts_dir))
    env = dict(os.environ, TP_SOCKET_IFNAME="lo", GLOO_SOCKET_IFNAME="lo")
    common = ["--scale", str(args.scale), "--workload", args.workload, "--batch", str(args.batch),
              "--rounds", str(args.rounds), "--workers", str(workers), "--transport", transport] + (
                  ["--loader"] if loader else []) + (["--model-step"] if args.model_step else [])
    processes = [subprocess.Popen([sys.executable, __file__, *common, "--serve", str(rank), str(num_parts), str(port),
                                   str(parts_dir), str(done)], env=env, stdout=subprocess.PIPE, text=True)
                 for rank in range(num_parts)]
    try:
        outputs = [p.communicate(timeout=1800)[0] for p in processes]
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
    return json.loads(outputs[0].strip().splitlines()[-1])


def loader_rows(args, tmp: Path) -> list[list[str]]:
    """Batches/s of NeighborLoader over the whole graph and of DistNeighborLoader over parts."""
    from quorvix.pyg import DistNeighborLoader, NeighborLoader, partition_data

    g, data = loader_data(args.scale)
    settings = loader_settings(args, g)
    loaders = {"NeighborLoader, whole graph": (NeighborLoader(data, time_attr="time", **settings), None)}
    for num_parts in args.parts:
        path = tmp / f"pyg-{num_parts}"
        partition_data(data, num_parts, path, time_attr="time")
        parts = {k: quorvix.dist.open_part(path, k) for k in range(num_parts)}
        transport = CountingTransport(parts)
        loaders[f"DistNeighborLoader, {num_parts} parts in process"] = (
            DistNeighborLoader(parts[0], transport=transport, **settings), transport)
    seconds = timed_batches({name: iter(loader) for name, (loader, _) in loaders.items()}, model_step(args))
    workers_cpu = {}
    whole_cpu = statistics.median(cpu for _, cpu in seconds["NeighborLoader, whole graph"])
    baseline = {name: whole_cpu for name in loaders}
    if args.world:
        for transport, workers in [("sockets", 0), ("RPC", 0)] + [("sockets", args.workers)] * (args.workers > 0):
            name = f"DistNeighborLoader, 2 processes, {transport}" + (f", {workers} workers" if workers else "")
            seconds[name], workers_cpu[name], baseline[name] = world_rates(
                args, tmp / "pyg-2", 2, loader=True, workers=workers, transport=transport.lower())
            loaders[name] = (None, None)
    rows = []
    for name, (_, transport) in loaders.items():
        rates = [1 / wall for wall, _ in seconds[name]]
        cpu = statistics.median(cpu for _, cpu in seconds[name])
        sent = "-" if transport is None else f"{transport.bytes / len(rates) / 1e6:.2f}"
        in_workers = f"{workers_cpu[name] * 1e3:.1f}" if workers_cpu.get(name) else "-"
        rows.append([name, f"{statistics.median(rates):.1f}", f"{min(rates):.1f}-{max(rates):.1f}",
                     f"{cpu * 1e3:.1f}", f"{cpu / baseline[name]:.1f}x", in_workers, sent])
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=0.1)
    parser.add_argument("--parts", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--workload", default="last-k", choices=["last-k", "window"])
    parser.add_argument("--batch", type=int, default=512)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--world", action="store_true", help="also time worlds of processes over RPC")
    parser.add_argument("--loader", action="store_true", help="also time quorvix.pyg's loaders")
    parser.add_argument("--transport", default="sockets", choices=["sockets", "rpc"], help=argparse.SUPPRESS)
    parser.add_argument("--workers", type=int, default=0,
                        help="with --loader --world, also time the world's loader with this many workers")
    parser.add_argument("--model-step", action="store_true",
                        help="a stand-in model step (bench/loop.py's model1) before each call and batch, untimed")
    parser.add_argument("--quick", action="store_true", help="scale 0.01, parts 1 2, batch 128, 5 rounds")
    parser.add_argument("--serve", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.quick:
        args.scale, args.parts, args.batch, args.rounds = 0.01, [1, 2], 128, 5
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
            parts = {k: quorvix.dist.open_part(Path(tmp) / str(num_parts), k) for k in range(num_parts)}
            transport = CountingTransport(parts)
            sampler = quorvix.dist.DistNeighborSampler(parts[0], disjoint=True, transport=transport)
            configs[f"{num_parts} parts"] = (
                lambda u, t, s=sampler: s.sample_with_edge_ids(num_neighbors, offsets, "users", u, t), transport)
        rates = {name: [] for name in configs}
        cpu = {name: [] for name in configs}
        edges_total = {name: 0 for name in configs}
        for users, times in batches:  # configurations alternate call by call
            for name, (call, _) in configs.items():
                start, cpu_start = time.perf_counter(), time.process_time()
                result = call(users, times)
                seconds = time.perf_counter() - start
                cpu[name].append(time.process_time() - cpu_start)
                edges = sum(a.size for a in result[0].values())
                edges_total[name] += edges
                rates[name].append(edges / seconds)
        body = []
        one_cpu = statistics.median(cpu["one sampler"])
        for name, (_, transport) in configs.items():
            values = rates[name]
            per_edge = "-" if transport is None else f"{transport.bytes / edges_total[name]:.1f}"
            body.append([name, fmt_rate(statistics.median(values)),
                         f"{fmt_rate(min(values))}-{fmt_rate(max(values))}",
                         f"{statistics.median(cpu[name]) / one_cpu:.1f}x", per_edge])
        if args.world:
            for num_parts in args.parts:
                for transport in ("sockets", "RPC") if num_parts > 1 else ():
                    values, trainer_cpu, rank_one_cpu = world_rates(args, Path(tmp) / str(num_parts), num_parts,
                                                                    transport=transport.lower())
                    body.append([f"{num_parts} processes, {transport}", fmt_rate(statistics.median(values)),
                                 f"{fmt_rate(min(values))}-{fmt_rate(max(values))}",
                                 f"{statistics.median(trainer_cpu) / rank_one_cpu:.1f}x (rank 0)", "as in process"])
        loader_body = loader_rows(args, Path(tmp)) if args.loader else []
    print(f"shop graph scale {args.scale}, {args.workload}, batch {args.batch}, {args.rounds} rounds")
    print(markdown_table(["configuration", "edges/s (median)", "range", "CPU per call / one sampler's",
                          "bytes sent per sampled edge"], body))
    if loader_body:
        print()
        print(f"loaders: last-k 16 then 8, batch {args.batch}, {args.rounds} batches, "
              f"{FEATURE_WIDTH} features per node" + (", a model step before each batch" if args.model_step else ""))
        print(markdown_table(["configuration", "batches/s (median)", "range", "CPU ms per batch (median)",
                              "CPU / NeighborLoader's", "workers' CPU ms per batch", "MB sent per batch"],
                             loader_body))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
