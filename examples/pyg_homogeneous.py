"""Train a GNN on a homogeneous temporal graph (a PyG Data), sampling with quorvix.

    pip install torch torch-geometric      # torch: the build you want (docs/guide/pyg.md)
    python examples/pyg_homogeneous.py [--scale 0.2] [--epochs 3] [--num-workers 2]

A synthetic citation network (no downloads): papers appear over time, each in one of a few
fields, and cite earlier papers, mostly of their own field. The graph is one Data with both
directions of every citation and each paper's publication time. The task: a paper's field
from its own noisy features and those of its neighbourhood. quorvix.pyg.NeighborLoader, a
drop-in for PyG's, samples each paper's subgraph with time_attr="time": papers published
later than the seed (those citing it, for one) are never seen, so the model trains only on
what was known at publication. Papers of the last fifth of the time line are held out.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import torch
import torch.nn.functional as F
from torch_geometric.data import Data
from torch_geometric.nn import SAGEConv

from quorvix.pyg import NeighborLoader

NUM_FIELDS = 5


def make_citations(scale: float = 1.0, seed: int = 0) -> Data:
    """Papers 0..n-1 in order of publication; each cites up to 8 earlier ones."""
    rng = np.random.default_rng(seed)
    n = max(int(20_000 * scale), 200)
    day = np.sort(rng.integers(0, 3650, n))
    field = rng.integers(0, NUM_FIELDS, n)
    citing, cited = [], []
    for paper in range(1, n):
        k = min(paper, int(rng.integers(1, 9)))
        earlier = rng.integers(0, paper, 4 * k)
        same = earlier[field[earlier] == field[paper]]
        picks = np.concatenate([same[: int(0.8 * k) + 1], earlier[: k // 4]])[:k]
        citing.extend([paper] * len(picks))
        cited.extend(picks.tolist())
    citing, cited = np.array(citing), np.array(cited)
    features = np.eye(NUM_FIELDS)[field] * 0.6 + rng.normal(0, 1.0, (n, NUM_FIELDS))
    # Messages flow both ways: from cited to citing paper and back.
    edge_index = np.stack([np.concatenate([cited, citing]), np.concatenate([citing, cited])])
    return Data(x=torch.tensor(features, dtype=torch.float), y=torch.from_numpy(field),
                time=torch.from_numpy(day), edge_index=torch.from_numpy(edge_index), num_nodes=n)


class SAGE(torch.nn.Module):
    def __init__(self, hidden: int = 32):
        super().__init__()
        self.conv1 = SAGEConv(NUM_FIELDS, hidden)
        self.conv2 = SAGEConv(hidden, NUM_FIELDS)

    def forward(self, x, edge_index):
        return self.conv2(F.relu(self.conv1(x, edge_index)), edge_index)


def check_no_future(batch) -> None:
    """Every sampled paper was published by its seed's publication time."""
    assert bool((batch.time <= batch.seed_time[batch.batch]).all()), "a paper from the future"


def run(scale: float, epochs: int, num_workers: int) -> float:
    torch.manual_seed(0)
    data = make_citations(scale)
    cut = int(np.quantile(data.time.numpy(), 0.8))
    train, test = data.time <= cut, data.time > cut
    loaders = [NeighborLoader(data, num_neighbors=[10, 5], input_nodes=mask, time_attr="time",
                              batch_size=256, shuffle=shuffle, num_workers=num_workers,
                              persistent_workers=num_workers > 0)
               for mask, shuffle in ((train, True), (test, False))]
    print(f"{data.num_nodes} papers, {data.num_edges} citation edges (both ways); "
          f"{int(train.sum())} for training, {int(test.sum())} held out")
    model = SAGE()
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)
    for epoch in range(1, epochs + 1):
        start, total, seen = time.perf_counter(), 0.0, 0
        model.train()
        for batch in loaders[0]:
            check_no_future(batch)
            optimizer.zero_grad()
            out = model(batch.x, batch.edge_index)[: batch.batch_size]
            loss = F.cross_entropy(out, batch.y[: batch.batch_size])
            loss.backward()
            optimizer.step()
            total, seen = total + loss.item() * batch.batch_size, seen + batch.batch_size
        accuracy = evaluate(model, loaders[1])
        print(f"epoch {epoch}: loss {total / seen:.4f}, held-out accuracy {accuracy:.4f} "
              f"({time.perf_counter() - start:.1f} s)")
    return accuracy


@torch.no_grad()
def evaluate(model, loader) -> float:
    model.eval()
    correct = count = 0
    for batch in loader:
        check_no_future(batch)
        pred = model(batch.x, batch.edge_index)[: batch.batch_size].argmax(-1)
        correct += int((pred == batch.y[: batch.batch_size]).sum())
        count += batch.batch_size
    return correct / count


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="size of the network (default 1.0)")
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--num-workers", type=int, default=0, help="loader worker processes")
    args = parser.parse_args(argv)
    accuracy = run(args.scale, args.epochs, args.num_workers)
    print(f"held-out accuracy: {accuracy:.4f} (chance {1 / NUM_FIELDS:.2f}); "
          f"no sampled paper was later than its seed")


if __name__ == "__main__":
    main()
