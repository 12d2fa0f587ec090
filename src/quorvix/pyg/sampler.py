"""quorvix as a PyG ``BaseSampler``: per-seed temporal subgraphs in PyG's output format."""

from __future__ import annotations

import os
from typing import Any, Dict, List, Literal, Optional, Sequence, Union

import numpy as np
import torch
from torch_geometric.sampler import (BaseSampler, EdgeSamplerInput, HeteroSamplerOutput, NegativeSampling,
                                    NodeSamplerInput, SamplerOutput)
from torch_geometric.sampler import NumNeighbors as PygNumNeighbors

import quorvix

from . import link_sampling
from .convert import EdgeType, as_int64, as_time_bound, edge_type_key
from .graph import SamplerGraph, graph_from_data
from .output import SUBGRAPH_TYPES, EdgeLookup, reverse_edge_types, sampler_output
from .stores import resolve_graph

NumNeighbors = Union[Sequence[int], Dict[EdgeType, Sequence[int]], PygNumNeighbors]
TimeWindows = Dict[EdgeType, Sequence[Sequence[Any]]]

TemporalStrategy = Literal["last", "uniform"]
TEMPORAL_STRATEGIES = ("last", "uniform")


class NeighborSampler(BaseSampler):
    r"""Neighbour sampling with quorvix, for PyG's loaders.

    Without timestamps a batch is one shared subgraph (PyG's ``disjoint=False``, the
    default) or a subgraph per seed (``disjoint=True``). With timestamps every seed grows its
    own subgraph, as in PyG, unless ``shared_by_time=True`` lets the seeds of one time share
    one; nothing later than a subgraph's time is sampled, in every hop.

    Args:
        data (Data, HeteroData or (FeatureStore, GraphStore)): the graph (its
            ``edge_index`` per edge type and, with ``time_attr`` or ``weight_attr``, those
            attributes). Ignored for the graph when ``graph`` is given.
        num_neighbors (List[int], Dict[Tuple[str, str, str], List[int]] or NumNeighbors):
            the fan-out per hop, for every edge type or per edge type; ``-1`` takes all
            neighbours.
        subgraph_type (str or SubgraphType, optional): ``"directional"`` (the sampled
            edges), ``"bidirectional"`` (each sampled edge also in reverse) or
            ``"induced"`` (every edge of the graph between the nodes of a subgraph).
            (default: :obj:`"directional"`)
        replace (bool, optional): random fan-outs (and ``"uniform"`` temporal ones) draw
            with replacement. (default: :obj:`False`)
        disjoint (bool, optional): a subgraph per seed even without timestamps.
            (default: :obj:`False`)
        shared_by_time (bool, optional): with timestamps, the seeds of one seed time share
            one subgraph; ``batch`` then holds each node's first seed of its group.
            (default: :obj:`False`)
        temporal_strategy (str, optional): with timestamps, ``"uniform"`` draws k of the
            neighbours not later than the seed uniformly, ``"last"`` takes the k most recent
            of them. (default: :obj:`"uniform"`, as in PyG; the extension's own default is
            ``"last"``)
        time_attr (str, optional): node-level and/or edge-level timestamp attribute; an
            edge type with edge times is filtered by them. (default: :obj:`None`)
        weight_attr (str, optional): edge-level sampling weights for random fan-outs.
            (default: :obj:`None`)
        is_sorted (bool, optional): accepted for PyG's sake; the graph is always sorted when
            it is built. (default: :obj:`False`)
        share_memory (bool, optional): accepted for PyG's sake; the graph arrays are NumPy
            arrays that forked workers share and spawned workers receive pickled (or
            memory-mapped, see :class:`SamplerGraph`). (default: :obj:`False`)
        directed (bool, optional): :obj:`False` is PyG's older spelling of
            ``subgraph_type="induced"``. (default: :obj:`True`)
        sample_direction (str, optional): only ``"forward"`` (PyG's default): neighbours
            are the sources of a node's incoming edges. (default: :obj:`"forward"`)
        time_windows (Dict[Tuple[str, str, str], List[Tuple[int, int]]], optional): per edge
            type a ``(lower, upper)`` pair per hop: every neighbour with
            ``seed_time + lower < time <= seed_time + upper`` is taken; ``lower=None`` has no
            lower bound. These edge types must not be in a ``num_neighbors`` dict.
        seed (int, optional): seed of the random fan-outs; by default each process seeds
            its stream from ``torch.initial_seed()``. (default: :obj:`None`)
        graph (SamplerGraph, quorvix.Graph or (quorvix.Graph, TableKeys), optional): arrays
            built earlier by :func:`graph_from_data` (for example loaded memory-mapped), or a
            ``quorvix.Graph`` (with the key maps ``from_tables`` returns with it), sampled
            as it is; used instead of building a graph from ``data``, which then needs no
            edges. ``data`` itself may be such a graph, or a ``(FeatureStore, graph)`` pair
            (see :class:`quorvix.pyg.GraphStore`). (default: :obj:`None`)
        num_threads (int, optional): threads of each native sampler; results do not depend
            on it. (default: :obj:`None`, the extension's default of one)

    Raises:
        TypeError: ``seed`` is not an int, a fan-out is not a list of ints, ``data`` is no
            graph the sampler can read, or a time attribute holds neither integers nor
            datetimes.
        ValueError: ``sample_direction``, ``temporal_strategy``, ``subgraph_type`` or
            ``num_threads`` has a value outside those listed; ``graph`` and ``data`` have
            different edge types; ``shared_by_time=True`` with ``disjoint=True`` or without
            timestamps; ``"bidirectional"`` without a reverse for every edge type;
            ``num_neighbors`` or ``time_windows`` names an unknown edge type, both or neither
            name an edge type, or a window is not a ``(lower, upper)`` pair with an upper
            bound on an edge type with times; and as for :func:`graph_from_data` when the
            graph is built from ``data``. The messages are listed in the error reference.
    """

    def __init__(
        self,
        data: Any,
        num_neighbors: NumNeighbors,
        subgraph_type: Any = "directional",
        replace: bool = False,
        disjoint: bool = False,
        temporal_strategy: TemporalStrategy = "uniform",
        time_attr: Optional[str] = None,
        weight_attr: Optional[str] = None,
        is_sorted: bool = False,
        share_memory: bool = False,
        directed: bool = True,
        sample_direction: Literal["forward", "backward"] = "forward",
        *,
        shared_by_time: bool = False,
        time_windows: Optional[TimeWindows] = None,
        seed: Optional[int] = None,
        graph: Optional[SamplerGraph] = None,
        num_threads: Optional[int] = None,
    ):
        if sample_direction != "forward":
            raise ValueError(f"'sample_direction' must be 'forward': a frontier node's neighbours are the "
                             f"sources of its incoming edges, got {sample_direction!r}.")
        if not directed:  # PyG's older spelling of an induced subgraph
            subgraph_type = "induced"
        if temporal_strategy not in TEMPORAL_STRATEGIES:
            raise ValueError(f"'temporal_strategy' must be 'last' or 'uniform', got {temporal_strategy!r}.")
        subgraph_type = getattr(subgraph_type, "value", subgraph_type)  # SubgraphType members hold their name
        if subgraph_type not in SUBGRAPH_TYPES:
            raise ValueError(f"'subgraph_type' must be 'directional', 'bidirectional' or 'induced', "
                             f"got {subgraph_type!r}.")
        if seed is not None and not isinstance(seed, (int, np.integer)):
            raise TypeError(f"'seed' must be an int or None, got {seed!r}.")
        if num_threads is not None and (type(num_threads) is not int or num_threads < 1):
            raise ValueError(f"'num_threads' must be an int of at least 1, got {num_threads!r}.")
        given = graph
        graph = resolve_graph(data, graph)
        if graph is None:
            graph = graph_from_data(data, time_attr, weight_attr)
        elif (given is not None and hasattr(data, "edge_types") and data.edge_types
              and sorted(map(tuple, data.edge_types)) != sorted(graph.edge_types)):
            raise ValueError("'graph' and 'data' have different edge types.")
        if shared_by_time and disjoint:
            raise ValueError("'shared_by_time=True' shares a subgraph among the seeds of one time; "
                             "it cannot be combined with disjoint=True.")
        if shared_by_time and not graph.has_time:
            raise ValueError("'shared_by_time=True' needs timestamps: give 'time_attr'.")
        if subgraph_type == "bidirectional":
            for edge_type, reverse in reverse_edge_types(graph.edge_types).items():
                if reverse is None:
                    raise ValueError(f"subgraph_type='bidirectional' needs a reverse edge type for {edge_type}, "
                                     f"such as {(edge_type[2], 'rev_' + edge_type[1], edge_type[0])}.")
        self.graph = graph
        self.subgraph_type: str = subgraph_type
        self.replace = bool(replace)
        # PyG's rule: a subgraph per seed with time, unless asked to share one per seed time.
        self.per_seed = bool(disjoint) or (graph.has_time and not shared_by_time)
        self.keep_batch = self.per_seed or bool(shared_by_time)
        self.temporal_strategy: TemporalStrategy = temporal_strategy
        self.seed = None if seed is None else int(seed)
        self.num_threads = num_threads
        self.num_neighbors, self.time_windows = _sampling_rules(graph, num_neighbors, time_windows or {})
        self.epoch = 0  # advanced by the loader, so workers restarted per epoch draw afresh
        self._native: Optional[quorvix.NeighborSampler] = None
        self._native_pid: Optional[int] = None
        # Built here, before a loader forks its workers, so that they share it (a graph of parts
        # holds no arrays: its runs are fetched per batch).
        has_arrays = all(edge_type_key(e) in graph.colptr for e in graph.edge_types)
        self._lookup: Optional[EdgeLookup] = (EdgeLookup(graph).prepare() if subgraph_type == "bidirectional"
                                              and has_arrays else None)

    # -- the native sampler, one per process ---------------------------------------------

    def native_sampler(self) -> quorvix.NeighborSampler:
        """The extension's sampler for this process, built on first use.

        It cannot be pickled and must not be shared with a forked child: each process
        (the main one, every loader worker) builds its own, over the graph's one
        ``quorvix.Graph`` (see :meth:`SamplerGraph.native_graph`).

        Returns:
            quorvix.NeighborSampler: seeded with :meth:`stream_seed`, with this sampler's
            temporal strategy, thread count, ``replace`` and ``disjoint`` settings.

        Raises:
            RuntimeError: the graph's arrays, checked on first use, do not make a valid
                graph. The messages are listed in the error reference.
        """
        if self._native is None or self._native_pid != os.getpid():
            native = quorvix.NeighborSampler(self.graph.native_graph(), seed=self.stream_seed())
            if self.temporal_strategy != "last":
                native.temporal_strategy = self.temporal_strategy
            if self.num_threads is not None:
                native.num_threads = self.num_threads
            if self.replace:
                native.replace = True
            if not self.per_seed:
                native.disjoint = False
            self._native, self._native_pid = native, os.getpid()
        return self._native

    def stream_seed(self) -> int:
        """The seed of this process's random stream (the extension takes 31 bits).

        Returns:
            int: a non-negative seed below ``2**31``, drawn from ``seed`` (and, in a loader
            worker, the epoch and the worker's id), or from ``torch.initial_seed()`` when
            ``seed`` is None.
        """
        worker = torch.utils.data.get_worker_info()
        if self.seed is None:
            # A loader worker's initial seed differs per worker and per epoch.
            entropy = [torch.initial_seed()]
        elif worker is None:
            entropy = [self.seed]
        else:
            entropy = [self.seed, self.epoch, worker.id]
        return int(np.random.SeedSequence(entropy).generate_state(1)[0] >> 1)

    def __getstate__(self) -> dict:
        state = dict(self.__dict__)
        state["_native"] = state["_native_pid"] = state["_lookup"] = None
        return state

    # -- BaseSampler ---------------------------------------------------------------------

    def sample_from_nodes(self, index: NodeSamplerInput, **kwargs: Any) -> Union[SamplerOutput, HeteroSamplerOutput]:
        """Subgraphs around seed nodes, as PyG's ``NodeLoader`` asks for them.

        Args:
            index (NodeSamplerInput): the seeds' ids, their node type (may be None on a
                graph with one node type), their times (taken from the seeds' node times
                when None) and their ``input_id``.
            **kwargs: ignored, as PyG passes nothing else.

        Returns:
            SamplerOutput or HeteroSamplerOutput: the sampled nodes and edges, with
            ``metadata`` ``(input_id, seed_time)``.

        Raises:
            ValueError: the node type is missing on a graph with several, or unknown; seed
                ids are out of range; seed times are given without timestamps or not one per
                seed; or the graph has timestamps and the seeds have none. The messages are
                listed in the error reference.
        """
        graph = self.graph
        input_type = index.input_type
        if input_type is None:
            if len(graph.node_types) != 1:
                raise ValueError("'input_type' is needed on a graph with several node types.")
            input_type = graph.node_types[0]
        if input_type not in graph.num_nodes:
            raise ValueError(f"Unknown input node type '{input_type}'.")
        seed_node = as_int64(index.node, "node")
        if seed_node.size and (seed_node.min() < 0 or seed_node.max() >= graph.num_nodes[input_type]):
            raise ValueError(f"Seed ids outside [0, {graph.num_nodes[input_type]}) of node type '{input_type}'.")
        seed_time = self._seed_times(input_type, seed_node, index.time)
        result = self.sample_native(input_type, seed_node, seed_time)
        metadata = (index.input_id, None if seed_time is None else torch.from_numpy(seed_time))
        return self.to_output(result, seed_time, metadata)

    def sample_native(self, input_type: str, seed_node: np.ndarray, seed_time: Optional[np.ndarray]) -> tuple:
        """One native call with this sampler's rules: the 7-tuple of ``sample_with_edge_ids``.

        Args:
            input_type: the seeds' node type.
            seed_node: the seed ids, int64.
            seed_time: one time per seed, int64, or None without time.

        Returns:
            tuple: the seven dicts of ``quorvix.NeighborSampler.sample_with_edge_ids``.
        """
        return self.native_sampler().sample_with_edge_ids(
            self.num_neighbors, self.time_windows, input_type, seed_node,
            np.empty(0, np.int64) if seed_time is None else seed_time)

    def to_output(self, result: tuple, seed_time: Optional[np.ndarray],
                  metadata: Any) -> Union[SamplerOutput, HeteroSamplerOutput]:
        """A native result as PyG's output, with this sampler's subgraph type and batch rule.

        Args:
            result: the 7-tuple of :meth:`sample_native` (or of ``sample_groups``).
            seed_time: the time of every batch value of the result, or None without time.
            metadata: PyG's ``metadata`` of the output.

        Returns:
            SamplerOutput or HeteroSamplerOutput: as :func:`quorvix.pyg.sampler_output`
            returns it.
        """
        if self.subgraph_type == "bidirectional" and self._lookup is None:
            self._lookup = EdgeLookup(self.graph)
        threaded = self.subgraph_type != "directional" and (self.num_threads or 1) > 1
        return sampler_output(self.graph, result, seed_time=seed_time, metadata=metadata,
                              keep_batch=self.keep_batch, subgraph_type=self.subgraph_type, lookup=self._lookup,
                              native_sampler=self.native_sampler() if threaded else None)

    def sample_from_edges(self, index: EdgeSamplerInput,
                          neg_sampling: Optional[NegativeSampling] = None) -> Union[SamplerOutput, HeteroSamplerOutput]:
        """Subgraphs around seed links and their negatives: see :mod:`quorvix.pyg.link_sampling`.

        Args:
            index (EdgeSamplerInput): the seed links (``row``, ``col``, their ``input_type``
                edge type, ``label`` and ``time``, each optional but the ends).
            neg_sampling (NegativeSampling, optional): ``"binary"`` or ``"triplet"``
                negatives to draw. (default: :obj:`None`)

        Returns:
            SamplerOutput or HeteroSamplerOutput: the subgraphs, with PyG's link
            ``metadata``: ``(input_id, edge_label_index, edge_label, edge_label_time)``,
            or for ``"triplet"`` ``(input_id, src_index, dst_pos_index, dst_neg_index,
            edge_label_time)``.

        Raises:
            ValueError: the edge type is missing on a graph with several, or does not link
                two node types of the graph; the link ends differ in number or are out of
                range; link times are given without timestamps, not one per link, or missing
                on a graph with timestamps; negative weights are not one finite non-negative
                number per node; or no node can be drawn as a negative. The messages are
                listed in the error reference.
        """
        draws = self.__dict__.setdefault("negative_draws", link_sampling.NegativeDraws())

        def sample_groups(seed_nodes: Dict[str, np.ndarray], seed_groups: Dict[str, np.ndarray],
                          group_time: np.ndarray) -> tuple:
            return self.native_sampler().sample_groups(self.num_neighbors, self.time_windows, seed_nodes,
                                                       seed_groups, group_time)

        result, time, metadata = link_sampling.sample_links(
            self.graph, index, neg_sampling, per_seed=self.per_seed, draws=draws, stream_seed=self.stream_seed,
            sample_groups=sample_groups)
        return self.to_output(result, time, metadata)

    @property
    def edge_permutation(self) -> None:
        return None  # e_id is already in the original edge order

    def _seed_times(self, input_type: str, seed_node: np.ndarray, time: Any) -> Optional[np.ndarray]:
        node_time = self.graph.node_time
        if time is not None:
            if not self.graph.has_time:
                raise ValueError("'input_time' needs timestamps: give 'time_attr'.")
            seed_time = as_int64(time, "input_time")
            if seed_time.size != seed_node.size:
                raise ValueError(f"{seed_time.size} seed times for {seed_node.size} seed nodes.")
            return np.array(seed_time)  # its own copy: the output's seed_time shares it
        if input_type in node_time:
            return np.ascontiguousarray(node_time[input_type][seed_node], dtype=np.int64)
        if self.graph.has_time:
            # Without seed times nothing would be filtered by time: refuse rather than leak.
            raise ValueError(f"Seeds of node type '{input_type}' have no timestamps: give 'input_time'.")
        return None


def _sampling_rules(graph: SamplerGraph, num_neighbors: NumNeighbors,
                    time_windows: TimeWindows) -> tuple[Dict[str, List[int]], Dict[str, Any]]:
    """Per edge-type key either a fan-out list or a (hops, 2) window array, never both."""
    known = set(graph.edge_types)
    if isinstance(num_neighbors, PygNumNeighbors):
        num_neighbors = _plain_num_neighbors(num_neighbors, graph.edge_types, time_windows)
    for name, rules in (("num_neighbors", num_neighbors), ("time_windows", time_windows)):
        if isinstance(rules, dict):
            for edge_type in rules:
                if not isinstance(edge_type, tuple) or tuple(edge_type) not in known:
                    raise ValueError(f"'{name}' has an unknown edge type {edge_type!r}.")
    windows: Dict[str, Any] = {}
    for edge_type, pairs in time_windows.items():
        key = edge_type_key(edge_type)
        if edge_type[0] not in graph.node_time and key not in graph.edge_time:
            raise ValueError(f"'time_windows' has {edge_type}, but node type '{edge_type[0]}' has no timestamps.")
        bounds = []
        for pair in pairs:
            if len(pair) != 2:
                raise ValueError(f"'time_windows' of {edge_type} needs (lower, upper) pairs, got {pair!r}.")
            lower, upper = (as_time_bound(b, "time_windows") for b in pair)
            if upper is None:
                raise ValueError(f"'time_windows' of {edge_type} needs an upper bound in every hop.")
            bounds.append([lower, upper])
        has_open_lower = any(lower is None for lower, _ in bounds)
        windows[key] = np.array(bounds, dtype=object if has_open_lower else np.int64).reshape(-1, 2)

    fanouts: Dict[str, List[int]] = {}
    for edge_type in graph.edge_types:
        key = edge_type_key(edge_type)
        if isinstance(num_neighbors, dict):
            if edge_type in num_neighbors:
                if key in windows:
                    raise ValueError(f"Edge type {edge_type} is in both 'num_neighbors' and 'time_windows'.")
                fanouts[key] = _fanout(num_neighbors[edge_type])
            elif key not in windows:
                raise ValueError(f"Edge type {edge_type} is in neither 'num_neighbors' nor 'time_windows'.")
        elif key not in windows:
            fanouts[key] = _fanout(num_neighbors)
    return fanouts, windows


def _plain_num_neighbors(rules: PygNumNeighbors, edge_types: List[EdgeType],
                         time_windows: TimeWindows) -> Union[Sequence[int], Dict[EdgeType, Sequence[int]]]:
    """PyG's NumNeighbors as a list or dict; its default covers the edge types its dict
    leaves out, except those with a time window."""
    if not isinstance(rules.values, dict):
        return list(rules.values)
    by_key = {edge_type_key(e): e for e in edge_types}  # it may hold edge types as "a__r__b"
    plain: Dict[EdgeType, Sequence[int]] = {
        by_key[e] if isinstance(e, str) and e in by_key else tuple(e): list(v) for e, v in rules.values.items()}
    if rules.default is not None:
        for edge_type in edge_types:
            if edge_type not in plain and edge_type not in time_windows:
                plain[edge_type] = list(rules.default)
    return plain


def _fanout(hops: Any) -> List[int]:
    if isinstance(hops, (str, bytes)) or not all(isinstance(k, (int, np.integer)) for k in hops):
        raise TypeError(f"'num_neighbors' needs a list of ints per edge type, got {hops!r}.")
    return [int(k) for k in hops]
