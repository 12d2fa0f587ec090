"""Columns of the tables as feature arrays in node-id order, cached on disk.

Row ``i`` of a table is node ``i`` of the graph ``from_tables`` / ``from_database`` builds
from the same tables, and the features are read through the same readers in the same order
(a database table in rowid order), so feature row ``i`` belongs to node ``i``. Each column
becomes one array, by its kind:

- ``"numerical"``: float32, NaN for null (integers, floats; booleans as 0/1);
- ``"categorical"``: int64 codes into the sorted distinct values (``categories``), -1 for
  null (strings, booleans, or any column named so);
- ``"timestamp"``: int64 seconds since the epoch, as for time columns; null is the
  smallest int64 (NumPy's NaT).

With ``cache=directory`` the arrays are written there as .npy files and later calls open
them memory-mapped instead of reading the tables again.
"""

from __future__ import annotations

import hashlib
import json
from pathlib import Path
from typing import Any, Dict, List, Mapping, Optional, Sequence, Union

import numpy as np

from .columns import Column, column_names, num_rows, read_columns
from .database import database_tables
from .times import _parse

KINDS = ("numerical", "categorical", "timestamp")
ColumnChoice = Union[Sequence[str], Mapping[str, Optional[str]]]
MANIFEST = "features.json"


class Features:
    """Feature arrays per table and column, in node-id order.

    ``arrays[table][column]`` is the column's array, ``kinds[table][column]`` its kind,
    ``categories[table][column]`` the values a categorical column's codes index, and
    ``num_rows[table]`` the table's number of rows (nodes). :func:`features` builds it.

    Args:
        arrays: table -> column -> its array, kept as ``arrays``.
        kinds: table -> column -> ``"numerical"``, ``"categorical"`` or ``"timestamp"``,
            kept as ``kinds``.
        categories: table -> categorical column -> the values its codes index, kept as
            ``categories``.
        num_rows: table -> its number of rows, kept as ``num_rows``.
    """

    def __init__(self, arrays: Dict[str, Dict[str, np.ndarray]], kinds: Dict[str, Dict[str, str]],
                 categories: Dict[str, Dict[str, np.ndarray]], num_rows: Dict[str, int]):
        self.arrays = arrays
        self.kinds = kinds
        self.categories = categories
        self.num_rows = num_rows

    def tensors(self) -> Dict[str, Dict[str, Any]]:
        """The arrays as torch tensors sharing their memory.

        Returns:
            table -> column -> a tensor over the column's array (no copy).
        """
        import torch

        return {t: {c: torch.from_numpy(a) for c, a in columns.items()} for t, columns in self.arrays.items()}

    def to_hetero_data(self) -> Any:
        """A PyG ``HeteroData`` holding every column as a node attribute of its table (and
        each table's ``num_nodes``): a feature store PyG's loaders gather batches from.

        Returns:
            HeteroData: one node type per table, its columns as tensors sharing the arrays'
            memory.
        """
        from torch_geometric.data import HeteroData

        data = HeteroData()
        for table, columns in self.tensors().items():
            data[table].num_nodes = self.num_rows[table]
            for column, tensor in columns.items():
                data[table][column] = tensor
        return data

    def __repr__(self) -> str:
        tables = ", ".join(f"{t}: {len(c)} columns" for t, c in self.arrays.items())
        return f"Features({tables})"


def features(source: Any, columns: Mapping[str, ColumnChoice], *, cache: Union[None, str, Path] = None,
             keys: Any = None) -> Features:
    """Chosen columns of every table, as arrays in node-id order.

    Args:
        source: the tables as :func:`quorvix.tables.from_tables` takes them (table name -> a
            pyarrow Table, a pandas or polars DataFrame, a DuckDB relation or a dict of
            columns), or a DuckDB or ``sqlite3`` connection whose tables are read as
            :func:`quorvix.tables.from_database` reads them.
        columns: table name -> the columns to take: a list (each column's kind found from
            its values) or a dict column -> kind (``"numerical"``, ``"categorical"``,
            ``"timestamp"`` or None to find it), as an SQLite time column stored as text
            needs ``"timestamp"``.
        cache: a directory: the arrays are written there, and a later call asking for
            columns already there opens them memory-mapped instead of reading the tables
            (a table whose number of rows changed is read again; clear the directory when
            the data change otherwise).
        keys: the ``TableKeys`` of the graph built from the same tables; its node counts
            are checked against the tables' rows.

    Returns:
        Features: per table and column the array in row (node id) order: float32 for a
        numerical column (NaN where null), int64 codes into ``categories`` for a categorical
        one (-1 where null, the categories sorted), int64 seconds since the epoch for a
        timestamp one (the smallest int64 where null).

    Raises:
        KeyError: ``columns`` names a table or a column that is not there.
        TypeError: a table's choice is a string rather than a list or dict, or a column
            cannot be read as the kind asked for.
        ValueError: a kind is not one of the three, or a table's number of rows differs from
            the node count in ``keys``. The messages are listed in the error reference.

    Example:
        >>> import numpy as np
        >>> from quorvix.tables import features
        >>> tables = {"products": {"id": np.array([7, 8, 9]), "price": np.array([2.5, 4.0, 1.0]),
        ...                        "colour": np.array(["red", "blue", "red"])}}
        >>> found = features(tables, {"products": ["price", "colour"]})
        >>> found.kinds["products"]
        {'price': 'numerical', 'colour': 'categorical'}
        >>> found.arrays["products"]["colour"], found.categories["products"]["colour"]
        (array([1, 0, 1]), array(['blue', 'red'], dtype='<U4'))
    """
    wanted = {t: _choices(t, c) for t, c in columns.items()}
    tables = _tables(source, list(wanted))
    cached = _Cache(Path(cache)) if cache is not None else None
    arrays: Dict[str, Dict[str, np.ndarray]] = {}
    kinds: Dict[str, Dict[str, str]] = {}
    categories: Dict[str, Dict[str, np.ndarray]] = {}
    rows: Dict[str, int] = {}
    for table, choices in wanted.items():
        rows[table] = num_rows(tables[table])
        if keys is not None and table in keys.num_nodes and keys.num_nodes[table] != rows[table]:
            raise ValueError(f"table '{table}' has {rows[table]} rows but the graph has "
                             f"{keys.num_nodes[table]} nodes of that type; read both from the same tables")
        arrays[table], kinds[table], categories[table] = {}, {}, {}
        missing = [c for c, kind in choices.items()
                   if cached is None or not cached.has(table, c, kind, rows[table])]
        for name in missing:
            if name not in column_names(tables[table]):
                raise KeyError(f"table '{table}' has no column '{name}' (named in columns)")
        read = read_columns(tables[table], missing) if missing else {}
        for name, kind in choices.items():
            if name in read:
                array, found_kind, values = encode(read[name], kind, f"'{table}.{name}'")
                if cached is not None:
                    cached.put(table, name, found_kind, rows[table], array, values)
            else:
                array, found_kind, values = cached.get(table, name)  # type: ignore[union-attr]
            arrays[table][name], kinds[table][name] = array, found_kind
            if values is not None:
                categories[table][name] = values
    if cached is not None:
        cached.save()
    return Features(arrays, kinds, categories, rows)


def encode(column: Column, kind: Optional[str], name: str):
    """(array, kind, categories or None) of one column."""
    values, null = column.values, column.null
    if kind is None:
        kind = _kind_of(values, null)
    if kind == "numerical":
        return _numbers(values, null, name), kind, None
    if kind == "categorical":
        codes, distinct = _codes(values, null)
        return codes, kind, distinct
    return _seconds(values, null, name), kind, None


def _choices(table: str, choice: ColumnChoice) -> Dict[str, Optional[str]]:
    if isinstance(choice, str):
        raise TypeError(f"columns of '{table}' must be a list of column names or a dict of name -> kind, "
                        "got a string")
    choices = dict(choice) if isinstance(choice, Mapping) else {c: None for c in choice}
    for column, kind in choices.items():
        if kind is not None and kind not in KINDS:
            raise ValueError(f"column '{table}.{column}' has kind {kind!r}; the kinds are "
                             "'numerical', 'categorical' and 'timestamp'")
    return choices


def _tables(source: Any, names: List[str]) -> Mapping[str, Any]:
    module = type(source).__module__.split(".")[0].lstrip("_")
    if module in ("duckdb", "sqlite3") and not isinstance(source, Mapping):
        return database_tables(source, names)
    for name in names:
        if name not in source:
            raise KeyError(f"columns names table '{name}', which is not in tables")
    return source


def _kind_of(values: np.ndarray, null: Optional[np.ndarray]) -> str:
    kind = values.dtype.kind
    if kind in "iuf":
        return "numerical"
    if kind in "mM":
        return "timestamp"
    if kind == "O":
        present = values if null is None else values[~null]
        types = set(map(type, present))
        if types and all(issubclass(t, (int, float, np.integer, np.floating)) and not issubclass(t, bool)
                         for t in types):
            return "numerical"
    return "categorical"


def _numbers(values: np.ndarray, null: Optional[np.ndarray], name: str) -> np.ndarray:
    if null is not None:
        values = np.where(null, 0, values)
    try:
        out = np.asarray(values, dtype=np.float32)
    except (TypeError, ValueError):
        raise TypeError(f"column {name} must hold numbers to be numerical, got {values.dtype}") from None
    if null is not None:
        out[null] = np.nan
    return np.ascontiguousarray(out)


def _codes(values: np.ndarray, null: Optional[np.ndarray]):
    present = values if null is None else values[~null]
    if present.dtype.kind == "O":
        # One kind of value per column for sorting: the strings of mixed values.
        kinds = set(map(type, present))
        if len(kinds) > 1:
            present = present.astype(str)
    distinct, codes = np.unique(present, return_inverse=True)
    out = np.full(len(values), -1, dtype=np.int64)
    if null is None:
        out[:] = codes.reshape(-1)
    else:
        out[~null] = codes.reshape(-1)
    if distinct.dtype.kind == "O" and not _ends_in_nul(distinct):
        distinct = distinct.astype(str)
    return out, distinct


def _ends_in_nul(values: np.ndarray) -> bool:
    """Whether a string among `values` ends in NUL, which a fixed-width string array would drop
    (so that 'a' and 'a\\x00' would read as one category)."""
    return any(isinstance(v, str) and v.endswith("\x00") for v in values.tolist())


def _seconds(values: np.ndarray, null: Optional[np.ndarray], name: str) -> np.ndarray:
    out = np.full(len(values), np.iinfo(np.int64).min, dtype=np.int64)
    present = values if null is None else values[~null]
    if present.dtype.kind in "iu" or (present.dtype.kind == "O" and _all_integers(present)):
        seconds = present.astype(np.int64)  # seconds already (SQLite hands integers out as objects)
    else:
        if present.dtype.kind in "OUS":
            present = _parse(present, f"{name}")
        seconds = present.astype("datetime64[s]" if present.dtype.kind == "M" else "timedelta64[s]").view(np.int64)
    if null is None:
        out[:] = seconds
    else:
        out[~null] = seconds
    return out


def _all_integers(values: np.ndarray) -> bool:
    return all(issubclass(t, (int, np.integer)) and not issubclass(t, bool) for t in set(map(type, values)))


class _Cache:
    """A directory of .npy files and a manifest naming them, per table and column."""

    def __init__(self, directory: Path):
        self.directory = directory
        manifest = directory / MANIFEST
        self.entries: Dict[str, Dict[str, Any]] = json.loads(manifest.read_text()) if manifest.exists() else {}

    def has(self, table: str, column: str, kind: Optional[str], rows: int) -> bool:
        entry = self.entries.get(table, {}).get(column)
        return (entry is not None and entry["rows"] == rows and (kind is None or entry["kind"] == kind)
                and (self.directory / entry["file"]).exists())

    def get(self, table: str, column: str):
        entry = self.entries[table][column]
        # Copy-on-write: the pages are shared and read on demand, and torch may wrap them.
        array = np.load(self.directory / entry["file"], mmap_mode="c")
        if "category_list" in entry:  # strings a fixed-width array would change
            values = np.array(entry["category_list"] + [None], dtype=object)[:-1]
        else:
            values = np.load(self.directory / entry["categories"]) if entry.get("categories") else None
        return array, entry["kind"], values

    def put(self, table: str, column: str, kind: str, rows: int, array: np.ndarray,
            values: Optional[np.ndarray]) -> None:
        self.directory.mkdir(parents=True, exist_ok=True)
        stem = hashlib.sha1(f"{table}\0{column}".encode()).hexdigest()[:16]  # any names, one file each
        entry = {"kind": kind, "rows": rows, "file": f"{stem}.npy"}
        np.save(self.directory / entry["file"], array)
        if values is not None and values.dtype.kind == "O":
            entry["category_list"] = values.tolist()
        elif values is not None:
            entry["categories"] = f"{stem}.categories.npy"
            np.save(self.directory / entry["categories"], values)
        self.entries.setdefault(table, {})[column] = entry

    def save(self) -> None:
        if self.entries:
            self.directory.mkdir(parents=True, exist_ok=True)
            (self.directory / MANIFEST).write_text(json.dumps(self.entries, indent=1))
