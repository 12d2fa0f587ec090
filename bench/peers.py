"""quorvix beside other samplers on the same graph and seeds, one subgraph per batch.

    python bench/peers.py                 # 2M-edge hub-free random graph, every mode
    python bench/peers.py --check         # also compare last-k picks seed by seed
    python bench/peers.py --quick         # a few seconds, for CI (peers are optional)

Peers, used as black boxes through their public APIs and skipped with a note when they do not
import: DGL's dgl.sampling.sample_neighbors, called hop by hop on the nodes new to the batch
(torch.unique and torch.isin between hops; no block compaction, which DGL's data loader adds), and
PyG's NeighborSampler when pyg-lib is importable.

DGL's wheel may lack the graph library build for the installed torch; sample_neighbors does not
use it, so a stand-in module takes its place on import.

Modes (two hops, the fan-outs of --fanouts; quorvix with disjoint=False and no times, so both
sides build one deduplicated subgraph per batch):

- uniform, batch --large-batch (8192) and --batch (1024): uniform draws without replacement.
- weighted, batch --batch: draws by edge weight (an exponential weight per edge).

Every library runs at each thread count of --threads; within a round each configuration makes one
call on the same seed batch, so the libraries alternate call by call. Reported per configuration:
the median time per call; per mode: each library's best configuration and the ratio peer / quorvix
(above 1: quorvix is faster), with the range of that ratio over the rounds.

--check: one hop of last-k (quorvix's temporal rule with edge times, seed time past every edge)
against DGL's dgl.sampling.select_topk on the edge times: the same edges, seed by seed.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import statistics
import sys
import time
import types
from datetime import datetime, timezone
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from report import machine_info, markdown_table  # noqa: E402
from workloads import random_graph  # noqa: E402

import quorvix  # noqa: E402

KEY = "n__to__n"


def import_dgl():
    """DGL, or the reason it does not import."""
    try:
        import torch  # noqa: F401
    except ImportError as error:
        return None, f"torch: {error}"
    if "dgl.graphbolt" not in sys.modules:
        try:
            import torchdata.datapipes  # noqa: F401  (what DGL's graph library needs)
        except ImportError:
            stand_in = types.ModuleType("dgl.graphbolt")
            stand_in.__spec__ = importlib.machinery.ModuleSpec("dgl.graphbolt", None)
            sys.modules["dgl.graphbolt"] = stand_in
    try:
        import dgl
    except Exception as error:  # noqa: BLE001  (any import failure skips the peer)
        return None, f"{type(error).__name__}: {error}"
    return dgl, None


class Quorvix:
    name = "quorvix"

    def __init__(self, graph: dict, weighted: bool):
        self.sampler = quorvix.NeighborSampler(
            ["n"], [("n", "to", "n")], {KEY: graph["colptr"]}, {KEY: graph["row"]}, {},
            edge_weight={KEY: graph["weight"]} if weighted else None,
        )
        self.sampler.disjoint = False
        self.empty = np.empty(0, dtype=np.int64)

    def prepare(self, fanouts: list[int]):
        self.num_neighbors = {KEY: np.array(fanouts, dtype=np.int64)}

    def call(self, seeds: np.ndarray, threads: int) -> int:
        self.sampler.num_threads = threads
        out = self.sampler.sample(self.num_neighbors, {}, "n", seeds, self.empty)
        return int(out[0][KEY].size)


class Dgl:
    name = "DGL"

    def __init__(self, dgl, graph: dict, weighted: bool):
        import torch

        self.dgl, self.torch = dgl, torch
        self.graph = dgl.graph((torch.from_numpy(graph["row"]), torch.from_numpy(graph["dst"])),
                               num_nodes=len(graph["colptr"]) - 1)
        self.prob = None
        if weighted:
            self.graph.edata["w"] = torch.from_numpy(graph["weight"].astype(np.float32))
            self.prob = "w"

    def prepare(self, fanouts: list[int]):
        self.fanouts = list(fanouts)

    def call(self, seeds: np.ndarray, threads: int) -> int:
        # Hop by hop, as quorvix with disjoint=False: each hop expands only the nodes new to the batch.
        torch, sample_neighbors = self.torch, self.dgl.sampling.sample_neighbors
        self.dgl.utils.set_num_threads(threads)
        frontier = torch.from_numpy(seeds)
        seen = frontier
        edges = 0
        for hop, k in enumerate(self.fanouts):
            hop_graph = sample_neighbors(self.graph, frontier, k, prob=self.prob)
            src = hop_graph.edges()[0]
            edges += int(src.numel())
            if hop + 1 < len(self.fanouts):
                found = torch.unique(src)
                frontier = found[~torch.isin(found, seen)]
                seen = torch.cat([seen, frontier])
        return edges


class PygLib:
    name = "PyG+pyg-lib"

    def __init__(self, graph: dict, weighted: bool):
        import torch
        from torch_geometric.data import Data
        from torch_geometric.sampler import NeighborSampler, NodeSamplerInput

        self.torch, self.NeighborSampler, self.NodeSamplerInput = torch, NeighborSampler, NodeSamplerInput
        edge_index = torch.from_numpy(np.stack([graph["row"], graph["dst"]]))
        self.data = Data(edge_index=edge_index, num_nodes=len(graph["colptr"]) - 1)
        self.weight_attr = None
        if weighted:
            self.data.w = torch.from_numpy(graph["weight"])
            self.weight_attr = "w"

    def prepare(self, fanouts: list[int]):
        self.sampler = self.NeighborSampler(self.data, num_neighbors=list(fanouts), weight_attr=self.weight_attr)

    def call(self, seeds: np.ndarray, threads: int) -> int:
        self.torch.set_num_threads(threads)
        out = self.sampler.sample_from_nodes(self.NodeSamplerInput(input_id=None, node=self.torch.from_numpy(seeds)))
        return int(out.row.numel())


def peers(graph: dict, weighted: bool, notes: list[str]) -> list:
    libraries = [Quorvix(graph, weighted)]
    dgl, why = import_dgl()
    if dgl is None:
        notes.append(f"DGL skipped: {why}")
    else:
        libraries.append(Dgl(dgl, graph, weighted))
    try:
        import pyg_lib  # noqa: F401
        import torch_geometric  # noqa: F401
    except ImportError as error:
        notes.append(f"PyG with pyg-lib skipped: {error}")
    else:
        libraries.append(PygLib(graph, weighted))
    return libraries


def model_step(mebibytes: int):
    """An untimed stand-in for the model step between two sampler calls: it writes over a buffer of
    `mebibytes` MiB and multiplies two 512 x 512 matrices, so each call finds the caches as a
    training step leaves them. None for 0."""
    if mebibytes <= 0:
        return None
    buffer = np.zeros(mebibytes << 17)  # float64: 2**17 per MiB
    weights = np.random.default_rng(0).random((512, 512))

    def step() -> None:
        np.add(buffer, 1.0, out=buffer)
        weights @ weights

    return step


def measure(libraries: list, fanouts: list[int], batches: list[np.ndarray], threads: list[int],
            step=None) -> dict:
    """{(library, threads): [seconds per call, one per batch]}, configurations alternating; `step`,
    when given, runs before every call, untimed."""
    for library in libraries:
        library.prepare(fanouts)
        for t in threads:  # warm-up: first calls fault in memory and start pools
            library.call(batches[0], t)
    times: dict = {(lib.name, t): [] for lib in libraries for t in threads}
    for seeds in batches:
        for library in libraries:
            for t in threads:
                if step is not None:
                    step()
                started = time.perf_counter()
                library.call(seeds, t)
                times[(library.name, t)].append(time.perf_counter() - started)
    return times


def summarize(mode: str, times: dict, names: list[str]) -> tuple[list[list[str]], list[list[str]]]:
    config_rows = [[mode, name, str(t), f"{1e3 * statistics.median(v):.2f}"] for (name, t), v in times.items()]
    best, ratio_rows = {}, []
    for name in names:
        medians = {t: statistics.median(v) for (n, t), v in times.items() if n == name}
        best[name] = min(medians, key=medians.get)
    ours = times[("quorvix", best["quorvix"])]
    for name in names[1:]:
        theirs = times[(name, best[name])]
        # Per round, each library at its best thread count of that round.
        rounds = [min(times[(name, t)][i] for (n, t) in times if n == name) /
                  min(times[("quorvix", t)][i] for (n, t) in times if n == "quorvix") for i in range(len(ours))]
        ratio_rows.append([mode, f"{name} ({best[name]} thr)", f"quorvix ({best['quorvix']} thr)",
                           f"{statistics.median(theirs) / statistics.median(ours):.2f}",
                           f"{min(rounds):.2f}-{max(rounds):.2f}"])
    if len(names) == 1:
        ratio_rows.append([mode, "no peer", f"quorvix ({best['quorvix']} thr)", "-", "-"])
    return config_rows, ratio_rows


def check_last_k(graph: dict, dgl, seeds: np.ndarray, k: int) -> str:
    """quorvix's last-k against DGL's top-k by edge time, seed by seed; raises on a difference."""
    import torch

    sampler = quorvix.NeighborSampler(["n"], [("n", "to", "n")], {KEY: graph["colptr"]}, {KEY: graph["row"]}, {},
                                      edge_time={KEY: graph["time"]})
    latest = np.full(len(seeds), graph["time"].max() + 1, dtype=np.int64)
    out = sampler.sample_with_edge_ids({KEY: np.array([k], dtype=np.int64)}, {}, "n", seeds, latest)
    ours = [set() for _ in seeds]
    for col, edge in zip(out[1][KEY].tolist(), out[6][KEY].tolist()):
        ours[col].add(edge)
    g = dgl.graph((torch.from_numpy(graph["row"]), torch.from_numpy(graph["dst"])), num_nodes=len(graph["colptr"]) - 1)
    g.edata["t"] = torch.from_numpy(graph["time"])
    picked = dgl.sampling.select_topk(g, k, "t", nodes=torch.from_numpy(seeds))
    theirs = {}
    for dst, edge in zip(picked.edges()[1].tolist(), picked.edata[dgl.EID].tolist()):
        theirs.setdefault(dst, set()).add(edge)
    for i, seed in enumerate(seeds.tolist()):
        if ours[i] != theirs.get(seed, set()):
            raise SystemExit(f"last-k differs at seed {seed}: quorvix {sorted(ours[i])}, DGL {sorted(theirs.get(seed, set()))}")
    return f"last-k (k={k}) equal to DGL's select_topk on edge times for all {len(seeds)} seeds"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--edges", type=int, default=2_000_000)
    parser.add_argument("--fanouts", type=int, nargs="+", default=[10, 10])
    parser.add_argument("--batch", type=int, default=1024)
    parser.add_argument("--large-batch", type=int, default=8192)
    parser.add_argument("--rounds", type=int, default=15, help="calls per configuration, alternating")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--check", action="store_true", help="compare last-k picks with DGL's, seed by seed")
    parser.add_argument("--model-step", type=int, default=0, metavar="MIB",
                        help="before every call, untimed, write over MIB MiB and multiply two 512 x 512 "
                             "matrices, as a model step between calls would (default 0: calls back to back)")
    parser.add_argument("--quick", action="store_true", help="small graph, few rounds")
    args = parser.parse_args(argv)
    if args.quick:
        args.nodes, args.edges, args.rounds, args.large_batch, args.batch = 5_000, 50_000, 3, 1024, 256

    graph = random_graph(args.nodes, args.edges, 0)
    rng = np.random.default_rng(1)
    notes: list[str] = []
    modes = [("uniform", False, args.large_batch), ("uniform", False, args.batch), ("weighted", True, args.batch)]
    config_rows, ratio_rows = [], []
    for name, weighted, batch in modes:
        libraries = peers(graph, weighted, notes)
        batches = [rng.choice(args.nodes, size=min(batch, args.nodes), replace=False).astype(np.int64)
                   for _ in range(args.rounds)]
        times = measure(libraries, args.fanouts, batches, args.threads, model_step(args.model_step))
        configs, ratios = summarize(f"{name}, batch {batch}", times, [lib.name for lib in libraries])
        config_rows += configs
        ratio_rows += ratios

    machine = machine_info()
    print(f"{datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC; {machine['cpu']}, {machine['cpus']} CPUs; "
          f"load average {machine['load_average'][0]:.1f} (noise: other processes share the machine)")
    print(f"hub-free random graph: {args.nodes:,} nodes, {args.edges:,} edges; fan-outs {args.fanouts}; "
          f"{args.rounds} rounds, configurations alternating call by call"
          + (f", a {args.model_step} MiB stand-in model step before each call" if args.model_step else "") + "\n")
    print(markdown_table(["mode", "library", "threads", "ms/call (median)"], config_rows))
    print()
    print(markdown_table(["mode", "peer at its best", "quorvix at its best", "peer / quorvix", "range over rounds"],
                         ratio_rows))
    for note in dict.fromkeys(notes):
        print(f"\nnote: {note}")
    if args.check:
        dgl, why = import_dgl()
        if dgl is None:
            print(f"\n--check skipped: DGL does not import ({why})")
        else:
            seeds = rng.choice(args.nodes, size=min(args.batch, args.nodes), replace=False).astype(np.int64)
            print("\n" + check_last_k(graph, dgl, seeds, args.fanouts[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
