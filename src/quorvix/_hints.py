"""Notes that say how to fix a failed call, added to its exception (PEP 678) without changing its message.

The compiled module calls these with the exception and the call's arguments (self first) when a
constructor or a sample call raises. They only read the arguments; each adds at most a few notes.
"""

from __future__ import annotations

import re
from typing import Any

import numpy as np

__all__ = ["constructor", "sample"]

_CONSTRUCTOR_ARGUMENTS = ("node_types", "edge_types", "colptr", "row", "node_time", "seed")
_SAMPLE_ARGUMENTS = ("num_neighbors", "sampling_time_offsets", "entity_table", "seed_node", "seed_time")
_INVALID_KEY = re.compile(r"Invalid type '(.*)' found in (\w+)\.", re.S)
_DTYPE = re.compile(r"(?:Type '(.*)' in )?(\w+) must have dtype int64\.", re.S)


def _bind(names: tuple[str, ...], args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
    bound = dict(zip(names, args[1:]))
    bound.update(kwargs)
    return bound


def _kind(value: Any) -> str:
    cls = type(value)
    return cls.__name__ if cls.__module__ == "builtins" else f"{cls.__module__.split('.')[0]}.{cls.__name__}"


def _tuple_key_note(name: str, value: Any) -> str | None:
    if isinstance(value, dict):
        for key in value:
            if isinstance(key, tuple) and all(isinstance(part, str) for part in key):
                return (f"{name} is keyed by the tuple {key!r}: edge-type dicts are keyed by '__'.join(edge_type), "
                        f"here {'__'.join(key)!r}.")
    return None


def _time_dtype_note(label: str, value: Any) -> str | None:
    dtype = getattr(value, "dtype", None)
    if dtype is not None and np.dtype(dtype).kind in "Mm":
        return (f"{label} holds {dtype}: times are int64 counts of one unit, the same for node times, edge "
                f"times and seed times (seconds, say): convert with .astype('datetime64[s]').astype(np.int64).")
    return None


def _dtype_note(error: BaseException, bound: dict[str, Any]) -> str | None:
    match = _DTYPE.fullmatch(str(error))
    if match is None:
        return None
    key, name = match.groups()
    value = bound.get(name)
    if key is not None:
        value = value.get(key) if isinstance(value, dict) else None
    label = f"{name}[{key!r}]" if key is not None else name
    return _time_dtype_note(label, value)


def _invalid_key_note(error: BaseException, bound: dict[str, Any]) -> str | None:
    match = _INVALID_KEY.fullmatch(str(error))
    return None if match is None else _tuple_key_note(match.group(2), bound.get(match.group(2)))


def _add(error: BaseException, note: str | None) -> None:
    if note is not None:
        error.add_note(note)


def constructor(error: BaseException, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    """Hints for Graph(...) and NeighborSampler(...)."""
    bound = _bind(_CONSTRUCTOR_ARGUMENTS, args, kwargs)
    if isinstance(error, KeyError) and len(error.args) == 1:
        key = error.args[0]
        for name in ("colptr", "row"):
            value = bound.get(name)
            if isinstance(value, dict) and key not in value:
                _add(error, _tuple_key_note(name, value) or
                     f"{name} has no array for edge type {key!r}: colptr and row need one for every edge type in "
                     f"edge_types, keyed by '__'.join(edge_type).")
                return
    if isinstance(error, TypeError) and "node_time" in bound and bound["node_time"] is None:
        _add(error, "node_time=None: pass node_time={} for a graph without timestamps.")
    if isinstance(error, TypeError) and "incompatible constructor arguments" in str(error):
        for name in ("colptr", "row"):
            if name in bound and not isinstance(bound[name], dict):
                _add(error, f"{name} is a {_kind(bound[name])}: it must be a dict from edge type key "
                            f"('__'.join(edge_type)) to an int64 array.")
        return
    _add(error, _invalid_key_note(error, bound) or _dtype_note(error, bound))


def _not_an_array_note(name: str, value: Any) -> str | None:
    if isinstance(value, np.ndarray):
        return None
    if value is None:
        if name == "seed_time":
            return ("seed_time=None: pass an empty array, np.empty(0, dtype=np.int64), for no seed times "
                    "(the seeds' own node times are then used, where they have any).")
        return "seed_node=None: pass the seed ids as an int64 array."
    if hasattr(value, "to_numpy"):
        return f"{name} is a {_kind(value)}: pass {name}.to_numpy(dtype=np.int64)."
    if hasattr(value, "numpy") and hasattr(value, "dtype"):
        return f"{name} is a {_kind(value)}: pass {name}.numpy()."
    return f"{name} is a {_kind(value)}: pass np.asarray({name}, dtype=np.int64)."


def _not_a_dict_note(name: str, value: Any, keys: list[str]) -> str | None:
    if isinstance(value, dict):
        return None
    example = keys[0] if keys else "t0__t1__t2"
    if name == "num_neighbors":
        return (f"num_neighbors is a {_kind(value)}: it must be a dict from edge type key to an int64 array "
                f"of fan-outs, one per hop, such as {{{example!r}: np.array([10, 5])}}; every edge type is in "
                f"num_neighbors or sampling_time_offsets ({{}} for none).")
    return (f"sampling_time_offsets is a {_kind(value)}: it must be a dict from edge type key to an int64 "
            f"array of shape (hops, 2), such as {{{example!r}: np.array([[-86400, 0]])}}, or {{}} for none.")


def _offset_note(bound: dict[str, Any]) -> str | None:
    offsets = bound.get("sampling_time_offsets")
    if not isinstance(offsets, dict):
        return None
    for key, value in offsets.items():
        array = np.asarray(value)
        if array.dtype.kind in "iu":
            continue
        if array.dtype.kind == "O" and all(v is None or isinstance(v, (int, np.integer)) for v in array.flat):
            continue
        return (f"sampling_time_offsets[{key!r}] holds {array.dtype} values: offsets are whole numbers in the "
                f"unit of the node times; pass np.asarray(offsets, dtype=np.int64), rounded first if need be.")
    return None


def _unsorted_note(graph: Any, keys: list[str]) -> str | None:
    runs = graph.unsorted_runs
    found = [(key, runs[key]) for key in keys if len(runs.get(key, ())) > 0]
    if not found:
        try:
            graph.check()
        except RuntimeError as error:
            return f"Graph.check() finds: {error}"
        return None
    parts = []
    for key, nodes in found:
        shown = ", ".join(str(int(node)) for node in nodes[:5])
        more = f" and {len(nodes) - 5} more" if len(nodes) > 5 else ""
        parts.append(f"edge type {key!r}, node{'s' if len(nodes) > 1 else ''} {shown}{more}")
    return (f"Runs of row not sorted by time: {'; '.join(parts)}. Sort each node's run by the time it is "
            f"sampled by (Graph.check() names the first position).")


def sample(error: BaseException, args: tuple[Any, ...], kwargs: dict[str, Any]) -> None:
    """Hints for NeighborSampler.sample and sample_with_edge_ids."""
    sampler = args[0] if args else None
    bound = _bind(_SAMPLE_ARGUMENTS, args, kwargs)
    try:
        graph = sampler.graph
        keys = ["__".join(edge_type) for edge_type in graph.edge_types]
        node_types = list(graph.node_types)
    except (AttributeError, TypeError):
        return
    message = str(error)
    if isinstance(error, TypeError) and "incompatible function arguments" in message:
        missing = [name for name in _SAMPLE_ARGUMENTS if name not in bound]
        if missing:
            _add(error, f"sample() takes all five arguments; missing: {', '.join(missing)}.")
        for name in ("num_neighbors", "sampling_time_offsets"):
            if name in bound:
                _add(error, _not_a_dict_note(name, bound[name], keys))
        if "entity_table" in bound and not isinstance(bound["entity_table"], str):
            _add(error, f"entity_table is a {_kind(bound['entity_table'])}: name a node type, one of {node_types}.")
        for name in ("seed_node", "seed_time"):
            if name in bound:
                _add(error, _not_an_array_note(name, bound[name]))
        return
    if isinstance(error, KeyError) and len(error.args) == 1 and error.args[0] in keys:
        key = error.args[0]
        _add(error, _tuple_key_note("num_neighbors", bound.get("num_neighbors"))
             or _tuple_key_note("sampling_time_offsets", bound.get("sampling_time_offsets"))
             or f"Edge type {key!r} is in neither num_neighbors nor sampling_time_offsets: every edge type is in "
                f"one of them; a fan-out of np.array([0]) samples nothing from it.")
        return
    if message.startswith("Invalid entity table "):
        _add(error, f"entity_table names a node type, one of {node_types} (case included).")
        return
    if message.startswith("Unable to cast Python instance"):
        _add(error, _offset_note(bound))
        return
    if message == "Found invalid non-sorted temporal neighborhood":
        _add(error, _unsorted_note(graph, keys))
        return
    _add(error, _invalid_key_note(error, bound) or _dtype_note(error, bound))
