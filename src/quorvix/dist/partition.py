"""Partitioning of a quorvix.Graph into parts that open memory-mapped, one directory per part.

A node belongs to part ``id % num_parts`` and has index ``id // num_parts`` within it. Part k's
directory ``part-<k>`` holds, per edge type, the CSC runs of the frontier nodes it owns (colptr over
its own indices, row with global neighbour ids, the global edge id of every position), the times
windows read copied beside row (the edge times, else the neighbours' node times), the weights, and
per node type the ids it owns, their node times and their features. ``manifest.json`` names the
graph's fingerprint, the part count and the part index.

Command line: ``python -m quorvix.dist.partition GRAPH_DIR NUM_PARTS OUT_DIR`` partitions a graph
Graph.save wrote.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
from typing import Any, Mapping

import numpy as np

__all__ = ["FORMAT", "MANIFEST", "partition", "part_directory", "fingerprint", "main"]

FORMAT = "quorvix.Part"
MANIFEST = "manifest.json"


def part_directory(path: str | os.PathLike[str], part: int) -> str:
    return os.path.join(os.fspath(path), f"part-{part}")


def _key(edge_type: tuple[str, str, str]) -> str:
    return "__".join(edge_type)


def fingerprint(graph: Any) -> str:
    """A digest of the graph's names and arrays: parts of one graph share it."""
    digest = hashlib.blake2b(digest_size=16)
    digest.update(json.dumps([list(graph.node_types), [list(e) for e in graph.edge_types]]).encode())
    for table in (graph.colptr, graph.row, graph.node_time, graph.edge_time, graph.edge_weight):
        for name in sorted(table):
            digest.update(name.encode())
            digest.update(np.ascontiguousarray(table[name]).tobytes())
    return digest.hexdigest()


def _node_counts(graph: Any) -> dict[str, int]:
    """Per node type the count ids are checked against, -1 for a type without one (any id passes)."""
    counts: dict[str, int] = {}
    for name in graph.node_types:
        count = graph.num_nodes.get(name)
        counts[name] = -1 if count is None else int(count)
    return counts


def _owned_positions(colptr: np.ndarray, owned: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The part's colptr over `owned` frontier ids and the global row positions of its runs, in order."""
    starts = colptr[owned]
    lengths = colptr[owned + 1] - starts
    local = np.zeros(len(owned) + 1, dtype=np.int64)
    np.cumsum(lengths, out=local[1:])
    positions = np.repeat(starts - local[:-1], lengths) + np.arange(local[-1], dtype=np.int64)
    return local, positions


def _features_of(node_features: Mapping[str, Any] | None) -> dict[str, dict[str, np.ndarray]]:
    """{node type: array or {name: array}} as {node type: {name: array}}; a bare array is named 'x'."""
    named: dict[str, dict[str, np.ndarray]] = {}
    for node_type, value in (node_features or {}).items():
        arrays = value if isinstance(value, Mapping) else {"x": value}
        named[node_type] = {name: np.asarray(array) for name, array in arrays.items()}
    return named


def partition(graph: Any, num_parts: int, path: str | os.PathLike[str], *,
              node_features: Mapping[str, Any] | None = None,
              edge_ids: Mapping[str, Any] | None = None,
              edge_features: Mapping[str, Mapping[str, Any]] | None = None) -> list[str]:
    """Writes `graph` as `num_parts` parts under `path` (made if missing) and returns their directories.

    `node_features` maps a node type to an array with one row per node (named 'x') or to a dict of such
    arrays (features, labels); each part keeps the rows of the nodes it owns. `edge_ids` maps edge type
    keys to the id to record for each position of the graph's row (by default the position itself), for
    graphs whose edges have ids of their own, such as PyG's edge order. `edge_features` maps edge type
    keys to {name: array with one row per position of row}; the owner of an edge's frontier node keeps
    its rows.
    """
    num_parts = int(num_parts)
    if num_parts < 1:
        raise ValueError(f"num_parts must be at least 1, got {num_parts}.")
    counts = _node_counts(graph)
    features = _features_of(node_features)
    for key, ids in (edge_ids or {}).items():
        if key not in graph.row:
            raise ValueError(f"edge_ids names '{key}', which is not an edge type of the graph.")
        if len(ids) != len(graph.row[key]):
            raise ValueError(f"edge_ids['{key}'] has {len(ids)} entries, not one per edge ({len(graph.row[key])}).")
    edge_arrays = {key: {name: np.asarray(array) for name, array in arrays.items()}
                   for key, arrays in (edge_features or {}).items()}
    for key, arrays in edge_arrays.items():
        if key not in graph.row:
            raise ValueError(f"edge_features names '{key}', which is not an edge type of the graph.")
        for name, array in arrays.items():
            if len(array) != len(graph.row[key]):
                raise ValueError(f"edge_features['{key}']['{name}'] has {len(array)} rows, not one per edge "
                                 f"({len(graph.row[key])}).")
    # The ids each part owns rows of: a type's count, or for a type the graph gives none, its features' rows.
    extents = {name: max(count, 0) for name, count in counts.items()}
    for node_type, arrays in features.items():
        if node_type not in counts:
            raise ValueError(f"node_features names '{node_type}', which is not a node type of the graph.")
        if counts[node_type] < 0 and arrays:
            extents[node_type] = len(next(iter(arrays.values())))
        for name, array in arrays.items():
            if len(array) != extents[node_type]:
                raise ValueError(f"node_features['{node_type}']['{name}'] has {len(array)} rows, not the "
                                 f"type's {extents[node_type]} nodes.")
    print_key = fingerprint(graph)
    node_time = graph.node_time
    edge_time = graph.edge_time
    edge_weight = graph.edge_weight
    directories = []
    for part in range(num_parts):
        directory = part_directory(path, part)
        if os.path.exists(os.path.join(directory, MANIFEST)):
            raise FileExistsError(f"'{directory}' already holds a part ({MANIFEST}).")
        os.makedirs(directory, exist_ok=True)
        edge_entries = []
        for index, edge_type in enumerate(graph.edge_types):
            key = _key(tuple(edge_type))
            neighbour_type, frontier_type = edge_type[0], edge_type[2]
            colptr = np.asarray(graph.colptr[key])
            owned = np.arange(part, max(len(colptr) - 1, 0), num_parts, dtype=np.int64)
            local_colptr, positions = _owned_positions(colptr, owned)
            row = np.asarray(graph.row[key])[positions]
            np.save(os.path.join(directory, f"colptr.{index}.npy"), local_colptr)
            np.save(os.path.join(directory, f"row.{index}.npy"), row)
            given = (edge_ids or {}).get(key)
            np.save(os.path.join(directory, f"edge_id.{index}.npy"),
                    positions if given is None else np.asarray(given, dtype=np.int64)[positions])
            # The times a window reads, beside row: edge times win over the neighbours' node times.
            time_source = None
            if key in edge_time:
                time_source = "edge_time"
                times = np.asarray(edge_time[key])[positions]
            elif neighbour_type in node_time:
                time_source = "node_time"
                times = np.asarray(node_time[neighbour_type])[row]
            if time_source is not None:
                np.save(os.path.join(directory, f"time.{index}.npy"), times)
            if key in edge_weight:
                np.save(os.path.join(directory, f"weight.{index}.npy"), np.asarray(edge_weight[key])[positions])
            for name, array in edge_arrays.get(key, {}).items():
                np.save(os.path.join(directory, f"edge_feature.{index}.{name}.npy"), array[positions])
            # The frontier count each colptr bounds: request checks refuse the ids one sampler refuses.
            edge_entries.append({"key": key, "time": time_source, "weighted": key in edge_weight,
                                 "frontier_count": len(colptr) - 1,
                                 "edge_ids": "positions" if given is None else "given"})
        for index, node_type in enumerate(graph.node_types):
            ids = np.arange(part, extents[node_type], num_parts, dtype=np.int64)
            np.save(os.path.join(directory, f"ids.{index}.npy"), ids)
            if node_type in node_time:
                np.save(os.path.join(directory, f"node_time.{index}.npy"), np.asarray(node_time[node_type])[ids])
            for name, array in features.get(node_type, {}).items():
                np.save(os.path.join(directory, f"feature.{index}.{name}.npy"), array[ids])
        manifest = {
            "format": FORMAT,
            "version": 1,
            "fingerprint": print_key,
            "num_parts": num_parts,
            "part": part,
            "node_types": list(graph.node_types),
            "edge_types": [list(e) for e in graph.edge_types],
            "num_nodes": counts,
            "has_node_time": bool(node_time),
            "node_time": [t for t in graph.node_types if t in node_time],
            "edges": edge_entries,
            "features": {t: sorted(arrays) for t, arrays in features.items()},
            "edge_features": {key: sorted(arrays) for key, arrays in edge_arrays.items()},
        }
        # The manifest last: a directory without one is an interrupted write, refused when opened.
        with open(os.path.join(directory, MANIFEST), "w", encoding="utf-8") as file:
            json.dump(manifest, file, indent=1)
        directories.append(directory)
    return directories


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m quorvix.dist.partition",
                                     description="Partition a graph Graph.save wrote into parts.")
    parser.add_argument("graph", help="directory of a saved quorvix.Graph")
    parser.add_argument("num_parts", type=int)
    parser.add_argument("out", help="directory to write part-<k> directories into")
    args = parser.parse_args(argv)
    import quorvix

    graph = quorvix.Graph.load(args.graph)
    for directory in partition(graph, args.num_parts, args.out):
        print(directory)


if __name__ == "__main__":
    main()
