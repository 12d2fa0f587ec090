"""Train a temporal GNN with PyTorch Geometric, sampling with quorvix.

    pip install torch torch-geometric      # torch: the build you want (docs/guide/pyg.md)
    python examples/pyg_train.py [--scale 0.2] [--epochs 3] [--num-workers 2]

A synthetic shop database (customers, products, transactions; no downloads) becomes a PyG
HeteroData. The task: at a cut-off time, will a customer buy anything in the next 30 days?
Each training example is a (customer, cut-off) pair; quorvix.pyg.NeighborLoader samples the
customer's most recent transactions up to the cut-off and their products, never anything
later, and a to_hetero GraphSAGE reads the subgraph. Validation uses a later cut-off.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import torch
import torch.nn.functional as F
from torch_geometric.data import HeteroData
from torch_geometric.nn import SAGEConv, to_hetero

from quorvix.pyg import NeighborLoader, graph_from_hetero_data

DAY = 86_400  # timestamps are seconds
HORIZON = 30 * DAY  # the label looks this far ahead of the cut-off
TRAIN_CUTOFFS = [150, 180, 210, 240]  # days
VALID_CUTOFF = 300


def make_database(scale: float = 1.0, seed: int = 0) -> HeteroData:
    """Customers who sign up, buy at their own rate for a while, then stop."""
    rng = np.random.default_rng(seed)
    num_customers, num_products = int(2500 * scale), max(int(250 * scale), 10)
    signup = rng.integers(0, 120, num_customers) * DAY
    leave = signup + rng.exponential(200, num_customers).astype(np.int64) * DAY
    rate = np.exp(rng.normal(np.log(0.08), 0.8, num_customers))  # purchases per day while active
    active_days = (np.minimum(leave, 360 * DAY) - signup) / DAY
    counts = rng.poisson(rate * active_days)
    customer = np.repeat(np.arange(num_customers), counts)
    t = signup[customer] + (rng.random(customer.size) * active_days[customer] * DAY).astype(np.int64)
    order = np.argsort(t, kind="stable")  # transaction ids follow time, like an auto-increment key
    customer, t = customer[order], t[order]
    popularity = rng.zipf(1.6, num_products * 4)[:num_products].astype(float)
    product = rng.choice(num_products, customer.size, p=popularity / popularity.sum())
    price = rng.gamma(2.0, 10.0, num_products)

    data = HeteroData()
    data["customers"].x = torch.tensor(np.stack([rng.integers(18, 90, num_customers) / 90.0,
                                                 rng.integers(0, 4, num_customers) / 3.0], 1), dtype=torch.float)
    data["customers"].time = torch.from_numpy(signup)
    data["products"].x = torch.tensor(np.log1p(price)[:, None], dtype=torch.float)
    data["products"].time = torch.zeros(num_products, dtype=torch.long)
    data["transactions"].x = torch.tensor(rng.integers(1, 5, customer.size)[:, None] / 4.0, dtype=torch.float)
    data["transactions"].time = torch.from_numpy(t)
    tx = torch.arange(customer.size)
    # (neighbour type, relation, frontier type): messages flow from the first to the last.
    data["transactions", "made_by", "customers"].edge_index = torch.stack([tx, torch.from_numpy(customer)])
    data["customers", "makes", "transactions"].edge_index = torch.stack([torch.from_numpy(customer), tx])
    data["products", "sold_in", "transactions"].edge_index = torch.stack([torch.from_numpy(product), tx])
    data["transactions", "sells", "products"].edge_index = torch.stack([tx, torch.from_numpy(product)])
    return data


def examples_at(data: HeteroData, cutoff_days: list[int]):
    """(customer, cut-off, label) for every customer signed up by each cut-off."""
    signup = data["customers"].time.numpy()
    tx_time = data["transactions"].time.numpy()
    tx_customer = data["transactions", "made_by", "customers"].edge_index[1].numpy()
    # Transactions sorted by (customer, time) let one bisection count a customer's window.
    key = tx_customer * (1 << 40) + tx_time
    key.sort()
    nodes, times, labels = [], [], []
    for day in cutoff_days:
        cutoff = day * DAY
        c = np.flatnonzero(signup <= cutoff)
        ahead = np.searchsorted(key, c * (1 << 40) + cutoff + HORIZON, "right")
        now = np.searchsorted(key, c * (1 << 40) + cutoff, "right")
        nodes.append(c)
        times.append(np.full(c.size, cutoff))
        labels.append((ahead > now).astype(np.float32))
    return np.concatenate(nodes), np.concatenate(times), torch.from_numpy(np.concatenate(labels))


class GNN(torch.nn.Module):
    def __init__(self, hidden: int):
        super().__init__()
        self.conv1 = SAGEConv((-1, -1), hidden)
        self.conv2 = SAGEConv((-1, -1), hidden)

    def forward(self, x, edge_index):
        return self.conv2(F.relu(self.conv1(x, edge_index)), edge_index)


class Model(torch.nn.Module):
    def __init__(self, metadata, hidden: int = 32):
        super().__init__()
        self.gnn = to_hetero(GNN(hidden), metadata, aggr="sum")
        self.head = torch.nn.Linear(hidden, 1)

    def forward(self, batch) -> torch.Tensor:
        x = {}
        for t in batch.node_types:  # each node's age at its seed's time, in months
            age = (batch["customers"].seed_time[batch[t].batch] - batch[t].time).float() / (30 * DAY)
            x[t] = torch.cat([batch[t].x, torch.log1p(age.clamp(min=0))[:, None]], 1)
        out = self.gnn(x, batch.edge_index_dict)
        return self.head(out["customers"][: batch["customers"].batch_size]).squeeze(-1)


def check_no_future(batch) -> None:
    """No sampled node is later than the seed it was sampled for."""
    seed_time = batch["customers"].seed_time
    for t in batch.node_types:
        assert bool((batch[t].time <= seed_time[batch[t].batch]).all()), f"a {t} node from the future"


def auroc(score: torch.Tensor, label: torch.Tensor) -> float:
    """Probability that a random positive outscores a random negative (ties count half)."""
    ranks = torch.from_numpy(_average_ranks(score.numpy()))
    pos = label.bool()
    n_pos, n_neg = int(pos.sum()), int((~pos).sum())
    return float((ranks[pos].sum() - n_pos * (n_pos + 1) / 2) / (n_pos * n_neg))


def _average_ranks(values: np.ndarray) -> np.ndarray:
    order = np.argsort(values, kind="stable")
    sorted_values = values[order]
    starts = np.r_[0, np.flatnonzero(np.diff(sorted_values)) + 1]
    ends = np.r_[starts[1:], len(values)]
    ranks = np.empty(len(values))
    ranks[order] = np.repeat((starts + ends + 1) / 2, ends - starts)
    return ranks


def make_loader(data, graph, nodes, times, labels, shuffle, num_workers, batch_size=256):
    loader = NeighborLoader(
        data,
        graph=graph,  # the time-sorted CSC, built once for both loaders
        num_neighbors=[20, 1],  # 20 most recent transactions, then each one's product
        input_nodes=("customers", nodes),
        input_time=times,
        time_attr="time",
        batch_size=batch_size,
        shuffle=shuffle,
        num_workers=num_workers,
        persistent_workers=num_workers > 0,
    )
    return loader, labels


def run(scale: float, epochs: int, num_workers: int) -> float:
    torch.manual_seed(0)
    data = make_database(scale)
    graph = graph_from_hetero_data(data, time_attr="time")
    train = make_loader(data, graph, *examples_at(data, TRAIN_CUTOFFS), shuffle=True, num_workers=num_workers)
    valid = make_loader(data, graph, *examples_at(data, [VALID_CUTOFF]), shuffle=False, num_workers=num_workers)
    print(f"{data['customers'].num_nodes} customers, {data['transactions'].num_nodes} transactions; "
          f"{len(train[1])} training and {len(valid[1])} validation examples, "
          f"{float(valid[1].mean()):.0%} positive")

    model = Model(data.metadata())
    with torch.no_grad():  # lazy layers take their input sizes from a first batch
        model(next(iter(valid[0])))
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)

    for epoch in range(1, epochs + 1):
        start, model_loss, seen = time.perf_counter(), 0.0, 0
        model.train()
        for batch in train[0]:
            check_no_future(batch)
            y = train[1][batch["customers"].input_id]
            optimizer.zero_grad()
            loss = F.binary_cross_entropy_with_logits(model(batch), y)
            loss.backward()
            optimizer.step()
            model_loss += loss.item() * len(y)
            seen += len(y)
        score = evaluate(model, *valid)
        print(f"epoch {epoch}: loss {model_loss / seen:.4f}, validation AUROC {score:.4f} "
              f"({time.perf_counter() - start:.1f} s)")
    return score


@torch.no_grad()
def evaluate(model, loader, labels) -> float:
    model.eval()
    scores, ys = [], []
    for batch in loader:
        check_no_future(batch)
        scores.append(model(batch))
        ys.append(labels[batch["customers"].input_id])
    return auroc(torch.cat(scores), torch.cat(ys))


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="size of the database (default 1.0)")
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--num-workers", type=int, default=0, help="loader worker processes")
    args = parser.parse_args(argv)
    score = run(args.scale, args.epochs, args.num_workers)
    print(f"validation AUROC: {score:.4f}; no sampled node was later than its seed")


if __name__ == "__main__":
    main()
