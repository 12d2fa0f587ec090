"""Temporal link prediction with PyTorch Geometric, sampling links with quorvix.

    pip install torch torch-geometric      # torch: the build you want (docs/guide/pyg.md)
    python examples/pyg_link_train.py [--scale 0.2] [--epochs 3] [--num-workers 2]

The synthetic shop of examples/pyg_train.py (customers, products, transactions) with one
question: which product will this customer buy next? Every purchase is a link
(customer, product) at its time. quorvix.pyg.LinkNeighborLoader grows one subgraph per link
from both ends, never past the link's time, and draws negative products among those already
listed at that time; a to_hetero GraphSAGE embeds both ends and a dot product scores the
pair. Training uses binary negatives; validation ranks each bought product among 20
negatives (triplet negatives) and reports the mean reciprocal rank (MRR).
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import torch
import torch.nn.functional as F
from pyg_train import DAY, make_database
from torch_geometric.nn import SAGEConv, to_hetero

from quorvix.pyg import LinkNeighborLoader, graph_from_hetero_data

BUYS = ("customers", "buys", "products")  # the links to predict (not a message-passing edge)
TRAIN_DAYS, VALID_DAYS = (150, 270), (270, 330)
NUM_VALID_NEGATIVES = 20


def make_shop(scale: float):
    """The shop, with every product listed a day before its first sale, and its purchases
    as (customer, product, time) links."""
    data = make_database(scale)
    tx_time = data["transactions"].time.numpy()
    customer = data["transactions", "made_by", "customers"].edge_index[1].numpy()
    product = data["products", "sold_in", "transactions"].edge_index[0].numpy()
    num_products = data["products"].num_nodes
    first_sale = np.full(num_products, tx_time.max() if tx_time.size else 0)
    np.minimum.at(first_sale, product, tx_time)
    data["products"].time = torch.from_numpy(first_sale - DAY)
    # A link is asked one second before its purchase, so the purchase's own transaction
    # (at the purchase time) is not yet in the graph the model sees.
    link_time = tx_time - 1
    # (A purchase in the second of sign-up would be asked before its customer exists.)
    asked = link_time >= data["customers"].time.numpy()[customer]
    return data, customer[asked], product[asked], link_time[asked]


def links_between(customer, product, link_time, days, limit=None, seed=0):
    keep = np.flatnonzero((link_time >= days[0] * DAY) & (link_time < days[1] * DAY))
    if limit is not None and keep.size > limit:
        keep = np.sort(np.random.default_rng(seed).choice(keep, limit, replace=False))
    return torch.from_numpy(np.stack([customer[keep], product[keep]])), torch.from_numpy(link_time[keep])


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

    def embed(self, batch, link_time):
        x = {}
        for t in batch.node_types:  # each node's age at its link's time, in months
            age = (link_time[batch[t].batch] - batch[t].time).float() / (30 * DAY)
            x[t] = torch.cat([batch[t].x, torch.log1p(age.clamp(min=0))[:, None]], 1)
        return self.gnn(x, batch.edge_index_dict)

    @staticmethod
    def score(out, src, dst):
        return (out["customers"][src] * out["products"][dst]).sum(-1)  # dot-product head


def check_no_future(batch, link_time, negatives, negative_time) -> None:
    """No sampled node is later than its link's time, no negative later than its own."""
    for t in batch.node_types:
        assert bool((batch[t].time <= link_time[batch[t].batch]).all()), f"a {t} node from the future"
    assert bool((batch["products"].time[negatives] <= negative_time).all()), "a negative from the future"


def run(scale: float, epochs: int, num_workers: int) -> float:
    torch.manual_seed(0)
    data, customer, product, link_time = make_shop(scale)
    graph = graph_from_hetero_data(data, time_attr="time")  # the time-sorted CSC, built once
    common = dict(num_neighbors=[8, 1], time_attr="time", graph=graph, num_workers=num_workers,
                  persistent_workers=num_workers > 0)
    train_index, train_time = links_between(customer, product, link_time, TRAIN_DAYS)
    valid_index, valid_time = links_between(customer, product, link_time, VALID_DAYS, limit=1000)
    train = LinkNeighborLoader(data, edge_label_index=(BUYS, train_index), edge_label_time=train_time,
                               neg_sampling="binary", batch_size=256, shuffle=True, seed=1, **common)
    valid = LinkNeighborLoader(data, edge_label_index=(BUYS, valid_index), edge_label_time=valid_time,
                               neg_sampling=dict(mode="triplet", amount=NUM_VALID_NEGATIVES), batch_size=256,
                               seed=2, **common)
    print(f"{data['customers'].num_nodes} customers, {data['products'].num_nodes} products; "
          f"{train_index.shape[1]} training and {valid_index.shape[1]} validation purchases")

    model = Model(data.metadata())
    with torch.no_grad():  # lazy layers take their input sizes from a first batch
        first = next(iter(valid))
        model.embed(first, first["customers"].seed_time)
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)

    for epoch in range(1, epochs + 1):
        start, total_loss, seen = time.perf_counter(), 0.0, 0
        model.train()
        for batch in train:
            link = batch[BUYS]
            num_pos = link.input_id.numel()
            check_no_future(batch, link.edge_label_time[:num_pos], link.edge_label_index[1, num_pos:],
                            link.edge_label_time[num_pos:])  # binary negatives carry their link's time
            out = model.embed(batch, link.edge_label_time[:num_pos])
            logits = model.score(out, *link.edge_label_index)
            loss = F.binary_cross_entropy_with_logits(logits, link.edge_label)
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
            total_loss += loss.item() * logits.numel()
            seen += logits.numel()
        mrr = evaluate(model, valid)
        print(f"epoch {epoch}: loss {total_loss / seen:.4f}, validation MRR {mrr:.4f} "
              f"({time.perf_counter() - start:.1f} s)")
    return mrr


@torch.no_grad()
def evaluate(model, loader) -> float:
    """Mean reciprocal rank of the bought product among it and its negatives (ties count
    against it)."""
    model.eval()
    reciprocal = []
    for batch in loader:
        src, pos = batch["customers"].src_index, batch["products"].dst_pos_index
        neg = batch["products"].dst_neg_index
        link_time = batch["customers"].seed_time
        check_no_future(batch, link_time, neg, link_time[:, None])
        out = model.embed(batch, link_time)
        positive = model.score(out, src, pos)
        negative = model.score(out, src[:, None].expand_as(neg), neg)
        rank = 1 + (negative >= positive[:, None]).sum(1)
        reciprocal.append(1.0 / rank.float())
    return float(torch.cat(reciprocal).mean())


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="size of the database (default 1.0)")
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--num-workers", type=int, default=0, help="loader worker processes")
    args = parser.parse_args(argv)
    mrr = run(args.scale, args.epochs, args.num_workers)
    num = NUM_VALID_NEGATIVES + 1
    print(f"validation MRR: {mrr:.4f} (random ranking: {sum(1 / r for r in range(1, num + 1)) / num:.4f}); "
          "no sampled node and no negative was later than its link")


if __name__ == "__main__":
    main()
