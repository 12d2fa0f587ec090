"""A ``quorvix.Graph`` behind PyG's remote-backend interface, and the loaders' graph argument.

PyG's loaders take ``(FeatureStore, GraphStore)`` pairs. :class:`GraphStore` serves the
edges of a ``quorvix.Graph`` (from arrays, ``load``, ``from_tables`` or ``from_database``)
in its own CSC layout, read-only, so that::

    graph, keys = quorvix.Graph.from_database(connection)
    loader = NeighborLoader((features, GraphStore(graph, keys)), [10, 10], ...)

samples from the graph's arrays as they are: no ``edge_index`` is rebuilt, and edge ids
(``e_id``) are the graph's CSC positions. The feature store is any PyG ``FeatureStore``; a
``HeteroData`` holding only node features is one (see :func:`quorvix.tables.features`).
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Tuple

import numpy as np
import torch
from torch_geometric.data import EdgeAttr
from torch_geometric.data import GraphStore as PygGraphStore
from torch_geometric.data.graph_store import EdgeLayout

import quorvix

from .convert import edge_type_key
from .graph import SamplerGraph


def sampler_graph(graph: quorvix.Graph, num_nodes: Optional[Mapping[str, int]] = None) -> SamplerGraph:
    """The PyG side of a ``quorvix.Graph``: its arrays, borrowed, with every node type's count.

    A node type's count is the graph's own (its node times, or the frontier runs of its edge
    types); ``num_nodes`` (for example ``keys.num_nodes`` from ``from_tables``) gives the
    others and must agree with the graph's. Edges keep the graph's CSC order, so an edge's id
    is its CSC position.
    """
    counts: Dict[str, int] = {}
    given = dict(num_nodes or {})
    for node_type, known in graph.num_nodes.items():
        if known is not None and node_type in given and int(given[node_type]) < known:
            raise ValueError(f"'num_nodes' gives {given[node_type]} nodes of type '{node_type}', "
                             f"but the graph has {known}.")
        count = given.get(node_type, known)
        if count is None:
            raise ValueError(f"Node type '{node_type}' has no known number of nodes; give it in "
                             f"'num_nodes' (the keys from from_tables know it).")
        counts[node_type] = int(count)
    colptr, row = graph.colptr, graph.row
    perm = {key: np.arange(graph.num_edges[key], dtype=np.int64) for key in colptr}
    out = SamplerGraph(list(graph.node_types), [tuple(e) for e in graph.edge_types], counts, colptr, row,
                       perm, graph.node_time, graph.edge_time, graph.edge_weight, edge_ids_are_positions=True)
    out.__dict__["_native"] = graph  # samplers share the graph itself, not a copy of it
    return out


class GraphStore(PygGraphStore):
    """PyG's ``GraphStore`` over a ``quorvix.Graph``, read-only.

    Every edge type is stored in CSC layout, sorted: ``csc()`` hands out the graph's own
    ``colptr`` and ``row``. quorvix's loaders sample from the graph directly; PyG's own
    ``NeighborLoader`` does so when given ``neighbor_sampler=quorvix.pyg.NeighborSampler(...)``.

    Args:
        graph: the graph.
        keys (TableKeys or Dict[str, int], optional): the key maps from ``from_tables`` /
            ``from_database`` (or node counts per type), for node types the graph alone does
            not count (no node times and no edge type whose frontier they are).

    Raises:
        TypeError: ``graph`` is not a ``quorvix.Graph``; putting or removing edges (the store
            is read-only).
        ValueError: a node type has no known number of nodes, or ``keys`` gives fewer nodes
            of a type than the graph has. The messages are listed in the error reference.

    Example:
        >>> import numpy as np
        >>> from torch_geometric.data import HeteroData
        >>> from quorvix.pyg import GraphStore, NeighborLoader
        >>> from quorvix.tables import from_tables
        >>> tables = {"users": {"id": np.array([10, 20, 30])},
        ...           "orders": {"id": np.array([1, 2, 3, 4]), "user": np.array([10, 10, 30, 20]),
        ...                      "time": np.array([5, 7, 9, 11])}}
        >>> graph, keys = from_tables(tables, {"users": "id", "orders": "id"},
        ...                           [("orders", "user", "users")], {"orders": "time"})
        >>> store = GraphStore(graph, keys)
        >>> [(attr.edge_type, attr.size) for attr in store.get_all_edge_attrs()]
        [(('orders', 'f2p_user', 'users'), (4, 3)), (('users', 'rev_f2p_user', 'orders'), (3, 4))]
        >>> store.get_edge_index(("orders", "f2p_user", "users"), layout="csc")  # (row, colptr)
        (tensor([0, 1, 3, 2]), tensor([0, 2, 3, 4]))
        >>> loader = NeighborLoader((HeteroData(), store), [2], input_nodes="users",
        ...                         input_time=[8, 8, 8], time_attr="time", batch_size=3)
        >>> next(iter(loader))["orders"].n_id  # the orders made by time 8
        tensor([0, 1])
    """

    def __init__(self, graph: quorvix.Graph, keys: Any = None):
        super().__init__()
        if not isinstance(graph, quorvix.Graph):
            raise TypeError(f"'graph' must be a quorvix.Graph, got {type(graph).__name__}.")
        self.graph = graph
        self.keys = keys
        self.sampler_graph = sampler_graph(graph, getattr(keys, "num_nodes", keys))

    def get_all_edge_attrs(self) -> List[EdgeAttr]:
        """The edge types the store holds, in the graph's order.

        Returns:
            One ``EdgeAttr`` per edge type: CSC layout, sorted, ``size`` the
            ``(source, destination)`` node counts.
        """
        num_nodes = self.sampler_graph.num_nodes
        return [EdgeAttr(e, EdgeLayout.CSC, is_sorted=True, size=(num_nodes[e[0]], num_nodes[e[2]]))
                for e in self.sampler_graph.edge_types]

    def _get_edge_index(self, edge_attr: EdgeAttr) -> Optional[Tuple[torch.Tensor, torch.Tensor]]:
        edge_type = tuple(edge_attr.edge_type) if edge_attr.edge_type is not None else None
        if edge_type not in self.sampler_graph.edge_types:
            return None
        key = edge_type_key(edge_type)
        colptr, row = self.graph.colptr[key], self.graph.row[key]
        layout = EdgeLayout(edge_attr.layout)
        if layout == EdgeLayout.CSC:
            return _tensor(row), _tensor(colptr)
        col = np.repeat(np.arange(len(colptr) - 1, dtype=np.int64), np.diff(colptr))
        if layout == EdgeLayout.COO:
            return _tensor(row), torch.from_numpy(col)
        return None  # CSR: PyG converts from COO

    def _put_edge_index(self, edge_index: Any, edge_attr: EdgeAttr) -> bool:
        raise TypeError("A quorvix GraphStore is read-only: its graph is an immutable value.")

    def _remove_edge_index(self, edge_attr: EdgeAttr) -> bool:
        raise TypeError("A quorvix GraphStore is read-only: its graph is an immutable value.")


def _tensor(array: np.ndarray) -> torch.Tensor:
    # The graph's arrays are read-only views; torch tensors are writable, so they need a copy.
    return torch.from_numpy(np.array(array, dtype=np.int64))


def resolve_graph(data: Any, graph: Any) -> Optional[SamplerGraph]:
    """The ``SamplerGraph`` a sampler takes from its ``graph`` argument, or from ``data`` when
    that is a ``quorvix.Graph``, a ``(Graph, keys)`` pair or a pair holding a
    :class:`GraphStore`; None when the graph is to be built from ``data``'s ``edge_index``."""
    for value in (graph, data):
        found = _as_sampler_graph(value, data)
        if found is not None:
            return found
    return None


def _as_sampler_graph(value: Any, data: Any) -> Optional[SamplerGraph]:
    if isinstance(value, SamplerGraph):
        return value
    if isinstance(value, GraphStore):
        return value.sampler_graph
    if isinstance(value, quorvix.Graph):
        return sampler_graph(value, _data_counts(value, data))
    if isinstance(value, (tuple, list)) and len(value) == 2:
        first, second = value
        if isinstance(first, quorvix.Graph):  # (graph, keys) as from_tables returns it
            return sampler_graph(first, getattr(second, "num_nodes", second))
        if isinstance(second, GraphStore):
            return second.sampler_graph
        if isinstance(second, quorvix.Graph):  # (features, graph)
            return sampler_graph(second, _data_counts(second, first))
    return None


def _data_counts(graph: quorvix.Graph, data: Any) -> Dict[str, int]:
    """Node counts of the node types the graph does not count, from a HeteroData of features."""
    if not hasattr(data, "node_types"):
        return {}
    return {t: int(data[t].num_nodes) for t in graph.node_types
            if graph.num_nodes.get(t) is None and t in data.node_types and data[t].num_nodes is not None}


def loader_data(data: Any, graph: SamplerGraph) -> Any:
    """``data`` as PyG's loaders gather features from it: a graph alone becomes a pair of an
    empty feature store and a :class:`GraphStore`, and a ``HeteroData`` of features without
    the graph's edges a pair of it and a :class:`GraphStore` over ``graph`` (whose sampled
    edges then make each batch's ``edge_index``)."""
    from torch_geometric.data import HeteroData

    if isinstance(data, quorvix.Graph):
        return HeteroData(), GraphStore(data)
    if isinstance(data, (tuple, list)) and len(data) == 2 and isinstance(data[0], quorvix.Graph):
        return HeteroData(), GraphStore(data[0], data[1])
    if isinstance(data, (tuple, list)) and len(data) == 2 and isinstance(data[1], quorvix.Graph):
        return data[0], GraphStore(data[1], _data_counts(data[1], data[0]))
    native = graph.__dict__.get("_native")
    if isinstance(data, HeteroData) and isinstance(native, quorvix.Graph) and any(
            e not in data.edge_types or "edge_index" not in data[e] for e in graph.edge_types):
        return data, GraphStore(native, graph.num_nodes)
    return data
