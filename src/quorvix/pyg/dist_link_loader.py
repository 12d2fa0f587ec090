"""PyG's ``LinkNeighborLoader`` over the parts of a partitioned graph: seed links and their
temporal negatives, sampled across parts with :class:`quorvix.dist.DistNeighborSampler`."""

from __future__ import annotations

from typing import Any, Callable, Optional

from .dist_loader import _PartSampler, with_owners_features, loader_transport
from .link_loader import LinkNeighborLoader
from .sampler import NumNeighbors, TemporalStrategy, TimeWindows


class DistLinkNeighborLoader(LinkNeighborLoader):
    r""":class:`LinkNeighborLoader` over the parts of a graph written by :func:`partition_data`,
    run by a rank that serves ``part`` in a ``torch.distributed.rpc`` world
    (:func:`quorvix.dist.init_part_worker`).

    Batches are those of :class:`LinkNeighborLoader` over the whole graph: the subgraphs around
    the seed links and their negatives, ``edge_label_index``, ``edge_label``,
    ``edge_label_time`` and ``input_id`` (or ``src_index``, ``dst_pos_index`` and
    ``dst_neg_index`` for ``"triplet"`` negatives), ``n_id``, ``e_id`` (in ``data``'s edge
    order), ``batch``, ``num_sampled_nodes``, ``num_sampled_edges`` and every node-level and
    edge-level attribute, read from the part that owns each node (an edge's, from the owner of
    its destination).

    Negatives are drawn among the nodes of every part that exist at the link's time: on first
    use a rank reads the node times of each destination type (and of each source type when
    ``src_weight`` draws sources) from their owners, 8 bytes a node, and then draws in
    process. With the same ``seed`` the negatives are :class:`LinkNeighborLoader`'s over the
    whole graph, whatever the part count; rules that make no draws
    (``temporal_strategy="last"`` with times, time windows, ``-1``) then give its batches
    exactly, and random fan-outs draw from the same distribution. Ranks need not take the same
    number of batches.

    Args:
        part (quorvix.dist.Part): the part this rank serves.
        num_neighbors, edge_label, edge_label_time, replace, disjoint, temporal_strategy: as for
            :class:`LinkNeighborLoader`; times are the parts' own.
        neg_sampling, neg_sampling_ratio: as for :class:`LinkNeighborLoader`, negatives drawn
            among the nodes of every part.
        edge_label_index (Tensor or Tuple[EdgeType, Tensor]): the seed links, with their edge
            type on a heterogeneous graph. Unlike :class:`LinkNeighborLoader` it has no
            default: no rank holds every edge of a type.
        transform, transform_sampler_output, shared_by_time, time_windows, seed, batch_by_time: as
            for :class:`LinkNeighborLoader`.
        subgraph_type (str or SubgraphType, optional): as for :class:`LinkNeighborLoader`; the
            ``"induced"`` and ``"bidirectional"`` edges are searched in the runs of the batch's
            nodes, read from their owners. (default: :obj:`"directional"`)
        timeout (float, optional): seconds each request to another part may take.
            (default: :obj:`30.0`)
        transport (optional): as for :class:`quorvix.dist.DistNeighborSampler`: None for the
            sockets every rank of the world serves, or for example
            :class:`quorvix.dist.RpcTransport` or :class:`quorvix.dist.InProcessTransport`.
            (default: :obj:`None`)
        **kwargs: arguments of ``torch.utils.data.DataLoader`` such as ``batch_size`` and
            ``shuffle``. With ``num_workers`` above 0 the workers sample, reaching the other
            parts' owners as this process does.

    Raises:
        ValueError: ``edge_label_index`` holds no links (None, or an edge type alone), or the
            part was not written by :func:`partition_data` (it has no ``pyg.json``); and as for
            :class:`LinkNeighborLoader`. The messages are
            listed in the error reference.

    Example:
        >>> import tempfile
        >>> import torch
        >>> import quorvix.dist
        >>> from quorvix.pyg import DistLinkNeighborLoader, LinkNeighborLoader, partition_data
        >>> from quorvix.pyg.datasets import shop
        >>> data = shop()
        >>> path = tempfile.mkdtemp()
        >>> _ = partition_data(data, 2, path, time_attr="time")
        >>> parts = {k: quorvix.dist.open_part(path, k) for k in range(2)}
        >>> made_by = ("transactions", "made_by", "customers")
        >>> settings = dict(edge_label_index=(made_by, data[made_by].edge_index),
        ...                 edge_label_time=data["transactions"].time, temporal_strategy="last",
        ...                 neg_sampling="binary", seed=7, batch_size=8)
        >>> loader = DistLinkNeighborLoader(parts[0], [4, 2], transport=quorvix.dist.InProcessTransport(parts),
        ...                                 **settings)
        >>> batch = next(iter(loader))
        >>> batch[made_by].edge_label_index.shape  # 8 links and 8 negatives
        torch.Size([2, 16])
        >>> whole = next(iter(LinkNeighborLoader(data, [4, 2], time_attr="time", **settings)))
        >>> all(batch[t].n_id.equal(whole[t].n_id) for t in data.node_types)
        True
    """

    def __init__(
        self,
        part: Any,
        num_neighbors: NumNeighbors,
        edge_label_index: Any = None,
        edge_label: Any = None,
        edge_label_time: Any = None,
        replace: bool = False,
        subgraph_type: Any = "directional",
        disjoint: bool = False,
        temporal_strategy: TemporalStrategy = "uniform",
        neg_sampling: Any = None,
        neg_sampling_ratio: Optional[float] = None,
        transform: Optional[Callable] = None,
        transform_sampler_output: Optional[Callable] = None,
        *,
        shared_by_time: bool = False,
        time_windows: Optional[TimeWindows] = None,
        seed: Optional[int] = None,
        timeout: float = 30.0,
        transport: Any = None,
        batch_by_time: bool = False,
        **kwargs: Any,
    ):
        links = edge_label_index[1] if _is_typed_links(edge_label_index) else edge_label_index
        if links is None or _is_edge_type(links):
            # PyG would take every edge of the type from the graph, which here is the empty one.
            raise ValueError("DistLinkNeighborLoader needs the seed links in 'edge_label_index' (a [2, num_links] "
                             "tensor, with its edge type on a heterogeneous graph): no rank holds every edge "
                             "of a type.")
        transport = loader_transport(transport, timeout)
        sampler = _PartSampler(part, num_neighbors, timeout=timeout, transport=transport, subgraph_type=subgraph_type,
                               replace=replace, disjoint=disjoint, temporal_strategy=temporal_strategy,
                               shared_by_time=shared_by_time, time_windows=time_windows, seed=seed)
        # The transform runs once the features are in, not on the batch PyG builds without them.
        self.batch_transform = transform
        super().__init__(sampler.empty_data, num_neighbors, edge_label_index, edge_label, edge_label_time,
                         neg_sampling=neg_sampling, neg_sampling_ratio=neg_sampling_ratio,
                         transform_sampler_output=transform_sampler_output, neighbor_sampler=sampler,
                         batch_by_time=batch_by_time, **kwargs)

    def filter_fn(self, out: Any) -> Any:
        """PyG's link batch of the sampled nodes and edges, with the features of each node and
        edge read from their owners, then ``transform`` applied.

        Args:
            out: the sampler's output for one batch (``SamplerOutput`` or ``HeteroSamplerOutput``).

        Returns:
            Data or HeteroData: the batch, with the links' labels and indices and every
            node-level and edge-level attribute the parts hold, after ``transform`` when one
            was given.

        Raises:
            RuntimeError: an owner did not answer within ``timeout`` or failed, or a part file
                changed; the messages are listed in the error reference.
        """
        batch = with_owners_features(super().filter_fn(out), self.quorvix_sampler, out)
        return batch if self.batch_transform is None else self.batch_transform(batch)


def _is_edge_type(value: Any) -> bool:
    return isinstance(value, tuple) and len(value) == 3 and all(isinstance(name, str) for name in value)


def _is_typed_links(value: Any) -> bool:
    return isinstance(value, (tuple, list)) and len(value) == 2 and _is_edge_type(value[0])
