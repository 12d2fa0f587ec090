"""Per-seed against shared subgraphs on the shop graph of bench/graph.py: batch size, sampling
time and the time of one training step of a to_hetero GraphSAGE model on the batch.

    python bench/shared.py                          # small scale, well under a minute
    python bench/shared.py --scale 1.0 --batches 20

A relational training table puts every customer at a few cut-off times. Each batch here holds
--batch users drawn among those that exist at one of --cutoffs cut-off times (spread evenly
over the last year of the timeline, the cut-off drawn uniformly per seed), sorted by time, as
a loader sorting its batch would. Both modes sample the same batches with fan-outs --fanouts
(default 16,8) on every edge type, most recent first:

- per seed: `disjoint = True`, every seed grows its own subgraph;
- shared:   `disjoint = False`, the seeds of one cut-off share one subgraph.

The model step is a forward and backward pass and an Adam step of two SAGEConv layers made
heterogeneous by torch_geometric.nn.to_hetero (hidden size --hidden, node features gathered from
a fixed random table of --features columns), the loss a regression on the seeds' outputs. It
runs on the CPU with torch's threads set to --torch-threads. Times are CPU time of the process
(time.process_time), which a busy machine disturbs less than wall time; the two modes alternate
batch by batch. Each figure is the median over the batches, the last row the median of the
per-batch ratios.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph as shop  # noqa: E402

DAY = 86_400
# Model-side names: a ModuleDict key may not be "items", one of its own methods.
MODEL_NAME = {"users": "user", "items": "item", "orders": "order"}


def model_metadata(graph: shop.Graph):
    return ([MODEL_NAME[t] for t in graph.node_types],
            [(MODEL_NAME[a], rel, MODEL_NAME[b]) for a, rel, b in graph.edge_types])


def cutoff_times(graph: shop.Graph, count: int) -> np.ndarray:
    """`count` cut-offs spread evenly over the last year, the last at the end of the timeline."""
    return np.array([graph.time_end - 365 * DAY * k // count for k in reversed(range(count))], dtype=np.int64)


def seed_batches(graph: shop.Graph, batch: int, batches: int, cutoffs: np.ndarray, seed: int):
    """Batches of (user ids, seed times), seeds sorted by time. Users are numbered in creation
    order, so the users that exist at a cut-off are a prefix of the ids."""
    user_time = np.asarray(graph.node_time["users"])
    existing = np.searchsorted(user_time, cutoffs, side="right")
    out = []
    for i in range(batches):
        rng = np.random.default_rng([seed, i])
        times = np.sort(rng.choice(cutoffs, batch))
        users = (rng.random(batch) * existing[np.searchsorted(cutoffs, times)]).astype(np.int64)
        out.append((users, times))
    return out


def make_model(hidden: int, metadata):
    import torch
    from torch_geometric.nn import SAGEConv, to_hetero

    class GraphSAGE(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.conv1 = SAGEConv((-1, -1), hidden)
            self.conv2 = SAGEConv((-1, -1), hidden)
            self.head = torch.nn.Linear(hidden, 1)

        def forward(self, x, edge_index):
            x = self.conv1(x, edge_index).relu()
            x = self.conv2(x, edge_index).relu()
            return self.head(x)

    return to_hetero(GraphSAGE(), metadata, aggr="sum")


def batch_tensors(result, features: dict, edge_types):
    """x_dict and edge_index_dict of a sample result: edges go from the neighbour (out_row) to
    the frontier node (out_col), the direction messages flow towards the seeds."""
    import torch

    out_row, out_col, out_node = result[0], result[1], result[2]
    x = {MODEL_NAME[t]: features[t][torch.from_numpy(ids)] for t, ids in out_node.items()}
    edge_index = {
        (MODEL_NAME[a], rel, MODEL_NAME[b]): torch.from_numpy(np.stack([out_row[shop.edge_type_key((a, rel, b))],
                                                                         out_col[shop.edge_type_key((a, rel, b))]]))
        for a, rel, b in edge_types
    }
    return x, edge_index


def train_step(model, optimizer, x, edge_index, num_seeds: int, target) -> None:
    import torch

    optimizer.zero_grad()
    out = model(x, edge_index)["user"][:num_seeds, 0]
    loss = torch.nn.functional.mse_loss(out, target[:num_seeds])
    loss.backward()
    optimizer.step()


class Mode:
    """A sampler in one mode and a model of its own, trained on that mode's batches."""

    def __init__(self, graph: shop.Graph, disjoint: bool, args, features: dict):
        import torch

        import quorvix

        self.graph, self.features = graph, features
        self.sampler = quorvix.NeighborSampler(list(graph.node_types), list(graph.edge_types), dict(graph.colptr),
                                               dict(graph.row), dict(graph.node_time))
        self.sampler.num_threads = args.threads
        self.sampler.disjoint = disjoint
        self.num_neighbors = {key: np.array(args.fanouts, dtype=np.int64) for key in shop.EDGE_TYPE_KEYS}
        torch.manual_seed(0)
        self.model = make_model(args.hidden, model_metadata(graph))
        self.optimizer = None
        self.figures = {"nodes": [], "edges": [], "sample ms": [], "step ms": []}

    def run(self, users, times, target, record: bool = True) -> None:
        import torch

        start = time.process_time()
        result = self.sampler.sample(self.num_neighbors, {}, "users", users, times)
        sample_ms = (time.process_time() - start) * 1e3
        x, edge_index = batch_tensors(result, self.features, self.graph.edge_types)
        if self.optimizer is None:  # the lazy layer sizes first, then the optimizer over them
            with torch.no_grad():
                self.model(x, edge_index)
            self.optimizer = torch.optim.Adam(self.model.parameters(), lr=1e-3)
        start = time.process_time()
        train_step(self.model, self.optimizer, x, edge_index, len(users), target)
        step_ms = (time.process_time() - start) * 1e3
        if record:
            self.figures["nodes"].append(sum(a.size for a in result[2].values()))
            self.figures["edges"].append(sum(a.size for a in result[0].values()))
            self.figures["sample ms"].append(sample_ms)
            self.figures["step ms"].append(step_ms)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=0.05)
    parser.add_argument("--batch", type=int, default=1024)
    parser.add_argument("--batches", type=int, default=8)
    parser.add_argument("--cutoffs", type=int, default=4)
    parser.add_argument("--fanouts", type=lambda text: [int(k) for k in text.split(",")], default=[16, 8])
    parser.add_argument("--threads", type=int, default=1, help="the sampler's num_threads")
    parser.add_argument("--torch-threads", type=int, default=1)
    parser.add_argument("--hidden", type=int, default=64)
    parser.add_argument("--features", type=int, default=32)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    import torch

    torch.set_num_threads(args.torch_threads)
    graph = shop.load_graph(args.scale)
    batches = seed_batches(graph, args.batch, args.batches, cutoff_times(graph, args.cutoffs), args.seed)
    generator = torch.Generator().manual_seed(0)
    features = {t: torch.randn(graph.num_nodes[t], args.features, generator=generator) for t in graph.node_types}
    target = torch.randn(args.batch, generator=generator)
    modes = {"per seed": Mode(graph, True, args, features), "shared": Mode(graph, False, args, features)}
    for mode in modes.values():  # warm-up: layer sizes, optimizer state, the sampler's storage
        mode.run(*batches[0], target, record=False)
    for users, times in batches:  # the two modes alternate, so both see the same machine load
        for mode in modes.values():
            mode.run(users, times, target)
    rows = {name: {c: statistics.median(v) for c, v in mode.figures.items()} for name, mode in modes.items()}
    per_batch = {c: statistics.median(p / q for p, q in zip(modes["per seed"].figures[c], modes["shared"].figures[c]))
                 for c in modes["shared"].figures}

    print(f"scale {args.scale:g}, batch {args.batch}, {args.cutoffs} cut-offs, fan-outs {args.fanouts}, "
          f"median of {args.batches} batches, sampler threads {args.threads}, torch threads {args.torch_threads}")
    columns = ["nodes", "edges", "sample ms", "step ms"]
    print("| mode | " + " | ".join(f"{c} / batch" if c in ("nodes", "edges") else c for c in columns) + " |")
    print("|---|" + "---:|" * len(columns))
    for mode, row in rows.items():
        print(f"| {mode} | " + " | ".join(f"{row[c]:,.0f}" if c in ("nodes", "edges") else f"{row[c]:.1f}"
                                           for c in columns) + " |")
    print("| per seed / shared | " + " | ".join(f"{per_batch[c]:.2f}x" for c in columns) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
