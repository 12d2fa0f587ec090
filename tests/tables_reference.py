"""An obviously correct, row-by-row build of a graph from tables, to compare quorvix.tables with.

A database here is plain Python: {table: {"key": [...] or None, "time": [...] or None,
"fks": {column: (parent table, [key or None per row])}, "size": rows}}. Converters below turn it into each
input kind quorvix.tables reads.
"""

import numpy as np


def reference_graph(db):
    """(colptr, row, node_time, references) as lists, built with loops and dicts."""
    colptr, row, references = {}, {}, {}
    node_time = {t: list(table["time"]) for t, table in db.items() if table["time"] is not None}
    # Tables by name, each table's foreign keys by column: the order every backend yields.
    for child, table in sorted(db.items()):
        n_child = table["size"]
        for column, (parent, values) in sorted(table["fks"].items()):
            row_of = {k: i for i, k in enumerate(db[parent]["key"])}
            n_parent = len(db[parent]["key"])
            children = [[] for _ in range(n_parent)]
            parent_of = [None] * n_child
            null = dangling = 0
            for i, value in enumerate(values):
                if value is None:
                    null += 1
                elif value not in row_of:
                    dangling += 1
                else:
                    children[row_of[value]].append(i)
                    parent_of[i] = row_of[value]
            child_time = table["time"]
            if child_time is not None:
                for run in children:
                    run.sort(key=lambda i: (child_time[i], i))
            down = f"{child}__f2p_{column}__{parent}"
            up = f"{parent}__rev_f2p_{column}__{child}"
            colptr[down] = [0]
            row[down] = []
            for run in children:
                row[down] += run
                colptr[down].append(len(row[down]))
            colptr[up] = [0]
            row[up] = []
            for p in parent_of:
                if p is not None:
                    row[up].append(p)
                colptr[up].append(len(row[up]))
            references[(child, column, parent)] = (n_child, n_child - null - dangling, null, dangling)
    return colptr, row, node_time, references


def columns_of(db):
    """Per table, column name -> list of Python values (None for null)."""
    out = {}
    for t, table in db.items():
        cols = {}
        if table["key"] is not None:
            cols["id"] = list(table["key"])
        if table["time"] is not None:
            cols["time"] = list(table["time"])
        for column, (_, values) in table["fks"].items():
            cols[column] = list(values)
        out[t] = cols
    return out


def schema_of(db):
    primary_keys = {t: "id" for t, table in db.items() if table["key"] is not None}
    foreign_keys = [(t, c, p) for t, table in db.items() for c, (p, _) in table["fks"].items()]
    time_columns = {t: "time" for t, table in db.items() if table["time"] is not None}
    return primary_keys, foreign_keys, time_columns


def as_numpy_column(values):
    """Integers as int64 (a masked array when some are null), strings as an object array with
    None."""
    if any(isinstance(v, str) for v in values):
        array = np.empty(len(values), dtype=object)
        array[:] = values
        return array
    if any(v is None for v in values):
        null = np.array([v is None for v in values])
        return np.ma.MaskedArray(np.array([0 if v is None else v for v in values], dtype=np.int64),
                                 mask=null)
    return np.array(values, dtype=np.int64)


def reference_features(db):
    """Per table, column -> (kind, values) as quorvix.tables.features encodes them, value by
    value: numbers as float32 (NaN for null), strings as their rank among the distinct
    strings (-1 for null), times as they are."""
    out = {}
    for t, cols in columns_of(db).items():
        kinds = {c: "numerical" for c in cols}
        if db[t]["kind"] == "str":
            kinds["id"] = "categorical"
        for column, (parent, _) in db[t]["fks"].items():
            if db[parent]["kind"] == "str":
                kinds[column] = "categorical"
        if "time" in cols:
            kinds["time"] = "timestamp"
        feats = {}
        for c, values in cols.items():
            if kinds[c] == "categorical":
                distinct = sorted({v for v in values if v is not None})
                feats[c] = (kinds[c], [-1 if v is None else distinct.index(v) for v in values])
            elif kinds[c] == "numerical":
                feats[c] = (kinds[c], [float("nan") if v is None else float(np.float32(v)) for v in values])
            else:
                feats[c] = (kinds[c], [int(v) for v in values])
        out[t] = feats
    return out
