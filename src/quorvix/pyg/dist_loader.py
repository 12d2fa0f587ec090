"""PyG's ``NeighborLoader`` over the parts of a partitioned graph: sampling across parts with
:class:`quorvix.dist.DistNeighborSampler`, node features read from their owners."""

from __future__ import annotations

import os
from typing import Any, Callable, Optional

import numpy as np
import torch

from .convert import edge_type_key
from .graph import NODE
from .loader import NeighborLoader
from .parts import part_graph
from .sampler import NeighborSampler, NumNeighbors, TemporalStrategy, TimeWindows


class _OwnersNodeTime:
    """A node type's times, indexed by ids as an array is, each read from its owner."""

    def __init__(self, sampler: "_PartSampler", node_type: str) -> None:
        self.sampler = sampler
        self.node_type = node_type

    def __getitem__(self, ids: Any) -> np.ndarray:
        ids = np.asarray(ids, dtype=np.int64).reshape(-1)
        return self.sampler.native_sampler().node_time(self.node_type, ids)

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        # The whole type's times, for the catalogue negatives are drawn from: one request per owner.
        times = self[np.arange(self.sampler.graph.num_nodes[self.node_type])]
        return times if dtype is None else times.astype(dtype)


class _PartSampler(NeighborSampler):
    """quorvix.pyg's sampler with sampling across parts in place of the native sampler: the same
    rules, checks and output, the whole graph's arrays never read."""

    def __init__(self, part: Any, num_neighbors: NumNeighbors, *, timeout: float, transport: Any,
                 **settings: Any) -> None:
        self.part = part
        self.timeout = float(timeout)
        self.transport = transport
        graph, self.empty_data, self.stored_num_nodes = part_graph(
            part, lambda node_type: _OwnersNodeTime(self, node_type))
        super().__init__(None, num_neighbors, graph=graph, **settings)

    def native_sampler(self) -> Any:
        """The process's quorvix.dist.DistNeighborSampler over the part, with this sampler's settings."""
        import quorvix.dist

        if self._native is None or self._native_pid != os.getpid():
            self._native = quorvix.dist.DistNeighborSampler(
                self.part, self.stream_seed(), temporal_strategy=self.temporal_strategy, disjoint=self.per_seed,
                replace=self.replace, timeout=self.timeout, transport=self.transport)
            self._native_pid = os.getpid()
        return self._native


class DistNeighborLoader(NeighborLoader):
    r""":class:`NeighborLoader` over the parts of a graph written by :func:`partition_data`, run
    by a rank that serves ``part`` in a ``torch.distributed.rpc`` world
    (:func:`quorvix.dist.init_part_worker`).

    Batches are those of :class:`NeighborLoader` over the whole graph: ``n_id``, ``e_id`` (in
    ``data``'s edge order), ``batch``, ``seed_time``, ``input_id``, ``num_sampled_nodes``,
    ``num_sampled_edges`` and every node-level and edge-level attribute, read from the part that
    owns each node (an edge's, from the owner of its destination). Rules that make no draws
    (``temporal_strategy="last"`` with times, time windows, ``-1``) give the whole graph's
    batches exactly; random fan-outs draw from the same distribution. Ranks need not take the
    same number of batches.

    Args:
        part (quorvix.dist.Part): the part this rank serves.
        num_neighbors, input_nodes, input_time, replace, disjoint, temporal_strategy: as for
            :class:`NeighborLoader`; times are the parts' own.
        transform, transform_sampler_output, shared_by_time, time_windows, seed, batch_by_time: as
            for :class:`NeighborLoader`.
        subgraph_type (str, optional): only ``"directional"``. (default: :obj:`"directional"`)
        timeout (float, optional): seconds each request to another part may take.
            (default: :obj:`30.0`)
        transport (optional): in place of RPC, for example
            :class:`quorvix.dist.InProcessTransport`. (default: :obj:`None`)
        **kwargs: arguments of ``torch.utils.data.DataLoader`` such as ``batch_size`` and
            ``shuffle``; ``num_workers`` must be 0, as requests go through this process's RPC agent.

    Raises:
        ValueError: ``num_workers`` is not 0, ``subgraph_type`` is not ``"directional"``, or the
            part was not written by :func:`partition_data` (it has no ``pyg.json``); the messages
            are listed in the error reference.
    """

    def __init__(
        self,
        part: Any,
        num_neighbors: NumNeighbors,
        input_nodes: Any = None,
        input_time: Any = None,
        replace: bool = False,
        subgraph_type: Any = "directional",
        disjoint: bool = False,
        temporal_strategy: TemporalStrategy = "uniform",
        transform: Optional[Callable] = None,
        transform_sampler_output: Optional[Callable] = None,
        *,
        shared_by_time: bool = False,
        time_windows: Optional[TimeWindows] = None,
        seed: Optional[int] = None,
        timeout: float = 30.0,
        transport: Any = None,
        batch_by_time: bool = False,
        **kwargs: Any,
    ):
        refuse_loader_settings("DistNeighborLoader", subgraph_type, kwargs)
        sampler = _PartSampler(part, num_neighbors, timeout=timeout, transport=transport, replace=replace,
                               disjoint=disjoint, temporal_strategy=temporal_strategy, shared_by_time=shared_by_time,
                               time_windows=time_windows, seed=seed)
        # The transform runs once the features are in, not on the batch PyG builds without them.
        self.batch_transform = transform
        super().__init__(sampler.empty_data, num_neighbors, input_nodes, input_time,
                         transform_sampler_output=transform_sampler_output, neighbor_sampler=sampler,
                         batch_by_time=batch_by_time, **kwargs)

    def filter_fn(self, out: Any) -> Any:
        """PyG's batch of the sampled nodes and edges, with the features of each node and edge read
        from their owners, then ``transform`` applied.

        Args:
            out: the sampler's output for one batch (``SamplerOutput`` or ``HeteroSamplerOutput``).

        Returns:
            Data or HeteroData: the batch, with every node-level and edge-level attribute the parts
            hold, after ``transform`` when one was given.

        Raises:
            RuntimeError: an owner did not answer within ``timeout`` or failed, or a part file
                changed; the messages are listed in the error reference.
        """
        batch = with_owners_features(super().filter_fn(out), self.quorvix_sampler)
        return batch if self.batch_transform is None else self.batch_transform(batch)


def with_owners_features(batch: Any, sampler: _PartSampler) -> Any:
    """PyG's batch built over the empty graph, with every node-level and edge-level attribute the
    parts hold read from the owners of its nodes (an edge's, from the owner of its destination)."""
    features = sampler.part.manifest["features"]
    graph = sampler.graph
    stores = [(NODE, batch)] if graph.homogeneous else [(t, batch[t]) for t in graph.node_types]
    wanted = {node_type: (features.get(node_type, []), store["n_id"].numpy()) for node_type, store in stores}
    rows = sampler.native_sampler().node_features(wanted)  # one request per owner
    for node_type, store in stores:
        if node_type not in sampler.stored_num_nodes:
            del store["num_nodes"]  # the empty graph's; n_id and the features give the count
        for name, values in rows[node_type].items():
            store[name] = torch.from_numpy(values)
    edge_names = sampler.part.manifest.get("edge_features", {})
    edge_stores = {edge_type_key(e): (e, batch if graph.homogeneous else batch[e]) for e in graph.edge_types}
    wanted = {}
    for key, (edge_type, store) in edge_stores.items():
        if edge_names.get(key):
            destination = batch if graph.homogeneous else batch[edge_type[2]]
            frontier = destination["n_id"][store["edge_index"][1]].numpy()
            wanted[key] = (edge_names[key], store["e_id"].numpy(), frontier)
    for key, values in sampler.native_sampler().edge_features(wanted).items():
        for name, rows_of_edges in values.items():
            edge_stores[key][1][name] = torch.from_numpy(rows_of_edges)
    return batch


def refuse_loader_settings(loader: str, subgraph_type: Any, kwargs: dict) -> None:
    """What a loader over parts cannot do: loader workers, edges other than the sampled ones."""
    workers = kwargs.get("num_workers", 0)
    if workers:
        raise ValueError(f"{loader} samples in the process that joined the RPC world: "
                         f"'num_workers' must be 0, got {workers!r}.")
    subgraph_type = getattr(subgraph_type, "value", subgraph_type)
    if subgraph_type != "directional":
        raise ValueError(f"Sampling across parts gives the sampled edges only: 'subgraph_type' must be "
                         f"'directional', got {subgraph_type!r}.")
