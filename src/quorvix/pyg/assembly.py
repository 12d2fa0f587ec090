"""A loader's batch made in one step from a sampler output.

PyG's loaders join a sampler output with the features through its generic store code: a
lookup, a check and an ``index_select`` per attribute, and a ``HeteroData`` filled one
attribute at a time. For the forms quorvix's loaders meet most (a ``Data``, a ``HeteroData``,
a ``HeteroData`` of node features beside a :class:`quorvix.pyg.GraphStore`),
:class:`BatchAssembler` makes the same batch, attribute for attribute and in the same order:
it copies every gathered row of every node and edge type in one native call, on the
sampler's threads, straight into tensors torch owns, and fills each store at once. Any other
form, and any attribute it cannot gather natively, goes the generic way.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
import torch
from torch.utils.data import get_worker_info
from torch_geometric.data import Data, HeteroData

from .batching import batch_seeds_whole
from .stores import GraphStore


class _Gathers:
    """The row copies of one batch: NumPy views of the sources, indices and new tensors."""

    def __init__(self) -> None:
        self.sources: List[np.ndarray] = []
        self.indices: List[np.ndarray] = []
        self.outputs: List[np.ndarray] = []
        self._index_views: Dict[int, np.ndarray] = {}  # a type's index serves all its features

    def add(self, source: np.ndarray, value: torch.Tensor, index: torch.Tensor) -> torch.Tensor:
        out = torch.empty((index.numel(),) + tuple(value.shape[1:]), dtype=value.dtype)
        index_view = self._index_views.get(id(index))
        if index_view is None:
            index_view = self._index_views[id(index)] = _memory_view(index)
        self.sources.append(source)
        self.indices.append(index_view)
        self.outputs.append(_memory_view(out, writable=True))
        return out


class _Memory:
    """A tensor's memory as NumPy sees it, without ``Tensor.numpy()``, which would fix the
    tensor's storage for good (``resize_`` then fails); the view keeps the tensor alive."""

    def __init__(self, tensor: torch.Tensor, dtype: np.dtype, writable: bool):
        self.tensor = tensor
        self.__array_interface__ = {"data": (tensor.data_ptr(), not writable), "shape": tuple(tensor.shape),
                                    "typestr": dtype.str, "version": 3}


_NUMPY_DTYPES: Dict[torch.dtype, Optional[np.dtype]] = {}


def _numpy_dtype(dtype: torch.dtype) -> Optional[np.dtype]:
    if dtype not in _NUMPY_DTYPES:
        try:
            _NUMPY_DTYPES[dtype] = torch.empty(0, dtype=dtype).numpy().dtype
        except (TypeError, RuntimeError):  # dtypes NumPy lacks, such as bfloat16
            _NUMPY_DTYPES[dtype] = None
    return _NUMPY_DTYPES[dtype]


def _memory_view(tensor: torch.Tensor, writable: bool = False) -> np.ndarray:
    return np.asarray(_Memory(tensor, _numpy_dtype(tensor.dtype), writable))


def _where(tensor: torch.Tensor) -> Tuple[int, Tuple[int, ...]]:
    return tensor.data_ptr(), tuple(tensor.shape)


def _native_view(value: Any) -> Optional[np.ndarray]:
    """A NumPy view of a CPU tensor the native gather can read, or None."""
    if (not isinstance(value, torch.Tensor) or value.device.type != "cpu" or value.requires_grad
            or value.dim() == 0 or not value.is_contiguous() or value.is_sparse
            or _numpy_dtype(value.dtype) is None):
        return None
    return _memory_view(value)


class BatchAssembler:
    """Makes a loader's batches as PyG's ``NodeLoader.filter_fn`` (or, with ``links``,
    ``LinkLoader.filter_fn``) does, faster.

    Args:
        data: the loader's data: a ``Data``, a ``HeteroData`` or a ``(HeteroData,
            GraphStore)`` pair (see :meth:`accepts`).
        input_type: the seeds' node type, or the seed links' edge type (None for a ``Data``).
        native_sampler: a callable giving the ``quorvix.NeighborSampler`` whose threads copy
            the rows.
        links: the batches are a link loader's, with its seed links' attributes.
    """

    def __init__(self, data: Any, input_type: Any, native_sampler: Any, links: bool = False):
        self.data = data
        self.input_type = input_type
        self.native_sampler = native_sampler
        self.links = links
        # Per (store key, attribute): the value seen, how it is gathered, its NumPy view and where
        # the view reads.
        self._seen: Dict[Tuple[Any, str], Tuple[Any, Optional[str], Optional[np.ndarray], Any]] = {}

    @staticmethod
    def accepts(data: Any) -> bool:
        """Whether ``data`` is a form this assembler makes batches for."""
        if type(data) in (Data, HeteroData):
            return True
        return (isinstance(data, tuple) and len(data) == 2 and type(data[0]) is HeteroData
                and isinstance(data[1], GraphStore) and not data[0].edge_types)

    def __call__(self, out: Any) -> Optional[Any]:
        """The batch of a sampler output, or None where PyG's own code must make it."""
        try:
            if isinstance(self.data, HeteroData):
                return self._hetero(out)
            if isinstance(self.data, Data):
                return self._homogeneous(out)
            return self._feature_store(out)
        except _Generic:
            return None

    # -- one attribute ---------------------------------------------------------------------

    def _kind(self, owner: Any, store: Any, key: str, value: Any, node: bool,
              edge: bool) -> Tuple[Optional[str], Optional[np.ndarray]]:
        """Whether ``key`` is gathered by "node", by "edge" or not at all (None), and the view
        the native copy reads (None where only torch can copy it)."""
        seen = self._seen.get((store._key, key))
        # The same tensor, still over the same memory (resize_ moves it): the view still reads it.
        if seen is not None and seen[0] is value and (seen[2] is None or seen[3] == _where(value)):
            return seen[1], seen[2]
        kind = None
        if isinstance(value, torch.Tensor):
            by_node = node and store.is_node_attr(key)
            by_edge = edge and store.is_edge_attr(key)
            if by_node and by_edge:
                raise _Generic  # as many nodes as edges: PyG's own rule decides
            kind = "node" if by_node else "edge" if by_edge else None
            if kind is not None and owner.__cat_dim__(key, value, store) != 0:
                raise _Generic  # gathered along another dimension
        view = _native_view(value) if kind is not None else None
        self._seen[(store._key, key)] = (value, kind, view, _where(value) if view is not None else None)
        return kind, view

    @staticmethod
    def _gather(gathers: _Gathers, view: Optional[np.ndarray], value: torch.Tensor,
                index: torch.Tensor) -> torch.Tensor:
        if view is None or index.dtype != torch.int64 or not index.is_contiguous():
            return value.index_select(0, index)
        return gathers.add(view, value, index)

    def _run(self, gathers: _Gathers) -> None:
        if not gathers.sources:
            return
        gather_rows = getattr(self.native_sampler(), "gather_rows", None)
        if gather_rows is None:  # a sampler across parts reads features from their owners
            raise _Generic
        gather_rows(gathers.sources, gathers.indices, gathers.outputs)

    # -- the three forms -------------------------------------------------------------------

    def _hetero(self, out: Any) -> HeteroData:
        data = self.data
        if len(out.row) != len(data.edge_types) or len(out.node) != len(data.node_types):
            raise _Generic  # PyG adds the stores the data lacks
        gathers = _Gathers()
        batch = HeteroData()
        batch._global_store._mapping.update(data._global_store._mapping)
        for node_type in data.node_types:
            store = data[node_type]
            index = out.node.get(node_type)
            if index is None:
                raise _Generic
            mapping = {}
            for key, value in store._mapping.items():
                if key == "num_nodes":
                    mapping[key] = index.numel()
                    continue
                kind, view = self._kind(data, store, key, value, True, False)
                mapping[key] = self._gather(gathers, view, value, index) if kind else value
            self._node_extras(mapping, out, node_type, index)
            batch.get_node_store(node_type)._mapping.update(mapping)
        for edge_type in data.edge_types:
            store = data[edge_type]
            row = out.row.get(edge_type)
            if row is None or ("edge_index" not in store._mapping and store._mapping):
                raise _Generic
            e_id = out.edge[edge_type]
            # An edge store of the graph's type alone (as across parts) takes the edges first.
            mapping = {} if store._mapping else {"edge_index": torch.stack([row, out.col[edge_type]], dim=0)}
            for key, value in store._mapping.items():
                if key == "edge_index":
                    mapping[key] = torch.stack([row, out.col[edge_type]], dim=0)
                    continue
                kind, view = self._kind(data, store, key, value, False, True)
                mapping[key] = self._gather(gathers, view, value, e_id) if kind else value
            mapping["e_id"] = e_id
            mapping["num_sampled_edges"] = out.num_sampled_edges[edge_type]
            batch.get_edge_store(*edge_type)._mapping.update(mapping)
        self._run(gathers)
        self._input_extras(batch, out)
        return batch

    def _feature_store(self, out: Any) -> HeteroData:
        features = self.data[0]
        gathers = _Gathers()
        batch = HeteroData()
        # First the node types with features, in the feature store's order, then the others.
        for node_type in features.node_types:
            store = features[node_type]
            mapping: Dict[str, Any] = {}
            for key, value in store._mapping.items():
                if not isinstance(value, torch.Tensor):
                    continue  # a feature store hands out tensors only
                index = out.node.get(node_type)
                kind, view = self._kind(features, store, key, value, True, False)
                if index is None or kind is None:
                    raise _Generic
                if not mapping:
                    mapping["num_nodes"] = index.numel()
                mapping[key] = self._gather(gathers, view, value, index)
            if mapping:
                batch.get_node_store(node_type)._mapping.update(mapping)
        for node_type, index in out.node.items():
            mapping = {}
            self._node_extras(mapping, out, node_type, index)
            batch.get_node_store(node_type)._mapping.update(mapping)
        for edge_type, row in out.row.items():
            batch.get_edge_store(*edge_type)._mapping.update({
                "edge_index": torch.stack([row, out.col[edge_type]], dim=0), "e_id": out.edge[edge_type],
                "num_sampled_edges": out.num_sampled_edges[edge_type]})
        self._run(gathers)
        self._input_extras(batch, out)
        return batch

    def _homogeneous(self, out: Any) -> Data:
        data = self.data
        store = data._store
        if "edge_index" not in store._mapping:
            raise _Generic  # PyG adds it where its own code decides
        gathers = _Gathers()
        mapping: Dict[str, Any] = {}
        for key, value in store._mapping.items():
            if key == "num_nodes":
                mapping[key] = out.node.numel()
            elif key == "edge_index":
                mapping[key] = torch.stack([out.row, out.col], dim=0)
            else:
                kind, view = self._kind(data, store, key, value, True, True)
                index = out.node if kind == "node" else out.edge
                mapping[key] = self._gather(gathers, view, value, index) if kind else value
        self._run(gathers)
        mapping["n_id"] = out.node
        mapping["e_id"] = out.edge
        if out.batch is not None:
            mapping["batch"] = out.batch
        mapping["num_sampled_nodes"] = out.num_sampled_nodes
        mapping["num_sampled_edges"] = out.num_sampled_edges
        batch = Data()
        batch._store._mapping.update(mapping)
        self._input_extras(batch, out)
        return batch

    # -- what every form adds --------------------------------------------------------------

    @staticmethod
    def _node_extras(mapping: Dict[str, Any], out: Any, node_type: str, index: torch.Tensor) -> None:
        mapping["n_id"] = index
        if out.batch is not None:
            mapping["batch"] = out.batch[node_type]
        mapping["num_sampled_nodes"] = out.num_sampled_nodes[node_type]

    def _input_extras(self, batch: Any, out: Any) -> None:
        """What PyG adds for the seeds, in its order: on the input node type (the input edge
        type for links; the whole batch of a ``Data``)."""
        hetero = isinstance(batch, HeteroData)

        def store(key: Any) -> Dict[str, Any]:
            return batch._store._mapping if not hetero else (
                batch.get_edge_store(*key) if isinstance(key, tuple) else batch.get_node_store(key))._mapping

        def put(mapping: Dict[str, Any], **values: Any) -> None:
            mapping.update((k, v) for k, v in values.items() if v is not None)

        if not self.links:
            input_id, seed_time = out.metadata
            put(store(self.input_type), input_id=input_id, seed_time=seed_time, batch_size=input_id.numel())
        elif len(out.metadata) == 4:  # binary negatives, or none
            input_id, edge_label_index, edge_label, edge_label_time = out.metadata
            put(store(self.input_type), input_id=input_id, edge_label_index=edge_label_index,
                edge_label=edge_label, edge_label_time=edge_label_time)
        else:  # triplets: the ends' indices on their node types, the links' times on both
            input_id, src_index, dst_pos_index, dst_neg_index, seed_time = out.metadata
            if not hetero:
                put(store(None), input_id=input_id, src_index=src_index, dst_pos_index=dst_pos_index,
                    dst_neg_index=dst_neg_index, seed_time=seed_time)
                return
            src, _, dst = self.input_type
            put(store(self.input_type), input_id=input_id)
            put(store(src), src_index=src_index)
            put(store(dst), dst_pos_index=dst_pos_index, dst_neg_index=dst_neg_index)
            put(store(src), seed_time=seed_time)
            put(store(dst), seed_time=seed_time)


class _Generic(Exception):
    """Raised inside an assembly that PyG's own code must make instead."""


def prepare_assembly(loader: Any, sampler: Any, links: bool = False) -> None:
    """Gives a just-made loader its :class:`BatchAssembler` (``loader.assembler``, None for a
    form it does not take) and, without worker processes, whole batches of seed indices."""
    batch_seeds_whole(loader)
    loader.assembler = None
    if BatchAssembler.accepts(loader.data):
        loader.assembler = BatchAssembler(loader.data, loader.input_data.input_type, sampler.native_sampler, links)


def assembled_batch(loader: Any, out: Any, generic: Callable[[Any], Any]) -> Any:
    """A loader's ``filter_fn``: the batch of ``out`` from its assembler, or from PyG's
    ``generic`` one where the assembler does not make it."""
    # A worker's batch goes to the main process through shared memory, which PyG's own gathers
    # allocate; a transformed output may no longer be the sampler's.
    if loader.assembler is None or loader.transform_sampler_output is not None or get_worker_info() is not None:
        return generic(out)
    batch = loader.assembler(out)
    if batch is None:
        return generic(out)
    return batch if loader.transform is None else loader.transform(batch)
