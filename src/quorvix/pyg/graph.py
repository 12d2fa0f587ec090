"""A PyG graph (Data, HeteroData or a feature and graph store pair) as the arrays quorvix
samples from: per edge type a time-sorted CSC."""

from __future__ import annotations

import json
import mmap
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, List, Literal, Optional, Tuple

import numpy as np

import quorvix

from .convert import EdgeType, as_int64, edge_type_key, owned_int64, to_numpy


ARRAY_PARTS = ("colptr", "row", "perm", "node_time", "edge_time", "edge_weight")
NODE = "node"  # the node type, and (NODE, "to", NODE) the edge type, of a homogeneous graph
EDGE = (NODE, "to", NODE)


@dataclass
class SamplerGraph:
    """The graph arrays of a quorvix sampler and the way back to PyG's edge order.

    For an edge type ``(src, rel, dst)`` keyed ``src__rel__dst``, ``colptr[key]`` is indexed
    by ``dst`` node ids, ``row[key][colptr[key][v]:colptr[key][v + 1]]`` are the ``src``
    neighbours of node ``v`` sorted by their time (ties keep the original edge order), and
    ``perm[key][p]`` is the column of ``edge_index`` that CSC position ``p`` came from.
    ``edge_time[key]`` and ``edge_weight[key]`` (for the edge types that have them) are in
    CSC order; a run of an edge type with edge times is sorted by them instead.
    ``homogeneous`` marks a graph built from a ``Data``: one node type, one edge type.

    The sampling side is a ``quorvix.Graph`` over these arrays (:meth:`native_graph`), which
    every sampler over this graph in a process shares; this class adds what PyG needs
    around it: the way back to the original edge order, every node type's count, and the
    arrays as PyG-side files.

    Pickling keeps arrays opened with ``np.load(..., mmap_mode=...)`` memory-mapped: they
    travel as their file name and offset, so worker processes share the pages.

    Built by :func:`graph_from_data` or :meth:`load` rather than by hand; the arrays are not
    checked until :meth:`native_graph` builds the ``quorvix.Graph``.

    Args:
        node_types: the node type names.
        edge_types: the ``(src, rel, dst)`` edge types.
        num_nodes: node type -> its number of nodes.
        colptr: edge type key -> the CSC offsets over the ``dst`` node ids.
        row: edge type key -> the ``src`` neighbours, run by run.
        perm: edge type key -> the original edge id of every CSC position.
        node_time: node type -> each node's time, for the node types that have times.
        edge_time: edge type key -> each edge's time in CSC order, for the edge types that
            have them. (default: none)
        edge_weight: edge type key -> each edge's sampling weight in CSC order, for the edge
            types that have them. (default: none)
        homogeneous: the graph came from a ``Data``. (default: :obj:`False`)
        edge_ids_are_positions: ``perm`` is the identity, every edge's id its CSC position,
            as in a ``quorvix.Graph`` served as it is. (default: :obj:`False`)
    """

    node_types: List[str]
    edge_types: List[EdgeType]
    num_nodes: Dict[str, int]
    colptr: Dict[str, np.ndarray]
    row: Dict[str, np.ndarray]
    perm: Dict[str, np.ndarray]
    node_time: Dict[str, np.ndarray]
    edge_time: Dict[str, np.ndarray] = field(default_factory=dict)
    edge_weight: Dict[str, np.ndarray] = field(default_factory=dict)
    homogeneous: bool = False
    edge_ids_are_positions: bool = False

    def native_graph(self) -> quorvix.Graph:
        """The extension's graph value over these arrays (borrowed, not copied), built and
        checked on first use in a process and shared by every sampler over this graph.

        Returns:
            quorvix.Graph: the same object on every call in a process.

        Raises:
            RuntimeError: the arrays do not make a valid graph (``quorvix.Graph`` checks
                them). The messages are listed in the error reference.
        """
        native = self.__dict__.get("_native")
        if native is None:
            native = quorvix.Graph(self.node_types, self.edge_types, self.colptr, self.row, self.node_time,
                                   edge_time=self.edge_time or None, edge_weight=self.edge_weight or None)
            self.__dict__["_native"] = native
        return native

    def sampler_arguments(self) -> Tuple[List[str], List[EdgeType], Dict[str, np.ndarray],
                                         Dict[str, np.ndarray], Dict[str, np.ndarray]]:
        """The first five arguments of ``quorvix.NeighborSampler``.

        Returns:
            tuple: ``(node_types, edge_types, colptr, row, node_time)``, the arrays
            themselves (not copies).
        """
        return self.node_types, self.edge_types, self.colptr, self.row, self.node_time

    @property
    def has_time(self) -> bool:
        return bool(self.node_time or self.edge_time)

    def save(self, directory: str | Path) -> None:
        """Write every array as a .npy file and the rest as graph.json.

        Args:
            directory: the directory to write into, created if missing; files of the same
                names are overwritten.

        Returns:
            None.
        """
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        files: Dict[str, Dict[str, str]] = {}
        for part in ARRAY_PARTS:
            for key, array in getattr(self, part).items():
                name = f"{part}.{key}.npy"
                np.save(directory / name, np.ascontiguousarray(array))
                files.setdefault(part, {})[key] = name
        schema = {"node_types": self.node_types, "edge_types": [list(e) for e in self.edge_types],
                  "num_nodes": self.num_nodes, "homogeneous": self.homogeneous, "files": files}
        (directory / "graph.json").write_text(json.dumps(schema, indent=1))

    @classmethod
    def load(cls, directory: str | Path,
             mmap_mode: Optional[Literal["r", "r+", "c"]] = "r") -> "SamplerGraph":
        """Read a graph written by :meth:`save`, memory-mapped unless ``mmap_mode=None``.

        Args:
            directory: the directory :meth:`save` wrote.
            mmap_mode: ``np.load``'s memory-map mode for every array, or None to read them
                into memory. (default: :obj:`"r"`)

        Returns:
            SamplerGraph: the graph, its arrays as ``np.load`` returns them.
        """
        directory = Path(directory)
        schema = json.loads((directory / "graph.json").read_text())
        arrays = {part: {key: np.load(directory / name, mmap_mode=mmap_mode) for key, name in names.items()}
                  for part, names in schema["files"].items()}
        return cls(node_types=list(schema["node_types"]),
                   edge_types=[tuple(e) for e in schema["edge_types"]],
                   num_nodes={t: int(n) for t, n in schema["num_nodes"].items()},
                   colptr=arrays.get("colptr", {}), row=arrays.get("row", {}),
                   perm=arrays.get("perm", {}), node_time=arrays.get("node_time", {}),
                   edge_time=arrays.get("edge_time", {}), edge_weight=arrays.get("edge_weight", {}),
                   homogeneous=bool(schema.get("homogeneous", False)))

    def __getstate__(self) -> dict:
        state = dict(self.__dict__)
        state.pop("_native", None)  # rebuilt over the unpickled arrays
        for part in ARRAY_PARTS:
            state[part] = {key: _MappedFile.of(array) or array for key, array in state[part].items()}
        return state

    def __setstate__(self, state: dict) -> None:
        for part in ARRAY_PARTS:
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


def graph_from_hetero_data(data: Any, time_attr: Optional[str] = None,
                           weight_attr: Optional[str] = None) -> SamplerGraph:
    """Build quorvix's graph arrays from a PyG ``HeteroData``.

    Args:
        data (HeteroData): the graph; every edge type needs an ``edge_index`` of shape
            ``[2, num_edges]`` and every node type a known ``num_nodes``.
        time_attr (str, optional): the attribute holding timestamps (integers, or datetimes
            in whole seconds, converted to int64), on node types (each node's time) and/or
            on edge types (each edge's time, which then rules over the neighbours' node
            times). Edge types with neither are sampled at random. (default: :obj:`None`)
        weight_attr (str, optional): the edge attribute holding non-negative finite
            sampling weights; edge types without it draw uniformly. (default: :obj:`None`)

    Returns:
        SamplerGraph: per edge type ``(src, rel, dst)`` the CSC with ``src`` as the
        neighbour type and ``dst`` as the frontier type, each run sorted by the edges' or
        else the neighbours' time, the times and weights, and the permutation back to the
        original edge order.

    Raises:
        TypeError: ``data`` is not a ``HeteroData``, a time attribute holds neither
            integers nor datetimes, or weights are not one number per edge.
        ValueError: a node type has no known number of nodes; an edge type has no
            ``edge_index``, or one of the wrong shape or with ids out of range; no node or
            edge type has ``time_attr``, or no edge type ``weight_attr``; an attribute has not
            one value per node or edge; or weights are negative or not finite. The messages
            are listed in the error reference.
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
    for edge_type in edge_types:
        if "edge_index" not in data[edge_type]:
            raise ValueError(f"Edge type {edge_type} has no 'edge_index'.")
    node_attr = {t: _attribute(data[t], time_attr) for t in node_types}
    edge_attr = {e: _attribute(data[e], time_attr) for e in edge_types}
    weights = {e: _attribute(data[e], weight_attr) for e in edge_types}
    return build_graph(node_types, edge_types, num_nodes, {e: data[e].edge_index for e in edge_types},
                       time_attr, node_attr, edge_attr, weight_attr, weights)


def graph_from_data(data: Any, time_attr: Optional[str] = None, weight_attr: Optional[str] = None) -> SamplerGraph:
    """Build quorvix's graph arrays from a PyG ``Data``, a ``HeteroData`` or a
    ``(FeatureStore, GraphStore)`` pair, with times and weights as for
    :func:`graph_from_hetero_data`. A ``Data`` becomes node type ``"node"`` and edge type
    ``("node", "to", "node")``, and its graph is marked ``homogeneous``.

    Args:
        data (Data, HeteroData or (FeatureStore, GraphStore)): the graph. A ``Data``'s
            ``time_attr`` is edge-level when it has one entry per edge and not one per node,
            node-level otherwise. A store pair gives its edges through ``coo()`` and its
            times and weights through the feature store.
        time_attr (str, optional): the timestamp attribute, as for
            :func:`graph_from_hetero_data`. (default: :obj:`None`)
        weight_attr (str, optional): the sampling weight attribute, as for
            :func:`graph_from_hetero_data`. (default: :obj:`None`)

    Returns:
        SamplerGraph: the time-sorted CSC of every edge type, with the permutation back to
        ``data``'s edge order.

    Raises:
        TypeError: ``data`` is none of the three, a time attribute holds neither integers
            nor datetimes, or weights are not one number per edge.
        ValueError: a node type has no known number of nodes; an ``edge_index`` is missing,
            has the wrong shape or ids out of range; no node or edge type has ``time_attr``,
            or no edge type ``weight_attr``; an attribute has not one value per node or
            edge; weights are negative or not finite; or a store pair mixes edges with and
            without an edge type. The messages are listed in the error reference.
    """
    if isinstance(data, (tuple, list)) and len(data) == 2:
        return graph_from_stores(data[0], data[1], time_attr, weight_attr)
    if hasattr(data, "node_types") and hasattr(data, "edge_types"):
        return graph_from_hetero_data(data, time_attr, weight_attr)
    if not hasattr(data, "edge_index"):
        raise TypeError(f"'data' must be a Data, a HeteroData or a (FeatureStore, GraphStore) pair, "
                        f"got {type(data).__name__}.")
    if data.num_nodes is None:
        raise ValueError(f"Node type '{NODE}' has no known number of nodes; set data['{NODE}'].num_nodes.")
    # A Data stores node and edge attributes together: an attribute with one entry per edge
    # (and not one per node) is edge-level.
    # A Data without edge_index (only links to predict) is a graph without edges, as in PyG.
    edge_index = data.edge_index if data.edge_index is not None else np.empty((2, 0), np.int64)
    node_attr, edge_attr = _split_data_attribute(data, time_attr, edge_index.shape[1])
    weight = _attribute(data, weight_attr)
    graph = build_graph([NODE], [EDGE], {NODE: int(data.num_nodes)}, {EDGE: edge_index},
                        time_attr, {NODE: node_attr}, {EDGE: edge_attr}, weight_attr, {EDGE: weight})
    graph.homogeneous = True
    return graph


def graph_from_stores(feature_store: Any, graph_store: Any, time_attr: Optional[str] = None,
                      weight_attr: Optional[str] = None) -> SamplerGraph:
    """Build quorvix's graph arrays from PyG's remote-backend pair: the edges of every edge
    type from ``graph_store.coo()`` (``e_id`` then counts in that order, through its
    permutation where it returns one), node counts from the edge attributes' sizes and the
    feature store's tensor sizes, times and weights from the feature store (group name the
    node type or edge type, attribute name ``time_attr`` / ``weight_attr``). Edges put with
    ``edge_type=None`` and tensors with ``group_name=None`` make a homogeneous graph, as a
    ``Data`` would."""
    edge_attrs = graph_store.get_all_edge_attrs()
    stored_types = list(dict.fromkeys(_stored_edge_type(a.edge_type) for a in edge_attrs))
    homogeneous = None in stored_types
    if homogeneous and len(stored_types) > 1:
        raise ValueError("The graph store holds edges with and without an edge type; "
                         "a homogeneous graph has only edges put with edge_type=None.")
    edge_types = [EDGE if e is None else e for e in stored_types]
    tensor_attrs = {(_stored_group(a.group_name), a.attr_name): a for a in feature_store.get_all_tensor_attrs()}
    num_nodes: Dict[str, int] = {}
    for (group, _), attr in tensor_attrs.items():
        if isinstance(group, str):
            size = feature_store.get_tensor_size(attr)
            num_nodes[group] = max(num_nodes.get(group, 0), int(size[0]))
    for attr in edge_attrs:
        if attr.size is not None:
            src, _, dst = EDGE if homogeneous else attr.edge_type
            for t, n in ((src, attr.size[0]), (dst, attr.size[1])):
                num_nodes[t] = max(num_nodes.get(t, 0), int(n))
    node_types = list(dict.fromkeys([*num_nodes, *(t for e in edge_types for t in (e[0], e[2]))]))
    if homogeneous and node_types != [NODE]:
        raise ValueError(f"A homogeneous graph store needs tensors with group_name=None, "
                         f"got node types {[t for t in node_types if t != NODE]}.")
    for t in node_types:
        if t not in num_nodes:
            raise ValueError(f"Node type '{t}' has no known number of nodes; set data['{t}'].num_nodes.")
    rows, cols, perms = graph_store.coo(stored_types)
    if not isinstance(rows, dict):  # a homogeneous store answers with the tensors themselves
        rows, cols, perms = {None: rows}, {None: cols}, {None: perms}
    edges = {}
    for stored, e in zip(stored_types, edge_types):
        edge_index = np.stack([to_numpy(rows[stored]), to_numpy(cols[stored])])
        perm = perms.get(stored) if perms else None
        if perm is not None:  # coo() reordered the stored edges: put them back
            edge_index[:, to_numpy(perm)] = edge_index.copy()
        edges[e] = edge_index

    def fetch(group: Any, name: Optional[str], edge_level: bool) -> Any:
        if name is None:
            return None
        if (group, name) in tensor_attrs:
            return _whole_tensor(feature_store, None if homogeneous else group, name)
        if not edge_level or homogeneous:
            return None
        # A store may hold edge attributes it does not list (a HeteroData lists node
        # attributes only): ask for them, so that edge times are never silently dropped.
        try:
            return _whole_tensor(feature_store, group, name)
        except (KeyError, AttributeError, ValueError, IndexError, TypeError):
            return None

    # A homogeneous store's one group holds node attributes (PyG gathers them by node id).
    graph = build_graph(node_types, edge_types, num_nodes, edges, time_attr,
                        {t: fetch(t, time_attr, False) for t in node_types},
                        {e: fetch(e, time_attr, True) for e in edge_types},
                        weight_attr, {e: fetch(e, weight_attr, True) for e in edge_types})
    graph.homogeneous = homogeneous
    return graph


def _whole_tensor(feature_store: Any, group: Any, name: str) -> Any:
    try:
        return feature_store.get_tensor(group_name=group, attr_name=name, index=None)
    except TypeError:
        if group is not None:
            raise
        return feature_store.get_tensor(attr_name=name, index=None)  # a Data's attributes have no group


def _stored_edge_type(edge_type: Any) -> Optional[EdgeType]:
    return tuple(edge_type) if isinstance(edge_type, (tuple, list)) else None  # None, or a Data's unset type


def _stored_group(group: Any) -> Any:
    if isinstance(group, (tuple, list)):
        return tuple(group)
    return group if isinstance(group, str) else NODE  # None, or a Data's unset group


def build_graph(node_types: List[str], edge_types: List[EdgeType], num_nodes: Dict[str, int],
                edge_index: Dict[EdgeType, Any], time_attr: Optional[str], node_attr: Dict[str, Any],
                edge_attr: Dict[EdgeType, Any], weight_attr: Optional[str],
                weights: Dict[EdgeType, Any]) -> SamplerGraph:
    """The time-sorted CSC of every edge type, from edge lists and per-type attribute values
    (None where a type lacks the attribute). Every array kept is a copy of its own."""
    node_time = _node_times(num_nodes, node_attr, edge_attr, time_attr)
    colptr, row, perm, edge_time, edge_weight = {}, {}, {}, {}, {}
    time_rank: Dict[str, tuple] = {}
    for edge_type in edge_types:
        src_type, _, dst_type = edge_type
        key = edge_type_key(edge_type)
        edges = to_numpy(edge_index[edge_type])
        if edges.ndim != 2 or edges.shape[0] != 2:
            raise ValueError(f"'edge_index' of {edge_type} must have shape [2, num_edges], "
                             f"got {list(edges.shape)}.")
        src = as_int64(edges[0], "edge_index")
        dst = as_int64(edges[1], "edge_index")
        for ids, t, end in ((src, src_type, "source"), (dst, dst_type, "destination")):
            if ids.size and (ids.min() < 0 or ids.max() >= num_nodes[t]):
                raise ValueError(f"'edge_index' of {edge_type} has {end} ids outside "
                                 f"[0, {num_nodes[t]}) of node type '{t}'.")
        times = None
        if time_attr is not None and edge_attr.get(edge_type) is not None:
            times = _per_edge(as_int64(_flat(edge_attr[edge_type]), time_attr), src.size, edge_type, time_attr)
            edge_rank = _time_rank(times)
        elif src_type in node_time:
            if src_type not in time_rank:
                time_rank[src_type] = _time_rank(node_time[src_type])
            rank, num_ranks = time_rank[src_type]
            edge_rank = (rank[src], num_ranks)
        else:
            edge_rank = None
        order = _csc_order(src, dst, num_nodes[dst_type], edge_rank)
        counts = np.bincount(dst, minlength=num_nodes[dst_type])
        colptr[key] = np.zeros(num_nodes[dst_type] + 1, dtype=np.int64)
        np.cumsum(counts, out=colptr[key][1:])
        row[key] = src[order]
        perm[key] = order
        if times is not None:
            edge_time[key] = times[order]
        if weight_attr is not None and weights.get(edge_type) is not None:
            edge_weight[key] = _per_edge(_weights(weights[edge_type], edge_type, weight_attr),
                                         src.size, edge_type, weight_attr)[order]
    if weight_attr is not None and not edge_weight:
        raise ValueError(f"No edge type has the attribute '{weight_attr}'.")
    return SamplerGraph(node_types, edge_types, num_nodes, colptr, row, perm, node_time, edge_time, edge_weight)


def _attribute(store: Any, name: Optional[str]) -> Any:
    return store[name] if name is not None and name in store else None


def _split_data_attribute(data: Any, name: Optional[str], num_edges: int) -> Tuple[Any, Any]:
    """(node-level value, edge-level value) of a Data's attribute, by its length."""
    value = _attribute(data, name)
    if value is None:
        return None, None
    if len(value) == num_edges and (data.is_edge_attr(name) if hasattr(data, "is_edge_attr") else True):
        return None, value
    return value, None


def _flat(value: Any) -> Any:
    # PyG keeps edge attributes as [num_edges] or [num_edges, 1].
    array = to_numpy(value)
    return array.reshape(-1) if array.ndim == 2 and array.shape[1] == 1 else array


def _per_edge(values: np.ndarray, num_edges: int, edge_type: EdgeType, name: str) -> np.ndarray:
    if values.size != num_edges:
        raise ValueError(f"'{name}' of edge type {edge_type} has {values.size} entries for {num_edges} edges.")
    return values


def _weights(value: Any, edge_type: EdgeType, name: str) -> np.ndarray:
    weights = _flat(value)
    if weights.dtype.kind not in "fiu" or weights.ndim != 1:
        raise TypeError(f"'{name}' of edge type {edge_type} must be one number per edge, "
                        f"got dtype {weights.dtype} and shape {tuple(weights.shape)}.")
    weights = np.array(weights, dtype=np.float64)
    if not (np.isfinite(weights).all() and (weights >= 0).all()):
        raise ValueError(f"'{name}' of edge type {edge_type} must be finite and non-negative.")
    return weights


def _node_times(num_nodes: Dict[str, int], node_attr: Dict[str, Any], edge_attr: Dict[EdgeType, Any],
                time_attr: Optional[str]) -> Dict[str, np.ndarray]:
    if time_attr is None:
        return {}
    node_time = {}
    for t, value in node_attr.items():
        if value is not None:
            times = owned_int64(value, time_attr)
            if times.size != num_nodes[t]:
                raise ValueError(f"'{time_attr}' of node type '{t}' has {times.size} entries "
                                 f"for {num_nodes[t]} nodes.")
            node_time[t] = times
    if not node_time and all(v is None for v in edge_attr.values()):
        raise ValueError(f"No node or edge type has the attribute '{time_attr}'.")
    return node_time


def _time_rank(times: np.ndarray) -> tuple:
    """Each entry's rank among the distinct times, and the number of them."""
    distinct, rank = np.unique(times, return_inverse=True)
    return rank.reshape(-1), len(distinct)


def _csc_order(src: np.ndarray, dst: np.ndarray, num_dst: int, edge_rank: Optional[tuple],
               word_bits: int = 63) -> np.ndarray:
    """Edge positions grouped by destination, by each edge's time rank within a group;
    stable, so ties keep the original edge order. (``word_bits`` is lowered by the tests to
    reach the fallbacks for graphs whose keys do not fit an int64.)"""
    rank, num_ranks = edge_rank if edge_rank is not None else (None, 1)
    key_bits = max(num_dst * num_ranks - 1, 0).bit_length()  # Python ints: no overflow
    position_bits = max(dst.size - 1, 0).bit_length()
    if key_bits > word_bits:
        return np.argsort(dst, kind="stable") if rank is None else np.lexsort((rank, dst))
    key = dst * num_ranks
    if rank is not None:
        key += rank
    if key_bits + position_bits > word_bits:
        return np.argsort(key, kind="stable")
    # With the position in the low bits every key is distinct, so a plain sort (vectorised,
    # about three times cheaper than a stable argsort) gives the stable order.
    key <<= position_bits
    key |= np.arange(dst.size, dtype=np.int64)
    key.sort()
    key &= (1 << position_bits) - 1
    return key
