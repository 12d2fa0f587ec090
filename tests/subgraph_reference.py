"""The NumPy implementation of bidirectional and induced subgraphs that the native builders
(``quorvix.reverse_edges``, ``quorvix.induced_edges``) replaced: the reference they are tested
against. Works on a native result and the directional edges of each type; returns per edge type
``Edges`` with a hop per edge."""

from collections import Counter
from typing import Dict, List, NamedTuple, Optional

import numpy as np

from quorvix.pyg.convert import EdgeType, edge_type_key
from quorvix.pyg.graph import SamplerGraph
from quorvix.pyg.output import NativeResult, reverse_edge_types


class Edges(NamedTuple):
    """The edges of one edge type in a batch: local ends, original edge ids, hop index."""

    row: np.ndarray
    col: np.ndarray
    e_id: np.ndarray
    hop: np.ndarray


def directional_edges(graph: SamplerGraph, native: NativeResult) -> Dict[str, Edges]:
    edges = {}
    for edge_type in graph.edge_types:
        key = edge_type_key(edge_type)
        edges[key] = Edges(native.row[key], native.col[key], np.asarray(graph.perm[key][native.edge[key]], np.int64),
                           _hops(native.num_sampled_edges[key]))
    return edges


def _sorted_search(haystack: np.ndarray, needles: np.ndarray) -> np.ndarray:
    """np.searchsorted with the needles sorted first: each search then starts where the last
    one ended, which saves most cache misses on a large haystack."""
    order = np.argsort(needles, kind="stable")
    found = np.empty(len(needles), np.int64)
    found[order] = np.searchsorted(haystack, needles[order])
    return found


def _hops(counts: np.ndarray) -> np.ndarray:
    return np.repeat(np.arange(len(counts), dtype=np.int64), counts)


def _ordered(row: np.ndarray, col: np.ndarray, e_id: np.ndarray, hop: np.ndarray,
             tie: Optional[np.ndarray] = None) -> Edges:
    """Edges sorted by hop (then by ``tie``), stable: per-hop counts then split them."""
    order = np.lexsort((tie, hop)) if tie is not None else np.argsort(hop, kind="stable")
    return Edges(row[order], col[order], e_id[order], hop[order])


# -- reverse edges ---------------------------------------------------------------------------

class EdgeLookup:
    """Per edge type, the CSC positions sorted by (destination, source), ties by time: finds
    the graph's earliest edge between two nodes. Built per edge type on first use."""

    def __init__(self, graph: SamplerGraph):
        self.graph = graph
        self._index: Dict[str, tuple] = {}

    def _sorted(self, key: str) -> tuple:
        if key not in self._index:
            colptr, row = np.asarray(self.graph.colptr[key]), np.asarray(self.graph.row[key])
            num_src = self.graph.num_nodes[key_types(self.graph, key)[0]]
            dst = np.repeat(np.arange(len(colptr) - 1, dtype=np.int64), np.diff(colptr))
            # Within a destination's run the CSC is time-sorted, so a stable sort keeps the
            # earliest of parallel edges first.
            pair = dst * num_src + row[:len(dst)]
            order = np.argsort(pair, kind="stable")
            self._index[key] = (pair[order], order)
        return self._index[key]

    def first_edge(self, key: str, src: np.ndarray, dst: np.ndarray) -> np.ndarray:
        """The CSC position of the earliest edge src -> dst of each pair, or -1."""
        pairs, order = self._sorted(key)
        if not len(pairs):
            return np.full(len(src), -1, np.int64)
        num_src = self.graph.num_nodes[key_types(self.graph, key)[0]]
        wanted = dst * num_src + src
        at = _sorted_search(pairs, wanted)
        found = at < len(pairs)
        found[found] = pairs[at[found]] == wanted[found]
        return np.where(found, order[np.minimum(at, len(order) - 1)], -1)


def key_types(graph: SamplerGraph, key: str) -> EdgeType:
    return next(e for e in graph.edge_types if edge_type_key(e) == key)


def add_reverse_edges(graph: SamplerGraph, native: NativeResult, edges: Dict[str, Edges],
                      seed_time: Optional[np.ndarray], lookup: EdgeLookup) -> Dict[str, Edges]:
    """Every sampled edge also in reverse, so that each pair of nodes is joined as often one
    way as the other: as often as the sampled edges join it in the direction sampled more
    often. The sampled edges all stay; a reverse copy goes in the hop of the sampled edge it
    reverses (after that hop's sampled edges of the type). A reverse copy takes the id of the
    graph's earliest edge between its ends in its direction (not later than its subgraph's
    time); where the graph has none, an edge type whose two ends have one type reuses the
    sampled edge's own id, and across types the reverse is left out: it would have no
    attributes to gather."""
    reverse = reverse_edge_types(graph.edge_types)
    out = {}
    for target in graph.edge_types:
        key = edge_type_key(target)
        e = edges[key]
        # How often the type joins each (row, col) pair, its reverse copies counted as they come.
        total = Counter(zip(e.row.tolist(), e.col.tolist()))
        added: List[tuple] = []
        for source in graph.edge_types:
            s = edges[edge_type_key(source)]
            if reverse[source] != target or not len(s.row):
                continue
            src_nodes, dst_nodes = native.node[source[0]], native.node[source[2]]
            # The reverse of src -> dst is an edge dst -> src of the target type.
            position = lookup.first_edge(key, dst_nodes[s.col], src_nodes[s.row])
            if seed_time is not None and len(seed_time) and key in graph.edge_time:
                group_time = seed_time[native.batch[source[2]][s.col]]
                late = position >= 0
                late[late] = graph.edge_time[key][position[late]] > group_time[late]
                position[late] = -1
            seen: Counter = Counter()
            for k, pair in enumerate(zip(s.col.tolist(), s.row.tolist())):
                seen[pair] += 1
                if seen[pair] <= total[pair]:
                    continue
                if position[k] >= 0:
                    e_id = int(graph.perm[key][position[k]])
                elif source == target:
                    e_id = int(s.e_id[k])
                else:
                    continue
                total[pair] += 1
                added.append((pair[0], pair[1], e_id, int(s.hop[k])))
        if not added:
            out[key] = e
            continue
        row, col, e_id, hop = (np.array(part, np.int64) for part in zip(*added))
        out[key] = _ordered(np.concatenate([e.row, row]), np.concatenate([e.col, col]),
                            np.concatenate([e.e_id, e_id]), np.concatenate([e.hop, hop]),
                            np.concatenate([np.zeros(len(e.row), np.int8), np.ones(len(row), np.int8)]))
    return out


# -- induced subgraphs -----------------------------------------------------------------------

def induced_edges(graph: SamplerGraph, native: NativeResult, node_hop: Dict[str, np.ndarray],
                  seed_time: Optional[np.ndarray]) -> Dict[str, Edges]:
    """Every edge of the graph between two nodes of the same subgraph (a node listed twice
    in one subgraph, a repeated seed, gets the edges of each copy), no later than the
    subgraph's time when the edge type has edge times. An edge's hop is the later of its
    ends' hops (edges between seeds count to the first hop)."""
    out = {}
    for edge_type in graph.edge_types:
        src_type, _, dst_type = edge_type
        key = edge_type_key(edge_type)
        colptr, row = graph.colptr[key], graph.row[key]
        dst_nodes, dst_group = native.node[dst_type], native.batch[dst_type]
        # Every graph edge into a subgraph node: its CSC run, expanded without a Python loop.
        start, end = colptr[dst_nodes], colptr[dst_nodes + 1]
        degree = end - start
        col = np.repeat(np.arange(len(dst_nodes), dtype=np.int64), degree)
        offsets = np.arange(int(degree.sum()), dtype=np.int64) - np.repeat(np.cumsum(degree) - degree, degree)
        position = np.repeat(start, degree) + offsets
        group = dst_group[col]
        if seed_time is not None and len(seed_time) and key in graph.edge_time:
            in_time = graph.edge_time[key][position] <= seed_time[group]
            col, position, group = col[in_time], position[in_time], group[in_time]
        # Keep those whose source is a node of the same subgraph, once per copy of it.
        src_nodes, src_group = native.node[src_type], native.batch[src_type]
        num_src = graph.num_nodes[src_type]
        candidates = np.asarray(row[position])
        if num_src <= 8 * len(candidates):
            # Most candidates lead outside the subgraph: drop them by a mark per node first,
            # cheaper than searching for each.
            marked = np.zeros(num_src, bool)
            marked[src_nodes] = True
            inside = marked[candidates]
            col, position, group, candidates = col[inside], position[inside], group[inside], candidates[inside]
        src_key = src_group * num_src + src_nodes
        by_key = np.argsort(src_key, kind="stable")
        sorted_key = src_key[by_key]
        wanted = group * num_src + candidates
        order = np.argsort(wanted)
        first, last = np.empty(len(wanted), np.int64), np.empty(len(wanted), np.int64)
        first[order] = np.searchsorted(sorted_key, wanted[order])  # sorted: each search starts
        last[order] = np.searchsorted(sorted_key, wanted[order], "right")  # where the last ended
        copies = last - first
        match = np.repeat(first, copies) + (np.arange(int(copies.sum())) - np.repeat(np.cumsum(copies) - copies, copies))
        local_row = by_key[match]
        local_col = np.repeat(col, copies)
        e_id = np.asarray(graph.perm[key][np.repeat(position, copies)], np.int64)
        hop = np.maximum(np.maximum(node_hop[src_type][local_row], node_hop[dst_type][local_col]), 1) - 1
        out[key] = _ordered(local_row, local_col, e_id, hop)
    return out
