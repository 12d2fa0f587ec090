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
from .output import Runs, reverse_edge_types, sampler_output
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

    def to_output(self, result: tuple, seed_time: Optional[np.ndarray], metadata: Any) -> Any:
        """As :meth:`NeighborSampler.to_output`; induced and bidirectional edges are searched in
        the runs of the result's nodes, read from their owners with one request per owner."""
        if self.subgraph_type == "directional":
            return super().to_output(result, seed_time, metadata)
        nodes = result[2]
        if self.subgraph_type == "induced":
            keys = {edge_type_key(e): e[2] for e in self.graph.edge_types}
        else:  # the reverse of each edge type is searched in its runs
            keys = {edge_type_key(e): e[2] for e in reverse_edge_types(self.graph.edge_types).values()}
        distinct = {key: np.unique(nodes[dst_type], return_inverse=True) for key, dst_type in keys.items()}
        fetched = self.native_sampler().in_edges({key: ids for key, (ids, _) in distinct.items()})
        runs = {key: Runs(*fetched[key], column=column.reshape(-1)) for key, (_, column) in distinct.items()}
        out = sampler_output(self.graph, result, seed_time=seed_time, metadata=metadata, keep_batch=self.keep_batch,
                             subgraph_type=self.subgraph_type, runs=runs)
        if self.subgraph_type == "bidirectional":
            out.edge_holder = self._edge_holders(out, runs)
        return out

    def _edge_holders(self, out: Any, runs: dict) -> dict:
        """Per edge type whose ends have one type, the node whose owner holds each edge of the
        output: its destination, or for a reverse copy that reuses the sampled edge's id (the
        graph has no edge its way), its source, the sampled edge's destination."""
        holders = {}
        for edge_type in self.graph.edge_types:
            if edge_type[0] != edge_type[2]:
                continue  # across types every reverse copy is a genuine edge into its destination
            key = edge_type_key(edge_type)
            node = (out.node if self.graph.homogeneous else out.node[edge_type[0]]).numpy()
            row, col, e_id = ((part if self.graph.homogeneous else part[edge_type]).numpy()
                              for part in (out.row, out.col, out.edge))
            colptr, _, held_ids, _, column = runs[key]
            span = int(max(held_ids.max(initial=0), e_id.max(initial=0))) + 1
            held = np.repeat(np.arange(len(colptr) - 1, dtype=np.int64), np.diff(colptr)) * span + held_ids
            into_destination = np.isin(column[col] * span + e_id, held)
            holders[key] = np.where(into_destination, node[col], node[row])
        return holders


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
        subgraph_type (str or SubgraphType, optional): as for :class:`NeighborLoader`; the
            ``"induced"`` and ``"bidirectional"`` edges are searched in the runs of the batch's
            nodes, read from their owners. (default: :obj:`"directional"`)
        timeout (float, optional): seconds each request to another part may take.
            (default: :obj:`30.0`)
        transport (optional): as for :class:`quorvix.dist.DistNeighborSampler`: None for the
            sockets every rank of the world serves, or for example
            :class:`quorvix.dist.RpcTransport` or :class:`quorvix.dist.InProcessTransport`.
            (default: :obj:`None`)
        **kwargs: arguments of ``torch.utils.data.DataLoader`` such as ``batch_size`` and
            ``shuffle``. With ``num_workers`` above 0 the workers sample, reaching the other
            parts' owners as this process does.

    Raises:
        ValueError: the part was not written by
            :func:`partition_data` (it has no ``pyg.json``); ``subgraph_type`` as for
            :class:`NeighborLoader`. The messages are listed in the error reference.
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
        transport = loader_transport(transport, timeout)
        sampler = _PartSampler(part, num_neighbors, timeout=timeout, transport=transport, subgraph_type=subgraph_type,
                               replace=replace, disjoint=disjoint, temporal_strategy=temporal_strategy,
                               shared_by_time=shared_by_time, time_windows=time_windows, seed=seed)
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
        batch = with_owners_features(super().filter_fn(out), self.quorvix_sampler, out)
        return batch if self.batch_transform is None else self.batch_transform(batch)


def with_owners_features(batch: Any, sampler: _PartSampler, out: Any) -> Any:
    """PyG's batch built over the empty graph from the sampler's output ``out``, with every
    node-level and edge-level attribute the parts hold read from the owners of its nodes (an
    edge's, from the owner of its destination, or of the node the output names as its holder)."""
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
            frontier = getattr(out, "edge_holder", {}).get(key)
            if frontier is None:
                frontier = destination["n_id"][store["edge_index"][1]].numpy()
            wanted[key] = (edge_names[key], store["e_id"].numpy(), frontier)
    for key, values in sampler.native_sampler().edge_features(wanted).items():
        for name, rows_of_edges in values.items():
            edge_stores[key][1][name] = torch.from_numpy(rows_of_edges)
    return batch


def loader_transport(transport: Any, timeout: float) -> Any:
    """The loader's transport, chosen here so that spawned workers, which inherit no world, get
    the same one (forked ones would find it anyway)."""
    from quorvix.dist.sampler import default_transport

    return default_transport(timeout) if transport is None else transport
