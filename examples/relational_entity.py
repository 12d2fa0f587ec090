"""Entity classification from a database file: a GraphSAGE model over every table, trained
on a table of (entity key, cut-off time, label) rows, with each entity seeing only rows no
later than its cut-off time.

    python examples/relational_entity.py shop.duckdb      # or shop.sqlite
    python examples/relational_entity.py shop.duckdb --entity customers --task churn \\
        --time-columns customers=signup,orders=time,reviews=time --epochs 2

1. ``from_database`` reads the tables and their key constraints: tables are node
   types, foreign keys edge types, time columns node times.
2. ``features`` reads every other column in node-id order (cached on disk with ``--cache``),
   as a ``HeteroData`` PyG's loaders gather batches from.
3. ``NeighborLoader`` samples each training row's entity at its cut-off time (the most
   recent neighbours, ``"last"``), from the graph as it is.
4. A light per-table encoder (an embedding per categorical column, a linear map of the
   numerical ones) stands in for tabular encoders, under ``to_hetero`` GraphSAGE.
"""

from __future__ import annotations

import argparse
import sqlite3
from typing import Dict, List

import numpy as np
import torch
from torch import nn
from torch_geometric.nn import SAGEConv, to_hetero

from quorvix.pyg import NeighborLoader
from quorvix.tables import features, from_database

SHOP_TIMES = {"customers": "signup", "orders": "time", "reviews": "time"}


def connect(path: str):
    if path.endswith((".sqlite", ".db", ".sqlite3")):
        return sqlite3.connect(path)
    import duckdb

    return duckdb.connect(path, read_only=True)


def table_names(con) -> List[str]:
    if isinstance(con, sqlite3.Connection):
        query = "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'"
    else:
        query = "SELECT table_name FROM duckdb_tables()"
    return [r[0] for r in con.execute(query).fetchall()]


def column_names(con, table: str) -> List[str]:
    return [d[0] for d in con.execute(f'SELECT * FROM "{table}" LIMIT 0').description]


def make_loader(path: str, entity: str = "customers", task: str = "churn",
                time_columns: Dict[str, str] = SHOP_TIMES, num_neighbors=(8, 4), batch_size: int = 32,
                shuffle: bool = False, cache=None, seed: int = 0):
    """The loader over the database at ``path``, its graph, its features and the labels."""
    con = connect(path)
    tables = sorted(t for t in table_names(con) if t != task)
    graph, keys = from_database(con, tables, time_columns=time_columns)
    key_columns = set(keys.primary_keys.items()) | {(child, column) for child, column, _ in keys.references}
    columns = {t: {c: "timestamp" if time_columns.get(t) == c else None
                   for c in column_names(con, t) if (t, c) not in key_columns} for t in tables}
    table_features = features(con, columns, cache=cache, keys=keys)
    rows = con.execute(f'SELECT * FROM "{task}"').fetchall()  # entity key, cut-off time, label
    entity_key, cut_off, label = (np.array(c) for c in zip(*rows))
    seconds = np.array(cut_off, dtype="datetime64[s]").view(np.int64)
    loader = NeighborLoader(table_features.to_hetero_data(), list(num_neighbors),
                            input_nodes=(entity, keys.to_id(entity, entity_key)), input_time=seconds,
                            graph=(graph, keys), temporal_strategy="last", batch_size=batch_size,
                            shuffle=shuffle, seed=seed)
    return loader, graph, table_features, torch.tensor(label.astype(np.float32))


class TableEncoder(nn.Module):
    """Per table: an embedding per categorical column, a linear map of the numerical and
    timestamp columns (NaN and nulls as 0, standardised over the table), and a bias."""

    def __init__(self, table_features, hidden: int):
        super().__init__()
        self.kinds = table_features.kinds
        self.embeddings = nn.ModuleDict()
        self.linears = nn.ModuleDict()
        self.scales = {}
        for t, kinds in self.kinds.items():
            for c, kind in kinds.items():
                if kind == "categorical":
                    self.embeddings[f"{t}__{c}"] = nn.Embedding(len(table_features.categories[t][c]) + 1, hidden)
            numerical = self._numerical(t, {c: torch.from_numpy(np.asarray(a))
                                            for c, a in table_features.arrays[t].items()})
            if numerical is not None:
                self.scales[t] = (numerical.mean(0), numerical.std(0).clamp_min(1e-9))
                self.linears[t] = nn.Linear(numerical.shape[1], hidden)
        self.bias = nn.ParameterDict({t: nn.Parameter(torch.zeros(hidden)) for t in self.kinds})

    def _numerical(self, t: str, store):
        names = [c for c, kind in self.kinds[t].items() if kind != "categorical"]
        if not names:
            return None
        values = torch.stack([store[c].double() for c in names], 1)
        return torch.nan_to_num(values, nan=0.0, neginf=0.0)

    def forward(self, batch) -> Dict[str, torch.Tensor]:
        out = {}
        for t, kinds in self.kinds.items():
            h = self.bias[t].expand(batch[t].num_nodes, -1)
            for c, kind in kinds.items():
                if kind == "categorical":
                    h = h + self.embeddings[f"{t}__{c}"](batch[t][c] + 1)
            if t in self.linears:
                mean, std = self.scales[t]
                h = h + self.linears[t](((self._numerical(t, batch[t]) - mean) / std).float())
            out[t] = h
        return out


class GraphSAGE(nn.Module):
    def __init__(self, hidden: int, layers: int = 2):
        super().__init__()
        self.convs = nn.ModuleList(SAGEConv((-1, -1), hidden) for _ in range(layers))

    def forward(self, x, edge_index):
        for conv in self.convs:
            x = conv(x, edge_index).relu()
        return x


class Model(nn.Module):
    def __init__(self, table_features, metadata, entity: str, hidden: int = 32):
        super().__init__()
        self.entity = entity
        self.encoder = TableEncoder(table_features, hidden)
        self.gnn = to_hetero(GraphSAGE(hidden), metadata, aggr="sum")
        self.head = nn.Linear(hidden, 1)

    def forward(self, batch, edge_types) -> torch.Tensor:
        edge_index = {e: batch[e].edge_index if "edge_index" in batch[e] else torch.empty(2, 0, dtype=torch.long)
                      for e in edge_types}
        h = self.gnn(self.encoder(batch), edge_index)
        return self.head(h[self.entity][: batch[self.entity].batch_size]).view(-1)


def train(path: str, entity: str, task: str, time_columns: Dict[str, str], epochs: int, cache=None) -> float:
    torch.manual_seed(0)
    loader, graph, table_features, labels = make_loader(path, entity, task, time_columns, shuffle=True, cache=cache)
    edge_types = [tuple(e) for e in graph.edge_types]
    model = Model(table_features, (list(graph.node_types), edge_types), entity)
    with torch.no_grad():  # lazy layers take their sizes from a first batch
        model(next(iter(loader)), edge_types)
    optimiser = torch.optim.Adam(model.parameters(), lr=0.01)
    loss = torch.tensor(0.0)
    for epoch in range(epochs):
        total, count = 0.0, 0
        for batch in loader:
            optimiser.zero_grad()
            target = labels[batch[entity].input_id]
            loss = nn.functional.binary_cross_entropy_with_logits(model(batch, edge_types), target)
            loss.backward()
            optimiser.step()
            total, count = total + float(loss) * len(target), count + len(target)
        print(f"epoch {epoch}: loss {total / max(count, 1):.4f} over {count} training rows")
    return float(loss)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", help="a DuckDB file, or an SQLite file (.sqlite, .sqlite3, .db)")
    parser.add_argument("--entity", default="customers", help="the table whose rows are classified")
    parser.add_argument("--task", default="churn", help="the training table: entity key, cut-off time, label")
    parser.add_argument("--time-columns", default=",".join(f"{t}={c}" for t, c in SHOP_TIMES.items()),
                        help="table=column pairs, comma-separated")
    parser.add_argument("--epochs", type=int, default=1)
    parser.add_argument("--cache", default=None, help="a directory for the feature arrays")
    args = parser.parse_args(argv)
    time_columns = dict(pair.split("=", 1) for pair in args.time_columns.split(",") if pair)
    train(args.path, args.entity, args.task, time_columns, args.epochs, args.cache)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
