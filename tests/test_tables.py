"""quorvix.tables against a row-by-row build, for every input kind, and its refusals."""

import datetime
import sqlite3
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvix
from quorvix.tables import from_database, table_arrays
from quorvix.tables.database import database_keys, database_tables
from tables_reference import as_numpy_column, columns_of, reference_graph, schema_of
from sanitized import examples

NAMES = ["shop", "user", "item"]
KINDS = ["dict", "lists", "pandas", "pyarrow", "polars", "duckdb", "sqlite"]
LIBRARY = {"pandas": "pandas", "pyarrow": "pyarrow", "polars": "polars", "duckdb": "duckdb"}


@st.composite
def databases(draw):
    """1 to 3 tables with integer or string keys (sparse, unordered) or none, times with ties
    or none, and foreign keys holding nulls and keys that name no row."""
    names = NAMES[: draw(st.integers(1, 3))]
    db = {}
    for t in names:
        size = draw(st.integers(0, 6))
        kind = draw(st.sampled_from(["int", "str", None]))
        # Integers close together are found through a lookup array, spread out by bisection.
        values = (st.integers(-40, 40) | st.integers(-2**63, 2**63 - 1) if kind == "int"
                  else st.text("abcé", min_size=0, max_size=3))
        key = draw(st.lists(values, min_size=size, max_size=size, unique=True)) if kind else None
        time = draw(st.lists(st.integers(-3, 3), min_size=size, max_size=size)
                    ) if draw(st.booleans()) else None
        db[t] = {"key": key, "kind": kind, "time": time, "fks": {}, "size": size}
    parents = [t for t in names if db[t]["key"] is not None]
    for t in names:
        for column in ("a_id", "b_id")[: draw(st.integers(0, 2)) if parents else 0]:
            parent = draw(st.sampled_from(parents))
            strays = [99] if db[parent]["kind"] == "int" else ["zz"]
            if db[parent]["kind"] == "str" and db[parent]["key"]:
                # A key with a NUL appended names no row, though NumPy strings drop trailing NULs.
                strays.append(db[parent]["key"][0] + "\x00")
            choice = st.sampled_from(db[parent]["key"] + [None] + strays)
            db[t]["fks"][column] = (parent, draw(st.lists(choice, min_size=db[t]["size"],
                                                          max_size=db[t]["size"])))
    return db


def as_tables(db, kind, datetimes):
    """The database as tables of one input kind (SQLite: a connection and the table names).

    ``datetimes`` gives the times as datetimes; for SQLite as ISO strings, some with a UTC
    offset, and with ``"mixed"`` some as integer seconds among them, as SQLite may hold them.
    """
    columns = columns_of(db)
    for t, cols in columns.items():
        cols["payload"] = list(range(db[t]["size"]))  # every table has a column giving its length
    if kind == "sqlite":
        con = sqlite3.connect(":memory:")
        for t, cols in columns.items():
            names = list(cols)
            con.execute(f"CREATE TABLE {t} ({', '.join(names)})")
            if datetimes and "time" in cols:
                cols["time"] = [_sqlite_time(v, i, datetimes) for i, v in enumerate(cols["time"])]
            rows = list(zip(*[cols[c] for c in names]))
            con.executemany(f"INSERT INTO {t} VALUES ({', '.join('?' * len(names))})", rows)
        return con
    if kind == "lists":  # a dict of Python lists, None for null
        if datetimes:
            return {t: {c: [None if v is None else np.datetime64(v, "s") for v in values]
                        if c == "time" else values for c, values in cols.items()}
                    for t, cols in columns.items()}
        return columns
    library = pytest.importorskip(LIBRARY.get(kind, "numpy"))
    con = library.connect() if kind == "duckdb" else None
    out = {}
    for t, cols in columns.items():
        arrays = {c: as_numpy_column(v) for c, v in cols.items()}
        if datetimes and "time" in arrays:
            arrays["time"] = arrays["time"].astype("datetime64[s]").astype("datetime64[us]")
        if kind == "dict":
            out[t] = arrays
        elif kind == "pandas":
            # Integers with nulls in a nullable integer column; floats would lose large keys.
            out[t] = library.DataFrame({c: library.array(list(cols[c]), dtype="Int64")
                                        if isinstance(a, np.ma.MaskedArray) else a
                                        for c, a in arrays.items()})
        elif kind == "polars":
            out[t] = library.DataFrame({c: _polars_values(v) for c, v in cols.items()} if not datetimes
                                       else {c: _polars_values(v) if c != "time" else arrays[c]
                                             for c, v in cols.items()})
        else:
            import pyarrow as pa

            table = pa.table({c: _arrow_array(cols[c], arrays[c]) for c in cols})
            if kind == "pyarrow":
                out[t] = table
            else:
                con.register("arrow_table", table)
                con.execute(f"CREATE TABLE {t} AS SELECT * FROM arrow_table")
                out[t] = con.table(t)
    return out


def _sqlite_time(seconds, row, datetimes):
    if datetimes == "mixed" and row % 2:
        return seconds
    if row % 3 == 1:  # an hour later in a zone an hour ahead of UTC: the same instant
        return str(np.datetime64(seconds + 3600, "s")) + "+01:00"
    return str(np.datetime64(seconds, "s"))


def _polars_values(values):
    import polars as pl

    if any(isinstance(v, str) for v in values) or not values:
        return pl.Series(values, dtype=pl.Utf8 if any(isinstance(v, str) for v in values) else pl.Int64)
    return pl.Series(values, dtype=pl.Int64)


def _arrow_array(values, array):
    import pyarrow as pa

    if array.dtype.kind == "M":
        return pa.array(array)
    if any(isinstance(v, str) for v in values):
        return pa.array(values, pa.string())
    return pa.array(values, pa.int64())


def build(db, kind, datetimes=False, strict=False):
    primary_keys, foreign_keys, time_columns = schema_of(db)
    tables = as_tables(db, kind, datetimes)
    if kind == "sqlite":
        tables = database_tables(tables, list(db))
    return table_arrays(tables, primary_keys, foreign_keys, time_columns, strict=strict)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.filterwarnings("error")
@settings(max_examples=examples(40), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(db=databases(), datetimes=st.sampled_from([False, True, "mixed"]))
def test_matches_the_row_by_row_build(kind, db, datetimes):
    arrays, keys = build(db, kind, datetimes)
    colptr, row, node_time, references = reference_graph(db)
    assert arrays.node_types == sorted(db)
    assert ["__".join(e) for e in arrays.edge_types] == list(colptr)
    assert {k: v.tolist() for k, v in arrays.colptr.items()} == colptr
    assert {k: v.tolist() for k, v in arrays.row.items()} == row
    assert {k: v.tolist() for k, v in arrays.node_time.items()} == node_time
    assert all(v.dtype == np.int64 for part in arrays[2:] for v in part.values())
    assert {fk: (r.rows, r.edges, r.null, r.dangling) for fk, r in keys.references.items()} == references
    assert keys.num_nodes == {t: table["size"] for t, table in db.items()}
    for t, table in db.items():
        if table["key"]:
            ids = np.random.default_rng(0).permutation(len(table["key"]))
            assert keys.to_id(t, [table["key"][i] for i in ids]).tolist() == ids.tolist()
            assert keys.to_key(t, ids).tolist() == [table["key"][i] for i in ids]
    # The sampler accepts the graph, and its own check finds every run sorted by time.
    quorvix.NeighborSampler(*arrays).check()


@settings(max_examples=examples(60), deadline=None)
@given(db=databases())
def test_strict_refuses_exactly_the_graphs_with_dangling_keys(db):
    *_, references = reference_graph(db)
    if any(r[3] for r in references.values()):
        with pytest.raises(ValueError, match="strict=True refuses them"):
            build(db, "dict", strict=True)
    else:
        build(db, "dict", strict=True)


# A small shop worked by hand. amy (row 1) has orders 30 and 20, both at time 5, in row order;
# bob (row 0) has order 10; order 40 has no customer and order 50 a customer that is not there.
SHOP = {
    "customers": {"id": np.array(["bob", "amy"]), "signup": np.array([0, 0])},
    "orders": {"oid": np.array([30, 10, 20, 40, 50]),
               "customer": np.array(["amy", "bob", "amy", None, "eve"], dtype=object),
               "time": np.array([5, 2, 5, 1, 3])},
}
SHOP_KEYS = ({"customers": "id", "orders": "oid"}, [("orders", "customer", "customers")],
             {"customers": "signup", "orders": "time"})


def test_shop_by_hand_edge_types_runs_and_sampling_direction():
    arrays, keys = table_arrays(SHOP, *SHOP_KEYS)
    assert arrays.edge_types == [("orders", "f2p_customer", "customers"),
                                 ("customers", "rev_f2p_customer", "orders")]
    assert arrays.colptr["orders__f2p_customer__customers"].tolist() == [0, 1, 3]
    assert arrays.row["orders__f2p_customer__customers"].tolist() == [1, 0, 2]
    assert arrays.colptr["customers__rev_f2p_customer__orders"].tolist() == [0, 1, 2, 3, 3, 3]
    assert arrays.row["customers__rev_f2p_customer__orders"].tolist() == [1, 0, 1]
    assert keys.references[("orders", "customer", "customers")].dangling == 1
    assert keys.dangling == 1
    sampler = quorvix.NeighborSampler(*arrays)
    # A customer samples its orders: amy's most recent one at time 5 is the later row, oid 20.
    amy = keys.to_id("customers", ["amy"])
    out = sampler.sample({"orders__f2p_customer__customers": [1],
                          "customers__rev_f2p_customer__orders": [0]}, {}, "customers", amy,
                         np.array([5]))
    assert keys.to_key("orders", out[2]["orders"]).tolist() == [20]
    # An order samples its customer: oid 10 reaches bob.
    out = sampler.sample({"orders__f2p_customer__customers": [0],
                          "customers__rev_f2p_customer__orders": [1]}, {}, "orders",
                         keys.to_id("orders", [10]), np.array([2]))
    assert keys.to_key("customers", out[2]["customers"]).tolist() == ["bob"]


def test_from_tables_builds_a_graph():
    if not hasattr(quorvix, "Graph"):
        pytest.skip("this quorvix has no Graph")
    from quorvix.tables import from_tables

    graph, keys = from_tables(SHOP, *SHOP_KEYS)
    assert isinstance(graph, quorvix.Graph)
    assert keys.to_id("orders", 50).tolist() == [4]


def _shop(**changes):
    tables = {t: dict(cols) for t, cols in SHOP.items()}
    for name, value in changes.items():
        table, column = name.split("__")
        tables[table][column] = value
    return tables


S = np.array  # short for the error table
ERRORS = [
    (_shop(customers__id=S(["bob", "bob"])), {}, ValueError,
     "primary key 'customers.id' holds 'bob' twice (rows 0 and 1); keys must be unique"),
    (_shop(orders__oid=S([3, 1, 4, 1, 5])), {}, ValueError,
     "primary key 'orders.oid' holds 1 twice (rows 1 and 3); keys must be unique"),
    (_shop(customers__id=S(["bob", None], dtype=object)), {}, ValueError,
     "primary key 'customers.id' is null at row 1"),
    (_shop(customers__id=S([0.5, 1.0])), {}, TypeError,
     "primary key 'customers.id' holds 0.5 at row 0; keys must be integers or strings"),
    (_shop(customers__id=S([1.0, 2.0**60])), {}, TypeError,
     "primary key 'customers.id' holds floats beyond 2**53, which cannot keep integer keys exact; "
     "give it as integers (a nullable integer column if it has nulls)"),
    (_shop(customers__id=S([1.0, 2.0**53])), {}, TypeError,  # 2**53 + 1 arrives as 2**53
     "primary key 'customers.id' holds floats beyond 2**53, which cannot keep integer keys exact; "
     "give it as integers (a nullable integer column if it has nulls)"),
    (_shop(customers__id=S(["bob", "amy\x00"], dtype=object)), {}, ValueError,
     "primary key 'customers.id' holds 'amy\\x00' at row 1, which ends in a NUL character; NumPy "
     "strings drop trailing NULs, so it would read as 'amy'"),
    (_shop(orders__oid=S([3, 1, 4, 2**64, 5], dtype=object)), {}, ValueError,
     "primary key 'orders.oid' holds integers beyond the int64 range"),
    # A list is refused as the object array of the same values is, not coerced by NumPy.
    *[(_shop(customers__id=ids), {}, TypeError,
       "primary key 'customers.id' holds 1 at row 1; keys must be integers or strings, all of one kind")
      for ids in (S(["bob", 1], dtype=object), ["bob", 1])],
    *[(_shop(customers__id=ids), {}, TypeError,
       "primary key 'customers.id' holds True at row 0; keys must be integers or strings, all of one kind")
      for ids in (S([True, 2], dtype=object), [True, 2])],
    (_shop(customers__id=S([True, False])), {}, TypeError,
     "primary key 'customers.id' must hold integers or strings, got bool"),
    (_shop(orders__customer=S([1, 2, 1, 2, 1])), {}, TypeError,
     "foreign key 'orders.customer' holds integers but primary key 'customers.id' holds strings"),
    (SHOP, {"strict": True}, ValueError,
     "foreign key 'orders.customer' holds 1 key(s) that match no row of 'customers', the first "
     "'eve' at row 4 (strict=True refuses them)"),
    (_shop(orders__time=S([5, 2, None, 1, 3], dtype=object)), {}, ValueError,
     "time column 'orders.time' is null at row 2; every row needs a time"),
    (_shop(orders__time=S(["2024-01-01", "2024-01-02", "soon", "2024-01-02", "2024-01-01"])), {},
     ValueError, "time column 'orders.time' holds 'soon' at row 2, which is not a time"),
    (_shop(orders__time=S([5.0, 2, 5, 1, 3])), {}, TypeError,
     "time column 'orders.time' must hold integers, datetimes or ISO 8601 strings, got float64"),
    (_shop(orders__time=S([0, 1000, 2000, 3000, 1500], dtype="datetime64[ms]")), {}, ValueError,
     "time column 'orders.time' holds 1970-01-01T00:00:01.500 at row 4, which is not a whole "
     "second; round the times first"),
    (_shop(orders__time=S([0, 1, 2, 3, 2**63], dtype=np.uint64)), {}, ValueError,
     "time column 'orders.time' holds integers beyond the int64 range"),
    (_shop(orders__time=S([0, 1, "x", 3, 4], dtype=object)), {}, ValueError,
     "time column 'orders.time' holds 'x' at row 2, which is not a time"),
    (_shop(orders__time=S([0, 1, "1970-01-01T00:00:02.5", 3, 4], dtype=object)), {}, ValueError,
     "time column 'orders.time' holds 1970-01-01T00:00:02.500000 at row 2, which is not a whole "
     "second; round the times first"),
    (_shop(orders__time=S([0, 1, 2, 2**64, 4], dtype=object)), {}, ValueError,
     "time column 'orders.time' holds integers beyond the int64 range"),
    (_shop(orders__time=S([5.0, 2.5, 5.0, 1.0, 3.0], dtype=object)), {}, TypeError,  # SQLite REAL
     "time column 'orders.time' must hold integers, datetimes or ISO 8601 strings, got float64"),
]


@pytest.mark.parametrize("tables, kwargs, error, message", ERRORS)
def test_bad_data_is_refused_naming_table_and_row(tables, kwargs, error, message):
    with pytest.raises(error) as info:
        table_arrays(tables, *SHOP_KEYS, **kwargs)
    assert info.value.args[0] == message


SCHEMA_ERRORS = [
    ({"customers": "id", "nope": "id"}, [], {}, KeyError,
     "primary_keys names table 'nope', which is not in tables"),
    ({"customers": "name"}, [], {}, KeyError,
     "table 'customers' has no column 'name' (named in primary_keys)"),
    ({}, [], {"orders": "when"}, KeyError,
     "table 'orders' has no column 'when' (named in time_columns)"),
    ({"customers": "id"}, [("orders", "customer", "people")], {}, KeyError,
     "foreign_keys names table 'people', which is not in tables"),
    ({}, [("orders", "customer", "customers")], {}, KeyError,
     "foreign key 'orders.customer' points to table 'customers', which has no primary key"),
    ({"customers": "id"}, [("orders", "customer", "customers")] * 2, {}, ValueError,
     "foreign key 'orders.customer' is listed twice"),
    ({"customers": ["id", "signup"]}, [], {}, TypeError,
     "primary_keys names ['id', 'signup'] as the column of table 'customers'; give one column name "
     "(composite keys are not supported)"),
    ({"customers": "id"}, [("orders", 1, "customers")], {}, TypeError,
     "foreign_keys names 1 as the column of table 'orders'; give one column name (a column is "
     "named by a string)"),
    ({"customers": "id"}, [("orders", "customer")], {}, ValueError,
     "a foreign key is (child table, column, parent table), got ('orders', 'customer')"),
]


@pytest.mark.parametrize("primary_keys, foreign_keys, time_columns, error, message", SCHEMA_ERRORS)
def test_names_that_refer_to_nothing_are_refused(primary_keys, foreign_keys, time_columns, error,
                                                  message):
    with pytest.raises(error) as info:
        table_arrays(SHOP, primary_keys, foreign_keys, time_columns)
    assert info.value.args[0] == message


def test_names_that_would_make_an_ambiguous_edge_type_key_are_refused():
    with pytest.raises(ValueError) as info:
        table_arrays({"a__b": {"x": [1]}}, {}, [])
    assert info.value.args[0] == ("table name 'a__b' contains '__', which joins the three names "
                                  "of an edge type")
    tables = {"orders": {"c__id": np.array(["amy"])}, "customers": SHOP["customers"]}
    with pytest.raises(ValueError) as info:
        table_arrays(tables, {"customers": "id"}, [("orders", "c__id", "customers")])
    assert info.value.args[0] == ("foreign key column 'orders.c__id' contains '__', which joins "
                                  "the three names of an edge type")
    with pytest.raises(TypeError) as info:
        table_arrays({"t": [1, 2]}, {}, [])
    assert info.value.args[0] == ("a table must be a pyarrow Table, a pandas or polars DataFrame, "
                                  "a DuckDB relation or a dict of columns, got list")
    for primary_keys, time_columns in (({}, {}), ({"t": "x"}, {"t": "y"})):  # all, or those read
        with pytest.raises(ValueError) as info:
            table_arrays({"t": {"x": [1, 2], "y": [1]}}, primary_keys, [], time_columns)
        assert info.value.args[0] == "the columns of a dict table differ in length: [1, 2]"


def test_key_maps_refuse_unknown_keys_ids_and_tables():
    _, keys = table_arrays(SHOP, *SHOP_KEYS)
    cases = [
        (lambda: keys.to_id("customers", ["amy", "eve"]), KeyError,
         "table 'customers' has no row with key 'eve'"),
        (lambda: keys.to_id("customers", ["amy\x00"]), KeyError,
         "table 'customers' has no row with key 'amy\\x00'"),
        (lambda: keys.to_id("customers", [1]), TypeError,
         "keys of 'customers' must be strings, got integers"),
        (lambda: keys.to_id("customers", [["amy"]]), ValueError,
         "keys of 'customers' must be one-dimensional, got shape (1, 1)"),
        (lambda: keys.to_key("orders", [0, 5]), IndexError, "table 'orders' has no node 5 (it has 5)"),
        (lambda: keys.to_key("orders", [0.0]), TypeError, "ids of 'orders' must be integers, got float64"),
        (lambda: keys.to_id("stock", [1]), KeyError, "no table 'stock'"),
    ]
    for call, error, message in cases:
        with pytest.raises(error) as info:
            call()
        assert info.value.args[0] == message
    _, keys = table_arrays(SHOP, {"customers": "id"}, [], {})
    with pytest.raises(KeyError) as info:
        keys.to_id("orders", [10])
    assert info.value.args[0] == "table 'orders' has no primary key; its node ids are its rows"


def test_times_follow_the_bridge_rules():
    pd = pytest.importorskip("pandas")
    day = 86_400
    cases = [
        (np.array(["2024-01-02", "1970-01-02"], dtype="datetime64[D]"), [19724 * day, day]),
        (np.array(["1970-01-01 00:01:00", "1970-01-01T00:00:02"]), [60, 2]),  # ISO, as SQLite keeps them
        (np.array([datetime.date(1970, 1, 3), datetime.datetime(1970, 1, 1, 0, 0, 7)], dtype=object),
         [2 * day, 7]),
        (pd.Series(pd.to_datetime([3600, 0], unit="s")).dt.tz_localize("Europe/Berlin"),
         [0, -3600]),  # an hour past midnight in Berlin is midnight in UTC
        (np.array([1, 2], dtype=np.uint32), [1, 2]),
        (np.array([5, -1], dtype=object), [5, -1]),
    ]
    for times, seconds in cases:
        tables = {"t": pd.DataFrame({"time": times}) if isinstance(times, pd.Series)
                  else {"time": times}}
        arrays, _ = table_arrays(tables, {}, [], {"t": "time"})
        assert arrays.node_time["t"].tolist() == seconds, times


def test_from_database_reads_keys_from_the_constraints():
    duckdb = pytest.importorskip("duckdb")
    # The reference spells the table and column in another case, as both engines allow.
    ddl = ["CREATE TABLE customers (id VARCHAR PRIMARY KEY, signup TIMESTAMP)",
           "CREATE TABLE orders (oid INTEGER PRIMARY KEY, customer VARCHAR, time TIMESTAMP,"
           " FOREIGN KEY (Customer) REFERENCES Customers (ID))",
           "CREATE TABLE pairs (a INTEGER, b INTEGER, PRIMARY KEY (a, b))",  # composite: left out
           "INSERT INTO pairs VALUES (2, 1), (1, 2)",
           "INSERT INTO customers VALUES ('bob', '2024-01-01'), ('amy', '2024-01-01')",
           "INSERT INTO orders VALUES (30, 'amy', '2024-01-05'), (10, 'bob', '2024-01-02'),"
           " (20, 'amy', '2024-01-04'), (40, NULL, '2024-01-01')"]
    for con in (duckdb.connect(), sqlite3.connect(":memory:")):
        for statement in ddl:
            con.execute(statement)
        graph_arrays = []
        for tables in (None, ["customers", "orders"]):
            objects = database_tables(con, tables)
            assert list(objects) == (tables or ["customers", "orders", "pairs"])
            primary, foreign = database_keys(con, list(objects))
            assert primary == {"customers": "id", "orders": "oid"}
            assert foreign == [("orders", "customer", "customers")]
            arrays, keys = table_arrays(objects, primary, foreign, {"orders": "time"})
            graph_arrays.append(arrays)
            assert keys.to_key("orders", arrays.row["orders__f2p_customer__customers"]).tolist() \
                == [10, 20, 30]
        # A query as a table, keys given.
        objects = database_tables(con, {"late": "SELECT * FROM orders WHERE oid > 15"})
        arrays, keys = table_arrays(objects, {"late": "oid"}, [], {})
        assert sorted(keys.to_key("late", [0, 1, 2]).tolist()) == [20, 30, 40]
        if hasattr(quorvix, "Graph"):
            graph, keys = from_database(con, ["customers", "orders"], time_columns={"orders": "time"})
            assert keys.num_nodes == {"customers": 2, "orders": 4}
    con = sqlite3.connect(":memory:")  # a table without rowids is read in key order
    con.execute("CREATE TABLE tags (name TEXT PRIMARY KEY, n INTEGER) WITHOUT ROWID")
    con.execute("INSERT INTO tags VALUES ('b', 1), ('a', 2)")
    arrays, keys = table_arrays(database_tables(con, None), *database_keys(con, ["tags"]))
    assert keys.to_key("tags", [0, 1]).tolist() == ["a", "b"]
    with pytest.raises(TypeError) as info:
        from_database(object())
    assert info.value.args[0] == "connection must be a DuckDB or sqlite3 connection, got object"
    with pytest.raises(TypeError) as info:
        from_database(sqlite3.connect(":memory:"), "orders")
    assert info.value.args[0] == ("tables must be a list of table names or a dict of name -> SQL "
                                  "query, got a string")


def test_from_database_example_runs():
    pytest.importorskip("duckdb")
    if not hasattr(quorvix, "Graph"):
        pytest.skip("this quorvix has no Graph")
    example = Path(__file__).resolve().parents[1] / "examples" / "from_database.py"
    proc = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "orders__f2p_customer_id__customers" in proc.stdout
    assert "skipped references: 0" in proc.stdout
    assert "no sampled order is later than its seed's time: yes" in proc.stdout
