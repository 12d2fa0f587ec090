"""The argument checks of sampling across parts, made by quorvix.NeighborSampler itself.

A part knows the whole graph's names, node counts, colptr lengths and which edge types have times and
weights. A graph with exactly those but no edges is refused and accepted by a sampler's calls as the
whole graph is, for everything a call checks before it samples (dicts, keys, fan-outs, seed ids and
times, groups): a sampler over it checks each request and its errors are a sampler's own, word for
word. Its arrays are zeros in read-only mappings, so they take address space, not memory.
"""

from __future__ import annotations

import mmap
import sys
from typing import Any

import numpy as np

from quorvix.dist.part import Part

__all__ = ["request_checker"]


# Linux's MAP_NORESERVE, which the mmap module names from Python 3.13 only: without it a mapping
# larger than memory is refused under the default overcommit rule, even one that is never written.
_NO_RESERVE = getattr(mmap, "MAP_NORESERVE", 0x4000 if sys.platform.startswith("linux") else 0)


def _zeros(length: int) -> np.ndarray:
    """`length` int64 zeros in a read-only anonymous mapping, reserving nothing: reads map the
    kernel's one zero page, so even a whole graph's colptr length costs address space only."""
    if length <= 0:
        return np.zeros(0, dtype=np.int64)
    if not hasattr(mmap, "MAP_ANONYMOUS"):  # Windows' mmap takes no flags
        return np.zeros(length, dtype=np.int64)
    region = mmap.mmap(-1, length * 8, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | _NO_RESERVE,
                       prot=mmap.PROT_READ)
    return np.frombuffer(region, dtype=np.int64)


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
