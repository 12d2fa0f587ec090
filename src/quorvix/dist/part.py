"""One part of a partitioned graph, opened memory-mapped, and the set of all parts checked together."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

import quorvix._core
from quorvix.dist.part_files import FileWatch, check_files, load_json
from quorvix.dist.partition import FORMAT, MANIFEST, part_directory

__all__ = ["Part", "open_part", "read_manifests"]


def _read_manifest(directory: str) -> dict[str, Any]:
    path = os.path.join(directory, MANIFEST)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"Part directory '{directory}' has no {MANIFEST}: missing or unfinished part.")
    manifest = load_json(path)
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise ValueError(f"'{path}' is not a quorvix part manifest.")
    return manifest


def read_manifests(path: str | os.PathLike[str], num_parts: int | None = None) -> list[dict[str, Any]]:
    """The manifests of every part under ``path``, checked to be the parts of one graph in one partitioning.

    Refuses a missing part, parts of different graphs, and a part count other than ``num_parts`` (when
    given) or than the parts' own. Only the manifests are read, not the part files.

    Args:
        path: the directory :func:`partition` wrote, holding ``part-0``, ``part-1``, ...
        num_parts: the part count expected (a world's size), or None to take the count part 0's
            manifest records.

    Returns:
        list[dict]: each part's ``manifest.json`` in part order: the graph's fingerprint, names and
        node counts, the part count and index, and every file's size and digest.

    Raises:
        FileNotFoundError: a part directory has no ``manifest.json`` (missing, or its writing was
            interrupted).
        ValueError: a manifest is damaged or of another format, the part count is not ``num_parts``,
            a part is of another graph or holds another part's index, or more parts than the
            manifests name are present; the messages are listed in the error reference.
    """
    first = _read_manifest(part_directory(path, 0))
    count = int(first["num_parts"])
    if num_parts is not None and count != num_parts:
        raise ValueError(f"The parts under '{os.fspath(path)}' were written for {count} parts, not {num_parts}.")
    manifests = [first] + [_read_manifest(part_directory(path, k)) for k in range(1, count)]
    for k, manifest in enumerate(manifests):
        if manifest["fingerprint"] != first["fingerprint"]:
            raise ValueError(f"Part {k} under '{os.fspath(path)}' is of a different graph than part 0.")
        if manifest["num_parts"] != count or manifest["part"] != k:
            raise ValueError(f"'{part_directory(path, k)}' holds part {manifest['part']} of "
                             f"{manifest['num_parts']}, not part {k} of {count}.")
    if os.path.exists(part_directory(path, count)):
        raise ValueError(f"'{os.fspath(path)}' holds more than the {count} parts its manifests name.")
    return manifests


class Part:
    """Part ``index`` of ``num_parts``: its runs per edge type as quorvix._core.GivenRuns, its nodes'
    times and features and its edges' ids and features, all memory-mapped.

    A part owns the nodes whose id is ``id % num_parts == index`` (local index ``id // num_parts``)
    and the runs of those nodes as frontier nodes. Its request methods (``expand_many``,
    ``node_feature``, ``node_features``, ``node_times``, ``edge_features``) first refuse a change to
    the files they read since the part was opened. Open one with :func:`open_part`, which checks the
    files first.

    Args:
        directory: the part's directory (``part-<k>`` under the path :func:`partition` wrote).
        manifest: the part's ``manifest.json``, as :func:`read_manifests` returns it.

    Raises:
        ValueError: a part file is missing or cannot be read as an array; the messages are listed in
            the error reference.
    """

    # The methods an owner runs for other ranks' requests.
    REQUESTS = frozenset({"edge_features", "expand_many", "in_edges", "node_feature", "node_features", "node_times"})

    def __init__(self, directory: str, manifest: dict[str, Any]) -> None:
        import quorvix

        self.directory = directory
        self.manifest = manifest
        self.index = int(manifest["part"])
        self.num_parts = int(manifest["num_parts"])
        self.node_types: list[str] = list(manifest["node_types"])
        self.edge_types = [tuple(e) for e in manifest["edge_types"]]
        self.num_nodes: dict[str, int] = {k: int(v) for k, v in manifest["num_nodes"].items()}
        self.has_node_time = bool(manifest["has_node_time"])
        self.typed_node_time = set(manifest["node_time"])

        opened: list[str] = []

        def load(name: str) -> np.ndarray:
            path = os.path.join(directory, name)
            try:
                array = np.load(path, mmap_mode="r")
            except (OSError, ValueError) as error:
                raise ValueError(f"Part file '{path}' cannot be read as an array: {error}") from error
            opened.append(name)
            return array

        self.edge_ids: dict[str, np.ndarray] = {}
        self.edge_attributes: dict[str, dict[str, np.ndarray]] = {}
        self._edge_order: dict[str, tuple[np.ndarray, np.ndarray]] = {}  # per key: edge ids sorted, their places
        self.runs: dict[str, Any] = {}
        self.timed: dict[str, bool] = {}
        # Per key: colptr, row and the edges' own times (None unless the edge type has them).
        self._csc: dict[str, tuple[np.ndarray, np.ndarray, np.ndarray | None]] = {}
        for index, (edge_type, entry) in enumerate(zip(self.edge_types, manifest["edges"])):
            key = entry["key"]
            self.timed[key] = entry["time"] is not None
            self.edge_ids[key] = load(f"edge_id.{index}.npy")
            self.edge_attributes[key] = {name: load(f"edge_feature.{index}.{name}.npy")
                                         for name in manifest.get("edge_features", {}).get(key, [])}
            colptr, row = load(f"colptr.{index}.npy"), load(f"row.{index}.npy")
            time = load(f"time.{index}.npy") if entry["time"] else None
            self._csc[key] = (colptr, row, time if entry["time"] == "edge_time" else None)
            self.runs[key] = quorvix._core.GivenRuns(
                key, edge_type[2], edge_type[0], colptr, row,
                time=time,
                weight=load(f"weight.{index}.npy") if entry["weighted"] else None,
                edge_id=self.edge_ids[key], num_parts=self.num_parts, part=self.index,
                node_count=self.num_nodes[edge_type[2]] if self.num_nodes[edge_type[2]] >= 0 else None,
                neighbour_count=self.num_nodes[edge_type[0]] if self.num_nodes[edge_type[0]] >= 0 else None)
        self.node_time: dict[str, np.ndarray] = {}
        self.features: dict[str, dict[str, np.ndarray]] = {}
        for index, node_type in enumerate(self.node_types):
            if node_type in self.typed_node_time:
                self.node_time[node_type] = load(f"node_time.{index}.npy")
            self.features[node_type] = {name: load(f"feature.{index}.{name}.npy")
                                        for name in manifest["features"].get(node_type, [])}
        self.watch = FileWatch(directory, opened)
        # The files each feature and time read reads: a request checks only those (a change
        # elsewhere is found by the requests that read it).
        self._node_files = {(node_type, name): [f"feature.{index}.{name}.npy"]
                            for index, node_type in enumerate(self.node_types)
                            for name in manifest["features"].get(node_type, [])}
        self._node_files.update({(node_type, None): [f"node_time.{index}.npy"]
                                 for index, node_type in enumerate(self.node_types) if node_type in self.typed_node_time})
        self._edge_files = {entry["key"]: [f"edge_id.{index}.npy"] + [
            f"edge_feature.{index}.{name}.npy" for name in manifest.get("edge_features", {}).get(entry["key"], [])]
            for index, entry in enumerate(manifest["edges"])}
        # The same mappings as plain arrays, whose indexing skips memmap's Python layer.
        self._edge_id_view = {key: np.asarray(ids) for key, ids in self.edge_ids.items()}
        self._node_time_view = {node_type: np.asarray(times) for node_type, times in self.node_time.items()}
        self._feature_view = {node_type: {name: np.asarray(a) for name, a in named.items()}
                              for node_type, named in self.features.items()}
        self._edge_attribute_view = {key: {name: np.asarray(a) for name, a in named.items()}
                                     for key, named in self.edge_attributes.items()}
        # The files each edge type's expansion reads: a request checks only those.
        self._expand_files = {entry["key"]: [name for name in opened if name.split(".")[1:2] == [str(index)]
                                             and not name.startswith(("ids.", "node_time.", "feature."))]
                              for index, entry in enumerate(manifest["edges"])}

    def __reduce__(self) -> tuple:
        # A spawned loader worker maps the files again, and refuses any change since this opening.
        return _reopened, (self.directory, self.manifest, self.watch.seen)

    def local_index(self, node_type: str, ids: np.ndarray) -> np.ndarray:
        """The part's indices of global ``ids`` (``id // num_parts``); an id the part does not own is refused.

        Args:
            node_type: the node type of the ids.
            ids: global node ids, each owned by this part.

        Returns:
            numpy.ndarray: the int64 local index of each id, in order.

        Raises:
            ValueError: an id is owned by another part, negative, or not below the type's node
                count; the messages are listed in the error reference.
        """
        ids = np.asarray(ids, dtype=np.int64)
        count = self.num_nodes[node_type]
        local, owner = np.divmod(ids, self.num_parts)
        if len(ids) and ((owner != self.index).any() or ids.min() < 0 or (count >= 0 and ids.max() >= count)):
            foreign = (owner != self.index) | (ids < 0) | ((ids >= count) & (count >= 0))
            bad = int(ids[np.argmax(foreign)])
            raise ValueError(f"Node {bad} of type '{node_type}' is not owned by part {self.index} of "
                             f"{self.num_parts}.")
        return local

    def expand(self, key: str, frontier_type: str, ids: np.ndarray, seed_time: np.ndarray,
               subgraph: np.ndarray, rule: dict[str, Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """One hop's rule over owned frontier ids: the number of edges each id took, then per sampled
        edge, in id order, the neighbour id and the global edge id. A rule that draws names its
        draw_stream, and each entry's stream is keyed by its id and ``subgraph`` too.

        Args:
            key: the edge type key (``"t0__t1__t2"``) whose runs are expanded.
            frontier_type: the node type of ``ids`` (the edge type's frontier type).
            ids: global frontier ids, each owned by this part.
            seed_time: int64, the seed time of each id when the rule is temporal, else empty.
            subgraph: int64, the subgraph of each id when the rule draws, else empty.
            rule: keyword arguments of quorvix._core.GivenRuns.expand: ``fan_out`` or ``window``,
                ``temporal``, ``temporal_strategy``, ``replace``, ``draw_stream``.

        Returns:
            tuple: ``(counts, neighbour, edge_id)``: int64 arrays, the edges taken per id, then the
            global neighbour id and the edge id (the position in the graph's row, or the id
            :func:`partition` was given) of every sampled edge.

        Raises:
            ValueError: an id is not owned by this part; the messages are listed in the error
                reference.
        """
        draw_key = np.empty((len(subgraph), 2), dtype=np.uint64)
        if len(subgraph):
            draw_key[:, 0] = np.asarray(ids, dtype=np.int64).astype(np.uint64)
            draw_key[:, 1] = np.asarray(subgraph, dtype=np.int64).astype(np.uint64)
        return self.runs[key].expand(ids, seed_time, draw_key, **rule)

    def expand_many(self, requests: list[tuple[Any, ...]]) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
        """expand() for each request of one hop, in order, after checking the files they read.

        Args:
            requests: argument tuples of :meth:`expand`, one per edge type of the hop.

        Returns:
            list[tuple]: :meth:`expand`'s ``(counts, neighbour, edge_id)`` per request, in order.

        Raises:
            RuntimeError: a file the requests read changed since the part was opened.
            ValueError: as :meth:`expand`; the messages are listed in the error reference.
        """
        self.watch.check([name for request in requests for name in self._expand_files[request[0]]])
        return [self.expand(*request) for request in requests]

    def in_edges(self, wanted: list[tuple[str, str, np.ndarray]]) -> list[tuple[np.ndarray, ...]]:
        """Per (edge type key, frontier type, owned ids), every edge into each id, in the graph's run
        order (by time, ties in edge order): what induced and bidirectional subgraphs search.

        Args:
            wanted: ``(edge type key, frontier node type, ids)`` triples, every id owned by this part.

        Returns:
            list[tuple]: per triple ``(counts, neighbour, edge_id, edge_time)``: int64 arrays, the
            edges into each id, then per edge its neighbour id, its edge id and, for an edge type
            with edge times, its time (else an empty array).

        Raises:
            RuntimeError: a part file changed since the part was opened.
            ValueError: an id is not owned by this part; the messages are listed in the error
                reference.
        """
        self.watch.check([name for key, _, _ in wanted for name in self._expand_files[key]])
        out = []
        for key, frontier_type, ids in wanted:
            colptr, row, time = self._csc[key]
            local = self.local_index(frontier_type, ids)
            begin, end = np.asarray(colptr[local], np.int64), np.asarray(colptr[local + 1], np.int64)
            counts = end - begin
            # Every position of every run: each run's begin, plus the offset within it.
            run_start = np.repeat(begin - (np.cumsum(counts) - counts), counts)
            position = run_start + np.arange(int(counts.sum()), dtype=np.int64)
            out.append((counts, np.asarray(row[position], np.int64), np.asarray(self._edge_id_view[key][position]),
                        np.empty(0, np.int64) if time is None else np.asarray(time[position], np.int64)))
        return out

    def edge_features(self, wanted: list[tuple[str, list[str], np.ndarray]]) -> list[list[np.ndarray]]:
        """Per (edge type key, feature names, edge ids of edges into owned nodes), the rows of each
        feature, in order.

        Args:
            wanted: ``(edge type key, feature names, edge ids)`` triples; each edge's frontier
                node is owned by this part.

        Returns:
            list[list[numpy.ndarray]]: per triple, per name, the feature's row of each edge id.

        Raises:
            RuntimeError: a part file changed since the part was opened.
            ValueError: an edge id is not held by this part; the messages are listed in the error
                reference.
        """
        self.watch.check([name for key, _, _ in wanted for name in self._edge_files[key]])
        out: list[tuple[list[np.ndarray], np.ndarray]] = []
        for key, names, ids in wanted:
            if key not in self._edge_order:  # built on first use: only edge features need it
                order = np.argsort(self.edge_ids[key], kind="stable")
                self._edge_order[key] = (np.asarray(self.edge_ids[key])[order], order)
            held, order = self._edge_order[key]
            ids = np.asarray(ids, dtype=np.int64)
            place = np.minimum(np.searchsorted(held, ids), max(len(held) - 1, 0))
            missing = (held[place] != ids) if len(held) else np.ones(len(ids), dtype=bool)
            if missing.any():
                raise ValueError(f"Edge {int(ids[np.argmax(missing)])} of '{key}' is not held by part {self.index} "
                                 f"of {self.num_parts}.")
            out.append(([self._edge_attribute_view[key][name] for name in names], order[place]))
        return _gathered(out)

    def node_times(self, node_type: str, ids: np.ndarray) -> np.ndarray:
        """The node times of owned ``ids``.

        Args:
            node_type: a node type with times.
            ids: global node ids, each owned by this part.

        Returns:
            numpy.ndarray: the int64 time of each id, in order.

        Raises:
            RuntimeError: a part file changed since the part was opened.
            ValueError: an id is not owned by this part; the messages are listed in the error
                reference.
            KeyError: the node type has no times.
        """
        self.watch.check(self._node_files.get((node_type, None), []))
        return np.asarray(self._node_time_view[node_type][self.local_index(node_type, ids)], dtype=np.int64)

    def node_feature(self, node_type: str, name: str, ids: np.ndarray) -> np.ndarray:
        """The rows of node feature ``name`` of owned ``ids``.

        Args:
            node_type: the node type of the ids.
            name: a feature name :func:`partition` was given for the type (``"x"`` for a bare array).
            ids: global node ids, each owned by this part.

        Returns:
            numpy.ndarray: the feature's row of each id, in order.

        Raises:
            RuntimeError: a part file changed since the part was opened.
            ValueError: an id is not owned by this part; the messages are listed in the error
                reference.
            KeyError: the type has no feature of that name.
        """
        self.watch.check(self._node_files.get((node_type, name), []))
        return self._feature_view[node_type][name][self.local_index(node_type, ids)]

    def node_features(self, wanted: list[tuple[str, list[str], np.ndarray]]) -> list[list[np.ndarray]]:
        """Per (node type, feature names, owned ids), the rows of each feature, in order.

        Args:
            wanted: ``(node type, feature names, ids)`` triples, every id owned by this part.

        Returns:
            list[list[numpy.ndarray]]: per triple, per name, :meth:`node_feature`'s rows.

        Raises:
            RuntimeError: a part file changed since the part was opened.
            ValueError: an id is not owned by this part; the messages are listed in the error
                reference.
        """
        self.watch.check([file for node_type, names, _ in wanted for name in names
                          for file in self._node_files.get((node_type, name), [])])
        return _gathered([([self._feature_view[node_type][name] for name in names],
                           self.local_index(node_type, ids) if names else None) for node_type, names, ids in wanted])

    def row_form(self, operation: str, group: str, name: str) -> tuple[tuple[int, ...], np.dtype]:
        """The row shape and dtype of a feature that a request returns: every part's are the same.

        Args:
            operation: ``"node_features"`` or ``"edge_features"``.
            group: the node type, or the edge type key.
            name: the feature's name.

        Returns:
            tuple: the shape of one row and the dtype.

        Raises:
            KeyError: the part has no such feature.
        """
        views = self._feature_view if operation == "node_features" else self._edge_attribute_view
        source = views[group][name]
        return source.shape[1:], source.dtype


def _gathered(wanted: list[tuple[list[np.ndarray], np.ndarray | None]]) -> list[list[np.ndarray]]:
    """Per (sources, checked local indices), the rows of each source: copied natively in one call,
    but for sources it cannot take (not C-contiguous), which NumPy indexes."""
    out = [[np.empty((len(local),) + source.shape[1:], source.dtype) for source in sources] if sources else []
           for sources, local in wanted]
    sources_in, indices_in, outputs_in = [], [], []
    for (sources, local), rows in zip(wanted, out):
        for k, source in enumerate(sources):
            if source.ndim >= 1 and source.flags.c_contiguous:
                sources_in.append(source)
                indices_in.append(local)
                outputs_in.append(rows[k])
            else:
                rows[k] = source[local]
    if sources_in:
        quorvix._core.gather_rows(sources_in, indices_in, outputs_in)
    return out


def _reopened(directory: str, manifest: dict[str, Any], seen: dict[str, Any]) -> Part:
    part = Part(directory, manifest)
    part.watch.seen = seen
    part.watch.check()
    return part


def open_part(path: str | os.PathLike[str], part: int, num_parts: int | None = None, *,
              digests: bool = True) -> Part:
    """Opens part ``part`` under ``path`` after checking every part's manifest, the sizes of every part's
    files this machine holds, and (with ``digests``) the bytes of part ``part``'s files.

    Files of other parts that this machine does not hold are passed over; every file of part
    ``part`` must be present.

    Args:
        path: the directory :func:`partition` wrote.
        part: the index of the part to open, below the part count.
        num_parts: the part count expected, or None to take the manifests' own.
        digests: whether to read part ``part``'s files whole and compare their digests with the
            manifest's (sizes are always compared).

    Returns:
        Part: the part, its arrays memory-mapped.

    Raises:
        FileNotFoundError: a part has no manifest, or a file of part ``part`` is missing.
        ValueError: as :func:`read_manifests`, ``part`` is out of range, or a file has another
            size or digest than its manifest records; the messages are listed in the error
            reference.

    Example:
        >>> import tempfile
        >>> import quorvix.datasets, quorvix.dist
        >>> path = tempfile.mkdtemp()
        >>> _ = quorvix.dist.partition(quorvix.datasets.ratings(), 2, path)
        >>> part = quorvix.dist.open_part(path, 0)
        >>> part.index, part.num_parts, part.num_nodes
        (0, 2, {'user': 10, 'item': 40})
        >>> part.local_index("item", [0, 2, 4])
        array([0, 1, 2])
    """
    manifests = read_manifests(path, num_parts)
    if not 0 <= part < len(manifests):
        raise ValueError(f"There is no part {part} among the {len(manifests)} parts under '{os.fspath(path)}'.")
    for index, manifest in enumerate(manifests):
        check_files(part_directory(path, index), manifest, digests=digests and index == part,
                    missing_ok=index != part)
    return Part(part_directory(path, part), manifests[part])
