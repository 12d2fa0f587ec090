"""What the subgraph types of quorvix_pyg cost on top of sampling.

    python bench/pyg_subgraphs.py [--nodes 200000] [--edges 2000000] [--batch 1024]

A homogeneous random graph (uniform ends), fan-outs [10, 5]; per subgraph type and per
shared (disjoint=False) or per-seed subgraphs: the median time of a sampler call
(native sampling plus the conversion to PyG's output) and the edges it returns.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import torch
from torch_geometric.data import Data
from torch_geometric.sampler import NodeSamplerInput

from quorvix_pyg import NeighborSampler


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=200_000)
    parser.add_argument("--edges", type=int, default=2_000_000)
    parser.add_argument("--batch", type=int, default=1024)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(0)
    data = Data(edge_index=torch.from_numpy(rng.integers(0, args.nodes, (2, args.edges))), num_nodes=args.nodes)
    seeds = [torch.from_numpy(rng.integers(0, args.nodes, args.batch)) for _ in range(args.repeats + 1)]
    print("| subgraph type | subgraphs | ms/call | edges/call |\n|---|---|---:|---:|")
    for kind in ("directional", "bidirectional", "induced"):
        for disjoint in (False, True):
            sampler = NeighborSampler(data, [10, 5], subgraph_type=kind, disjoint=disjoint, seed=1)
            sampler.sample_from_nodes(NodeSamplerInput(None, seeds[0]))  # builds the lookups
            times, edges = [], []
            for batch in seeds[1:]:
                start = time.perf_counter()
                out = sampler.sample_from_nodes(NodeSamplerInput(None, batch))
                times.append(time.perf_counter() - start)
                edges.append(len(out.row))
            print(f"| {kind} | {'per seed' if disjoint else 'shared'} | {np.median(times) * 1000:.1f} "
                  f"| {int(np.median(edges))} |")


if __name__ == "__main__":
    main()
