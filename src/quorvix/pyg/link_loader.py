"""quorvix behind PyG's ``LinkLoader``: mini-batches of seed links with temporal negatives."""

from __future__ import annotations

from typing import Any, Callable, Iterator, Optional

import torch
from torch_geometric.loader import LinkLoader

from .assembly import assembled_batch, prepare_assembly
from .batching import time_grouped_batches
from .convert import as_int64
from .graph import SamplerGraph
from .sampler import NeighborSampler, NumNeighbors, TemporalStrategy, TimeWindows
from .stores import loader_data


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
    among those that exist at the link's time (node time not later than it; a type without
    node times always exists), uniformly or in proportion to ``dst_weight``. ``"binary"``
    appends ``ceil(amount * batch)`` negative links, the k-th drawn for the (k mod
    batch)-th link, with label 0; they keep their link's source unless ``src_weight`` is
    given, which draws the source too. ``"triplet"`` draws ``amount`` per link, by round as
    PyG does: the k-th negative is drawn for the (k mod batch)-th link, and ``dst_neg_index``
    (``batch x amount`` when ``amount > 1``) holds in row i the negatives of link i.

    With a subgraph per link the seeds are laid out as in PyG: per node type the sources,
    then the destinations, then the negatives, one seed per named node (``src_index`` is
    ``arange(batch_size)``); a shared subgraph holds each named node once.

    Args:
        data (Data, HeteroData or (FeatureStore, GraphStore)): the graph with its features;
            also a ``quorvix.Graph`` (or ``(graph, keys)``) alone, or a ``(FeatureStore,
            quorvix.Graph)`` pair, sampled as it is (see :class:`quorvix.pyg.GraphStore`).
        num_neighbors (List[int], Dict[Tuple[str, str, str], List[int]] or NumNeighbors):
            fan-out per hop, for every edge type or per edge type.
        edge_label_index (Tensor or EdgeType or Tuple[EdgeType, Tensor], optional): the
            seed links; all edges of the edge type when None. Any two node types may be
            linked, by an edge type of the graph or not. (default: :obj:`None`)
        edge_label (Tensor, optional): one label per seed link. (default: :obj:`None`)
        edge_label_time (tensor, array or list, optional): one time per seed link; needs
            ``time_attr``. (default: :obj:`None`)
        neg_sampling (NegativeSampling, str or dict, optional): ``"binary"`` or
            ``"triplet"`` negatives and their ``amount``. (default: :obj:`None`)
        neg_sampling_ratio (int or float, optional): binary negatives, this many per
            link. (default: :obj:`None`)
        time_attr, temporal_strategy, time_windows, seed, num_threads: as for
            :class:`quorvix.pyg.NeighborSampler`, as are ``replace``, ``subgraph_type``,
            ``disjoint``, ``shared_by_time``, ``weight_attr`` and ``graph``; ``seed`` also
            seeds the negatives, and ``shared_by_time`` lets the links of one time share
            one subgraph.
        transform, transform_sampler_output, filter_per_worker: as for PyG's ``LinkLoader``.
        neighbor_sampler (quorvix.pyg.NeighborSampler, optional): a sampler built earlier,
            used instead of building one (the sampling arguments are then its own).
        directed (bool, optional): :obj:`False` is PyG's older spelling of
            ``subgraph_type="induced"``. (default: :obj:`True`)
        is_sorted (bool, optional): accepted for PyG's sake; the graph is always sorted when
            it is built. (default: :obj:`False`)
        batch_by_time (bool, optional): fill every batch from links of one time, see
            :class:`quorvix.pyg.TimeGroupedBatchSampler`. (default: :obj:`False`)
        **loader_kwargs: arguments of ``torch.utils.data.DataLoader``, such as
            ``batch_size``, ``shuffle`` or ``num_workers``.

    Raises:
        TypeError: ``neighbor_sampler`` is not a :class:`quorvix.pyg.NeighborSampler`; and
            as for :class:`quorvix.pyg.NeighborSampler`.
        ValueError: ``edge_label_time`` is given on a graph without timestamps, or is missing
            on a graph with them; ``batch_by_time=True`` has no link times or comes with a
            ``batch_sampler`` or ``sampler``; and as for
            :class:`quorvix.pyg.NeighborSampler`. The messages are listed in the error
            reference.

    Example:
        >>> from quorvix.pyg import LinkNeighborLoader
        >>> from quorvix.pyg.datasets import shop
        >>> data = shop()
        >>> made_by = ("transactions", "made_by", "customers")
        >>> loader = LinkNeighborLoader(data, [4, 2], edge_label_index=(made_by, data[made_by].edge_index),
        ...                             edge_label_time=data["transactions"].time, time_attr="time",
        ...                             neg_sampling="binary", batch_size=8)
        >>> batch = next(iter(loader))
        >>> batch[made_by].edge_label_index.shape  # 8 links and 8 negatives
        torch.Size([2, 16])
        >>> batch[made_by].edge_label.tolist()
        [1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]
    """

    def __init__(
        self,
        data: Any,
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
        time_attr: Optional[str] = None,
        weight_attr: Optional[str] = None,
        transform: Optional[Callable] = None,
        transform_sampler_output: Optional[Callable] = None,
        is_sorted: bool = False,
        filter_per_worker: Optional[bool] = None,
        neighbor_sampler: Optional[NeighborSampler] = None,
        directed: bool = True,
        *,
        shared_by_time: bool = False,
        time_windows: Optional[TimeWindows] = None,
        seed: Optional[int] = None,
        num_threads: Optional[int] = None,
        graph: Optional[SamplerGraph] = None,
        batch_by_time: bool = False,
        **loader_kwargs: Any,
    ):
        if neighbor_sampler is None:
            neighbor_sampler = NeighborSampler(
                data, num_neighbors, subgraph_type="induced" if not directed else subgraph_type,
                replace=replace, disjoint=disjoint, shared_by_time=shared_by_time,
                temporal_strategy=temporal_strategy, time_attr=time_attr, weight_attr=weight_attr,
                time_windows=time_windows, seed=seed, graph=graph, num_threads=num_threads)
        elif not isinstance(neighbor_sampler, NeighborSampler):
            raise TypeError(f"'neighbor_sampler' must be a quorvix.pyg.NeighborSampler, "
                            f"got {type(neighbor_sampler).__name__}.")
        has_time = neighbor_sampler.graph.has_time
        if edge_label_time is not None and not has_time:
            raise ValueError("'edge_label_time' needs timestamps: give 'time_attr'.")
        if edge_label_time is None and has_time:
            # Without link times nothing would be filtered by time: refuse rather than leak.
            raise ValueError("Received conflicting 'edge_label_time' and 'time_attr' arguments: "  # PyG's words
                             "'edge_label_time' is not set while 'time_attr' is set. Both arguments must "
                             "be provided for temporal sampling.")
        if edge_label_time is not None:
            edge_label_time = torch.tensor(as_int64(edge_label_time, "edge_label_time"))
        if batch_by_time:
            loader_kwargs = time_grouped_batches(
                None if edge_label_time is None else edge_label_time.numpy(), loader_kwargs)
        super().__init__(loader_data(data, neighbor_sampler.graph), neighbor_sampler, edge_label_index=edge_label_index, edge_label=edge_label,
                         edge_label_time=edge_label_time, neg_sampling=neg_sampling,
                         neg_sampling_ratio=neg_sampling_ratio, transform=transform,
                         transform_sampler_output=transform_sampler_output, filter_per_worker=filter_per_worker,
                         **loader_kwargs)
        self.quorvix_sampler = neighbor_sampler
        prepare_assembly(self, neighbor_sampler, links=True)

    def filter_fn(self, out: Any) -> Any:
        """PyG's ``LinkLoader.filter_fn``: the batch of the seed links' sampler output, with
        ``edge_label_index`` and the other link attributes; made in one step where
        :meth:`quorvix.pyg.NeighborLoader.filter_fn` says.

        Args:
            out (SamplerOutput or HeteroSamplerOutput): one batch's output, link metadata included.

        Returns:
            Data or HeteroData: the link batch, ``transform`` applied if given.
        """
        return assembled_batch(self, out, super().filter_fn)

    def __iter__(self) -> Iterator[Any]:
        # Workers started for this epoch copy the sampler as it is now.
        self.quorvix_sampler.epoch += 1
        return super().__iter__()
