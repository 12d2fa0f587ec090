"""Key columns as sortable arrays, and the map from a table's primary keys to node ids.

A node id is the position of the row in its table, so features read in table order are
indexed by node id directly. Keys are integers or strings; the map keeps the keys sorted and
finds many keys at once by bisection.
"""

from __future__ import annotations

from typing import Tuple

import numpy as np

from .columns import Column

_NONE = np.empty(0, dtype=np.int64)


def key_values(column: Column, name: str) -> np.ndarray:
    """The non-null keys of a primary key column as int64 or fixed-width str, in row order."""
    keys, ends_in_nul = referring_keys(column, name)
    if ends_in_nul.size:
        position = int(ends_in_nul[0])
        value = column.values if column.null is None else column.values[~column.null]
        raise ValueError(f"{name} holds {value[position]!r} at row {_row(column, position)}, which "
                         "ends in a NUL character; NumPy strings drop trailing NULs, so it would "
                         f"read as {keys[position].item()!r}")
    return keys


def referring_keys(column: Column, name: str) -> Tuple[np.ndarray, np.ndarray]:
    """The non-null keys of a column as int64 or fixed-width str, in row order, and the
    positions among them of strings that end in NUL.

    NumPy's fixed-width strings drop trailing NULs, so ``'a\\x00'`` reads as ``'a'``. Primary
    keys refuse such strings, so a reference ending in NUL names no row: its position is
    returned so that it is counted as matching none.

    Whole floats count as integers: pandas stores an integer column with missing values as
    floats, NaN for the missing ones.
    """
    values = column.values if column.null is None else column.values[~column.null]
    kind = values.dtype.kind
    if kind in "iu":
        if kind == "u" and values.size and values.max() > np.iinfo(np.int64).max:
            raise ValueError(f"{name} holds integers beyond the int64 range")
        return values.astype(np.int64, copy=False), _NONE
    if kind == "f":
        whole = np.isfinite(values) & (np.floor(values) == values)
        if not whole.all():
            row = _row(column, int(np.flatnonzero(~whole)[0]))
            raise TypeError(f"{name} holds {values[~whole][0].item()!r} at row {row}; keys must be "
                            "integers or strings")
        if values.size and np.abs(values).max() >= 2**53:
            # From 2**53 on a float64 no longer tells neighbouring integers apart: 2**53 + 1
            # arrives as 2**53, so 2**53 itself may stand for another key.
            raise TypeError(f"{name} holds floats beyond 2**53, which cannot keep integer keys exact; "
                            "give it as integers (a nullable integer column if it has nulls)")
        return values.astype(np.int64), _NONE
    if kind == "U":
        return values, _NONE
    if kind == "O":
        if values.size == 0:
            return values.astype(str), _NONE
        return _object_keys(values, column, name)
    raise TypeError(f"{name} must hold integers or strings, got {values.dtype}")


_ends_in_nul = np.frompyfunc(lambda v: v.endswith("\x00"), 1, 1)


def _kinds_of(values: np.ndarray) -> tuple:
    """(is a string, is an integer) per value of an object array (as SQLite hands keys out),
    without a Python call per value: each value's type is taken by ``map`` in C, and each of
    the few distinct types classified once."""
    types = np.fromiter(map(type, values), dtype=object, count=len(values))
    is_str = np.zeros(len(values), dtype=bool)
    is_int = np.zeros(len(values), dtype=bool)
    for kind in set(types):
        if issubclass(kind, str):
            is_str |= types == kind
        elif issubclass(kind, (int, np.integer)) and not issubclass(kind, (bool, np.bool_)):
            is_int |= types == kind
    return is_str, is_int


def _object_keys(values: np.ndarray, column: Column, name: str) -> Tuple[np.ndarray, np.ndarray]:
    """Strings or integers from an object column, refusing a mix, anything else, or
    integers beyond int64; with the positions of strings that end in NUL."""
    is_str, is_int = _kinds_of(values)
    if is_str.all():
        keys = values.astype(str)
        if "\x00" not in "".join(values.tolist()):  # one quick look for a NUL anywhere
            return keys, _NONE
        return keys, np.flatnonzero(_ends_in_nul(values).astype(bool))
    if is_int.all():
        try:
            return values.astype(np.int64), _NONE
        except OverflowError:
            raise ValueError(f"{name} holds integers beyond the int64 range") from None
    # Mixed kinds, or something else: name the first value unlike the first key.
    bad = int(np.flatnonzero(is_str != is_str[0])[0]) if (is_str | is_int).all() else \
        int(np.flatnonzero(~(is_str | is_int))[0])
    raise TypeError(f"{name} holds {values[bad]!r} at row {_row(column, bad)}; keys must be "
                    "integers or strings, all of one kind")


def key_kind(keys: np.ndarray) -> str:
    return "strings" if keys.dtype.kind == "U" else "integers"


def _row(column: Column, position: int) -> int:
    """The row of the position-th non-null value."""
    if column.null is None:
        return position
    return int(np.flatnonzero(~column.null)[position])


class KeyMap:
    """Primary key -> node id (the row's position) and back, for one table.

    Integer keys spread over less than a few times their number are found through a lookup
    array indexed by key; other keys (strings, sparse integers) by bisection in sorted order.
    """

    def __init__(self, keys: np.ndarray, table: str, column: str):
        self.table = table
        self.column = column
        self.keys = keys  # keys[id] is the key of node id
        n = len(keys)
        self.lowest = int(keys.min()) if n and keys.dtype.kind == "i" else 0
        span = int(keys.max()) - self.lowest + 1 if n and keys.dtype.kind == "i" else 0
        self.dense = keys.dtype.kind == "i" and span <= 4 * n + 1024
        if self.dense:
            offset = keys - self.lowest
            counts = np.bincount(offset, minlength=span)
            repeated = np.flatnonzero(counts > 1)
            if repeated.size:
                self._refuse_repeated(np.flatnonzero(offset == repeated[0])[:2])
            self.id_of = np.full(span + 1, -1, dtype=np.int64)  # the last entry: no such key
            self.id_of[offset] = np.arange(n, dtype=np.int64)
            return
        self.order = np.argsort(keys, kind="stable")
        self.sorted = keys[self.order]
        repeated = np.flatnonzero(self.sorted[1:] == self.sorted[:-1])
        if repeated.size:
            self._refuse_repeated(np.sort(self.order[repeated[0]:repeated[0] + 2]))

    def _refuse_repeated(self, rows: np.ndarray) -> None:
        first, second = rows.tolist()
        raise ValueError(f"primary key '{self.table}.{self.column}' holds {self.keys[first].item()!r} "
                         f"twice (rows {first} and {second}); keys must be unique")

    def __len__(self) -> int:
        return len(self.keys)

    def find(self, keys: np.ndarray) -> np.ndarray:
        """The id of every key, -1 for a key that names no row."""
        if len(self.keys) == 0 or (keys.dtype.kind == "U") != (self.keys.dtype.kind == "U"):
            return np.full(len(keys), -1, dtype=np.int64)
        if self.dense:
            span = len(self.id_of) - 1
            if len(keys) and (int(keys.min()) - self.lowest < -2**63 or
                              int(keys.max()) - self.lowest >= 2**63):
                # The differences would wrap around, and might land inside the range.
                inside = (keys >= self.lowest) & (keys < self.lowest + span)
                keys = np.where(inside, keys, self.lowest + span)
            # As unsigned, a key below the lowest is far above the span: both go to the last entry.
            offset = (keys - np.int64(self.lowest)).view(np.uint64)
            np.minimum(offset, np.uint64(span), out=offset)
            return self.id_of[offset]
        position = np.searchsorted(self.sorted, keys)
        np.minimum(position, len(self.sorted) - 1, out=position)
        found = self.sorted[position] == keys
        return np.where(found, self.order[position], -1).astype(np.int64, copy=False)
