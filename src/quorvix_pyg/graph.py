"""A PyG HeteroData as the arrays quorvix samples from: per edge type a time-sorted CSC."""

from __future__ import annotations

import json
import mmap
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Literal, Optional, Tuple

import numpy as np

from .convert import EdgeType, as_int64, edge_type_key, owned_int64, to_numpy


@dataclass
class SamplerGraph:
    """The graph arrays of a quorvix sampler and the way back to PyG's edge order.

    For an edge type ``(src, rel, dst)`` keyed ``src__rel__dst``, ``colptr[key]`` is indexed
    by ``dst`` node ids, ``row[key][colptr[key][v]:colptr[key][v + 1]]`` are the ``src``
    neighbours of node ``v`` sorted by their time (ties keep the original edge order), and
    ``perm[key][p]`` is the column of ``edge_index`` that CSC position ``p`` came from.

    Pickling keeps arrays opened with ``np.load(..., mmap_mode=...)`` memory-mapped: they
    travel as their file name and offset, so worker processes share the pages.
    """

    node_types: List[str]
    edge_types: List[EdgeType]
    num_nodes: Dict[str, int]
    colptr: Dict[str, np.ndarray]
    row: Dict[str, np.ndarray]
    perm: Dict[str, np.ndarray]
    node_time: Dict[str, np.ndarray]

    def sampler_arguments(self) -> Tuple[List[str], List[EdgeType], Dict[str, np.ndarray],
                                         Dict[str, np.ndarray], Dict[str, np.ndarray]]:
        """The first five arguments of ``quorvix.NeighborSampler``."""
        return self.node_types, self.edge_types, self.colptr, self.row, self.node_time

    def save(self, directory: str | Path) -> None:
        """Write every array as a .npy file and the rest as graph.json."""
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        files: Dict[str, Dict[str, str]] = {}
        for part in ("colptr", "row", "perm", "node_time"):
            for key, array in getattr(self, part).items():
                name = f"{part}.{key}.npy"
                np.save(directory / name, np.ascontiguousarray(array))
                files.setdefault(part, {})[key] = name
        schema = {"node_types": self.node_types, "edge_types": [list(e) for e in self.edge_types],
                  "num_nodes": self.num_nodes, "files": files}
        (directory / "graph.json").write_text(json.dumps(schema, indent=1))

    @classmethod
    def load(cls, directory: str | Path,
             mmap_mode: Optional[Literal["r", "r+", "c"]] = "r") -> "SamplerGraph":
        """Read a graph written by :meth:`save`, memory-mapped unless ``mmap_mode=None``."""
        directory = Path(directory)
        schema = json.loads((directory / "graph.json").read_text())
        arrays = {part: {key: np.load(directory / name, mmap_mode=mmap_mode) for key, name in names.items()}
                  for part, names in schema["files"].items()}
        return cls(node_types=list(schema["node_types"]),
                   edge_types=[tuple(e) for e in schema["edge_types"]],
                   num_nodes={t: int(n) for t, n in schema["num_nodes"].items()},
                   colptr=arrays.get("colptr", {}), row=arrays.get("row", {}),
                   perm=arrays.get("perm", {}), node_time=arrays.get("node_time", {}))

    def __getstate__(self) -> dict:
        state = dict(self.__dict__)
        for part in ("colptr", "row", "perm", "node_time"):
            state[part] = {key: _MappedFile.of(array) or array for key, array in state[part].items()}
        return state

    def __setstate__(self, state: dict) -> None:
        for part in ("colptr", "row", "perm", "node_time"):
            state[part] = {key: value.open() if isinstance(value, _MappedFile) else value
                           for key, value in state[part].items()}
        self.__dict__.update(state)


@dataclass
class _MappedFile:
    """Where a memory-mapped array lives, to map it again in another process."""

    filename: str
    offset: int
    shape: tuple
    dtype: str
    fortran_order: bool
    mode: Literal["r", "c", "r+"]

    @classmethod
    def of(cls, array: np.ndarray) -> Optional["_MappedFile"]:
        # Only a map of its own has a trustworthy offset; a view of one pickles as data.
        if not (isinstance(array, np.memmap) and isinstance(array.base, mmap.mmap) and array.filename):
            return None
        mode = array.mode if array.mode in ("r", "c", "r+") else "r+"  # never "w+": it truncates
        return cls(array.filename, array.offset, array.shape, array.dtype.str,
                   bool(array.flags.f_contiguous and not array.flags.c_contiguous), mode)

    def open(self) -> np.memmap:
        return np.memmap(self.filename, dtype=np.dtype(self.dtype), mode=self.mode, offset=self.offset,
                         shape=self.shape, order="F" if self.fortran_order else "C")


def graph_from_hetero_data(data: Any, time_attr: Optional[str] = None) -> SamplerGraph:
    """Build quorvix's graph arrays from a PyG ``HeteroData``.

    Args:
        data (HeteroData): the graph; every edge type needs an ``edge_index`` of shape
            ``[2, num_edges]`` and every node type a known ``num_nodes``.
        time_attr (str, optional): the node-level attribute holding each node's timestamp
            (integers or datetimes, converted to int64). Node types without it have no
            timestamps; their edge types are sampled at random. (default: :obj:`None`)

    Returns:
        SamplerGraph: per edge type ``(src, rel, dst)`` the CSC with ``src`` as the
        neighbour type and ``dst`` as the frontier type, each run sorted by the neighbours'
        time, the node times, and the permutation back to the original edge order.
    """
    if not (hasattr(data, "node_types") and hasattr(data, "edge_types")):
        raise TypeError(f"'data' must be a HeteroData, got {type(data).__name__}.")
    node_types = list(data.node_types)
    edge_types = [tuple(e) for e in data.edge_types]
    num_nodes = {}
    for t in node_types:
        n = data[t].num_nodes
        if n is None:
            raise ValueError(f"Node type '{t}' has no known number of nodes; set data['{t}'].num_nodes.")
        num_nodes[t] = int(n)
    node_time = _node_times(data, node_types, edge_types, num_nodes, time_attr)

    colptr, row, perm = {}, {}, {}
    time_rank: Dict[str, tuple] = {}
    for edge_type in edge_types:
        src_type, _, dst_type = edge_type
        key = edge_type_key(edge_type)
        store = data[edge_type]
        if "edge_index" not in store:
            raise ValueError(f"Edge type {edge_type} has no 'edge_index'.")
        edge_index = to_numpy(store.edge_index)
        if edge_index.ndim != 2 or edge_index.shape[0] != 2:
            raise ValueError(f"'edge_index' of {edge_type} must have shape [2, num_edges], "
                             f"got {list(edge_index.shape)}.")
        src = as_int64(edge_index[0], "edge_index")
        dst = as_int64(edge_index[1], "edge_index")
        for ids, t, end in ((src, src_type, "source"), (dst, dst_type, "destination")):
            if ids.size and (ids.min() < 0 or ids.max() >= num_nodes[t]):
                raise ValueError(f"'edge_index' of {edge_type} has {end} ids outside "
                                 f"[0, {num_nodes[t]}) of node type '{t}'.")
        if src_type in node_time and src_type not in time_rank:
            time_rank[src_type] = _time_rank(node_time[src_type])
        order = _csc_order(src, dst, num_nodes[dst_type], time_rank.get(src_type))
        counts = np.bincount(dst, minlength=num_nodes[dst_type])
        colptr[key] = np.zeros(num_nodes[dst_type] + 1, dtype=np.int64)
        np.cumsum(counts, out=colptr[key][1:])
        row[key] = src[order]
        perm[key] = order
    return SamplerGraph(node_types, edge_types, num_nodes, colptr, row, perm, node_time)


def _node_times(data: Any, node_types: list, edge_types: list, num_nodes: dict,
                time_attr: Optional[str]) -> Dict[str, np.ndarray]:
    if time_attr is None:
        return {}
    node_time = {}
    for t in node_types:
        if time_attr in data[t]:
            times = owned_int64(data[t][time_attr], time_attr)
            if times.size != num_nodes[t]:
                raise ValueError(f"'{time_attr}' of node type '{t}' has {times.size} entries "
                                 f"for {num_nodes[t]} nodes.")
            node_time[t] = times
    # Until edges carry their own times, an edge-level attribute would be ignored and let
    # future edges through: refuse it, also when node types have the attribute too.
    if any(time_attr in data[e] for e in edge_types):
        raise ValueError(f"'{time_attr}' is an edge attribute; only node-level timestamps are supported.")
    if not node_time:
        raise ValueError(f"No node type has the attribute '{time_attr}'.")
    return node_time


def _time_rank(times: np.ndarray) -> tuple:
    """Each node's rank among the distinct times of its type, and the number of them."""
    distinct, rank = np.unique(times, return_inverse=True)
    return rank.reshape(-1), len(distinct)


def _csc_order(src: np.ndarray, dst: np.ndarray, num_dst: int, src_rank: Optional[tuple],
               word_bits: int = 63) -> np.ndarray:
    """Edge positions grouped by destination, by the source's time within a group; stable,
    so ties keep the original edge order. (``word_bits`` is lowered by the tests to reach
    the fallbacks for graphs whose keys do not fit an int64.)"""
    rank, num_ranks = src_rank if src_rank is not None else (None, 1)
    key_bits = max(num_dst * num_ranks - 1, 0).bit_length()  # Python ints: no overflow
    position_bits = max(dst.size - 1, 0).bit_length()
    if key_bits > word_bits:
        return np.argsort(dst, kind="stable") if rank is None else np.lexsort((rank[src], dst))
    key = dst * num_ranks
    if rank is not None:
        key += rank[src]
    if key_bits + position_bits > word_bits:
        return np.argsort(key, kind="stable")
    # With the position in the low bits every key is distinct, so a plain sort (vectorised,
    # about three times cheaper than a stable argsort) gives the stable order.
    key <<= position_bits
    key |= np.arange(dst.size, dtype=np.int64)
    key.sort()
    key &= (1 << position_bits) - 1
    return key
