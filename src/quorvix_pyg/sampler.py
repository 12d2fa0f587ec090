"""quorvix as a PyG ``BaseSampler``: per-seed temporal subgraphs in PyG's output format."""

from __future__ import annotations

import os
from typing import Any, Dict, List, Literal, Optional, Sequence, Union

import numpy as np
import torch
from torch_geometric.sampler import (BaseSampler, EdgeSamplerInput, HeteroSamplerOutput, NegativeSampling,
                                    NodeSamplerInput, SamplerOutput)

import quorvix

from . import link_sampling
from .convert import EdgeType, as_int64, as_time_bound, edge_type_key
from .graph import SamplerGraph, graph_from_hetero_data

NumNeighbors = Union[Sequence[int], Dict[EdgeType, Sequence[int]]]
TimeWindows = Dict[EdgeType, Sequence[Sequence[Any]]]

TemporalStrategy = Literal["last", "uniform"]
TEMPORAL_STRATEGIES = ("last", "uniform")


class NeighborSampler(BaseSampler):
    r"""Per-seed temporal neighbour sampling with quorvix, for PyG's loaders.

    Every seed grows its own subgraph (PyG's ``disjoint=True``) and, when timestamps are in
    use, nothing later than the seed's time is sampled, in every hop.

    Args:
        data (HeteroData): the graph (its ``edge_index`` per edge type and, with
            ``time_attr``, its node times). Ignored for the graph when ``graph`` is given.
        num_neighbors (List[int] or Dict[Tuple[str, str, str], List[int]]): the fan-out per
            hop, for every edge type or per edge type; ``-1`` takes all neighbours.
        time_attr (str, optional): node-level timestamp attribute. (default: :obj:`None`)
        temporal_strategy (str, optional): with timestamps, ``"last"`` takes the k most
            recent neighbours not later than the seed, ``"uniform"`` draws k of them
            uniformly without replacement. (default: :obj:`"last"`)
        time_windows (Dict[Tuple[str, str, str], List[Tuple[int, int]]], optional): per edge
            type a ``(lower, upper)`` pair per hop: every neighbour with
            ``seed_time + lower < time <= seed_time + upper`` is taken; ``lower=None`` has no
            lower bound. These edge types must not be in a ``num_neighbors`` dict.
        seed (int, optional): seed of the random fan-outs; by default each process seeds
            its stream from ``torch.initial_seed()``. (default: :obj:`None`)
        graph (SamplerGraph, optional): arrays built earlier by
            :func:`graph_from_hetero_data` (for example loaded memory-mapped), used instead
            of building them from ``data``. (default: :obj:`None`)
        num_threads (int, optional): threads of each native sampler; results do not depend
            on it. (default: :obj:`None`, the extension's default of one)
    """

    def __init__(
        self,
        data: Any,
        num_neighbors: NumNeighbors,
        *,
        time_attr: Optional[str] = None,
        temporal_strategy: TemporalStrategy = "last",
        time_windows: Optional[TimeWindows] = None,
        seed: Optional[int] = None,
        graph: Optional[SamplerGraph] = None,
        num_threads: Optional[int] = None,
    ):
        if temporal_strategy not in TEMPORAL_STRATEGIES:
            raise ValueError(f"'temporal_strategy' must be 'last' or 'uniform', got {temporal_strategy!r}.")
        if seed is not None and not isinstance(seed, (int, np.integer)):
            raise TypeError(f"'seed' must be an int or None, got {seed!r}.")
        if num_threads is not None and (type(num_threads) is not int or num_threads < 1):
            raise ValueError(f"'num_threads' must be an int of at least 1, got {num_threads!r}.")
        if graph is None:
            graph = graph_from_hetero_data(data, time_attr)
        elif data is not None and sorted(map(tuple, data.edge_types)) != sorted(graph.edge_types):
            raise ValueError("'graph' and 'data' have different edge types.")
        self.graph = graph
        self.temporal_strategy: TemporalStrategy = temporal_strategy
        self.seed = None if seed is None else int(seed)
        self.num_threads = num_threads
        self.num_neighbors, self.time_windows = _sampling_rules(graph, num_neighbors, time_windows or {})
        self.epoch = 0  # advanced by the loader, so workers restarted per epoch draw afresh
        self._native: Optional[quorvix.NeighborSampler] = None
        self._native_pid: Optional[int] = None

    # -- the native sampler, one per process ---------------------------------------------

    def native_sampler(self) -> quorvix.NeighborSampler:
        """The extension's sampler for this process, built on first use.

        It cannot be pickled and must not be shared with a forked child: each process
        (the main one, every loader worker) builds its own over the same graph arrays.
        """
        if self._native is None or self._native_pid != os.getpid():
            native = quorvix.NeighborSampler(*self.graph.sampler_arguments(), seed=self.stream_seed())
            if self.temporal_strategy != "last":
                native.temporal_strategy = self.temporal_strategy
            if self.num_threads is not None:
                native.num_threads = self.num_threads
            self._native, self._native_pid = native, os.getpid()
        return self._native

    def stream_seed(self) -> int:
        """The seed of this process's random stream (the extension takes 31 bits)."""
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
        state["_native"] = state["_native_pid"] = None
        return state

    # -- BaseSampler ---------------------------------------------------------------------

    def sample_from_nodes(self, index: NodeSamplerInput, **kwargs: Any) -> HeteroSamplerOutput:
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

        native = self.native_sampler()
        args = (self.num_neighbors, self.time_windows, input_type, seed_node,
                np.empty(0, np.int64) if seed_time is None else seed_time)
        out_row, out_col, out_node, out_batch, num_nodes, num_edges, out_edge = native.sample_with_edge_ids(*args)

        t = torch.from_numpy  # the results are fresh arrays: no copy
        edge_types = {edge_type_key(e): e for e in graph.edge_types}
        return HeteroSamplerOutput(
            node={k: t(v) for k, v in out_node.items()},
            row={edge_types[k]: t(v) for k, v in out_row.items()},
            col={edge_types[k]: t(v) for k, v in out_col.items()},
            edge={edge_types[k]: t(np.asarray(graph.perm[k][v], dtype=np.int64)) for k, v in out_edge.items()},
            batch={k: t(v) for k, v in out_batch.items()},
            num_sampled_nodes={k: v.tolist() for k, v in num_nodes.items()},
            num_sampled_edges={edge_types[k]: v.tolist() for k, v in num_edges.items()},
            metadata=(index.input_id, None if seed_time is None else torch.tensor(seed_time)),
        )

    def sample_from_edges(self, index: EdgeSamplerInput,
                          neg_sampling: Optional[NegativeSampling] = None) -> Union[SamplerOutput, HeteroSamplerOutput]:
        """Subgraphs around seed links and their negatives: see :mod:`quorvix_pyg.link_sampling`."""
        return link_sampling.sample_from_edges(self, index, neg_sampling)

    @property
    def edge_permutation(self) -> None:
        return None  # e_id is already in the original edge order

    def _seed_times(self, input_type: str, seed_node: np.ndarray, time: Any) -> Optional[np.ndarray]:
        node_time = self.graph.node_time
        if time is not None:
            if not node_time:
                raise ValueError("'input_time' needs timestamps: give 'time_attr'.")
            seed_time = as_int64(time, "input_time")
            if seed_time.size != seed_node.size:
                raise ValueError(f"{seed_time.size} seed times for {seed_node.size} seed nodes.")
            return seed_time
        if input_type in node_time:
            return np.ascontiguousarray(node_time[input_type][seed_node], dtype=np.int64)
        if node_time:
            # Without seed times nothing would be filtered by time: refuse rather than leak.
            raise ValueError(f"Seeds of node type '{input_type}' have no timestamps: give 'input_time'.")
        return None


def _sampling_rules(graph: SamplerGraph, num_neighbors: NumNeighbors,
                    time_windows: TimeWindows) -> tuple[Dict[str, List[int]], Dict[str, Any]]:
    """Per edge-type key either a fan-out list or a (hops, 2) window array, never both."""
    known = set(graph.edge_types)
    for name, rules in (("num_neighbors", num_neighbors), ("time_windows", time_windows)):
        if isinstance(rules, dict):
            for edge_type in rules:
                if not isinstance(edge_type, tuple) or tuple(edge_type) not in known:
                    raise ValueError(f"'{name}' has an unknown edge type {edge_type!r}.")
    windows: Dict[str, Any] = {}
    for edge_type, pairs in time_windows.items():
        key = edge_type_key(edge_type)
        if edge_type[0] not in graph.node_time:
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


def _fanout(hops: Any) -> List[int]:
    if isinstance(hops, (str, bytes)) or not all(isinstance(k, (int, np.integer)) for k in hops):
        raise TypeError(f"'num_neighbors' needs a list of ints per edge type, got {hops!r}.")
    return [int(k) for k in hops]
