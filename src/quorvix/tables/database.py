"""Tables and their keys read from a DuckDB or SQLite connection.

Primary and foreign keys not given are read from the database's own constraints: a
single-column PRIMARY KEY, and single-column FOREIGN KEYs between the tables taken.
Composite keys are left out (a graph node is one row named by one key).

Rows are read in one stable order, so that node ids (and features read later) never depend
on how the engine scans: a table's rows in rowid order (its insertion order; an SQLite table
WITHOUT ROWID in primary key order), with or without a primary key. A query's rows are taken
in the order the query gives: give it an ORDER BY.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from .columns import SqliteTable, quote

Schema = Tuple[Dict[str, str], List[Tuple[str, str, str]]]


def database_tables(connection: Any, tables: Union[None, Sequence[str], Mapping[str, str]]
                    ) -> Dict[str, Any]:
    """Table name -> a table object :func:`read_columns` reads; a mapping gives SQL queries."""
    kind = _kind(connection)
    if tables is None:
        tables = _table_names(connection, kind)
    if isinstance(tables, str):
        raise TypeError("tables must be a list of table names or a dict of name -> SQL query, "
                        "got a string")
    queries = dict(tables) if isinstance(tables, Mapping) else {t: None for t in tables}
    out: Dict[str, Any] = {}
    for name, query in queries.items():
        if kind == "duckdb":
            # Rows in rowid (insertion) order, imposed rather than left to the scan.
            out[name] = (connection.sql(f"SELECT * FROM {quote(name)} ORDER BY rowid") if query is None
                         else connection.sql(query))
        else:
            out[name] = (SqliteTable(connection, quote(name), _rowid_order(connection, name))
                         if query is None else SqliteTable(connection, f"({query})"))
    return out


def database_keys(connection: Any, tables: Sequence[str]) -> Schema:
    """(primary_keys, foreign_keys) of the named tables, from the database's constraints."""
    kind = _kind(connection)
    primary, foreign = (_duckdb_keys if kind == "duckdb" else _sqlite_keys)(connection, tables)
    taken = set(tables)
    foreign = [fk for fk in foreign if fk[0] in taken and fk[2] in taken]
    return primary, foreign


def _rowid_order(connection: Any, table: str) -> str:
    """ORDER BY rowid, except for a WITHOUT ROWID table, which is read in primary key order."""
    found = connection.execute("SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?",
                               (table,)).fetchone()
    if found and found[0] and "WITHOUT ROWID" in " ".join(found[0].upper().split()):
        return ""
    return " ORDER BY rowid"


def _kind(connection: Any) -> str:
    module = type(connection).__module__.split(".")[0].lstrip("_")
    if module in ("duckdb", "sqlite3"):
        return module
    raise TypeError(f"connection must be a DuckDB or sqlite3 connection, got {type(connection).__name__}")


def _table_names(connection: Any, kind: str) -> List[str]:
    if kind == "duckdb":
        query = ("SELECT table_name FROM duckdb_tables() WHERE database_name = current_database() "
                 "AND schema_name = current_schema() ORDER BY table_oid")
    else:
        query = "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY rowid"
    return [r[0] for r in connection.execute(query).fetchall()]


def _duckdb_keys(connection: Any, tables: Sequence[str]) -> Schema:
    rows = connection.execute(
        "SELECT table_name, constraint_type, constraint_column_names, referenced_table, "
        "referenced_column_names FROM duckdb_constraints() WHERE database_name = current_database() "
        "AND schema_name = current_schema() AND constraint_type IN ('PRIMARY KEY', 'FOREIGN KEY') "
        "ORDER BY table_oid, constraint_index").fetchall()
    primary = {t: cols[0] for t, kind, cols, _, _ in rows
               if kind == "PRIMARY KEY" and len(cols) == 1 and t in tables}
    columns: Dict[str, List[str]] = {}
    for table, column in connection.execute(
            "SELECT table_name, column_name FROM duckdb_columns() WHERE database_name = "
            "current_database() AND schema_name = current_schema() ORDER BY column_index").fetchall():
        columns.setdefault(table, []).append(column)
    references = [(t, cols[0], parent, parent_cols[0]) for t, kind, cols, parent, parent_cols in rows
                  if kind == "FOREIGN KEY" and len(cols) == 1 and t in tables]
    return primary, _matched(references, primary, columns)


def _matched(references: List[Tuple[str, str, str, Optional[str]]], primary: Dict[str, str],
             columns: Mapping[str, Sequence[str]]) -> List[Tuple[str, str, str]]:
    """The (child, column, parent) of each reference to a parent's primary key, with the
    names as the tables spell them. A REFERENCES clause may spell a table or column in
    another case (``Users(ID)`` for ``users(id)``): both engines match identifiers without
    regard to case, quoted or not, and so does this. A reference without a column names the
    parent's primary key."""
    table_named = {t.lower(): t for t in primary}
    foreign = []
    for child, column, parent, parent_column in references:
        parent = table_named.get(parent.lower(), parent)
        if parent not in primary or (parent_column is not None
                                     and parent_column.lower() != primary[parent].lower()):
            continue
        spelt = {c.lower(): c for c in columns.get(child, ())}
        foreign.append((child, spelt.get(column.lower(), column), parent))
    return foreign


def _sqlite_keys(connection: Any, tables: Sequence[str]) -> Schema:
    primary: Dict[str, str] = {}
    references: List[Tuple[str, str, str, Optional[str]]] = []
    columns: Dict[str, List[str]] = {}
    for table in tables:
        info = connection.execute(f"PRAGMA table_info({quote(table)})").fetchall()
        columns[table] = [r[1] for r in info]
        key = [r[1] for r in sorted(info, key=lambda r: r[5]) if r[5] > 0]
        if len(key) == 1:
            primary[table] = key[0]
        fks = connection.execute(f"PRAGMA foreign_key_list({quote(table)})").fetchall()
        columns_per_fk: Dict[int, list] = {}
        for fk_id, _, parent, column, parent_column, *_ in fks:
            columns_per_fk.setdefault(fk_id, []).append((parent, column, parent_column))
        for parts in sorted(columns_per_fk.items()):
            if len(parts[1]) == 1:
                parent, column, parent_column = parts[1][0]
                references.append((table, column, parent, parent_column))
    return primary, _matched(references, primary, columns)
