"""Batches by seed time against shuffled per-seed batches: nodes per batch, step time, AUROC.

    python bench/pyg_batch_by_time.py [--scale 0.01] [--cutoffs 18] [--epochs 2] [--rounds 3]

The task is a relational-benchmark one on the shop of bench/loader.py (users, orders,
items, eight edge types): at each of --cutoffs cut-off times, every user created by then is
a seed, labelled 1 when the user places an order in the --horizon days after it. The first
cut-offs train, the last --test-cutoffs are held out. The model is PyG's GraphSAGE turned
heterogeneous by to_hetero (two layers, --hidden channels), reading out the seed user.

Configurations, the same model and seed per round:

- per seed: NeighborLoader(shuffle=True), every seed its own subgraph (PyG's behaviour);
- by time, per seed: batch_by_time=True, every seed still its own subgraph (the batches'
  make-up alone);
- by time, shared: batch_by_time=True, shared_by_time=True: a batch is one cut-off's seeds
  and one subgraph, whose seeds' rows are the readout (``x[:batch_size]``).

Both sample the --fanouts most recent neighbours ("last"); evaluation always uses per-seed
batches, so AUROC compares what was learnt. Figures per configuration: seeds and sampled
nodes per batch (all types), ms per training step (sampling, collation, forward, backward, update:
one epoch's wall time over its batches), and test AUROC after --epochs epochs; medians over
--rounds rounds, with the spread. Each round starts with another configuration.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import torch
from torch_geometric.nn import SAGEConv, to_hetero

import graph as shop
from loader import build_data
from report import markdown_table
from quorvix.pyg import NeighborLoader

DAY = 86_400
CONFIGS = ("per seed", "by time, per seed", "by time, shared")


def seeds_and_labels(data, cutoffs: int, horizon_days: int):
    """Per cut-off, the users created by then, their cut-off time and whether they order
    within the horizon after it."""
    users_time = data["users"].time.numpy()
    order_time = data["orders"].time.numpy()
    placed = data[("users", "places", "orders")].edge_index.numpy()  # (user, order)
    end = shop.TIME_END - horizon_days * DAY
    times = np.linspace(shop.TIME_START + 180 * DAY, end, cutoffs).astype(np.int64)
    ids, when, label = [], [], []
    for t in times:
        users = np.flatnonzero(users_time <= t)
        soon = (order_time[placed[1]] > t) & (order_time[placed[1]] <= t + horizon_days * DAY)
        active = np.zeros(users_time.size, bool)
        active[placed[0][soon]] = True
        ids.append(users)
        when.append(np.full(users.size, t))
        label.append(active[users])
    return ids, when, label


def auroc(score: np.ndarray, label: np.ndarray) -> float:
    """The probability that a random positive outscores a random negative (ties count half)."""
    order = np.argsort(score, kind="stable")
    ranks = np.empty(score.size)
    sorted_score = score[order]
    # Average ranks over ties.
    starts = np.r_[0, np.flatnonzero(np.diff(sorted_score)) + 1]
    ends = np.r_[starts[1:], score.size]
    for s, e in zip(starts, ends):
        ranks[order[s:e]] = (s + e - 1) / 2 + 1
    positives = label.sum()
    negatives = label.size - positives
    return float((ranks[label].sum() - positives * (positives + 1) / 2) / (positives * negatives))


class Sage(torch.nn.Module):
    def __init__(self, hidden: int):
        super().__init__()
        self.conv1 = SAGEConv((-1, -1), hidden)
        self.conv2 = SAGEConv((-1, -1), hidden)

    def forward(self, x, edge_index):
        return self.conv2(self.conv1(x, edge_index).relu(), edge_index)


def make_model(data, hidden: int, seed: int):
    torch.manual_seed(seed)
    body = to_hetero(Sage(hidden), data.metadata(), aggr="sum")
    head = torch.nn.Linear(hidden, 1)
    return body, head


def loader(data, users, times, args, config: str, train: bool, seed: int):
    kwargs = dict(num_neighbors=args.fanouts, input_nodes=("users", torch.from_numpy(users)),
                  input_time=torch.from_numpy(times), time_attr="time", temporal_strategy="last",
                  batch_size=args.batch_size, seed=seed)
    if train and config.startswith("by time"):
        kwargs.update(batch_by_time=True, shared_by_time=config.endswith("shared"), shuffle=True)
    else:
        kwargs.update(shuffle=train)
    return NeighborLoader(data, **kwargs)


def run(data, split, args, config: str, seed: int) -> dict:
    (train_users, train_times, train_labels), (test_users, test_times, test_labels) = split
    body, head = make_model(data, args.hidden, seed)
    train_loader = loader(data, train_users, train_times, args, config, True, seed)
    with torch.no_grad():  # lazy shapes
        batch = next(iter(train_loader))
        body({t: batch[t].x for t in batch.node_types}, batch.edge_index_dict)
    optimiser = torch.optim.Adam(list(body.parameters()) + list(head.parameters()), lr=0.01)
    label_of = torch.from_numpy(train_labels.astype(np.float32))
    nodes, seeds, step_ms = [], [], []
    torch.manual_seed(seed)
    for _ in range(args.epochs):
        start, steps = time.perf_counter(), 0
        for batch in train_loader:
            size = batch["users"].batch_size
            out = head(body({t: batch[t].x for t in batch.node_types}, batch.edge_index_dict)["users"][:size])
            loss = torch.nn.functional.binary_cross_entropy_with_logits(
                out.view(-1), label_of[batch["users"].input_id])
            optimiser.zero_grad()
            loss.backward()
            optimiser.step()
            nodes.append(sum(batch[t].num_nodes for t in batch.node_types))
            seeds.append(size)
            steps += 1
        step_ms.append((time.perf_counter() - start) * 1000 / steps)
    scores = np.empty(test_users.size, np.float32)
    with torch.no_grad():
        for batch in loader(data, test_users, test_times, args, config, False, seed):
            size = batch["users"].batch_size
            out = head(body({t: batch[t].x for t in batch.node_types}, batch.edge_index_dict)["users"][:size])
            scores[batch["users"].input_id.numpy()] = out.view(-1).numpy()
    return {"seeds": statistics.mean(seeds), "nodes": statistics.mean(nodes), "step_ms": statistics.median(step_ms),
            "auroc": auroc(scores, test_labels)}


def spread(values: list, digits: int) -> str:
    return f"{statistics.median(values):.{digits}f} ({min(values):.{digits}f}-{max(values):.{digits}f})"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=0.01)
    parser.add_argument("--features", type=int, default=16)
    parser.add_argument("--cutoffs", type=int, default=18)
    parser.add_argument("--test-cutoffs", type=int, default=3)
    parser.add_argument("--horizon", type=int, default=60, help="days")
    parser.add_argument("--fanouts", type=int, nargs="+", default=[8, 4])
    parser.add_argument("--batch-size", type=int, default=256)
    parser.add_argument("--hidden", type=int, default=32)
    parser.add_argument("--epochs", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--max-train", type=int, default=40_000, help="training seeds kept (a random subset)")
    args = parser.parse_args(argv)
    torch.set_num_threads(1)

    data = build_data(args.scale, args.features)
    ids, when, label = seeds_and_labels(data, args.cutoffs, args.horizon)
    cut = args.cutoffs - args.test_cutoffs
    train = [np.concatenate(part[:cut]) for part in (ids, when, label)]
    test = [np.concatenate(part[cut:]) for part in (ids, when, label)]
    rng = np.random.default_rng(0)
    if train[0].size > args.max_train:
        keep = np.sort(rng.choice(train[0].size, args.max_train, replace=False))
        train = [part[keep] for part in train]
    print(f"shop at scale {args.scale}: {train[0].size} training seeds over {cut} cut-offs "
          f"({train[2].mean():.1%} positive), {test[0].size} test seeds over {args.test_cutoffs}")

    results = {c: [] for c in CONFIGS}
    for r in range(args.rounds):
        for config in CONFIGS[r % len(CONFIGS):] + CONFIGS[:r % len(CONFIGS)]:
            results[config].append(run(data, (train, test), args, config, seed=r))
            print(config, results[config][-1], flush=True)
    body = [[c, spread([x["seeds"] for x in results[c]], 0), spread([x["nodes"] for x in results[c]], 0), spread([x["step_ms"] for x in results[c]], 1),
             spread([x["auroc"] for x in results[c]], 3)] for c in CONFIGS]
    print(markdown_table(["training batches", "seeds/batch", "nodes/batch", "ms/step", "test AUROC"], body))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
