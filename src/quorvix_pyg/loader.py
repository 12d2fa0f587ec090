"""quorvix behind PyG's ``NodeLoader``: mini-batches of per-seed temporal subgraphs."""

from __future__ import annotations

from typing import Any, Iterator, Optional, Tuple

import numpy as np
import torch
from torch_geometric.loader import NodeLoader

from .convert import as_index_tensor, as_int64
from .graph import SamplerGraph
from .sampler import NeighborSampler, NumNeighbors, TemporalStrategy, TimeWindows

# PyG NeighborLoader options this loader has no choice about: the value it always behaves
# as is accepted, any other is refused rather than silently ignored.
FIXED_OPTIONS = {
    "replace": False,
    "disjoint": True,
    "subgraph_type": "directional",
    "directed": True,
    "weight_attr": None,
    "neighbor_sampler": None,
}


class NeighborLoader(NodeLoader):
    r"""PyG's ``NeighborLoader`` with quorvix as the sampler.

    Batches are those of PyG's ``NeighborLoader(..., disjoint=True)``: per node type
    ``n_id``, ``batch`` and ``num_sampled_nodes``, per edge type ``edge_index``, ``e_id``
    (in ``data``'s edge order) and ``num_sampled_edges``, on the input type ``input_id``,
    ``batch_size`` and ``seed_time``, and every node and edge attribute gathered by
    ``n_id``/``e_id``.

    Args:
        data (HeteroData): the graph with its features.
        num_neighbors (List[int] or Dict[Tuple[str, str, str], List[int]]): fan-out per
            hop, for every edge type or per edge type.
        input_nodes (str or Tuple[str, ids or mask], optional): the seed node type and its
            seed ids (a tensor, array or list) or boolean mask (one entry per node of the
            type); the type alone takes all its nodes, and :obj:`None` all nodes of a graph
            with one node type. (default: :obj:`None`)
        input_time (tensor, array or list, optional): one time per seed, overriding the
            seeds' own ``time_attr``. (default: :obj:`None`)
        time_attr, temporal_strategy, time_windows, seed, graph, num_threads: as for
            :class:`quorvix_pyg.NeighborSampler`.
        **kwargs: arguments of ``NodeLoader`` and ``torch.utils.data.DataLoader``, such as
            ``batch_size``, ``shuffle``, ``num_workers`` or ``transform``.
    """

    def __init__(
        self,
        data: Any,
        num_neighbors: NumNeighbors,
        input_nodes: Any = None,
        input_time: Any = None,
        *,
        time_attr: Optional[str] = None,
        temporal_strategy: TemporalStrategy = "last",
        time_windows: Optional[TimeWindows] = None,
        seed: Optional[int] = None,
        graph: Optional[SamplerGraph] = None,
        num_threads: Optional[int] = None,
        **kwargs: Any,
    ):
        for name, value in FIXED_OPTIONS.items():
            if name in kwargs:
                given = kwargs.pop(name)
                if getattr(given, "value", given) != value:  # SubgraphType members hold their name
                    raise ValueError(f"{name}={given!r} is not supported by quorvix_pyg.NeighborLoader.")
        kwargs.pop("is_sorted", None)  # the graph is always sorted when it is built
        sampler = NeighborSampler(data, num_neighbors, time_attr=time_attr, temporal_strategy=temporal_strategy,
                                  time_windows=time_windows, seed=seed, graph=graph,
                                  num_threads=num_threads)
        input_nodes, num_seeds = _seed_nodes(sampler.graph, input_nodes)
        if input_time is not None:
            input_time = torch.tensor(as_int64(input_time, "input_time"))
            if input_time.numel() != num_seeds:
                raise ValueError(f"'input_time' has {input_time.numel()} entries for {num_seeds} seed nodes.")
        if time_attr is not None:
            _refuse_numpy_datetimes(data, time_attr)
        super().__init__(data, sampler, input_nodes=input_nodes, input_time=input_time, **kwargs)
        self.quorvix_sampler = sampler

    def __iter__(self) -> Iterator[Any]:
        # Workers started for this epoch copy the sampler as it is now.
        self.quorvix_sampler.epoch += 1
        return super().__iter__()


def _seed_nodes(graph: SamplerGraph, input_nodes: Any) -> Tuple[Any, int]:
    """``input_nodes`` as PyG's NodeLoader takes it, checked against the graph, and the
    number of seeds it gives."""
    if input_nodes is None or isinstance(input_nodes, str):
        if input_nodes is None and len(graph.node_types) != 1:
            raise ValueError("'input_nodes' is needed on a graph with several node types: "
                             "give (node type, ids or mask).")
        input_type, ids = input_nodes or graph.node_types[0], None
    elif isinstance(input_nodes, (tuple, list)) and len(input_nodes) == 2 and isinstance(input_nodes[0], str):
        input_type, ids = input_nodes
    else:
        raise ValueError("'input_nodes' must be a node type or a (node type, ids or mask) pair.")
    if input_type not in graph.num_nodes:
        raise ValueError(f"Unknown input node type '{input_type}'.")
    num_nodes = graph.num_nodes[input_type]
    if ids is None:
        return input_type, num_nodes
    ids = as_index_tensor(ids)
    if ids.dtype == torch.bool:
        if ids.dim() != 1 or ids.numel() != num_nodes:
            raise ValueError(f"The mask 'input_nodes' has {ids.numel()} entries for the {num_nodes} "
                             f"nodes of type '{input_type}'.")
        return (input_type, ids), int(ids.sum())
    if ids.numel() and (int(ids.min()) < 0 or int(ids.max()) >= num_nodes):
        raise ValueError(f"Seed ids outside [0, {num_nodes}) of node type '{input_type}'.")
    return (input_type, ids), ids.numel()


def _refuse_numpy_datetimes(data: Any, time_attr: str) -> None:
    # PyG gathers every attribute into the batch as a tensor, which cannot hold datetimes.
    for node_type in data.node_types:
        value = data[node_type][time_attr] if time_attr in data[node_type] else None
        if isinstance(value, np.ndarray) and value.dtype.kind in "mM":
            raise TypeError(f"'{time_attr}' of node type '{node_type}' holds NumPy {value.dtype} values, "
                            f"which PyG cannot put in a batch; store int64 seconds instead.")
