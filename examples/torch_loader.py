"""Feed sampled subgraphs to PyTorch from several worker processes.

    python examples/torch_loader.py

The graph is written once as .npy files and opened by every worker with
np.load(mmap_mode="r"): the operating system shares the pages between processes, so
the graph is held in memory once however many workers sample from it. A sampler cannot be
pickled and is cheap to build (it copies no graph data), so each worker builds its own on
first use, seeded from the worker's torch seed: random fan-outs then differ between workers
and between epochs, and torch.manual_seed makes a run repeatable. Batches here are sampled
with timestamps, which involves no random draws: the same seeds at the same times give the
same subgraph in whichever worker samples them.
"""

from __future__ import annotations

import json
import os
import tempfile
from pathlib import Path

import numpy as np
import torch
from torch.utils.data import DataLoader, Dataset

import quorvix

from from_tables import DAY, build_graph, make_tables  # examples/from_tables.py


def save_graph(directory, node_types, edge_types, colptr, row, node_time):
    """Write the sampler's arrays as .npy files plus a small JSON schema."""
    directory = Path(directory)
    files = {}
    for part, arrays in (("colptr", colptr), ("row", row), ("node_time", node_time)):
        for key, array in arrays.items():
            name = f"{part}.{key}.npy"
            np.save(directory / name, np.ascontiguousarray(array, dtype=np.int64))
            files.setdefault(part, {})[key] = name
    schema = {"node_types": list(node_types), "edge_types": [list(e) for e in edge_types], "files": files}
    (directory / "graph.json").write_text(json.dumps(schema, indent=1))


def load_graph(directory):
    """The NeighborSampler arguments, every array memory-mapped read-only."""
    directory = Path(directory)
    schema = json.loads((directory / "graph.json").read_text())
    arrays = {
        part: {key: np.load(directory / name, mmap_mode="r") for key, name in names.items()}
        for part, names in schema["files"].items()
    }
    edge_types = [tuple(e) for e in schema["edge_types"]]
    return (schema["node_types"], edge_types,
            arrays.get("colptr", {}), arrays.get("row", {}), arrays.get("node_time", {}))


class SubgraphBatches(Dataset):
    """Item i is the subgraph sampled around seeds[i*batch_size : (i+1)*batch_size]."""

    def __init__(self, graph_dir, entity_table, seed_node, seed_time, batch_size,
                 num_neighbors, sampling_time_offsets=None):
        self.graph_dir = str(graph_dir)
        self.entity_table = entity_table
        self.seed_node = np.asarray(seed_node, dtype=np.int64)
        self.seed_time = np.asarray(seed_time, dtype=np.int64)
        self.batch_size = batch_size
        self.num_neighbors = num_neighbors
        self.sampling_time_offsets = sampling_time_offsets or {}
        self._graph = self._sampler = self._sampler_pid = None

    def sampler(self):
        # Built lazily in the process that samples: a forked worker must not reuse its
        # parent's sampler, and a spawned one receives the dataset without it.
        if self._sampler is None or self._sampler_pid != os.getpid():
            self._graph = load_graph(self.graph_dir)
            self._sampler = quorvix.NeighborSampler(*self._graph, seed=stream_seed())
            self._sampler_pid = os.getpid()
        return self._sampler

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_graph"] = state["_sampler"] = state["_sampler_pid"] = None  # a sampler does not pickle
        return state

    def __len__(self):
        return -(-len(self.seed_node) // self.batch_size)

    def __getitem__(self, i):
        if not 0 <= i < len(self):
            raise IndexError(i)
        part = slice(i * self.batch_size, (i + 1) * self.batch_size)
        seed_node, seed_time = self.seed_node[part], self.seed_time[part]
        result = self.sampler().sample(self.num_neighbors, self.sampling_time_offsets,
                                       self.entity_table, seed_node, seed_time)
        return to_tensors(result, seed_node, seed_time)


def stream_seed():
    """A seed for this process's sampler. In a DataLoader worker torch's initial seed is
    the loader's base seed (drawn anew for every epoch) plus the worker id, so each worker
    and each epoch draws its own random fan-outs; a fixed seed would repeat them all."""
    return torch.initial_seed() % 2**31  # the sampler takes a 32-bit signed seed


def to_tensors(result, seed_node, seed_time):
    """The six result dicts as tensors; edges as a (2, E) index of (neighbour, frontier)."""
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = result
    t = torch.from_numpy  # the result arrays are fresh and writable: no copy needed
    return {
        "node": {k: t(v) for k, v in out_node.items()},
        "batch": {k: t(v) for k, v in out_batch.items()},
        "edge_index": {k: torch.stack([t(out_row[k]), t(out_col[k])]) for k in out_row},
        "num_sampled_nodes": {k: t(v) for k, v in num_nodes.items()},
        "num_sampled_edges": {k: t(v) for k, v in num_edges.items()},
        "seed_node": torch.tensor(seed_node),
        "seed_time": torch.tensor(seed_time),
    }


def make_loader(dataset, num_workers=2):
    # batch_size=None: every dataset item already is a batch.
    return DataLoader(dataset, batch_size=None, shuffle=False, num_workers=num_workers)


def example_dataset(graph_dir, batch_size=16, num_seeds=64):
    """Write the graph of from_tables.py to graph_dir and sample customers over it."""
    node_types, edge_types, colptr, row, node_time = build_graph(make_tables())
    save_graph(graph_dir, node_types, edge_types, colptr, row, node_time)
    rng = np.random.default_rng(2)
    seed_node = rng.integers(0, len(node_time["customers"]), num_seeds)
    seed_time = node_time["customers"][seed_node] + rng.integers(30, 150, num_seeds) * DAY
    num_neighbors = {  # with timestamps: the k most recent neighbours up to the seed time
        "transactions__customer_id__customers": [5, 0],
        "customers__rev_customer_id__transactions": [1, 1],
        "transactions__product_id__products": [0, 0],  # products come last: not expanded
        "products__rev_product_id__transactions": [1, 1],
    }
    return SubgraphBatches(graph_dir, "customers", seed_node, seed_time, batch_size, num_neighbors)


def main():
    with tempfile.TemporaryDirectory() as graph_dir:
        dataset = example_dataset(graph_dir)
        for i, batch in enumerate(make_loader(dataset, num_workers=2)):
            sizes = ", ".join(f"{t} {len(v)}" for t, v in batch["node"].items())
            edges = sum(e.shape[1] for e in batch["edge_index"].values())
            print(f"batch {i}: {len(batch['seed_node'])} seeds -> {sizes}; {edges} edges")


if __name__ == "__main__":
    main()
