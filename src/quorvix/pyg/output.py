"""A native sampling result in PyG's terms: ``SamplerOutput`` for a homogeneous graph,
``HeteroSamplerOutput`` otherwise, with the subgraph type applied.

:func:`sampler_output` is the one way from what ``quorvix.NeighborSampler.sample_with_edge_ids``
returns to what PyG's loaders take; node-level and link-level sampling both end in it.
"""

from __future__ import annotations

from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

import numpy as np
import torch
from torch_geometric.sampler import HeteroSamplerOutput, SamplerOutput

import quorvix

from .convert import EdgeType, edge_type_key
from .graph import SamplerGraph

SUBGRAPH_TYPES = ("directional", "bidirectional", "induced")


class NativeResult(NamedTuple):
    """The seven dicts of ``sample_with_edge_ids``, by name; ``edge`` holds CSC positions."""

    row: Dict[str, np.ndarray]
    col: Dict[str, np.ndarray]
    node: Dict[str, np.ndarray]
    batch: Dict[str, np.ndarray]
    num_sampled_nodes: Dict[str, np.ndarray]
    num_sampled_edges: Dict[str, np.ndarray]
    edge: Dict[str, np.ndarray]


class Edges(NamedTuple):
    """The edges of one edge type in a batch: local ends, original edge ids, edges per hop."""

    row: np.ndarray
    col: np.ndarray
    e_id: np.ndarray
    hop_counts: np.ndarray


def sampler_output(graph: SamplerGraph, result: Any, *, seed_time: Optional[np.ndarray],
                   metadata: Any, keep_batch: bool = True, subgraph_type: str = "directional",
                   lookup: Optional["EdgeLookup"] = None,
                   runs: Optional[Dict[str, "Runs"]] = None,
                   native_sampler: Optional[quorvix.NeighborSampler] = None
                   ) -> Union[SamplerOutput, HeteroSamplerOutput]:
    """Turn a native result into PyG's sampler output.

    Args:
        graph: the graph the native sampler was built over.
        result: the 7-tuple of ``sample_with_edge_ids``.
        seed_time: the time of every batch value of the result (per seed for ``sample``
            and ``sample_with_edge_ids``, per group for ``sample_groups``), or None without
            time; the induced and bidirectional edges it adds are no later than their
            subgraph's time.
        metadata: PyG's ``metadata`` of the output (for node loaders
            ``(input_id, seed_time tensor)``).
        keep_batch: False drops ``batch`` (a shared subgraph without time has none in PyG).
        subgraph_type: ``"directional"`` (the sampled edges), ``"bidirectional"`` (also
            each sampled edge in reverse, all sorted by destination then source, as PyG
            orders them) or ``"induced"`` (every edge of the graph between the nodes of
            each subgraph).
        lookup: the reverse-edge index for ``"bidirectional"`` (built when omitted).
        runs: in place of the graph's arrays, per edge type key the runs of the nodes of its
            destination type in the result, for ``"induced"`` and ``"bidirectional"`` (see
            :class:`Runs`); the graph then needs no arrays.
        native_sampler: a ``quorvix.NeighborSampler`` on whose threads the ``"induced"`` and
            ``"bidirectional"`` edges of a large batch are found (the edges do not depend on
            it), or None for one thread.

    Returns:
        SamplerOutput or HeteroSamplerOutput: ``SamplerOutput`` for a homogeneous graph,
        ``HeteroSamplerOutput`` otherwise; ``edge`` holds the original edge ids (through
        ``graph.perm``), ``batch`` is None unless ``keep_batch``.
    """
    native = NativeResult(*result)
    # PyG orders a bidirectional subgraph's edges by destination.
    edges = subgraph_edges(graph, native, seed_time, subgraph_type, lookup, runs, by_destination=True,
                           native_sampler=native_sampler)
    t = torch.from_numpy
    counts = {key: e.hop_counts.tolist() for key, e in edges.items()}
    if graph.homogeneous:
        (key, e), (node_type,) = next(iter(edges.items())), graph.node_types
        return SamplerOutput(
            node=t(native.node[node_type]), row=t(e.row), col=t(e.col), edge=t(e.e_id),
            batch=t(native.batch[node_type]) if keep_batch else None,
            num_sampled_nodes=native.num_sampled_nodes[node_type].tolist(),
            num_sampled_edges=counts[key], metadata=metadata)
    edge_types = {edge_type_key(e): e for e in graph.edge_types}
    return HeteroSamplerOutput(
        node={k: t(v) for k, v in native.node.items()},
        row={edge_types[k]: t(e.row) for k, e in edges.items()},
        col={edge_types[k]: t(e.col) for k, e in edges.items()},
        edge={edge_types[k]: t(e.e_id) for k, e in edges.items()},
        batch={k: t(v) for k, v in native.batch.items()} if keep_batch else None,
        num_sampled_nodes={k: v.tolist() for k, v in native.num_sampled_nodes.items()},
        num_sampled_edges={edge_types[k]: c for k, c in counts.items()},
        metadata=metadata)


def subgraph_edges(graph: SamplerGraph, native: NativeResult, seed_time: Optional[np.ndarray],
                   subgraph_type: str, lookup: Optional["EdgeLookup"] = None,
                   runs: Optional[Dict[str, "Runs"]] = None, by_destination: bool = False,
                   native_sampler: Optional[quorvix.NeighborSampler] = None) -> Dict[str, Edges]:
    """The edges of each edge type for a subgraph type, by hop (see :func:`sampler_output`);
    bidirectional ones by destination, then source, instead with ``by_destination``."""
    edges: Dict[str, Edges] = {}
    for edge_type in graph.edge_types:
        key = edge_type_key(edge_type)
        positions = native.edge[key]
        # A graph without perm (the parts of a partitioned graph) records the original ids already.
        e_id = positions if graph.edge_ids_are_positions or key not in graph.perm else graph.perm[key][positions]
        edges[key] = Edges(native.row[key], native.col[key], np.asarray(e_id, np.int64), native.num_sampled_edges[key])
    group_time = np.empty(0, np.int64) if seed_time is None else np.asarray(seed_time, np.int64)
    if subgraph_type == "bidirectional":
        return add_reverse_edges(graph, native, edges, group_time, lookup or EdgeLookup(graph), runs, by_destination,
                                 native_sampler)
    if subgraph_type == "induced":
        return induced_edges(graph, native, group_time, runs, native_sampler)
    return edges


class Runs(NamedTuple):
    """A CSC over some columns and where the result's nodes are in it: ``colptr`` over the
    columns, ``row`` and ``perm`` (the edge ids) per position, ``edge_time`` per position or
    None, and ``column`` the column of each node of the destination type in the result."""

    colptr: np.ndarray
    row: np.ndarray
    perm: np.ndarray
    edge_time: Optional[np.ndarray]
    column: np.ndarray


def graph_runs(graph: SamplerGraph, native: NativeResult, key: str, dst_type: str,
               runs: Optional[Dict[str, Runs]]) -> Runs:
    if runs is not None:
        return runs[key]
    return Runs(graph.colptr[key], graph.row[key], graph.perm[key], graph.edge_time.get(key), native.node[dst_type])


# -- reverse edges ---------------------------------------------------------------------------

def reverse_edge_types(edge_types: List[EdgeType]) -> Dict[EdgeType, Optional[EdgeType]]:
    """The edge type each edge type's reverse edges belong to: itself when both ends have
    one type; else ``(dst, "rev_" + rel, src)``, or ``(dst, rel[4:], src)`` for a ``rev_``
    relation, or the only edge type from ``dst`` to ``src``; None when there is none."""
    known = set(edge_types)
    reverse: Dict[EdgeType, Optional[EdgeType]] = {}
    for src, rel, dst in edge_types:
        candidates = [(dst, rel, src)] if src == dst else [(dst, "rev_" + rel, src)]
        if rel.startswith("rev_"):
            candidates.append((dst, rel[4:], src))
        found = [c for c in candidates if c in known]
        if not found:
            found = [e for e in edge_types if e[0] == dst and e[2] == src]
        reverse[(src, rel, dst)] = found[0] if len(found) == 1 or (found and src == dst) else None
    return reverse


# Runs of a destination up to this long are scanned natively; an index serves longer ones.
SCANNED_RUN = 64


class EdgeLookup:
    """What finds the graph's earliest edge between two nodes, built per edge type on first
    use and kept for the sampler's life.

    :meth:`reverse_position` maps each edge of a type to the earliest edge joining its ends the
    other way, so that a reverse copy reads its edge instead of searching a run for it.
    :meth:`index` serves the graphs whose node counts are too large for that map's keys: per
    edge type, the sources of each long run sorted, with their CSC positions (earliest first
    among parallel edges, as the CSC is time-sorted within a run)."""

    def __init__(self, graph: SamplerGraph):
        self.graph = graph
        self._index: Dict[str, Tuple[Optional[np.ndarray], Optional[np.ndarray]]] = {}
        self._reverse: Dict[Tuple[str, str], Optional[np.ndarray]] = {}

    def index(self, key: str) -> Tuple[Optional[np.ndarray], Optional[np.ndarray]]:
        """``(index_row, index_position)`` of ``quorvix.reverse_edges``, or Nones."""
        if key not in self._index:
            colptr, row = np.asarray(self.graph.colptr[key]), np.asarray(self.graph.row[key])
            run = np.diff(colptr)
            if not len(run) or run.max() <= SCANNED_RUN:
                self._index[key] = (None, None)
            else:
                dst = np.repeat(np.arange(len(run), dtype=np.int64), run)
                order = np.lexsort((row[:len(dst)], dst))  # stable: ties keep CSC order
                self._index[key] = (np.ascontiguousarray(row[order], np.int64), order.astype(np.int64))
        return self._index[key]

    def prepare(self) -> "EdgeLookup":
        """Builds the reverse maps of every edge type now (so that loader worker processes
        forked later share them); returns the lookup."""
        for source, target in reverse_edge_types(self.graph.edge_types).items():
            if target is not None:
                self.reverse_position(source, target)
        return self

    def reverse_position(self, source: EdgeType, target: EdgeType) -> Optional[np.ndarray]:
        """Per CSC position of ``source`` (C -> R), the CSC position in ``target`` (R -> C) of
        the earliest edge joining the same two nodes the other way, or -1; None when the node
        counts' product does not fit a 64-bit key. One int64 per edge of ``source``."""
        pair = (edge_type_key(source), edge_type_key(target))
        if pair not in self._reverse:
            self._reverse[pair] = self._reverse_position(*pair, self.graph.num_nodes[target[0]],
                                                         self.graph.num_nodes[target[2]])
        return self._reverse[pair]

    def _reverse_position(self, source: str, target: str, num_rows: int, num_cols: int) -> Optional[np.ndarray]:
        if num_rows and num_cols > np.iinfo(np.int64).max // num_rows:
            return None

        def pair_keys(key: str, col_first: bool) -> np.ndarray:
            # One key per CSC position of an edge type: its two ends, the target's column node
            # first (for the source, whose ends are the target's the other way round, its row).
            colptr, row = np.asarray(self.graph.colptr[key], np.int64), np.asarray(self.graph.row[key])
            dst = np.repeat(np.arange(len(colptr) - 1, dtype=np.int64), np.diff(colptr))
            row = row[:len(dst)].astype(np.int64, copy=False)
            return dst * np.int64(num_rows) + row if col_first else row * np.int64(num_rows) + dst

        keys = pair_keys(target, col_first=True)
        order = np.argsort(keys, kind="stable")  # parallel edges: the earliest position first
        keys = keys[order]
        first = np.ones(len(keys), bool)
        first[1:] = keys[1:] != keys[:-1]
        keys, positions = keys[first], order[first].astype(np.int64, copy=False)
        wanted = pair_keys(source, col_first=False)
        if not len(keys):
            return np.full(len(wanted), -1, np.int64)
        # Searched in sorted order, the lookups walk the keys once instead of missing the cache.
        wanted_order = np.argsort(wanted)
        wanted = wanted[wanted_order]
        at = np.minimum(np.searchsorted(keys, wanted), len(keys) - 1)
        reverse = np.empty(len(wanted), np.int64)
        reverse[wanted_order] = np.where(keys[at] == wanted, positions[at], np.int64(-1))
        return reverse


def add_reverse_edges(graph: SamplerGraph, native: NativeResult, edges: Dict[str, Edges],
                      group_time: np.ndarray, lookup: EdgeLookup, runs: Optional[Dict[str, Runs]] = None,
                      by_destination: bool = False,
                      native_sampler: Optional[quorvix.NeighborSampler] = None) -> Dict[str, Edges]:
    """Every sampled edge also in reverse, so that each pair of nodes is joined as often one
    way as the other: as often as the sampled edges join it in the direction sampled more
    often. The sampled edges all stay; a reverse copy goes in the hop of the sampled edge it
    reverses (after that hop's sampled edges of the type). A reverse copy takes the id of the
    graph's earliest edge between its ends in its direction (not later than its subgraph's
    time); where the graph has none, an edge type whose two ends have one type reuses the
    sampled edge's own id, and across types the reverse is left out: it would have no
    attributes to gather. ``by_destination``: each type's edges sorted by destination, then
    source (see :func:`sort_by_destination`), instead of by hop. ``native_sampler``: whose
    threads walk a large batch's columns."""
    reverse = reverse_edge_types(graph.edge_types)
    out = {}
    for target in graph.edge_types:
        key = edge_type_key(target)
        sources = [s for s in graph.edge_types if reverse[s] == target and len(edges[edge_type_key(s)].row)]
        if not sources:
            out[key] = sort_by_destination(edges[key]) if by_destination else edges[key]
            continue
        csc = graph_runs(graph, native, key, target[2], runs)
        index_row = index_position = source_index = None
        if runs is None:
            # Each copy's edge read from the graph's reverse map; else searched in the target's runs.
            maps = [lookup.reverse_position(s, target) for s in sources]
            source_index = [None if m is None else (native.edge[edge_type_key(s)], m) for s, m in zip(sources, maps)]
            if any(m is None for m in maps):
                index_row, index_position = lookup.index(key)
        # Runs fetched for the result are short of the graph's: scanned, without an index.
        out[key] = Edges(*quorvix._core.reverse_edges(
            csc.colptr, csc.row, csc.perm, csc.edge_time, index_row, index_position, native.node[target[0]],
            native.batch[target[0]], csc.column, tuple(edges[key]),
            [tuple(edges[edge_type_key(s)]) + (s == target,) for s in sources], group_time,
            source_index=source_index, by_destination=by_destination, sampler=native_sampler))
    return out


def sort_by_destination(edges: Edges) -> Edges:
    """The edges sorted by destination, then by source, as PyG orders a bidirectional
    subgraph (parallel edges keep their order). The counts per hop stay those of the hops
    the edges came from; the hops no longer lie in blocks."""
    if len(edges.col) < 2:
        return edges
    span = int(edges.row.max()) + 1
    if int(edges.col.max()) < np.iinfo(np.int64).max // span:
        # One stable sort of a combined key: about twice as quick as a sort on two keys.
        order = np.argsort(edges.col * np.int64(span) + edges.row, kind="stable")
    else:
        order = np.lexsort((edges.row, edges.col))
    return Edges(edges.row[order], edges.col[order], edges.e_id[order], edges.hop_counts)


# -- induced subgraphs -----------------------------------------------------------------------

def induced_edges(graph: SamplerGraph, native: NativeResult, group_time: np.ndarray,
                  runs: Optional[Dict[str, Runs]] = None,
                  native_sampler: Optional[quorvix.NeighborSampler] = None) -> Dict[str, Edges]:
    """Every edge of the graph between two nodes of the same subgraph (a node listed twice
    in one subgraph, a repeated seed, gets the edges of each copy), no later than the
    subgraph's time when the edge type has edge times. An edge's hop is the later of its
    ends' hops (edges between seeds count to the first hop). ``native_sampler``: whose
    threads read a large subgraph's runs."""
    out = {}
    for edge_type in graph.edge_types:
        src_type, _, dst_type = edge_type
        key = edge_type_key(edge_type)
        csc = graph_runs(graph, native, key, dst_type, runs)
        out[key] = Edges(*quorvix._core.induced_edges(
            csc.colptr, csc.row, csc.perm, csc.edge_time,
            graph.num_nodes[src_type], native.node[src_type], native.batch[src_type],
            native.num_sampled_nodes[src_type], csc.column, native.batch[dst_type],
            native.num_sampled_nodes[dst_type], group_time, len(native.num_sampled_edges[key]),
            sampler=native_sampler))
    return out
