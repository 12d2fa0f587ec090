"""Tables with primary and foreign keys as the arrays of a temporal graph.

Every table is a node type whose node ids are row positions. A foreign key column ``c`` of
table ``child`` pointing to ``parent`` gives two edge types, in PyG's (source, relation,
destination) order, the destination being the frontier type whose runs ``colptr`` bounds:

- ``(child, "f2p_c", parent)``: a parent's run lists the child rows that refer to it, so a
  parent in the frontier samples its children (a customer its orders);
- ``(parent, "rev_f2p_c", child)``: a child's run holds the one parent it refers to.

Node types are in table name order and edge types in (child table, column) order, the
parent-to-children type of a foreign key first, whatever order the tables and keys are
given or listed in by a database. Each run is sorted by the neighbours' times, ties in row
order, so that the most recent k and time windows are found by bisection. Nothing here loops over rows in Python.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from .columns import Column, column_names, num_rows, read_columns
from .keys import KeyMap, key_kind, key_values, referring_keys
from .table_keys import References, TableKeys
from .times import time_seconds

EdgeType = Tuple[str, str, str]
ForeignKey = Tuple[str, str, str]  # (child table, column, parent table)


class GraphArrays(NamedTuple):
    """The first five arguments of ``quorvix.Graph`` and ``quorvix.NeighborSampler``.

    Args:
        node_types: the table names, sorted.
        edge_types: per foreign key, in (child table, column) order, the edge type from the
            parent to its children and then the one from the child to its parent.
        colptr: edge type key ``src__rel__dst`` -> the CSC offsets over the ``dst`` node ids.
        row: edge type key -> the ``src`` neighbours of each run; a parent's children are
            sorted by their time (ties in row order).
        node_time: table name -> the time of each row in seconds, for the tables with a time
            column.
    """

    node_types: List[str]
    edge_types: List[EdgeType]
    colptr: Dict[str, np.ndarray]
    row: Dict[str, np.ndarray]
    node_time: Dict[str, np.ndarray]


def edge_types_of(foreign_key: ForeignKey) -> Tuple[EdgeType, EdgeType]:
    """The two edge types of a foreign key: parent to children, then child to parent.

    Args:
        foreign_key: ``(child table, column, parent table)``.

    Returns:
        ``((child, "f2p_<column>", parent), (parent, "rev_f2p_<column>", child))``.
    """
    child, column, parent = foreign_key
    return (child, f"f2p_{column}", parent), (parent, f"rev_f2p_{column}", child)


def table_arrays(tables: Mapping[str, Any], primary_keys: Mapping[str, Optional[str]],
                 foreign_keys: Sequence[ForeignKey],
                 time_columns: Optional[Mapping[str, str]] = None, *,
                 strict: bool = False) -> Tuple[GraphArrays, TableKeys]:
    """The graph arrays and key maps of a set of tables (see :func:`quorvix.tables.from_tables`).

    Args:
        tables, primary_keys, foreign_keys, time_columns, strict: as for
            :func:`quorvix.tables.from_tables`.

    Returns:
        ``(arrays, keys)``: the :class:`GraphArrays` that ``quorvix.Graph(*arrays)`` takes,
        and the :class:`TableKeys`.

    Raises:
        KeyError, TypeError, ValueError: as for :func:`quorvix.tables.from_tables`. The
            messages are listed in the error reference.
    """
    time_columns = dict(time_columns or {})
    primary_keys = {t: c for t, c in primary_keys.items() if c is not None}
    foreign_keys = [tuple(fk) for fk in foreign_keys]
    needed = _check_names(tables, primary_keys, foreign_keys, time_columns)
    # One order whatever the backend lists tables and constraints in: node types by table
    # name, edge types by (child table, foreign key column), parent to children first.
    tables = {t: tables[t] for t in sorted(tables)}
    foreign_keys = sorted(foreign_keys, key=lambda fk: (fk[0], fk[1]))

    columns = {t: read_columns(tables[t], needed[t]) for t in tables}
    num_nodes = {t: _num_rows(tables[t], columns[t]) for t in tables}
    key_maps = {t: KeyMap(_primary_keys(columns[t][c], t, c), t, c) for t, c in primary_keys.items()}
    node_time = {t: time_seconds(columns[t][c], f"'{t}.{c}'") for t, c in time_columns.items()}
    # Each table's rows in time order, ties in row order, once for all its foreign keys.
    children = {fk[0] for fk in foreign_keys}
    time_order = {t: _time_order(seconds) for t, seconds in node_time.items() if t in children}

    edge_types: List[EdgeType] = []
    colptr: Dict[str, np.ndarray] = {}
    row: Dict[str, np.ndarray] = {}
    references: Dict[ForeignKey, References] = {}
    for fk in foreign_keys:
        child, column, parent = fk
        child_id, parent_id, references[fk] = _resolve(columns[child][column], key_maps[parent],
                                                       fk, strict)
        down, up = edge_types_of(fk)
        down_key, up_key = "__".join(down), "__".join(up)
        colptr[down_key], row[down_key] = _runs_by_time(
            child_id, parent_id, num_nodes[parent], num_nodes[child], time_order.get(child))
        # A child refers to one parent at most: its run has length 0 or 1, sorted as it is.
        has_parent = np.zeros(num_nodes[child], dtype=np.int64)
        has_parent[child_id] = 1
        colptr[up_key] = _offsets(has_parent)
        row[up_key] = parent_id
        edge_types += [down, up]

    arrays = GraphArrays(list(tables), edge_types, colptr, row, node_time)
    return arrays, TableKeys(key_maps, num_nodes, references)


def _check_names(tables, primary_keys, foreign_keys, time_columns) -> Dict[str, List[str]]:
    """Every name refers to something that exists; the columns each table must give."""
    for table in tables:
        if "__" in table:
            raise ValueError(f"table name '{table}' contains '__', which joins the three names "
                             "of an edge type")
    needed: Dict[str, List[str]] = {t: [] for t in tables}

    def need(table: str, column: str, argument: str) -> None:
        if not isinstance(column, str):
            kind = "composite keys are not supported" if isinstance(column, (list, tuple)) else \
                "a column is named by a string"
            raise TypeError(f"{argument} names {column!r} as the column of table '{table}'; "
                            f"give one column name ({kind})")
        if table not in tables:
            raise KeyError(f"{argument} names table '{table}', which is not in tables")
        if column not in column_names(tables[table]):
            raise KeyError(f"table '{table}' has no column '{column}' (named in {argument})")
        needed[table].append(column)

    for table, column in primary_keys.items():
        need(table, column, "primary_keys")
    for table, column in time_columns.items():
        need(table, column, "time_columns")
    seen = set()
    for fk in foreign_keys:
        if len(fk) != 3:
            raise ValueError(f"a foreign key is (child table, column, parent table), got {fk!r}")
        child, column, parent = fk
        need(child, column, "foreign_keys")
        if "__" in column:
            raise ValueError(f"foreign key column '{child}.{column}' contains '__', which joins "
                             "the three names of an edge type")
        if parent not in tables:
            raise KeyError(f"foreign_keys names table '{parent}', which is not in tables")
        if parent not in primary_keys:
            raise KeyError(f"foreign key '{child}.{column}' points to table '{parent}', which has "
                           "no primary key")
        if (child, column) in seen:
            raise ValueError(f"foreign key '{child}.{column}' is listed twice")
        seen.add((child, column))
    return needed


def _num_rows(table: Any, columns: Dict[str, Column]) -> int:
    lengths = {len(c.values) for c in columns.values()}
    if len(lengths) > 1:  # only a dict of columns can be ragged
        raise ValueError(f"the columns of a dict table differ in length: {sorted(lengths)}")
    return lengths.pop() if lengths else num_rows(table)


def _primary_keys(column: Column, table: str, name: str) -> np.ndarray:
    if column.null is not None:
        row = int(np.flatnonzero(column.null)[0])
        raise ValueError(f"primary key '{table}.{name}' is null at row {row}")
    return key_values(column, f"primary key '{table}.{name}'")


def _time_order(seconds: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """(order, rank): order[p] is the row at place p by (time, row), rank[order[p]] = p."""
    n = len(seconds)
    low = int(seconds.min()) if n else 0
    span = int(seconds.max()) - low + 1 if n else 1
    if span * max(n, 1) <= np.iinfo(np.int64).max:
        # One plain sort of (time, row) packed into an int64: quicker than a stable argsort.
        order = seconds - np.int64(low)
        order *= np.int64(n)
        order += np.arange(n, dtype=np.int64)
        order.sort()
        order %= np.int64(n)
    else:
        order = np.argsort(seconds, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(n, dtype=order.dtype)
    return order, rank


def _resolve(column: Column, parent: KeyMap, fk: ForeignKey, strict: bool):
    """(child ids, parent ids) of the references that name a row, in child row order."""
    child, name, parent_table = fk
    label = f"foreign key '{child}.{name}'"
    keys, ends_in_nul = referring_keys(column, label)
    present = (np.arange(len(column.values), dtype=np.int64) if column.null is None
               else np.flatnonzero(~column.null))
    if len(keys) and len(parent) and key_kind(keys) != key_kind(parent.keys):
        raise TypeError(f"{label} holds {key_kind(keys)} but primary key "
                        f"'{parent_table}.{parent.column}' holds {key_kind(parent.keys)}")
    parent_id = parent.find(keys)
    parent_id[ends_in_nul] = -1  # no primary key ends in NUL
    found = parent_id >= 0
    dangling = int(len(found) - np.count_nonzero(found))
    if dangling and strict:
        first = int(np.flatnonzero(~found)[0])
        raise ValueError(f"{label} holds {dangling} key(s) that match no row of '{parent_table}', "
                         f"the first {_value(keys, column, present, first)!r} at row {int(present[first])} "
                         "(strict=True refuses them)")
    counts = References(rows=len(column.values), edges=int(np.count_nonzero(found)),
                        null=len(column.values) - len(keys), dangling=dangling)
    return present[found], parent_id[found], counts


def _value(keys: np.ndarray, column: Column, present: np.ndarray, position: int) -> Any:
    """The key at a position, as given where it is a string (one ending in NUL keeps it)."""
    value = column.values[present[position]] if keys.dtype.kind == "U" else keys[position]
    return value.item() if isinstance(value, np.generic) else value


def _offsets(counts: np.ndarray) -> np.ndarray:
    colptr = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=colptr[1:])
    return colptr


def _runs_by_time(neighbour: np.ndarray, frontier: np.ndarray, num_frontier: int,
                  num_neighbours: int, time_order: Optional[Tuple[np.ndarray, np.ndarray]]
                  ) -> Tuple[np.ndarray, np.ndarray]:
    """colptr over the frontier ids and row of neighbours, each run by (time, row).

    One sort of frontier * n + rank, a unique int64 per edge, orders the edges by frontier
    then by the neighbour's place in time; the neighbour is read back from the rank.
    """
    colptr = _offsets(np.bincount(frontier, minlength=num_frontier))
    place = neighbour if time_order is None else time_order[1][neighbour]
    n = max(num_neighbours, 1)
    if num_frontier * n > np.iinfo(np.int64).max:  # too large to combine: sort on two keys
        order = np.lexsort((place, frontier))
        return colptr, neighbour[order]
    combined = frontier * np.int64(n)
    combined += place
    combined.sort()
    combined %= n
    return colptr, combined if time_order is None else time_order[0][combined]
