"""Partitioning of a quorvix.Graph into parts that open memory-mapped, one directory per part.

A node belongs to part ``id % num_parts`` and has index ``id // num_parts`` within it. Part k's
directory ``part-<k>`` holds, per edge type, the CSC runs of the frontier nodes it owns (colptr over
its own indices, row with global neighbour ids, the global edge id of every position), the times
windows read copied beside row (the edge times, else the neighbours' node times), the weights, and
per node type the ids it owns, their node times and their features. ``manifest.json`` names the
graph's fingerprint, the part count, the part index and every file's size and digest.

Partitioning streams: every array is read and written a piece at a time, so a saved graph larger
than memory partitions on one machine.

Command line: ``python -m quorvix.dist.partition GRAPH_DIR NUM_PARTS OUT_DIR`` partitions a graph
Graph.save wrote, streaming it from its files.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
from typing import Any, Mapping

import numpy as np

from quorvix.dist.arrays import PIECE_BYTES, NpyWriter, Source
from quorvix.dist.part_files import DIGEST, load_json

__all__ = ["FORMAT", "MANIFEST", "VERSION", "partition", "part_directory", "fingerprint", "main"]

FORMAT = "quorvix.Part"
MANIFEST = "manifest.json"
# Version 2 manifests record every file's size and digest.
VERSION = 2


def part_directory(path: str | os.PathLike[str], part: int) -> str:
    return os.path.join(os.fspath(path), f"part-{part}")


def _key(edge_type: tuple[str, str, str]) -> str:
    return "__".join(edge_type)


class _GraphArrays:
    """A graph's names, node counts and arrays as Sources: of a quorvix.Graph in memory, or of a
    directory Graph.save wrote, read from its files piece by piece."""

    TABLES = ("colptr", "row", "node_time", "edge_time", "edge_weight")

    def __init__(self, graph: Any) -> None:
        if isinstance(graph, (str, os.PathLike)):
            self._of_directory(os.fspath(graph))
        else:
            self.node_types = list(graph.node_types)
            self.edge_types = [tuple(e) for e in graph.edge_types]
            for table in self.TABLES:
                setattr(self, table, {name: Source(array) for name, array in getattr(graph, table).items()})
            self.num_nodes = {name: -1 if count is None else int(count) for name, count in graph.num_nodes.items()}

    def _of_directory(self, directory: str) -> None:
        from quorvix._graph_files import FORMAT as GRAPH_FORMAT
        from quorvix._graph_files import SCHEMA_FILE

        schema = load_json(os.path.join(directory, SCHEMA_FILE))
        if not isinstance(schema, dict) or schema.get("format") != GRAPH_FORMAT:
            raise ValueError(f"{SCHEMA_FILE} in '{directory}' does not describe a quorvix.Graph.")
        self.node_types = list(schema["node_types"])
        self.edge_types = [tuple(e) for e in schema["edge_types"]]
        keys = [_key(e) for e in self.edge_types]
        for table in self.TABLES:
            names = self.node_types if table == "node_time" else keys
            setattr(self, table, {names[i]: Source(path=os.path.join(directory, f"{table}.{i}.npy"))
                                  for i in schema["arrays"].get(table, [])})
        # As Graph.num_nodes: the node times' length, else the largest colptr length - 1 of the edge
        # types into the type, else none.
        counts: dict[str, int] = {name: -1 for name in self.node_types}
        for edge_type, key in zip(self.edge_types, keys):
            if key in self.colptr and len(self.colptr[key]) > 0 and edge_type[2] in counts:
                counts[edge_type[2]] = max(counts[edge_type[2]], len(self.colptr[key]) - 1)
        counts.update({name: len(times) for name, times in self.node_time.items()})
        self.num_nodes = counts


def fingerprint(graph: Any) -> str:
    """A digest of the graph's names and arrays (a quorvix.Graph, or the directory of a saved one):
    parts of one graph share it. Arrays are read piece by piece, never copied whole.

    The digest covers the node and edge types, colptr, row, node times, edge times and edge
    weights; not node or edge features, nor edge ids given to :func:`partition`.

    Args:
        graph: a quorvix.Graph, or the directory Graph.save wrote.

    Returns:
        str: 32 hexadecimal digits (blake2b, 16 bytes), the ``fingerprint`` every part's manifest
        records.

    Raises:
        ValueError: the directory holds no saved graph, or one of its array files is damaged; the
            messages are listed in the error reference.
    """
    arrays = graph if isinstance(graph, _GraphArrays) else _GraphArrays(graph)
    digest = hashlib.blake2b(digest_size=16)
    digest.update(json.dumps([list(arrays.node_types), [list(e) for e in arrays.edge_types]]).encode())
    for table in _GraphArrays.TABLES:
        sources = getattr(arrays, table)
        for name in sorted(sources):
            digest.update(name.encode())
            for _, piece in sources[name].pieces():
                if piece.size:
                    digest.update(memoryview(np.ascontiguousarray(piece).reshape(-1).view(np.uint8)))
    return digest.hexdigest()


def _features_of(node_features: Mapping[str, Any] | None) -> dict[str, dict[str, Source]]:
    """{node type: array or {name: array}} as {node type: {name: Source}}; a bare array is named 'x'."""
    named: dict[str, dict[str, Source]] = {}
    for node_type, value in (node_features or {}).items():
        arrays = value if isinstance(value, Mapping) else {"x": value}
        named[node_type] = {name: Source(array if hasattr(array, "shape") else np.asarray(array))
                            for name, array in arrays.items()}
    return named


class _PartFiles:
    """The files of every part being written, by name, with their sizes and digests once closed."""

    def __init__(self, directories: list[str]) -> None:
        self.directories = directories
        self.open: list[dict[str, NpyWriter]] = [{} for _ in directories]
        self.records: list[dict[str, dict[str, Any]]] = [{} for _ in directories]

    def start(self, part: int, name: str, dtype: Any, rows: int, row_shape: tuple[int, ...] = ()) -> NpyWriter:
        writer = NpyWriter(os.path.join(self.directories[part], name), dtype, rows, row_shape)
        self.open[part][name] = writer
        return writer

    def finish(self) -> None:
        for part, writers in enumerate(self.open):
            for name, writer in writers.items():
                self.records[part][name] = writer.close()
            writers.clear()


def _run_totals(colptr: Source, num_parts: int) -> np.ndarray:
    """Per part, the row positions its owned frontier ids' runs cover."""
    totals = np.zeros(num_parts, dtype=np.int64)
    count = max(len(colptr) - 1, 0)
    step = colptr.rows_per_piece()
    for start in range(0, count, step):
        bounds = colptr.read(start, min(start + step, count) + 1)
        lengths = np.diff(bounds)
        owner = np.arange(start, start + len(lengths), dtype=np.int64) % num_parts
        totals += np.bincount(owner, weights=lengths, minlength=num_parts).astype(np.int64)
    return totals


def _write_edge_type(files: _PartFiles, index: int, key: str, neighbour_type: str, graph: _GraphArrays,
                     edge_ids: Source | None, edge_features: dict[str, Source]) -> str | None:
    """Writes every part's files of one edge type in one pass over its arrays; the times' source."""
    num_parts = len(files.directories)
    colptr, row = graph.colptr[key], graph.row[key]
    count = max(len(colptr) - 1, 0)
    time_source = "edge_time" if key in graph.edge_time else (
        "node_time" if neighbour_type in graph.node_time else None)
    totals = _run_totals(colptr, num_parts)
    writers: list[dict[Any, NpyWriter]] = []
    for part in range(num_parts):
        owned = len(range(part, count, num_parts))
        group = {"colptr": files.start(part, f"colptr.{index}.npy", np.int64, owned + 1),
                 "row": files.start(part, f"row.{index}.npy", np.int64, totals[part]),
                 "edge_id": files.start(part, f"edge_id.{index}.npy", np.int64, totals[part])}
        if time_source is not None:
            group["time"] = files.start(part, f"time.{index}.npy", np.int64, totals[part])
        if key in graph.edge_weight:
            group["weight"] = files.start(part, f"weight.{index}.npy", np.float64, totals[part])
        for name, source in edge_features.items():  # keyed apart from the arrays above: any name is safe
            group[("feature", name)] = files.start(part, f"edge_feature.{index}.{name}.npy", source.dtype, totals[part],
                                      source.shape[1:])
        group["colptr"].write(np.zeros(1, dtype=np.int64))
        writers.append(group)
    written = np.zeros(num_parts, dtype=np.int64)  # each part's local colptr so far

    def copy_span(part: int, first: int, last: int, positions: np.ndarray | None) -> None:
        """Row positions [first, last) (or `positions` among them, relative to first) to a part."""
        pick = (lambda values: values) if positions is None else (lambda values: values[positions])
        rows = pick(row.read(first, last))
        group = writers[part]
        group["row"].write(rows)
        absolute = np.arange(first, last, dtype=np.int64)
        group["edge_id"].write(pick(absolute if edge_ids is None else edge_ids.read(first, last)))
        if time_source == "edge_time":
            group["time"].write(pick(graph.edge_time[key].read(first, last)))
        elif time_source == "node_time":
            group["time"].write(graph.node_time[neighbour_type].take(rows))
        if "weight" in group:
            group["weight"].write(pick(graph.edge_weight[key].read(first, last)))
        for name, source in edge_features.items():
            group[("feature", name)].write(pick(source.read(first, last)))

    budget = max(1, PIECE_BYTES // 8 // 4)  # row positions per piece, with their times, ids and weights
    start = 0
    while start < count:
        bounds = colptr.read(start, min(start + colptr.rows_per_piece(), count) + 1)
        # The frontier ids whose runs fit one piece, at least one id.
        stop = start + max(1, int(np.searchsorted(bounds, bounds[0] + budget, side="right")) - 1)
        bounds = bounds[:stop - start + 1]
        first, last = int(bounds[0]), int(bounds[-1])
        if stop - start == 1 and last - first > budget:  # one run larger than a piece: copied in pieces
            part = start % num_parts
            for begin in range(first, last, budget):
                copy_span(part, begin, min(begin + budget, last), None)
            written[part] += last - first
            writers[part]["colptr"].write(written[part:part + 1])
        else:
            ids = np.arange(start, stop, dtype=np.int64)
            lengths = np.diff(bounds)
            for part in range(num_parts):
                mine = ids % num_parts == part
                if not mine.any():
                    continue
                own_lengths = lengths[mine]
                local = np.cumsum(own_lengths) + written[part]
                run_starts = bounds[:-1][mine] - first
                offsets = np.repeat(run_starts - (local - own_lengths - written[part]), own_lengths)
                positions = offsets + np.arange(int(own_lengths.sum()), dtype=np.int64)
                copy_span(part, first, last, positions)
                written[part] = local[-1]
                writers[part]["colptr"].write(local)
        start = stop
    return time_source


def _write_node_type(files: _PartFiles, index: int, node_type: str, extent: int, graph: _GraphArrays,
                     features: dict[str, Source]) -> None:
    """Writes every part's ids, node times and feature rows of one node type, piece by piece."""
    num_parts = len(files.directories)
    sources = {"ids": None}
    if node_type in graph.node_time:
        sources["node_time"] = graph.node_time[node_type]
    sources.update({f"feature.{name}": source for name, source in features.items()})
    writers = []
    for part in range(num_parts):
        owned = len(range(part, extent, num_parts))
        group = {"ids": files.start(part, f"ids.{index}.npy", np.int64, owned)}
        if "node_time" in sources:
            group["node_time"] = files.start(part, f"node_time.{index}.npy", np.int64, owned)
        for name, source in features.items():
            group[f"feature.{name}"] = files.start(part, f"feature.{index}.{name}.npy", source.dtype, owned,
                                                   source.shape[1:])
        writers.append(group)
    step = max(num_parts, PIECE_BYTES // max([8] + [s.row_bytes for s in sources.values() if s is not None]))
    for start in range(0, extent, step):
        stop = min(start + step, extent)
        pieces = {name: np.arange(start, stop, dtype=np.int64) if source is None else source.read(start, stop)
                  for name, source in sources.items()}
        for part in range(num_parts):
            first = (part - start) % num_parts
            for name, values in pieces.items():
                writers[part][name].write(values[first::num_parts])


def partition(graph: Any, num_parts: int, path: str | os.PathLike[str], *,
              node_features: Mapping[str, Any] | None = None,
              edge_ids: Mapping[str, Any] | None = None,
              edge_features: Mapping[str, Mapping[str, Any]] | None = None) -> list[str]:
    """Writes ``graph`` as ``num_parts`` parts under ``path`` (made if missing) and returns their directories.

    Node ``id`` goes to part ``id % num_parts``, with the runs it has as a frontier node. A graph
    given as a directory is read from its files piece by piece, so partitioning takes memory bounded
    by a few pieces whatever the graph's size; arrays given (NumPy arrays or memory maps) are read
    piece by piece too. Every part's ``manifest.json`` is written last, once its files are complete.

    Args:
        graph: a quorvix.Graph, or the directory of one Graph.save wrote.
        num_parts: how many parts, at least 1.
        path: the directory to write ``part-0`` ... ``part-<num_parts - 1>`` into.
        node_features: per node type, an array with one row per node (named ``"x"``) or a dict of
            such arrays (features, labels); each part keeps the rows of the nodes it owns.
        edge_ids: per edge type key, the id to record for each position of the graph's row (by
            default the position itself), for graphs whose edges have ids of their own, such as
            PyG's edge order.
        edge_features: per edge type key, ``{name: array with one row per position of row}``; the
            owner of an edge's frontier node keeps its rows.

    Returns:
        list[str]: the directories of the parts, in part order.

    Raises:
        ValueError: ``num_parts`` is below 1, an ``edge_ids``, ``edge_features`` or
            ``node_features`` key names no type of the graph, an array has another length than
            its type, or a saved graph's files are damaged; the messages are listed in the error
            reference.
        FileExistsError: a part directory under ``path`` already holds a ``manifest.json``.

    Example:
        >>> import os, tempfile
        >>> import quorvix.datasets, quorvix.dist
        >>> graph = quorvix.datasets.ratings()
        >>> directories = quorvix.dist.partition(graph, 2, tempfile.mkdtemp())
        >>> [os.path.basename(directory) for directory in directories]
        ['part-0', 'part-1']
        >>> "manifest.json" in os.listdir(directories[0])
        True
    """
    num_parts = int(num_parts)
    if num_parts < 1:
        raise ValueError(f"num_parts must be at least 1, got {num_parts}.")
    arrays = _GraphArrays(graph)
    counts = arrays.num_nodes
    features = _features_of(node_features)
    given_ids = {key: Source(ids if hasattr(ids, "shape") else np.asarray(ids)) for key, ids in (edge_ids or {}).items()}
    for key, ids in given_ids.items():
        if key not in arrays.row:
            raise ValueError(f"edge_ids names '{key}', which is not an edge type of the graph.")
        if len(ids) != len(arrays.row[key]):
            raise ValueError(f"edge_ids['{key}'] has {len(ids)} entries, not one per edge ({len(arrays.row[key])}).")
    edge_arrays = {key: {name: Source(array if hasattr(array, "shape") else np.asarray(array))
                         for name, array in named.items()} for key, named in (edge_features or {}).items()}
    for key, named in edge_arrays.items():
        if key not in arrays.row:
            raise ValueError(f"edge_features names '{key}', which is not an edge type of the graph.")
        for name, array in named.items():
            if len(array) != len(arrays.row[key]):
                raise ValueError(f"edge_features['{key}']['{name}'] has {len(array)} rows, not one per edge "
                                 f"({len(arrays.row[key])}).")
    # The ids each part owns rows of: a type's count, or for a type the graph gives none, its features' rows.
    extents = {name: max(count, 0) for name, count in counts.items()}
    for node_type, named in features.items():
        if node_type not in counts:
            raise ValueError(f"node_features names '{node_type}', which is not a node type of the graph.")
        if counts[node_type] < 0 and named:
            extents[node_type] = len(next(iter(named.values())))
        for name, array in named.items():
            if len(array) != extents[node_type]:
                raise ValueError(f"node_features['{node_type}']['{name}'] has {len(array)} rows, not the "
                                 f"type's {extents[node_type]} nodes.")
    print_key = fingerprint(arrays)
    directories = [part_directory(path, part) for part in range(num_parts)]
    for directory in directories:
        if os.path.exists(os.path.join(directory, MANIFEST)):
            raise FileExistsError(f"'{directory}' already holds a part ({MANIFEST}).")
    for directory in directories:
        os.makedirs(directory, exist_ok=True)
    files = _PartFiles(directories)
    edge_entries = []
    for index, edge_type in enumerate(arrays.edge_types):
        key = _key(edge_type)
        time_source = _write_edge_type(files, index, key, edge_type[0], arrays, given_ids.get(key),
                                       edge_arrays.get(key, {}))
        files.finish()
        # The frontier count each colptr bounds: request checks refuse the ids one sampler refuses.
        edge_entries.append({"key": key, "time": time_source, "weighted": key in arrays.edge_weight,
                             "frontier_count": len(arrays.colptr[key]) - 1,
                             "edge_ids": "given" if key in given_ids else "positions"})
    for index, node_type in enumerate(arrays.node_types):
        _write_node_type(files, index, node_type, extents[node_type], arrays, features.get(node_type, {}))
        files.finish()
    for part, directory in enumerate(directories):
        manifest = {
            "format": FORMAT,
            "version": VERSION,
            "fingerprint": print_key,
            "num_parts": num_parts,
            "part": part,
            "node_types": list(arrays.node_types),
            "edge_types": [list(e) for e in arrays.edge_types],
            "num_nodes": counts,
            "has_node_time": bool(arrays.node_time),
            "node_time": [t for t in arrays.node_types if t in arrays.node_time],
            "edges": edge_entries,
            "features": {t: sorted(named) for t, named in features.items()},
            "edge_features": {key: sorted(named) for key, named in edge_arrays.items()},
            "digest": DIGEST,
            "files": dict(sorted(files.records[part].items())),
        }
        # The manifest last and whole: a directory without one is an interrupted write, refused when opened.
        partial = os.path.join(directory, MANIFEST + ".partial")
        with open(partial, "w", encoding="utf-8") as file:
            json.dump(manifest, file, indent=1)
        os.replace(partial, os.path.join(directory, MANIFEST))
    return directories


def main(argv: list[str] | None = None) -> None:
    """The command line ``python -m quorvix.dist.partition GRAPH_DIR NUM_PARTS OUT_DIR``: partitions a
    graph Graph.save wrote, streaming it from its files, and prints each part's directory.

    Args:
        argv: the arguments after the program name, or None for ``sys.argv[1:]``.

    Returns:
        None: the part directories are printed, one a line.

    Raises:
        SystemExit: the arguments do not parse (argparse's usage message).
        ValueError: as :func:`partition`; the messages are listed in the error reference.
        FileExistsError: as :func:`partition`.
    """
    parser = argparse.ArgumentParser(prog="python -m quorvix.dist.partition",
                                     description="Partition a graph Graph.save wrote into parts.")
    parser.add_argument("graph", help="directory of a saved quorvix.Graph")
    parser.add_argument("num_parts", type=int)
    parser.add_argument("out", help="directory to write part-<k> directories into")
    args = parser.parse_args(argv)
    for directory in partition(args.graph, args.num_parts, args.out):
        print(directory)


if __name__ == "__main__":
    main()
