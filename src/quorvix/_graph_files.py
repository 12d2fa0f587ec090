"""The files of a saved quorvix.Graph: one .npy file per array and a graph.json naming them.

Graph.save and Graph.load call write and read; use those methods rather than this module.
Files are named by position, not by type name, so that any name is safe on any file system:
colptr.<i>.npy, row.<i>.npy, edge_time.<i>.npy and edge_weight.<i>.npy for the edge type at index i
of edge_types, node_time.<j>.npy for the node type at index j of node_types.

A save never writes into a file that exists: every file is written under a temporary name and
renamed into place, graph.json last, so a process that mapped the old files keeps reading them.
Saves to one directory take turns through a lock on the directory; one that finds another one
writing raises. graph.json records a random id for the save and, per file, its size and a sampled
fingerprint: the SHA-256 of the file's first 64 KiB (its header and first values), of 16 blocks of
4 KiB spread evenly over the rest, and of its size. Opening checks both before it maps anything; a
full digest would read the whole of a huge graph at every open. Graph.check() reads every array.
A graph.json without sizes and fingerprints (written before they were recorded) still loads, with
every check but those two.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import secrets
from collections.abc import Iterator
from typing import Any

import numpy as np

try:
    import fcntl
except ImportError:  # pragma: no cover - not POSIX: saves do not take turns
    fcntl = None  # type: ignore[assignment]

__all__ = ["FORMAT", "VERSION", "SCHEMA_FILE", "write", "read", "fingerprint"]

#: The ``format`` entry of every graph.json.
FORMAT = "quorvix.Graph"
#: The format version this release writes and reads.
VERSION = 1
#: The schema file of a saved graph's directory.
SCHEMA_FILE = "graph.json"

# Array kind: (dtype the file must hold, whether the kind is per edge type).
_KINDS = {
    "colptr": (np.int64, True),
    "row": (np.int64, True),
    "node_time": (np.int64, False),
    "edge_time": (np.int64, True),
    "edge_weight": (np.float64, True),
}
_REQUIRED_KINDS = ("colptr", "row")  # every edge type has both

_MAGIC = b"\x93NUMPY"
_HEAD_BYTES = 1 << 16
_BLOCK_BYTES = 1 << 12
_BLOCKS = 16


def fingerprint(file: Any, size: int) -> str:
    """The sampled fingerprint of the open binary `file` of `size` bytes (see the module's docstring)."""
    digest = hashlib.sha256(str(size).encode())
    file.seek(0)
    digest.update(file.read(min(size, _HEAD_BYTES)))
    rest = size - _HEAD_BYTES
    if rest > 0:
        for i in range(_BLOCKS):
            file.seek(_HEAD_BYTES + (rest - min(rest, _BLOCK_BYTES)) * i // (_BLOCKS - 1))
            digest.update(file.read(_BLOCK_BYTES))
    return digest.hexdigest()


@contextlib.contextmanager
def _save_lock(directory: str) -> Iterator[None]:
    """Holds the directory's save lock; raises FileExistsError when another save holds it. The lock
    is the operating system's, on the directory itself: it dies with its process, and leaves no file."""
    if fcntl is None:  # pragma: no cover
        yield
        return
    handle = os.open(directory, os.O_RDONLY)
    try:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise FileExistsError(f"'{directory}' is being written by another save; "
                                  f"it holds that save's graph once it is done.") from None
        yield
    finally:
        os.close(handle)


def write(graph: Any, path: str | os.PathLike[str], overwrite: bool = False) -> None:
    """Write `graph` to the directory `path`, made if missing; replace a saved graph there only if
    `overwrite`."""
    directory = os.fspath(path)
    os.makedirs(directory, exist_ok=True)
    schema_path = os.path.join(directory, SCHEMA_FILE)
    node_types = list(graph.node_types)
    edge_types = [list(edge_type) for edge_type in graph.edge_types]
    keys = ["__".join(edge_type) for edge_type in edge_types]
    token = secrets.token_hex(8)
    with _save_lock(directory):
        old_schema = None
        if os.path.exists(schema_path):
            if not overwrite:
                raise FileExistsError(f"'{directory}' already holds a saved graph ({SCHEMA_FILE}).")
            with contextlib.suppress(ValueError, OSError):
                old_schema = _schema(directory)
        written: list[tuple[str, str]] = []  # (temporary name, final name)
        try:
            arrays: dict[str, list[int]] = {}
            files: dict[str, dict[str, Any]] = {}
            for kind, (_, per_edge_type) in _KINDS.items():
                views = getattr(graph, kind)
                names = keys if per_edge_type else node_types
                arrays[kind] = [i for i, name in enumerate(names) if name in views]
                for i in arrays[kind]:
                    name = f"{kind}.{i}.npy"
                    temporary = os.path.join(directory, f".{name}.{token}.partial")
                    written.append((temporary, os.path.join(directory, name)))
                    with open(temporary, "w+b") as file:
                        np.save(file, views[names[i]], allow_pickle=False)
                        file.flush()
                        size = os.fstat(file.fileno()).st_size
                        files[name] = {"size": size, "fingerprint": fingerprint(file, size)}
            runs_sorted = all(len(nodes) == 0 for nodes in graph.unsorted_runs.values())
            schema = {"format": FORMAT, "version": VERSION, "node_types": node_types, "edge_types": edge_types,
                      "arrays": arrays, "id": secrets.token_hex(16), "files": files, "runs_sorted": runs_sorted}
            partial = os.path.join(directory, f".{SCHEMA_FILE}.{token}.partial")
            written.append((partial, schema_path))
            with open(partial, "w", encoding="utf-8") as file:
                json.dump(schema, file, indent=1)
            # Renames replace names, not contents: whoever mapped a file keeps the one it mapped. The
            # schema goes last: a reader that opens the new one finds the new files, and one that opened
            # the old one refuses the new files by their fingerprints.
            for temporary, final in written:
                os.replace(temporary, final)
            written.clear()
        finally:
            for temporary, _ in written:
                with contextlib.suppress(OSError):
                    os.unlink(temporary)
        if old_schema is not None:
            for name in _file_names(old_schema):
                if name not in files:
                    with contextlib.suppress(OSError):
                        os.unlink(os.path.join(directory, name))


def _file_names(schema: dict[str, Any]) -> list[str]:
    return [f"{kind}.{i}.npy" for kind, indices in schema["arrays"].items() for i in indices]


def _invalid(directory: str, entry: str, problem: str) -> ValueError:
    return ValueError(f"{SCHEMA_FILE} in '{directory}' has an invalid entry {entry}: {problem}.")


def _is_int(value: Any) -> bool:
    return type(value) is int  # not bool, not float


def _schema(directory: str) -> dict[str, Any]:
    schema_path = os.path.join(directory, SCHEMA_FILE)
    if not os.path.isfile(schema_path):
        raise FileNotFoundError(f"'{directory}' holds no saved graph: {SCHEMA_FILE} is missing.")
    with open(schema_path, encoding="utf-8") as file:
        try:
            schema = json.load(file)
        except (json.JSONDecodeError, UnicodeDecodeError) as error:
            raise ValueError(f"{SCHEMA_FILE} in '{directory}' is not valid JSON: {error}.") from None
    if not isinstance(schema, dict) or schema.get("format") != FORMAT:
        raise ValueError(f"{SCHEMA_FILE} in '{directory}' does not describe a quorvix.Graph.")
    if not _is_int(schema.get("version")) or schema["version"] != VERSION:
        raise ValueError(f"{SCHEMA_FILE} in '{directory}' has format version {schema.get('version')!r}; "
                         f"this quorvix reads version {VERSION}.")
    node_types = schema.get("node_types")
    if not isinstance(node_types, list):
        raise _invalid(directory, "'node_types'", f"{node_types!r} is not a list of names")
    for i, name in enumerate(node_types):
        if not isinstance(name, str):
            raise _invalid(directory, f"'node_types'[{i}]", f"{name!r} is not a str")
    edge_types = schema.get("edge_types")
    if not isinstance(edge_types, list):
        raise _invalid(directory, "'edge_types'", f"{edge_types!r} is not a list of edge types")
    for i, edge_type in enumerate(edge_types):
        if not (isinstance(edge_type, list) and len(edge_type) == 3 and all(isinstance(n, str) for n in edge_type)):
            raise _invalid(directory, f"'edge_types'[{i}]", f"{edge_type!r} is not a list of three str")
    arrays = schema.get("arrays")
    if not isinstance(arrays, dict):
        raise _invalid(directory, "'arrays'", f"{arrays!r} is not an object")
    for kind, indices in arrays.items():
        if kind not in _KINDS:
            raise _invalid(directory, f"'arrays'[{kind!r}]", f"{kind!r} is not one of {', '.join(_KINDS)}")
        count = len(edge_types) if _KINDS[kind][1] else len(node_types)
        types = "edge_types" if _KINDS[kind][1] else "node_types"
        if not isinstance(indices, list):
            raise _invalid(directory, f"'arrays'[{kind!r}]", f"{indices!r} is not a list of indices")
        for j, index in enumerate(indices):
            if not _is_int(index) or not 0 <= index < count:
                raise _invalid(directory, f"'arrays'[{kind!r}][{j}]",
                               f"{index!r} is not an index of '{types}' (0 to {count - 1})")
            if index in indices[:j]:
                raise _invalid(directory, f"'arrays'[{kind!r}][{j}]", f"{index!r} is listed twice")
    for kind in _REQUIRED_KINDS:
        listed = arrays.get(kind, [])
        for index in range(len(edge_types)):
            if index not in listed:
                raise _invalid(directory, f"'arrays'[{kind!r}]",
                               f"edge type {index} ({tuple(edge_types[index])!r}) has no {kind}")
    if "id" in schema and not isinstance(schema["id"], str):
        raise _invalid(directory, "'id'", f"{schema['id']!r} is not a str")
    if "runs_sorted" in schema and not isinstance(schema["runs_sorted"], bool):
        raise _invalid(directory, "'runs_sorted'", f"{schema['runs_sorted']!r} is not true or false")
    if "files" in schema:
        files = schema["files"]
        if not isinstance(files, dict):
            raise _invalid(directory, "'files'", f"{files!r} is not an object")
        for name in _file_names(schema):
            record = files.get(name)
            entry = f"'files'[{name!r}]"
            if not isinstance(record, dict):
                raise _invalid(directory, entry, f"{record!r} is not an object with the file's size and fingerprint")
            if not _is_int(record.get("size")) or record["size"] < 0:
                raise _invalid(directory, entry, f"size {record.get('size')!r} is not a byte count")
            if not isinstance(record.get("fingerprint"), str):
                raise _invalid(directory, entry, f"fingerprint {record.get('fingerprint')!r} is not a str")
    return schema


def _header(file: Any, where: str) -> tuple[tuple[int, ...], np.dtype[Any]]:
    """The shape and dtype a .npy header describes, the file left at the first value."""
    if file.read(len(_MAGIC)) != _MAGIC:
        raise ValueError(f"{where} is not a .npy file: it does not start as one does.")
    version = tuple(file.read(2))
    readers = {(1, 0): np.lib.format.read_array_header_1_0, (2, 0): np.lib.format.read_array_header_2_0}
    if version not in readers:
        shown = ".".join(map(str, version)) or "none"
        raise ValueError(f"{where} has .npy format version {shown}, which this quorvix does not read.")
    try:
        shape, fortran_order, dtype = readers[version](file)
    except Exception as error:  # NumPy's parser fails in many ways (tokenizer, literal_eval, checks)
        raise ValueError(f"{where} has a damaged .npy header.") from error
    return shape, dtype


def _array(directory: str, schema: dict[str, Any], kind: str, index: int, mmap: bool) -> np.ndarray:
    name = f"{kind}.{index}.npy"
    path = os.path.join(directory, name)
    if _KINDS[kind][1]:
        entry = f"arrays[{kind!r}] of {SCHEMA_FILE}, edge type {tuple(schema['edge_types'][index])!r}"
    else:
        entry = f"arrays[{kind!r}] of {SCHEMA_FILE}, node type {schema['node_types'][index]!r}"
    where = f"{name} in '{directory}' ({entry})"
    try:
        file = open(path, "rb")
    except FileNotFoundError:
        error = FileNotFoundError(f"'{directory}' lacks {name}, which its {SCHEMA_FILE} lists.")
        error.add_note(f"The entry: {entry}.")
        raise error from None
    with file:
        size = os.fstat(file.fileno()).st_size
        record = schema.get("files", {}).get(name)
        if record is not None:
            if size != record["size"]:
                raise ValueError(f"{where} has {size} bytes, not the {record['size']} its {SCHEMA_FILE} records: "
                                 f"the file was changed or replaced after the graph was saved.")
            if fingerprint(file, size) != record["fingerprint"]:
                raise ValueError(f"{where} does not match the fingerprint its {SCHEMA_FILE} records: the file "
                                 f"was changed or replaced after the graph was saved.")
            file.seek(0)
        shape, dtype = _header(file, where)
        expected = np.dtype(_KINDS[kind][0])
        if len(shape) != 1 or dtype != expected:
            error = ValueError(f"{name} in '{directory}' holds an array of dtype {dtype} and shape "
                               f"{shape}, not a one-dimensional {expected} array.")
            error.add_note(f"The entry: {entry}.")
            raise error
        offset = file.tell()
        needed = offset + shape[0] * dtype.itemsize
        if size != needed:
            raise ValueError(f"{where} has {size} bytes where its header describes {needed} "
                             f"({shape[0]} values after a {offset}-byte header): the file is damaged.")
        if shape[0] == 0:
            array = np.empty(0, dtype)
        elif mmap:
            array = np.memmap(file, dtype=dtype, mode="r", offset=offset, shape=shape)
        else:
            array = np.fromfile(file, dtype=dtype, count=shape[0])
    array.setflags(write=False)
    return array


def read(path: str | os.PathLike[str], mmap: bool = True, expected_id: str | None = None) -> tuple[Any, ...]:
    """(absolute directory, node_types, edge_types, colptr, row, node_time, edge_time, edge_weight,
    save id or '', whether every run is recorded sorted), the arrays memory-mapped read-only when
    `mmap`. With `expected_id`, refuses a directory whose graph.json records another save."""
    directory = os.path.abspath(os.fspath(path))
    schema = _schema(directory)
    save_id = schema.get("id", "")
    if expected_id is not None and save_id != expected_id:
        raise ValueError(f"'{directory}' holds another saved graph than the one that was pickled ({SCHEMA_FILE} "
                         f"records save {save_id or 'without an id'}, not {expected_id}): the directory was "
                         f"replaced after the graph was opened.")
    node_types = list(schema["node_types"])
    edge_types = [tuple(edge_type) for edge_type in schema["edge_types"]]
    keys = ["__".join(edge_type) for edge_type in edge_types]
    dicts = []
    for kind, (_, per_edge_type) in _KINDS.items():
        names = keys if per_edge_type else node_types
        dicts.append({names[i]: _array(directory, schema, kind, i, mmap) for i in schema["arrays"].get(kind, [])})
    # Recorded sorted only where the fingerprints vouch that the files are the ones that were scanned.
    runs_sorted = bool(schema.get("runs_sorted", False)) and "files" in schema
    return (directory, node_types, edge_types, *dicts, save_id, runs_sorted)
