"""quorvix behind PyG's ``LinkLoader``: mini-batches of seed links with temporal negatives."""

from __future__ import annotations

from typing import Any, Iterator, Optional

import torch
from torch_geometric.loader import LinkLoader

from .convert import as_int64
from .graph import SamplerGraph, graph_from_hetero_data
from .sampler import NeighborSampler, NumNeighbors, TemporalStrategy, TimeWindows

# PyG LinkNeighborLoader options this loader has no choice about: the value it always
# behaves as is accepted, any other is refused rather than silently ignored.
FIXED_LINK_OPTIONS = {
    "replace": False,
    "subgraph_type": "directional",
    "directed": True,
    "weight_attr": None,
    "neighbor_sampler": None,
}

HOMOGENEOUS_NODE_TYPE = "node"
HOMOGENEOUS_EDGE_TYPE = ("node", "to", "node")


class LinkNeighborLoader(LinkLoader):
    r"""PyG's ``LinkNeighborLoader`` with quorvix as the sampler.

    Each batch holds the subgraph around a batch of seed links and, as in PyG, the links'
    ``edge_label_index`` in local indices of the batch, ``edge_label``, ``edge_label_time``
    and ``input_id`` (or, for ``"triplet"`` negatives, ``src_index``, ``dst_pos_index`` and
    ``dst_neg_index`` on the node types), with ``n_id``, ``e_id``, ``num_sampled_nodes``,
    ``num_sampled_edges`` and every node and edge attribute.

    With ``edge_label_time`` every link grows its own subgraph (its source, destination and
    negatives as seeds, the link's time as the bound of every node in it) and ``batch``
    maps each node to its link; without it, ``disjoint=False`` (the default) samples one
    subgraph shared by the batch and ``disjoint=True`` one per link.

    Negatives replace a link's destination by a node of the destination type drawn
    uniformly among those that exist at the link's time (node time not later than it; a
    type without times always exists). ``"binary"`` appends ``ceil(amount * batch)``
    negative links, the k-th drawn for the (k mod batch)-th link, with label 0;
    ``"triplet"`` draws ``amount`` per link.

    Args:
        data (Data or HeteroData): the graph with its features.
        num_neighbors (List[int] or Dict[Tuple[str, str, str], List[int]]): fan-out per
            hop, for every edge type or per edge type.
        edge_label_index (Tensor or EdgeType or Tuple[EdgeType, Tensor], optional): the
            seed links; all edges of the edge type when None. (default: :obj:`None`)
        edge_label (Tensor, optional): one label per seed link. (default: :obj:`None`)
        edge_label_time (tensor, array or list, optional): one time per seed link; needs
            ``time_attr``. (default: :obj:`None`)
        neg_sampling (NegativeSampling, str or dict, optional): ``"binary"`` or
            ``"triplet"`` negatives and their ``amount``. (default: :obj:`None`)
        neg_sampling_ratio (int or float, optional): binary negatives, this many per
            link. (default: :obj:`None`)
        time_attr, temporal_strategy, time_windows, seed, graph, num_threads: as for
            :class:`quorvix_pyg.NeighborSampler`; ``seed`` also seeds the negatives.
        disjoint (bool, optional): without link times, one subgraph per link rather than
            one per batch. (default: :obj:`False`; always per link with link times)
        **loader_kwargs: arguments of ``LinkLoader`` and ``torch.utils.data.DataLoader``,
            such as ``batch_size``, ``shuffle``, ``num_workers`` or ``transform``.
    """

    def __init__(
        self,
        data: Any,
        num_neighbors: NumNeighbors,
        edge_label_index: Any = None,
        edge_label: Any = None,
        edge_label_time: Any = None,
        *,
        neg_sampling: Any = None,
        neg_sampling_ratio: Optional[float] = None,
        time_attr: Optional[str] = None,
        temporal_strategy: TemporalStrategy = "last",
        time_windows: Optional[TimeWindows] = None,
        seed: Optional[int] = None,
        num_threads: Optional[int] = None,
        graph: Optional[SamplerGraph] = None,
        disjoint: bool = False,
        **loader_kwargs: Any,
    ):
        for name, value in FIXED_LINK_OPTIONS.items():
            if name in loader_kwargs:
                given = loader_kwargs.pop(name)
                if getattr(given, "value", given) != value:  # SubgraphType members hold their name
                    raise ValueError(f"{name}={given!r} is not supported by quorvix_pyg.LinkNeighborLoader.")
        loader_kwargs.pop("is_sorted", None)  # the graph is always sorted when it is built
        homogeneous = not hasattr(data, "node_types") or not hasattr(data, "edge_types")
        if homogeneous and graph is None:
            graph = graph_from_data(data, time_attr)
        sampler = NeighborSampler(None if homogeneous else data, num_neighbors, time_attr=time_attr,
                                  temporal_strategy=temporal_strategy, time_windows=time_windows, seed=seed,
                                  graph=graph, num_threads=num_threads)
        sampler.disjoint = bool(disjoint)
        if edge_label_time is not None:
            edge_label_time = torch.tensor(as_int64(edge_label_time, "edge_label_time"))
        super().__init__(data, sampler, edge_label_index=edge_label_index, edge_label=edge_label,
                         edge_label_time=edge_label_time, neg_sampling=neg_sampling,
                         neg_sampling_ratio=neg_sampling_ratio, **loader_kwargs)
        self.quorvix_sampler = sampler

    def __iter__(self) -> Iterator[Any]:
        # Workers started for this epoch copy the sampler as it is now.
        self.quorvix_sampler.epoch += 1
        return super().__iter__()


def graph_from_data(data: Any, time_attr: Optional[str] = None) -> SamplerGraph:
    """The sampler graph of a homogeneous ``Data``: one node type, one edge type."""
    from torch_geometric.data import HeteroData

    if "edge_index" not in data:
        raise ValueError("'data' has no 'edge_index'.")
    view = HeteroData()  # holds references to data's arrays, copies nothing
    view[HOMOGENEOUS_NODE_TYPE].num_nodes = data.num_nodes
    if time_attr is not None and time_attr in data:
        view[HOMOGENEOUS_NODE_TYPE][time_attr] = data[time_attr]
    view[HOMOGENEOUS_EDGE_TYPE].edge_index = data.edge_index
    return graph_from_hetero_data(view, time_attr)
