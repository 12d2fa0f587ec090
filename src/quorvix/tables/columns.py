"""Columns of the supported table kinds as NumPy arrays with a null mask.

A table is a pyarrow Table, a pandas or polars DataFrame, a DuckDB relation or a dict of
equal-length array-likes (NumPy masked arrays and object arrays holding None carry nulls).
None of these libraries is imported here: a table is recognised by its module's name, so a
user who never passes a polars frame never needs polars installed.
"""

from __future__ import annotations

from typing import Any, Dict, NamedTuple, Optional, Sequence

import numpy as np


class Column(NamedTuple):
    """One column: ``values[i]`` is meaningless where ``null[i]`` is True."""

    values: np.ndarray
    null: Optional[np.ndarray]  # None when the column has no nulls


class SqliteTable(NamedTuple):
    """A table or query of an SQLite connection, read column by column when needed."""

    connection: Any
    source: str  # the FROM clause: a quoted table name or a parenthesised query
    # A table is read in rowid order: without it SQLite may return rows in the order of an
    # index it happens to use, and node ids would depend on which columns are asked for.
    order: str = ""

    def select(self, what: str) -> list:
        return self.connection.execute(f"SELECT {what} FROM {self.source}{self.order}").fetchall()

    def names(self) -> list:
        cursor = self.connection.execute(f"SELECT * FROM {self.source} LIMIT 0")
        return [d[0] for d in cursor.description]


def _kind(table: Any) -> str:
    if isinstance(table, dict):
        return "dict"
    if isinstance(table, SqliteTable):
        return "sqlite"
    module = type(table).__module__.split(".")[0]
    if module in ("pyarrow", "pandas", "polars", "duckdb", "_duckdb"):
        return module.lstrip("_")
    raise TypeError(
        "a table must be a pyarrow Table, a pandas or polars DataFrame, a DuckDB relation or "
        f"a dict of columns, got {type(table).__name__}")


def column_names(table: Any) -> list:
    kind = _kind(table)
    if kind == "dict":
        return list(table)
    if kind == "pyarrow":
        return list(table.column_names)
    if kind == "sqlite":
        return table.names()
    return list(table.columns)


def read_columns(table: Any, names: Sequence[str]) -> Dict[str, Column]:
    """The named columns of one table (each name once), read in one pass where the kind allows."""
    kind = _kind(table)
    names = list(dict.fromkeys(names))
    if kind == "duckdb":
        # Only the columns needed cross into Python, fetched in one query.
        if not names:
            return {}
        fetched = table.project(", ".join(quote(n) for n in names)).fetchnumpy()
        return {n: _from_numpy(fetched[n]) for n in names}
    if kind == "sqlite":
        if not names:
            return {}
        rows = table.select(", ".join(quote(n) for n in names))
        # SQLite hands out rows of Python objects, None for NULL: one assignment (in C) lays
        # them out as a 2-D object array, about three times quicker than transposing them.
        values = np.empty((len(rows), len(names)), dtype=object)
        if rows:
            values[:] = rows
        return {n: _from_numpy(np.ascontiguousarray(values[:, i])) for i, n in enumerate(names)}
    reader = {"dict": _dict_column, "pyarrow": _arrow_column, "pandas": _pandas_column,
              "polars": _polars_column}[kind]
    return {n: reader(table, n) for n in names}


def num_rows(table: Any) -> int:
    kind = _kind(table)
    if kind == "dict":
        lengths = {len(v) for v in table.values()}
        if len(lengths) > 1:
            raise ValueError(f"the columns of a dict table differ in length: {sorted(lengths)}")
        return lengths.pop() if lengths else 0
    if kind == "pyarrow":
        return table.num_rows
    if kind == "duckdb":
        return int(table.aggregate("count(*)").fetchall()[0][0])
    if kind == "sqlite":
        return int(table._replace(order="").select("count(*)")[0][0])
    return len(table)


def _object_array(values: tuple) -> np.ndarray:
    array = np.empty(len(values), dtype=object)
    array[:] = values  # element by element: NumPy would otherwise nest sequences
    return array


def quote(name: str) -> str:
    """An SQL identifier, quoted."""
    return '"' + name.replace('"', '""') + '"'


def plain(value: Any) -> Any:
    """A NumPy scalar as the Python value it holds, for messages."""
    return value.item() if isinstance(value, np.generic) and value.dtype.kind not in "mM" else value


def _from_numpy(values: Any) -> Column:
    if isinstance(values, np.ma.MaskedArray):
        null = np.ma.getmaskarray(values)
        return Column(np.asarray(values.data), null if null.any() else None)
    values = np.asarray(values)
    if values.dtype.kind == "O":
        # None, and NaN as pandas leaves it in object columns, are nulls.
        null = np.equal(values, None) | (values != values)
        return Column(values, null if null.any() else None)
    if values.dtype.kind in "mM":
        null = np.isnat(values)
        return Column(values, null if null.any() else None)
    if values.dtype.kind == "f":
        null = np.isnan(values)  # pandas' null in an integer column
        return Column(values, null if null.any() else None)
    return Column(values, None)


def _dict_column(table: dict, name: str) -> Column:
    return _from_numpy(array_of(table[name]))


def array_of(values: Any) -> np.ndarray:
    """An array of what a dict table's column holds.

    A list mixing strings with other values, or booleans with numbers, becomes an object
    array, checked as one would be: NumPy would quietly turn ``["a", 1]`` into strings and
    ``[True, 2]`` into integers. So does a list of strings one of which ends in NUL, which
    a fixed-width string array would drop. An empty list, of no type, gives an empty object
    array rather than NumPy's float64.
    """
    if not isinstance(values, (list, tuple)):
        return values if isinstance(values, np.ndarray) else np.asarray(values)  # masks stay
    kinds = set(map(type, values))
    strings = any(issubclass(k, str) for k in kinds)
    if strings:
        mixed = any(not issubclass(k, str) and k is not type(None) for k in kinds) or \
            any(v.endswith("\x00") for v in values if isinstance(v, str))
    else:
        mixed = any(issubclass(k, (bool, np.bool_)) for k in kinds) and \
            any(issubclass(k, (int, float, np.integer, np.floating)) and not issubclass(k, bool)
                for k in kinds)
    return _object_array(tuple(values)) if mixed or not values else np.asarray(values)


def _arrow_column(table: Any, name: str) -> Column:
    import pyarrow as pa
    import pyarrow.compute as pc

    column = table.column(name)
    if pa.types.is_dictionary(column.type):
        column = column.cast(column.type.value_type)
    if column.null_count == 0:
        return _from_numpy(column.to_numpy())
    null = column.is_null().to_numpy()
    if pa.types.is_integer(column.type):
        column = pc.fill_null(column, 0)  # else to_numpy would turn the integers into floats
    return Column(_from_numpy(column.to_numpy()).values, null)


def _pandas_column(table: Any, name: str) -> Column:
    series = table[name]
    null = series.isna().to_numpy()
    dtype = series.dtype
    if getattr(dtype, "tz", None) is not None:
        # A time zone-aware column: the same instants, in UTC, without the zone.
        series = series.dt.tz_convert("UTC").dt.tz_localize(None)
    elif dtype.kind in "iu" and not isinstance(dtype, np.dtype):
        # A nullable integer column (Int64 and the like).
        return Column(series.to_numpy(dtype=np.int64, na_value=0), null if null.any() else None)
    values = series.to_numpy()
    return Column(values, null if null.any() else None)


def _polars_column(table: Any, name: str) -> Column:
    import polars as pl

    series = table[name]
    if series.dtype == pl.Categorical or series.dtype == pl.Enum:
        series = series.cast(pl.Utf8)
    null = series.is_null().to_numpy()
    if series.dtype.is_integer() and null.any():
        series = series.fill_null(0)  # else to_numpy would turn the integers into floats
    values = series.to_numpy()
    return Column(values, null if null.any() else None)
