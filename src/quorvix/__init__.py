"""Temporal neighbour sampling over heterogeneous graphs held in NumPy arrays.

``quorvix.Graph`` is the graph as a value (built from arrays, loaded from a directory, or read from
tables); ``quorvix.NeighborSampler`` draws per-seed subgraphs from it. Importing ``quorvix`` needs
NumPy only; the subpackages bring their own dependencies when imported:

- ``quorvix.pyg``: PyTorch Geometric's loaders backed by the sampler (torch, torch_geometric);
- ``quorvix.dist``: sampling a graph split into parts across ranks (torch.distributed);
- ``quorvix.tables``: a graph from relational tables (pandas, pyarrow, polars, DuckDB or SQLite).
"""

from __future__ import annotations

import os
from typing import Any

from quorvix._core import Graph, NeighborSampler
from quorvix._warnings import SeedTimeWarning

__version__ = "0.1.0"

__all__ = ["Graph", "NeighborSampler", "SeedTimeWarning", "partition"]


def partition(graph: Graph, num_parts: int, path: str | os.PathLike[str], **options: Any) -> list[str]:
    """Writes ``graph`` as ``num_parts`` parts that open memory-mapped: :func:`quorvix.dist.partition`.

    Args:
        graph: the graph to split.
        num_parts: how many parts (one per rank that serves one).
        path: the directory the parts are written to.
        **options: the keyword arguments of :func:`quorvix.dist.partition` (node features, edge
            ids, edge features).

    Returns:
        list[str]: what :func:`quorvix.dist.partition` returns.
    """
    from quorvix.dist import partition as partition_graph

    return partition_graph(graph, num_parts, path, **options)
