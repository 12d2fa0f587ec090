"""The files of a saved quorvix.Graph: one .npy file per array and a graph.json naming them.

Graph.save and Graph.load call write and read; use those methods rather than this module.
Files are named by position, not by type name, so that any name is safe on any file system:
colptr.<i>.npy, row.<i>.npy, edge_time.<i>.npy and edge_weight.<i>.npy for the edge type at index i
of edge_types, node_time.<j>.npy for the node type at index j of node_types.
"""

from __future__ import annotations

import json
import os
from typing import Any

import numpy as np

__all__ = ["FORMAT", "VERSION", "SCHEMA_FILE", "write", "read"]

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


def write(graph: Any, path: str | os.PathLike[str]) -> None:
    """Write `graph` to the directory `path`, made if missing."""
    directory = os.fspath(path)
    os.makedirs(directory, exist_ok=True)
    schema_path = os.path.join(directory, SCHEMA_FILE)
    # Overwriting files that a loaded graph may have memory-mapped would change it under its samplers.
    if os.path.exists(schema_path):
        raise FileExistsError(f"'{directory}' already holds a saved graph ({SCHEMA_FILE}).")
    node_types = list(graph.node_types)
    edge_types = [list(edge_type) for edge_type in graph.edge_types]
    keys = ["__".join(edge_type) for edge_type in edge_types]
    arrays: dict[str, list[int]] = {}
    for kind, (_, per_edge_type) in _KINDS.items():
        views = getattr(graph, kind)
        names = keys if per_edge_type else node_types
        arrays[kind] = [i for i, name in enumerate(names) if name in views]
        for i in arrays[kind]:
            np.save(os.path.join(directory, f"{kind}.{i}.npy"), views[names[i]], allow_pickle=False)
    schema = {"format": FORMAT, "version": VERSION, "node_types": node_types, "edge_types": edge_types,
              "arrays": arrays}
    # The schema goes last and whole: a directory without it holds no graph.
    partial = schema_path + ".partial"
    with open(partial, "w", encoding="utf-8") as file:
        json.dump(schema, file, indent=1)
    os.replace(partial, schema_path)


def _schema(directory: str) -> dict[str, Any]:
    schema_path = os.path.join(directory, SCHEMA_FILE)
    if not os.path.isfile(schema_path):
        raise FileNotFoundError(f"'{directory}' holds no saved graph: {SCHEMA_FILE} is missing.")
    with open(schema_path, encoding="utf-8") as file:
        try:
            schema = json.load(file)
        except json.JSONDecodeError as error:
            raise ValueError(f"{SCHEMA_FILE} in '{directory}' is not valid JSON: {error}.") from None
    if not isinstance(schema, dict) or schema.get("format") != FORMAT:
        raise ValueError(f"{SCHEMA_FILE} in '{directory}' does not describe a quorvix.Graph.")
    if schema.get("version") != VERSION:
        raise ValueError(f"{SCHEMA_FILE} in '{directory}' has format version {schema.get('version')!r}; "
                         f"this quorvix reads version {VERSION}.")
    return schema


def _array(directory: str, kind: str, index: int, mmap: bool) -> np.ndarray:
    name = f"{kind}.{index}.npy"
    file = os.path.join(directory, name)
    if not os.path.isfile(file):
        raise FileNotFoundError(f"'{directory}' lacks {name}, which its {SCHEMA_FILE} lists.")
    array = np.load(file, mmap_mode="r" if mmap else None, allow_pickle=False)
    dtype = _KINDS[kind][0]
    if array.ndim != 1 or array.dtype != dtype:
        raise ValueError(f"{name} in '{directory}' holds an array of dtype {array.dtype} and shape "
                         f"{array.shape}, not a one-dimensional {np.dtype(dtype)} array.")
    return array


def read(path: str | os.PathLike[str], mmap: bool = True) -> tuple[Any, ...]:
    """(absolute directory, node_types, edge_types, colptr, row, node_time, edge_time, edge_weight),
    the arrays memory-mapped read-only when `mmap`."""
    directory = os.path.abspath(os.fspath(path))
    schema = _schema(directory)
    node_types = list(schema["node_types"])
    edge_types = [tuple(edge_type) for edge_type in schema["edge_types"]]
    keys = ["__".join(edge_type) for edge_type in edge_types]
    dicts = []
    for kind, (_, per_edge_type) in _KINDS.items():
        names = keys if per_edge_type else node_types
        dicts.append({names[i]: _array(directory, kind, i, mmap) for i in schema["arrays"].get(kind, [])})
    return (directory, node_types, edge_types, *dicts)
