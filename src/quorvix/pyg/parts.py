"""A PyG graph written as the parts of :mod:`quorvix.dist`, and a part read back in PyG's terms.

:func:`partition_data` builds the sampler's arrays from ``data`` as :class:`NeighborLoader` does,
writes them as parts whose edge ids are ``data``'s own edge order and whose node and edge
features are every node-level and edge-level tensor of ``data``, and beside each part's manifest
a ``pyg.json`` naming what the parts alone cannot tell (the node counts PyG knows, whether
``data`` was a ``Data``, which stores held ``num_nodes``).
"""

from __future__ import annotations

import json
import os
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

import numpy as np

from .convert import edge_type_key, to_numpy
from .graph import NODE, SamplerGraph, graph_from_data

PYG_FILE = "pyg.json"


def partition_data(data: Any, num_parts: int, path: str | os.PathLike[str], time_attr: Optional[str] = None,
                   weight_attr: Optional[str] = None, *, graph: Optional[SamplerGraph] = None) -> List[str]:
    r"""Writes ``data`` as ``num_parts`` parts under ``path`` for :class:`DistNeighborLoader`
    and returns their directories.

    Args:
        data (Data or HeteroData): the graph with its node features and labels.
        num_parts (int): the number of parts, one per rank.
        path (str): the directory to write ``part-<k>`` directories into.
        time_attr, weight_attr (str, optional): as for :class:`NeighborLoader`.
        graph (SamplerGraph, optional): arrays built earlier by :func:`graph_from_data`.

    Returns:
        List[str]: the part directories, part ``k`` at index ``k``, each with its
        ``pyg.json`` beside the part's manifest.

    Raises:
        TypeError, ValueError: as for :func:`graph_from_data` and
            :func:`quorvix.dist.partition` (for example ``num_parts`` below 1).
        RuntimeError: the graph's arrays do not make a valid graph. The messages are listed
            in the error reference.
    """
    import quorvix.dist

    if graph is None:
        graph = graph_from_data(data, time_attr, weight_attr)
    stores = [(t, data[t]) for t in data.node_types] if hasattr(data, "edge_types") else [(NODE, data)]
    features: Dict[str, Dict[str, np.ndarray]] = {}
    for node_type, store in stores:
        features[node_type] = {name: np.ascontiguousarray(to_numpy(store[name])) for name in store.node_attrs()
                               if name != "num_nodes" and hasattr(store[name], "shape")}
    edge_features: Dict[str, Dict[str, np.ndarray]] = {}
    for edge_type in graph.edge_types:
        key = edge_type_key(edge_type)
        store = data if graph.homogeneous else data[edge_type]
        # In the CSC order the parts are cut in: the row of CSC position p is the one of edge perm[p].
        perm = np.asarray(graph.perm[key])
        edge_features[key] = {name: to_numpy(store[name])[perm] for name in store.edge_attrs()
                              if name != "edge_index" and hasattr(store[name], "shape")}
    directories = quorvix.dist.partition(graph.native_graph(), num_parts, path, node_features=features,
                                         edge_ids=graph.perm, edge_features=edge_features)
    # A store that holds num_nodes passes it on to its batches (as the batch's count); others do not.
    described = {"homogeneous": graph.homogeneous, "num_nodes": graph.num_nodes,
                 "stored_num_nodes": [node_type for node_type, store in stores if "num_nodes" in store]}
    for directory in directories:
        with open(os.path.join(directory, PYG_FILE), "w", encoding="utf-8") as file:
            json.dump(described, file, indent=1)
    return directories


def part_graph(part: Any, node_time_of: Callable[[str], Any]) -> Tuple[SamplerGraph, Any, Set[str]]:
    """The graph a part belongs to as the PyG side sees it, without its arrays: names, node
    counts, which types have times (``node_time_of(node_type)`` standing for a type's times), and
    an empty ``Data`` or ``HeteroData`` with the graph's node and edge types for PyG's batch
    building, and the node types whose stores held ``num_nodes``."""
    import torch
    from torch_geometric.data import Data, HeteroData

    path = os.path.join(part.directory, PYG_FILE)
    if not os.path.isfile(path):
        raise ValueError(f"Part directory '{part.directory}' has no {PYG_FILE}: write the parts with "
                         "quorvix.pyg.partition_data.")
    from quorvix.dist.part_files import load_json

    described = load_json(path)
    num_nodes = {name: int(count) for name, count in described["num_nodes"].items()}
    no_edges = np.empty(0, np.int64)
    graph = SamplerGraph(node_types=list(part.node_types), edge_types=list(part.edge_types), num_nodes=num_nodes,
                         colptr={}, row={}, perm={},
                         node_time={name: node_time_of(name) for name in part.typed_node_time},
                         edge_time={entry["key"]: no_edges for entry in part.manifest["edges"]
                                    if entry["time"] == "edge_time"},
                         homogeneous=bool(described["homogeneous"]))
    stored = set(described["stored_num_nodes"])
    empty_index = torch.empty((2, 0), dtype=torch.long)
    if graph.homogeneous:
        return graph, Data(edge_index=empty_index, num_nodes=num_nodes[NODE]), stored
    data = HeteroData()
    for name in graph.node_types:
        data[name].num_nodes = num_nodes[name]
    for edge_type in graph.edge_types:
        data[edge_type].edge_index = empty_index
    return graph, data, stored
