"""From relational tables to a quorvix graph: tables are node types, foreign keys edges::

    graph, keys = from_tables(tables, primary_keys, foreign_keys, time_columns)
    graph, keys = from_database(duckdb.connect("shop.db"), time_columns={"orders": "time"})

Node ``i`` of a table is its row ``i``; ``keys.to_id`` and ``keys.to_key`` map primary keys to
node ids and back. A foreign key column ``c`` of ``child`` pointing to ``parent`` gives the
edge types ``(child, "f2p_c", parent)`` (a parent samples the children that refer to it) and
``(parent, "rev_f2p_c", child)`` (a child samples its parent). Node types come in table name
order, edge types in (child table, column) order, whatever the backend. :func:`features`
reads chosen columns as arrays in node-id order. Only NumPy is needed here;
pyarrow, pandas, polars, DuckDB and SQLite tables are read through their own libraries.
"""

from __future__ import annotations

from typing import Any, Mapping, Optional, Sequence, Tuple, Union

from .build import ForeignKey, GraphArrays, edge_types_of, table_arrays
from .database import database_keys, database_tables
from .features import Features, features
from .table_keys import References, TableKeys

__all__ = ["from_tables", "from_database", "features", "Features", "table_arrays", "edge_types_of",
           "GraphArrays", "TableKeys", "References"]


def from_tables(tables: Mapping[str, Any], primary_keys: Mapping[str, Optional[str]],
                foreign_keys: Sequence[ForeignKey], time_columns: Optional[Mapping[str, str]] = None,
                *, strict: bool = False) -> Tuple[Any, TableKeys]:
    """A ``quorvix.Graph`` of a set of tables, and the key maps that come with it.

    Args:
        tables: table name -> a pyarrow Table, a pandas or polars DataFrame, a DuckDB
            relation or a dict of equal-length columns. Each table is a node type; its rows,
            in order, are the nodes 0, 1, ...
        primary_keys: table name -> its primary key column (integers or strings, unique, not
            null; any order, any gaps). A table left out has no key map.
        foreign_keys: ``(child table, column, parent table)`` triples: ``column`` of ``child``
            holds primary keys of ``parent``. Null values are skipped; values that match no
            row are counted in ``keys.references`` and skipped, or refused if ``strict``.
        time_columns: table name -> the column that is the time of each row: integers (taken
            as seconds), datetimes or dates (seconds since the epoch, UTC), or ISO 8601
            strings; nulls and times that are not whole seconds are refused. A table left out
            has no node times.
        strict: refuse foreign key values that match no row instead of skipping them.

    Returns:
        ``(graph, keys)``: the graph, whose neighbour runs are sorted by time (ties in row
        order), and a :class:`TableKeys`.

    Raises:
        KeyError: a table or column named in ``primary_keys``, ``foreign_keys`` or
            ``time_columns`` does not exist.
        TypeError: a table is of no kind that can be read, a column is named by something
            other than a string, a key column holds neither integers nor strings (or a
            foreign key column another kind than its parent's primary key), or a time column
            holds neither integers, datetimes nor ISO 8601 strings.
        ValueError: a table or foreign key column name contains ``"__"``, a foreign key is
            not a triple or is listed twice, a dict table's columns differ in length, a
            primary key is null or not unique, a time column has nulls or times that are not
            whole seconds, or (with ``strict``) a foreign key value matches no row. The
            messages are listed in the error reference.

    Example:
        >>> import numpy as np
        >>> from quorvix.tables import from_tables
        >>> tables = {"users": {"id": np.array([10, 20, 30])},
        ...           "orders": {"id": np.array([1, 2, 3, 4]), "user": np.array([10, 10, 30, 99]),
        ...                      "time": np.array([5, 7, 9, 11])}}
        >>> graph, keys = from_tables(tables, {"users": "id", "orders": "id"},
        ...                           [("orders", "user", "users")], {"orders": "time"})
        >>> graph.edge_types
        [('orders', 'f2p_user', 'users'), ('users', 'rev_f2p_user', 'orders')]
        >>> keys
        TableKeys(orders: 4, users: 3; 1 dangling references skipped)
        >>> keys.to_id("users", [30, 10])
        array([2, 0])
    """
    arrays, keys = table_arrays(tables, primary_keys, foreign_keys, time_columns, strict=strict)
    return _graph(arrays), keys


def from_database(connection: Any, tables: Union[None, Sequence[str], Mapping[str, str]] = None,
                  primary_keys: Optional[Mapping[str, Optional[str]]] = None,
                  foreign_keys: Optional[Sequence[ForeignKey]] = None,
                  time_columns: Optional[Mapping[str, str]] = None, *,
                  strict: bool = False) -> Tuple[Any, TableKeys]:
    """As :func:`from_tables`, for the tables of a DuckDB or ``sqlite3`` connection.

    Args:
        connection: a ``duckdb`` or ``sqlite3`` connection.
        tables: the table names to take (default: every table of the current schema), or a
            dict of node type name -> SQL query whose result is that table.
        primary_keys, foreign_keys: as for :func:`from_tables`; each one left as None is
            read from the database's constraints (single-column PRIMARY KEY and FOREIGN KEY
            clauses between the tables taken; composite keys are left out).
        time_columns, strict: as for :func:`from_tables`.

    Returns:
        ``(graph, keys)`` as :func:`from_tables` returns them.

    Raises:
        TypeError: ``connection`` is neither a DuckDB nor an ``sqlite3`` connection, or
            ``tables`` is a string; and as for :func:`from_tables`.
        KeyError, ValueError: as for :func:`from_tables`. The messages are listed in the
            error reference.
    """
    table_objects = database_tables(connection, tables)
    if primary_keys is None or foreign_keys is None:
        schema_primary, schema_foreign = database_keys(connection, list(table_objects))
        primary_keys = schema_primary if primary_keys is None else primary_keys
        foreign_keys = schema_foreign if foreign_keys is None else foreign_keys
    return from_tables(table_objects, primary_keys, foreign_keys, time_columns, strict=strict)


def _graph(arrays: GraphArrays) -> Any:
    import quorvix

    return quorvix.Graph(*arrays)
