"""quorvix behind PyG's ``NodeLoader``: PyG's ``NeighborLoader`` with quorvix sampling."""

from __future__ import annotations

from typing import Any, Callable, Iterator, Optional, Tuple

import numpy as np
import torch
from torch_geometric.loader import NodeLoader

from .assembly import assembled_batch, prepare_assembly
from .batching import time_grouped_batches
from .convert import as_index_tensor, as_int64
from .graph import NODE, SamplerGraph
from .sampler import NeighborSampler, NumNeighbors, TemporalStrategy, TimeWindows
from .stores import loader_data


class NeighborLoader(NodeLoader):
    r"""PyG's ``NeighborLoader`` with quorvix as the sampler: the same arguments, in the
    same order, and the same batches.

    Batches are ``Data`` for a ``Data`` and ``HeteroData`` otherwise, with ``n_id``,
    ``e_id`` (in ``data``'s edge order), ``num_sampled_nodes``, ``num_sampled_edges``,
    ``input_id``, ``batch_size``, ``seed_time`` (with time), ``batch`` (when subgraphs are
    per seed or per seed time) and every node and edge attribute gathered by ``n_id`` and
    ``e_id``. The first ``batch_size`` nodes of the input type are the seeds, in order.

    Args:
        data (Data, HeteroData or (FeatureStore, GraphStore)): the graph with its features;
            also a ``quorvix.Graph`` (or ``(graph, keys)``) alone, or a ``(FeatureStore,
            quorvix.Graph)`` pair, sampled as it is (see :class:`quorvix.pyg.GraphStore`).
        num_neighbors (List[int], Dict[Tuple[str, str, str], List[int]] or NumNeighbors):
            fan-out per hop, for every edge type or per edge type.
        input_nodes (ids, mask, str or Tuple[str, ids or mask], optional): the seeds: ids
            (a tensor, array or list) or a boolean mask (one entry per node); on a
            heterogeneous graph with their node type, which alone takes all its nodes.
            :obj:`None` takes all nodes of a graph with one node type. (default: :obj:`None`)
        input_time (tensor, array or list, optional): one time per seed, overriding the
            seeds' own ``time_attr``. (default: :obj:`None`)
        replace, subgraph_type, disjoint, temporal_strategy, time_attr, weight_attr: as for
            :class:`quorvix.pyg.NeighborSampler`; ``temporal_strategy`` defaults to
            ``"uniform"``, as in PyG.
        transform, transform_sampler_output, filter_per_worker: as for PyG's ``NodeLoader``.
        is_sorted (bool, optional): accepted for PyG's sake; the graph is always sorted when
            it is built. (default: :obj:`False`)
        neighbor_sampler (quorvix.pyg.NeighborSampler, optional): a sampler built earlier,
            used instead of building one (the sampling arguments are then its own).
        directed (bool, optional): :obj:`False` is PyG's older spelling of
            ``subgraph_type="induced"``. (default: :obj:`True`)
        shared_by_time, time_windows, seed, graph, num_threads: as for
            :class:`quorvix.pyg.NeighborSampler`.
        batch_by_time (bool, optional): fill every batch from seeds of one seed time
            (shuffled within and across times with ``shuffle=True``), see
            :class:`quorvix.pyg.TimeGroupedBatchSampler`; with ``shared_by_time=True`` a
            batch is then one subgraph. (default: :obj:`False`)
        **kwargs: arguments of ``torch.utils.data.DataLoader``, such as ``batch_size``,
            ``shuffle`` or ``num_workers``.

    Raises:
        TypeError: ``neighbor_sampler`` is not a :class:`quorvix.pyg.NeighborSampler`, or
            ``time_attr`` holds NumPy datetimes; and as for
            :class:`quorvix.pyg.NeighborSampler`.
        ValueError: ``input_nodes`` is missing on a graph with several node types, names an
            unknown node type, holds ids out of range or a mask of the wrong length;
            ``input_time`` is given without timestamps or has not one entry per seed; the
            graph has timestamps but the seeds have none and no ``input_time`` is given;
            ``batch_by_time=True`` has no seed times or comes with a ``batch_sampler`` or
            ``sampler``; and as for :class:`quorvix.pyg.NeighborSampler`. The messages are
            listed in the error reference.

    Example:
        >>> from quorvix.pyg import NeighborLoader
        >>> from quorvix.pyg.datasets import shop
        >>> data = shop()
        >>> loader = NeighborLoader(data, [4, 2], input_nodes="transactions", time_attr="time",
        ...                         batch_size=16)
        >>> len(loader)
        19
        >>> batch = next(iter(loader))
        >>> batch.node_types
        ['customers', 'transactions', 'products']
        >>> seeds = batch["transactions"]
        >>> seeds.batch_size
        16
        >>> bool((seeds.time <= seeds.seed_time[seeds.batch]).all())  # nothing from the future
        True
    """

    def __init__(
        self,
        data: Any,
        num_neighbors: NumNeighbors,
        input_nodes: Any = None,
        input_time: Any = None,
        replace: bool = False,
        subgraph_type: Any = "directional",
        disjoint: bool = False,
        temporal_strategy: TemporalStrategy = "uniform",
        time_attr: Optional[str] = None,
        weight_attr: Optional[str] = None,
        transform: Optional[Callable] = None,
        transform_sampler_output: Optional[Callable] = None,
        is_sorted: bool = False,
        filter_per_worker: Optional[bool] = None,
        neighbor_sampler: Optional[NeighborSampler] = None,
        directed: bool = True,
        *,
        shared_by_time: bool = False,
        time_windows: Optional[TimeWindows] = None,
        seed: Optional[int] = None,
        graph: Optional[SamplerGraph] = None,
        num_threads: Optional[int] = None,
        batch_by_time: bool = False,
        **kwargs: Any,
    ):
        if neighbor_sampler is None:
            neighbor_sampler = NeighborSampler(
                data, num_neighbors, subgraph_type="induced" if not directed else subgraph_type,
                replace=replace, disjoint=disjoint, shared_by_time=shared_by_time,
                temporal_strategy=temporal_strategy, time_attr=time_attr, weight_attr=weight_attr,
                time_windows=time_windows, seed=seed, graph=graph, num_threads=num_threads)
        elif not isinstance(neighbor_sampler, NeighborSampler):
            raise TypeError(f"'neighbor_sampler' must be a quorvix.pyg.NeighborSampler, "
                            f"got {type(neighbor_sampler).__name__}.")
        input_nodes, num_seeds = _seed_nodes(neighbor_sampler.graph, input_nodes)
        if input_time is not None and not neighbor_sampler.graph.has_time:
            raise ValueError("'input_time' needs timestamps: give 'time_attr'.")
        if input_time is not None:
            input_time = torch.tensor(as_int64(input_time, "input_time"))
            if input_time.numel() != num_seeds:
                raise ValueError(f"'input_time' has {input_time.numel()} entries for {num_seeds} seed nodes.")
        graph = neighbor_sampler.graph
        input_type = NODE if graph.homogeneous else input_nodes if isinstance(input_nodes, str) else input_nodes[0]
        if graph.has_time and input_time is None and input_type not in graph.node_time:
            # Without seed times nothing would be filtered by time: refuse rather than leak.
            raise ValueError(f"Seeds of node type '{input_type}' have no timestamps: give 'input_time'.")
        if time_attr is not None:
            _refuse_numpy_datetimes(data, time_attr)
        if batch_by_time:
            seed_time = None
            if input_time is not None:
                seed_time = input_time.numpy()
            elif input_type in graph.node_time:
                seed_time = graph.node_time[input_type][_seed_ids(graph, input_nodes, input_type)]
            kwargs = time_grouped_batches(seed_time, kwargs)
        super().__init__(loader_data(data, neighbor_sampler.graph), neighbor_sampler, input_nodes=input_nodes, input_time=input_time,
                         transform=transform, transform_sampler_output=transform_sampler_output,
                         filter_per_worker=filter_per_worker, **kwargs)
        self.quorvix_sampler = neighbor_sampler
        prepare_assembly(self, neighbor_sampler)

    def filter_fn(self, out: Any) -> Any:
        """The batch of a sampler output, as PyG's ``NodeLoader.filter_fn`` makes it.

        For a ``Data``, a ``HeteroData`` or node features beside a ``quorvix.Graph`` the
        batch is made in one step, every feature copied in one native call; other forms,
        ``transform_sampler_output`` and collation in worker processes go PyG's way.

        Args:
            out (SamplerOutput or HeteroSamplerOutput): the sampler's output for one batch.

        Returns:
            Data or HeteroData: the batch, after ``transform`` when one was given.
        """
        return assembled_batch(self, out, super().filter_fn)

    def __iter__(self) -> Iterator[Any]:
        # Workers started for this epoch copy the sampler as it is now.
        self.quorvix_sampler.epoch += 1
        return super().__iter__()


def _seed_nodes(graph: SamplerGraph, input_nodes: Any) -> Tuple[Any, int]:
    """``input_nodes`` as PyG's NodeLoader takes it, checked against the graph, and the
    number of seeds it gives."""
    pair = isinstance(input_nodes, (tuple, list)) and len(input_nodes) == 2 and isinstance(input_nodes[0], str)
    if graph.homogeneous:  # PyG takes ids or a mask alone, None for every node
        ids = input_nodes[1] if pair else input_nodes
        if ids is None:
            return None, graph.num_nodes[NODE]
        ids, num_seeds = _checked_ids(graph, NODE, ids)
        return ids, num_seeds
    if input_nodes is None or isinstance(input_nodes, str):
        if input_nodes is None and len(graph.node_types) != 1:
            raise ValueError("'input_nodes' is needed on a graph with several node types: "
                             "give (node type, ids or mask).")
        input_type, ids = input_nodes or graph.node_types[0], None
    elif pair:
        input_type, ids = input_nodes
    else:
        raise ValueError("'input_nodes' must be a node type or a (node type, ids or mask) pair.")
    if input_type not in graph.num_nodes:
        raise ValueError(f"Unknown input node type '{input_type}'.")
    if ids is None:
        return input_type, graph.num_nodes[input_type]
    ids, num_seeds = _checked_ids(graph, input_type, ids)
    return (input_type, ids), num_seeds


def _seed_ids(graph: SamplerGraph, input_nodes: Any, input_type: str) -> np.ndarray:
    """The seed ids, in the order the loader takes them, of checked ``input_nodes``."""
    ids = input_nodes[1] if isinstance(input_nodes, tuple) else None if isinstance(input_nodes, str) else input_nodes
    if ids is None:
        return np.arange(graph.num_nodes[input_type])
    ids = ids.numpy()
    return np.flatnonzero(ids) if ids.dtype == np.bool_ else ids


def _checked_ids(graph: SamplerGraph, input_type: str, ids: Any) -> Tuple[torch.Tensor, int]:
    num_nodes = graph.num_nodes[input_type]
    ids = as_index_tensor(ids)
    if ids.dtype == torch.bool:
        if ids.dim() != 1 or ids.numel() != num_nodes:
            raise ValueError(f"The mask 'input_nodes' has {ids.numel()} entries for the {num_nodes} "
                             f"nodes of type '{input_type}'.")
        return ids, int(ids.sum())
    if ids.numel() and (int(ids.min()) < 0 or int(ids.max()) >= num_nodes):
        raise ValueError(f"Seed ids outside [0, {num_nodes}) of node type '{input_type}'.")
    return ids, ids.numel()


def _refuse_numpy_datetimes(data: Any, time_attr: str) -> None:
    # PyG gathers every attribute into the batch as a tensor, which cannot hold datetimes.
    if isinstance(data, (tuple, list)):
        return  # a feature store hands out tensors
    stores = [(t, data[t]) for t in data.node_types] if hasattr(data, "edge_types") else [(NODE, data)]
    for node_type, store in stores:
        value = store[time_attr] if time_attr in store else None
        if isinstance(value, np.ndarray) and value.dtype.kind in "mM":
            raise TypeError(f"'{time_attr}' of node type '{node_type}' holds NumPy {value.dtype} values, "
                            f"which PyG cannot put in a batch; store int64 seconds instead.")
