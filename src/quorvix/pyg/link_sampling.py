"""Link-level sampling: seed links, temporal negatives, one subgraph per link.

Every link of a batch (its source, its destination and the negatives drawn for it) becomes
one group of seeds of the extension's ``sample_groups``: the group grows one subgraph, with
the link's time as the time bound of everything in it. With ``shared_by_time`` the links of
one time form one group; without link times and with ``disjoint=False`` the whole batch is
one group, one shared subgraph. Per-link groups lay their seeds out as PyG does (per node
type the sources, then the destinations, then the negatives, one seed per named node);
shared groups hold each node once. The sampler turns the native result into PyG's output
as it does for nodes; this module knows nothing of the sampler.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np
import torch
from torch_geometric.sampler import EdgeSamplerInput, NegativeSampling

from .convert import EdgeType, as_int64, edge_type_key
from .graph import SamplerGraph


class NegativeDraws:
    """The per-process state of negative sampling: the random stream and, per destination
    type, its nodes sorted by time.

    The stream is seeded like the sampler's fan-outs (``seed``, then the loader worker and
    epoch), but is a stream of its own: a NumPy PCG64 generator, one draw per negative,
    taken on the calling thread, so the native sampler's threads never touch it. Neither
    part is pickled: a copy in another process starts afresh.
    """

    def __init__(self) -> None:
        self._generator: Optional[np.random.Generator] = None
        self._pid: Optional[int] = None
        self._catalogues: Dict[str, NodeCatalogue] = {}
        self._weighted: Dict[Tuple[str, str], Tuple[object, WeightedDraw]] = {}

    def generator(self, stream_seed: Callable[[], int]) -> np.random.Generator:
        if self._generator is None or self._pid != os.getpid():
            # A separate word in the entropy keeps it apart from the fan-out stream.
            self._generator = np.random.Generator(np.random.PCG64(np.random.SeedSequence([stream_seed(), 1])))
            self._pid = os.getpid()
        return self._generator

    def catalogue(self, graph: SamplerGraph, node_type: str) -> "NodeCatalogue":
        if node_type not in self._catalogues:  # sorted once, not per batch
            self._catalogues[node_type] = NodeCatalogue.of(graph, node_type)
        return self._catalogues[node_type]

    def weighted(self, graph: SamplerGraph, node_type: str, value: object, name: str) -> WeightedDraw:
        # The loader passes the same NegativeSampling every batch: keep its sums while it lasts.
        key = (node_type, name)
        cached = self._weighted.get(key)
        if cached is None or cached[0] is not value:
            weights = node_weights(value, name, node_type, graph.num_nodes[node_type])
            cached = (value, WeightedDraw.of(self.catalogue(graph, node_type), weights))
            self._weighted[key] = cached
        return cached[1]

    def __getstate__(self) -> dict:
        return {"_generator": None, "_pid": None, "_catalogues": {}, "_weighted": {}}


@dataclass
class NodeCatalogue:
    """A node type's ids sorted by time, to draw uniformly among those that exist at t."""

    ids_by_time: Optional[np.ndarray]  # None: the type has no times, every node always exists
    sorted_times: Optional[np.ndarray]
    num_nodes: int

    @classmethod
    def of(cls, graph: SamplerGraph, node_type: str) -> "NodeCatalogue":
        times = graph.node_time.get(node_type)
        if times is None:
            return cls(None, None, graph.num_nodes[node_type])
        times = np.asarray(times)  # read once: over parts, the times come from every owner
        order = np.argsort(times, kind="stable")
        return cls(order, times[order], graph.num_nodes[node_type])

    def count_existing(self, link_time: Optional[np.ndarray], size: int) -> np.ndarray:
        """How many nodes exist at each time (node time not later than it)."""
        if link_time is None or self.sorted_times is None:
            return np.full(size, self.num_nodes, dtype=np.int64)
        return np.searchsorted(self.sorted_times, link_time, side="right").astype(np.int64)

    def node_at(self, rank: np.ndarray) -> np.ndarray:
        return rank if self.ids_by_time is None else self.ids_by_time[rank]

    def in_time_order(self, values: np.ndarray) -> np.ndarray:
        """Per-node values in the catalogue's order (by time)."""
        return values if self.ids_by_time is None else values[self.ids_by_time]


def node_weights(value: object, name: str, node_type: str, num_nodes: int) -> np.ndarray:
    """A ``NegativeSampling`` weight vector, checked: one finite, non-negative number per node."""
    weights = np.asarray(value.detach().cpu().numpy() if isinstance(value, torch.Tensor) else value)
    if weights.ndim != 1 or weights.size != num_nodes or weights.dtype.kind not in "fiub":
        raise ValueError(f"'{name}' must hold one number per node of type '{node_type}' ({num_nodes}), "
                         f"got dtype {weights.dtype} and shape {tuple(weights.shape)}.")
    weights = weights.astype(np.float64)
    if not (np.isfinite(weights).all() and (weights >= 0).all()):
        raise ValueError(f"'{name}' must be finite and non-negative.")
    return weights


@dataclass
class WeightedDraw:
    """Draws proportional to node weights among the nodes that exist at a time: the weights
    summed along the catalogue's time order, so the nodes existing at t are a prefix."""

    catalogue: NodeCatalogue
    cumulative: np.ndarray  # cumulative[r]: weight of the r + 1 earliest nodes

    @classmethod
    def of(cls, catalogue: NodeCatalogue, weights: np.ndarray) -> "WeightedDraw":
        return cls(catalogue, np.cumsum(catalogue.in_time_order(weights)))

    def mass(self, count: np.ndarray) -> np.ndarray:
        """The weight of the ``count`` earliest nodes, per entry."""
        if not self.cumulative.size:
            return np.zeros(count.size)
        return np.where(count > 0, self.cumulative[np.maximum(count, 1) - 1], 0.0)

    def draw(self, generator: np.random.Generator, count: np.ndarray) -> np.ndarray:
        mass = self.mass(count)
        rank = np.searchsorted(self.cumulative, generator.random(count.size) * mass, side="right")
        # Rounding may land on the prefix's end: fall back to its last node of positive weight.
        last_positive = np.searchsorted(self.cumulative, mass, side="left")
        return self.catalogue.node_at(np.minimum(rank, last_positive))


def draw_negatives(generator: np.random.Generator, catalogue: NodeCatalogue, node_type: str,
                   owner: np.ndarray, link_time: Optional[np.ndarray],
                   weighted: Optional[WeightedDraw] = None, weight_name: str = "") -> np.ndarray:
    """One node per entry of ``owner`` (the position of the link it is drawn for), among
    the nodes that exist at that link's time: uniformly, or proportional to ``weighted``."""
    time = None if link_time is None else link_time[owner]
    count = catalogue.count_existing(time, owner.size)
    empty = count == 0 if weighted is None else weighted.mass(count) <= 0
    if owner.size and empty.any():
        first = int(np.flatnonzero(empty)[0])
        when = "" if time is None else f" at time {int(time[first])}"
        which = "" if weighted is None else f" with a positive '{weight_name}'"
        raise ValueError(f"No node of type '{node_type}'{which} exists{when}: no negative can be drawn "
                         f"for link {int(owner[first])} of the batch.")
    if not owner.size:
        return owner
    if weighted is not None:
        return weighted.draw(generator, count)
    # integers() with an array of bounds draws one value per bound, in order.
    return catalogue.node_at(generator.integers(0, count, dtype=np.int64))


@dataclass
class LinkSeeds:
    """The seeds of one batch, per node type ordered by group, and where every endpoint is."""

    seed_nodes: Dict[str, np.ndarray]
    seed_groups: Dict[str, np.ndarray]
    local: List[np.ndarray]  # per endpoint list given, the local index of each endpoint


def group_seeds(endpoints: List[Tuple[str, np.ndarray, np.ndarray]], node_types: List[str]) -> LinkSeeds:
    """Deduplicate (group, node) pairs per node type.

    ``endpoints`` holds (node type, ids, groups) lists. Within a node type the seeds are
    ordered by group and, within a group, by first appearance along ``endpoints``; a node
    named twice in one group (both ends of a link, a negative equal to the destination) is
    one seed.
    """
    local: List[Optional[np.ndarray]] = [None] * len(endpoints)
    seed_nodes, seed_groups = {}, {}
    for node_type in node_types:
        parts = [i for i, (t, _, _) in enumerate(endpoints) if t == node_type]
        ids = np.concatenate([endpoints[i][1] for i in parts] + [np.empty(0, np.int64)])
        groups = np.concatenate([endpoints[i][2] for i in parts] + [np.empty(0, np.int64)])
        by_pair = np.lexsort((np.arange(ids.size), ids, groups))  # by (group, id), then appearance
        pair_start = np.ones(ids.size, dtype=bool)
        pair_start[1:] = (np.diff(groups[by_pair]) != 0) | (np.diff(ids[by_pair]) != 0)
        pair_of_sorted = np.cumsum(pair_start) - 1
        first = by_pair[pair_start]  # per distinct pair, its first appearance
        seed_order = np.lexsort((first, groups[first]))  # pairs by group, then first appearance
        seed_of_pair = np.empty(first.size, dtype=np.int64)
        seed_of_pair[seed_order] = np.arange(first.size)
        seed_nodes[node_type] = np.ascontiguousarray(ids[first[seed_order]])
        seed_groups[node_type] = np.ascontiguousarray(groups[first[seed_order]])
        index = np.empty(ids.size, dtype=np.int64)
        index[by_pair] = seed_of_pair[pair_of_sorted]
        offset = 0
        for i in parts:
            n = endpoints[i][1].size
            local[i] = index[offset:offset + n]
            offset += n
    return LinkSeeds(seed_nodes, seed_groups, [x if x is not None else np.empty(0, np.int64) for x in local])


def slot_seeds(endpoints: List[Tuple[str, np.ndarray, np.ndarray]], node_types: List[str]) -> LinkSeeds:
    """One seed per named node, as PyG lays out per-link seeds: per node type the
    ``endpoints`` lists one after the other (sources, destinations, negatives), nothing
    merged; a node named twice in a group keeps both places."""
    seed_nodes, seed_groups, local = {}, {}, []
    offset = {t: 0 for t in node_types}
    for node_type, ids, _ in endpoints:
        local.append(np.arange(offset[node_type], offset[node_type] + ids.size, dtype=np.int64))
        offset[node_type] += ids.size
    for node_type in node_types:
        parts = [(ids, groups) for t, ids, groups in endpoints if t == node_type]
        seed_nodes[node_type] = np.concatenate([p[0] for p in parts] + [np.empty(0, np.int64)])
        seed_groups[node_type] = np.concatenate([p[1] for p in parts] + [np.empty(0, np.int64)])
    return LinkSeeds(seed_nodes, seed_groups, local)


def seeds_in_place(graph: SamplerGraph, result: tuple, order: Dict[str, np.ndarray]) -> tuple:
    """A native result over seeds given as ``seeds[order[t]]`` per type, as if the seeds had
    been given in their own order: the seed rows of ``node`` and ``batch`` moved back, and
    local indices renumbered to match. Nodes found by sampling keep their places."""
    row, col, node, batch, num_sampled_nodes, num_sampled_edges, edge = result
    renumber: Dict[str, np.ndarray] = {}
    node, batch = dict(node), dict(batch)
    for t, seed_order in order.items():
        if np.array_equal(seed_order, np.arange(seed_order.size)):
            continue
        n = seed_order.size
        renumber[t] = np.arange(node[t].size, dtype=np.int64)
        renumber[t][:n] = seed_order  # native place i holds the seed given at seed_order[i]
        for part in (node, batch):
            moved = part[t].copy()
            moved[seed_order] = part[t][:n]
            part[t] = moved
    if renumber:
        row, col = dict(row), dict(col)
        for src_type, rel, dst_type in graph.edge_types:
            key = edge_type_key((src_type, rel, dst_type))
            if src_type in renumber:
                row[key] = renumber[src_type][row[key]]
            if dst_type in renumber:
                col[key] = renumber[dst_type][col[key]]
    return row, col, node, batch, num_sampled_nodes, num_sampled_edges, edge


def link_input(graph: SamplerGraph, index: EdgeSamplerInput) -> Tuple[EdgeType, np.ndarray, np.ndarray,
                                                                         Optional[np.ndarray]]:
    """The edge type, source and destination ids and times of the seed links, checked."""
    edge_type = index.input_type
    if edge_type is None:
        if len(graph.edge_types) != 1:
            raise ValueError("'input_type' is needed on a graph with several edge types.")
        edge_type = graph.edge_types[0]
    edge_type = tuple(edge_type)
    # The links need not be message-passing edges: only their two node types must exist.
    if len(edge_type) != 3 or edge_type[0] not in graph.num_nodes or edge_type[2] not in graph.num_nodes:
        raise ValueError(f"Input edge type {edge_type} does not link two node types of the graph.")
    src = as_int64(index.row, "edge_label_index")
    dst = as_int64(index.col, "edge_label_index")
    if src.size != dst.size:
        raise ValueError(f"{src.size} source ids for {dst.size} destination ids.")
    for ids, node_type in ((src, edge_type[0]), (dst, edge_type[2])):
        n = graph.num_nodes[node_type]
        if ids.size and (ids.min() < 0 or ids.max() >= n):
            raise ValueError(f"'edge_label_index' has ids outside [0, {n}) of node type '{node_type}'.")
    time = None
    if index.time is not None:
        if not graph.has_time:
            raise ValueError("'edge_label_time' needs timestamps: give 'time_attr'.")
        time = np.array(as_int64(index.time, "edge_label_time"))  # its own copy: the output shares it
        if time.size != src.size:
            raise ValueError(f"{time.size} link times for {src.size} links.")
    elif graph.has_time:
        # Without link times nothing would be filtered by time: refuse rather than leak.
        raise ValueError("Received conflicting 'edge_label_time' and 'time_attr' arguments: "  # PyG's words
                         "'edge_label_time' is not set while 'time_attr' is set. Both arguments must be "
                         "provided for temporal sampling.")
    return edge_type, src, dst, time


def sample_links(graph: SamplerGraph, index: EdgeSamplerInput, neg_sampling: Optional[NegativeSampling], *,
                 per_seed: bool, draws: NegativeDraws, stream_seed: Callable[[], int],
                 sample_groups: Callable[..., tuple]) -> Tuple[tuple, Optional[np.ndarray], tuple]:
    """The link-level half of ``BaseSampler.sample_from_edges``: seeds, negatives, one
    native call.

    With link times every link grows its own subgraph (``per_seed``) or the links of one
    time share one; without them ``per_seed`` chooses between one subgraph per link and one
    shared by the batch. ``sample_groups(seed_nodes, seed_groups, group_time)`` is the
    native call with the sampler's rules. Returns the native result, the groups' times and
    PyG's metadata of the output.
    """
    edge_type, src, dst, time = link_input(graph, index)
    src_type, _, dst_type = edge_type
    num_links = src.size
    neg_sampling = NegativeSampling.cast(neg_sampling) if neg_sampling is not None else None

    # Negatives: the destination of a link replaced by a node that exists at the link's time
    # (and, for binary ones with 'src_weight', the source too).
    if neg_sampling is None:
        owner = np.empty(0, np.int64)
    elif neg_sampling.is_binary():
        owner = np.arange(math.ceil(neg_sampling.amount * num_links), dtype=np.int64) % max(num_links, 1)
    else:
        # By round, as PyG lays them out: the r-th negatives of all links, then the next.
        owner = np.tile(np.arange(num_links, dtype=np.int64), int(neg_sampling.amount))
    negative = np.empty(0, np.int64)
    negative_src: Optional[np.ndarray] = None
    if owner.size:
        generator = draws.generator(stream_seed)

        def draw(node_type: str, name: str) -> np.ndarray:
            value = getattr(neg_sampling, name)
            weighted = None if value is None else draws.weighted(graph, node_type, value, name)
            return draw_negatives(generator, draws.catalogue(graph, node_type), node_type, owner, time,
                                  weighted, name)

        negative = draw(dst_type, "dst_weight")
        if neg_sampling.is_binary() and neg_sampling.src_weight is not None:
            negative_src = draw(src_type, "src_weight")

    # A group is named by its first link, so the link times, indexed by group, are the
    # groups' times.
    if per_seed:
        link_group = np.arange(num_links, dtype=np.int64)
    elif time is not None:  # shared by time: the links of one time
        _, first, inverse = np.unique(time, return_index=True, return_inverse=True)
        link_group = first[inverse.reshape(-1)].astype(np.int64)
    else:
        link_group = np.zeros(num_links, np.int64)
    endpoints = [(src_type, src, link_group), (dst_type, dst, link_group), (dst_type, negative, link_group[owner])]
    if negative_src is not None:
        endpoints.append((src_type, negative_src, link_group[owner]))
    # Per-link subgraphs take PyG's layout, one seed per named node; a shared subgraph
    # holds each node once.
    seeds = (slot_seeds if per_seed else group_seeds)(endpoints, graph.node_types)
    src_local, dst_local, neg_local = seeds.local[:3]
    neg_src_local = seeds.local[3] if negative_src is not None else src_local[owner]
    group_time = time if time is not None else np.empty(0, np.int64)
    if per_seed:
        # The native call spreads groups over its threads only when each type's seeds come
        # in group order: sample them in that order, then lay the seeds out as PyG does.
        order = {t: np.argsort(g, kind="stable") for t, g in seeds.seed_groups.items()}
        result = sample_groups({t: ids[order[t]] for t, ids in seeds.seed_nodes.items()},
                               {t: g[order[t]] for t, g in seeds.seed_groups.items()}, group_time)
        result = seeds_in_place(graph, result, order)
    else:
        result = sample_groups(seeds.seed_nodes, seeds.seed_groups, group_time)

    t = torch.from_numpy
    input_id = index.input_id
    link_time = None if time is None else t(time)
    if neg_sampling is None or neg_sampling.is_binary():
        label = None if index.label is None else torch.as_tensor(index.label)
        if owner.size:
            if label is None:
                label = torch.ones(num_links)
            label = torch.cat([label, torch.zeros(owner.size, dtype=label.dtype)])
            if time is not None:
                link_time = t(np.concatenate([time, time[owner]]))
        edge_label_index = t(np.stack([np.concatenate([src_local, neg_src_local]),
                                       np.concatenate([dst_local, neg_local])]))
        metadata: tuple = (input_id, edge_label_index, label, link_time)
    else:
        per_link = int(neg_sampling.amount)
        # Round r is the r-th block of num_links: link i's negatives are column i of the blocks.
        dst_neg_index = t(neg_local.reshape(per_link, num_links)).t()
        if per_link == 1:
            dst_neg_index = dst_neg_index.reshape(-1)
        metadata = (input_id, t(src_local), t(dst_local), dst_neg_index, link_time)
    return result, time, metadata
