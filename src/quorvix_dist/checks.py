"""The argument checks of sampling across parts, made by quorvix.NeighborSampler itself.

A part knows the whole graph's names, node counts, colptr lengths and which edge types have times and
weights. A graph with exactly those but no edges is refused and accepted by a sampler's calls as the
whole graph is, for everything a call checks before it samples (dicts, keys, fan-outs, seed ids and
times, groups): a sampler over it checks each request and its errors are a sampler's own, word for
word. Its arrays are zeros that nothing writes, so they take address space, not memory.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from quorvix_dist.part import Part

__all__ = ["request_checker"]


def _zeros(length: int) -> np.ndarray:
    # calloc'd: pages that are never written are never backed.
    return np.zeros(max(length, 0), dtype=np.int64)


def request_checker(part: Part) -> Any:
    """A quorvix.NeighborSampler over the edgeless twin of the whole graph `part` belongs to."""
    import quorvix

    node_time = {name: _zeros(part.num_nodes[name]) for name in part.node_types if name in part.typed_node_time}
    colptr, row, edge_time, edge_weight = {}, {}, {}, {}
    for (neighbour, _, frontier), entry in zip(part.edge_types, part.manifest["edges"]):
        key = entry["key"]
        # Parts written before colptr lengths were recorded: the frontier type's count bounds them all.
        count = int(entry.get("frontier_count", part.num_nodes[frontier]))
        colptr[key] = _zeros(count + 1)
        row[key] = _zeros(0)
        if entry["time"] == "edge_time":
            edge_time[key] = _zeros(0)
        if entry["weighted"]:
            edge_weight[key] = np.zeros(0, dtype=np.float64)
    graph = quorvix.Graph(part.node_types, part.edge_types, colptr, row, node_time,
                          edge_time=edge_time or None, edge_weight=edge_weight or None)
    return quorvix.NeighborSampler(graph)
