"""What the subgraph types of quorvix.pyg cost on top of sampling.

    python bench/pyg_subgraphs.py [--nodes 200000] [--edges 2000000] [--batch 1024] [--reference]
    python bench/pyg_subgraphs.py --model-step   # a stand-in model step before every call
    python bench/pyg_subgraphs.py --threads 2    # samplers with num_threads=2

A homogeneous random multigraph (uniform ends, parallel edges), fan-outs [10, 5]; per shared
(disjoint=False) or per-seed subgraphs, the subgraph types are timed call by call in turn, so
that a load from other processes falls on all of them alike: the median time of a sampler
call (native sampling plus the conversion to PyG's output), the range of the calls, the
process CPU time of a call (less disturbed by other processes than the wall time), both
against directional, and the edges a call returns. --reference adds the NumPy builders the native ones replaced (from
tests/subgraph_reference.py) applied to the same native results. PyG's own sampler is timed
beside them where it can run (it needs pyg-lib or torch-sparse). --model-step runs bench/loop.py's
stand-in training step (five 600x600 matrix products on one torch thread) before every call,
untimed, as a training loop does between batches.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import torch
import torch_geometric.typing
from torch_geometric.data import Data
from torch_geometric.sampler import NodeSamplerInput

from quorvix.pyg import NeighborSampler
from report import markdown_table

KINDS = ("directional", "bidirectional", "induced")


def reference_call(sampler: NeighborSampler, kind: str):
    """A call that builds the subgraph type with the NumPy reference instead."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
    import subgraph_reference as reference
    from quorvix.pyg.output import NativeResult

    lookup = reference.EdgeLookup(sampler.graph)

    def call(batch):
        native = NativeResult(*sampler.sample_native("node", batch.numpy(), None))
        edges = reference.directional_edges(sampler.graph, native)
        if kind == "bidirectional":
            return reference.add_reverse_edges(sampler.graph, native, edges, None, lookup)
        hops = {t: reference._hops(c) for t, c in native.num_sampled_nodes.items()}
        return reference.induced_edges(sampler.graph, native, hops, None)
    return call


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=200_000)
    parser.add_argument("--edges", type=int, default=2_000_000)
    parser.add_argument("--batch", type=int, default=1024)
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--reference", action="store_true")
    parser.add_argument("--model-step", action="store_true", help="a stand-in model step before every call")
    parser.add_argument("--threads", type=int, default=None, help="the samplers' num_threads")
    args = parser.parse_args(argv)
    step = None
    if args.model_step:
        from loop import make_step

        step = make_step("model1")
    rng = np.random.default_rng(0)
    data = Data(edge_index=torch.from_numpy(rng.integers(0, args.nodes, (2, args.edges))), num_nodes=args.nodes)
    seeds = [torch.from_numpy(rng.integers(0, args.nodes, args.batch)) for _ in range(args.repeats + 1)]
    pyg_runs = torch_geometric.typing.WITH_PYG_LIB or torch_geometric.typing.WITH_TORCH_SPARSE
    body = []
    for disjoint in (False, True):
        calls = {}
        for kind in KINDS:
            sampler = NeighborSampler(data, [10, 5], subgraph_type=kind, disjoint=disjoint, seed=1,
                                      num_threads=args.threads)
            calls[("quorvix", kind)] = lambda batch, s=sampler: s.sample_from_nodes(NodeSamplerInput(None, batch))
            if args.reference and kind != "directional":
                calls[("NumPy reference", kind)] = reference_call(sampler, kind)
            if pyg_runs:
                from torch_geometric.sampler import NeighborSampler as PygSampler
                pyg = PygSampler(data, [10, 5], subgraph_type=kind, disjoint=disjoint)
                calls[("PyG", kind)] = lambda batch, s=pyg: s.sample_from_nodes(NodeSamplerInput(None, batch))
        for call in calls.values():
            call(seeds[0])  # builds the lookups
        times = {name: [] for name in calls}
        cpu = {name: [] for name in calls}
        edges = {name: [] for name in calls}
        for batch in seeds[1:]:
            for name, call in calls.items():  # in turn, call by call
                if step is not None:
                    step()
                start, start_cpu = time.perf_counter(), time.process_time()
                out = call(batch)
                times[name].append(time.perf_counter() - start)
                cpu[name].append(time.process_time() - start_cpu)
                edges[name].append(len(out.row) if hasattr(out, "row") else sum(len(e.row) for e in out.values()))
        base = np.median(times[("quorvix", "directional")])
        base_cpu = np.median(cpu[("quorvix", "directional")])
        for (who, kind), spent in times.items():
            ms = np.array(spent) * 1000
            body.append([who, kind, "per seed" if disjoint else "shared", f"{np.median(ms):.1f}",
                         f"{ms.min():.1f}-{ms.max():.1f}", f"{np.median(spent) / base:.2f}",
                         f"{np.median(cpu[(who, kind)]) * 1000:.1f}", f"{np.median(cpu[(who, kind)]) / base_cpu:.2f}",
                         str(int(np.median(edges[(who, kind)])))])
    print(markdown_table(["builder", "subgraph type", "subgraphs", "ms/call (median)", "range", "x directional",
                          "CPU ms/call", "x directional (CPU)", "edges/call"], body))
    if not pyg_runs:
        print("\nPyG's own sampler: not measured (neither pyg-lib nor torch-sparse is installed).")


if __name__ == "__main__":
    main()
