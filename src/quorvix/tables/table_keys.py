"""What comes back with the graph: key maps per table and what became of each foreign key."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Mapping, Tuple

import numpy as np

from .columns import Column, array_of
from .keys import KeyMap, key_kind, referring_keys


@dataclass(frozen=True)
class References:
    """The rows of one foreign key column: ``rows == edges + null + dangling``.

    Args:
        rows: the rows of the child table.
        edges: the references to an existing row; each gives one edge each way.
        null: the null references, skipped.
        dangling: the references to a key no row has, skipped (refused with
            ``strict=True``).
    """

    rows: int       # rows of the child table
    edges: int      # references to an existing row: one edge each way
    null: int       # null references, skipped
    dangling: int   # references to a key no row has, skipped (refused with strict=True)


class TableKeys:
    """Key maps of a graph built from tables, and what became of every foreign key.

    Node ``i`` of a table is its row ``i``. For a table with a primary key, ``to_id`` turns
    keys into node ids and ``to_key`` ids into keys, many at once. ``references`` maps each
    foreign key ``(child, column, parent)`` to its :class:`References` counts.
    ``from_tables`` and ``from_database`` build it; it is not meant to be built by hand.

    Args:
        key_maps: table name -> the key map of its primary key column.
        num_nodes: table name -> its number of rows (nodes), kept as ``num_nodes``.
        references: foreign key -> its :class:`References`, kept as ``references``.
    """

    def __init__(self, key_maps: Mapping[str, KeyMap], num_nodes: Mapping[str, int],
                 references: Mapping[Tuple[str, str, str], References]):
        self._key_maps = dict(key_maps)
        self.num_nodes: Dict[str, int] = dict(num_nodes)
        self.references: Dict[Tuple[str, str, str], References] = dict(references)

    @property
    def dangling(self) -> int:
        """Foreign key values that matched no row, over all foreign keys (skipped)."""
        return sum(r.dangling for r in self.references.values())

    @property
    def primary_keys(self) -> Dict[str, str]:
        """Table -> its primary key column, for the tables that have one."""
        return {t: m.column for t, m in self._key_maps.items()}

    def primary_key(self, table: str) -> str:
        """The primary key column of ``table``.

        Args:
            table: a table name.

        Returns:
            The column's name.

        Raises:
            KeyError: ``table`` is not a table, or has no primary key. The messages are listed
                in the error reference.
        """
        return self._map(table).column

    def to_id(self, table: str, keys: Any) -> np.ndarray:
        """The node id (row position) of each key, as int64; every key must name a row.

        Args:
            table: a table with a primary key.
            keys: one key or a one-dimensional array or list of keys, of the primary key's
                kind (integers or strings).

        Returns:
            A one-dimensional int64 array, one node id per key (one entry for a single key).

        Raises:
            KeyError: ``table`` is not a table or has no primary key, or a key names no row.
            TypeError: the keys are of another kind than the primary key's.
            ValueError: ``keys`` has more than one dimension. The messages are listed in the
                error reference.
        """
        key_map = self._map(table)
        label = f"keys of '{table}'"
        given = array_of(keys)
        if given.ndim == 0:
            given = given.reshape(1)
        if given.ndim != 1:
            raise ValueError(f"{label} must be one-dimensional, got shape {given.shape}")
        values, ends_in_nul = referring_keys(Column(given, None), label)
        if len(values) and len(key_map) and key_kind(values) != key_kind(key_map.keys):
            raise TypeError(f"{label} must be {key_kind(key_map.keys)}, got {key_kind(values)}")
        ids = key_map.find(values)
        ids[ends_in_nul] = -1  # no primary key ends in NUL
        missing = np.flatnonzero(ids < 0)
        if missing.size:
            value = given[missing[0]]
            value = value.item() if isinstance(value, np.generic) else value
            raise KeyError(f"table '{table}' has no row with key {value!r}")
        return ids

    def to_key(self, table: str, ids: Any) -> np.ndarray:
        """The primary key of each node id (int64 or str array).

        Args:
            table: a table with a primary key.
            ids: node ids (integers in ``[0, num_nodes[table])``), of any shape.

        Returns:
            The keys, an array of the ids' shape: int64 for integer keys, str for string keys.

        Raises:
            KeyError: ``table`` is not a table or has no primary key.
            TypeError: ``ids`` are not integers.
            IndexError: an id is not a node of ``table``. The messages are listed in the error
                reference.
        """
        key_map = self._map(table)
        ids = np.asarray(ids)
        if ids.dtype.kind not in "iu":
            raise TypeError(f"ids of '{table}' must be integers, got {ids.dtype}")
        if ids.size and (ids.min() < 0 or ids.max() >= len(key_map)):
            bad = ids[(ids < 0) | (ids >= len(key_map))].flat[0]
            raise IndexError(f"table '{table}' has no node {bad} (it has {len(key_map)})")
        return key_map.keys[ids]

    def _map(self, table: str) -> KeyMap:
        if table not in self._key_maps:
            if table in self.num_nodes:
                raise KeyError(f"table '{table}' has no primary key; its node ids are its rows")
            raise KeyError(f"no table '{table}'")
        return self._key_maps[table]

    def __repr__(self) -> str:
        tables = ", ".join(f"{t}: {n}" for t, n in self.num_nodes.items())
        return f"TableKeys({tables}; {self.dangling} dangling references skipped)"
