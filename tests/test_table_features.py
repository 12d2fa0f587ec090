"""quorvix.tables.features against a value-by-value encoding, for every input kind."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvix.tables import features
from tables_reference import reference_features
from test_tables import KINDS, as_tables, build, databases
from sanitized import examples


@pytest.mark.parametrize("kind", KINDS)
@settings(max_examples=examples(30), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(db=databases(), datetimes=st.booleans())
def test_features_match_the_value_by_value_encoding(kind, db, datetimes, tmp_path_factory):
    expected = reference_features(db)
    source = as_tables(db, kind, datetimes)
    # Times stored as text (SQLite) are named as timestamps; every other kind is found.
    columns = {t: {c: "timestamp" if c == "time" else None for c in cols} for t, cols in expected.items()}
    cache = tmp_path_factory.mktemp("features")
    _, keys = build(db, kind, datetimes)
    for _ in range(2):  # read, then reopened from the cache
        found = features(source, columns, cache=cache, keys=keys)
        assert found.num_rows == {t: db[t]["size"] for t in db}
        for t, cols in expected.items():
            for c, (column_kind, values) in cols.items():
                array = np.asarray(found.arrays[t][c])
                assert len(array) == len(values)
                if all(v is None for v in db_values(db, t, c)):
                    continue  # nothing tells the kind of a column of nulls
                assert found.kinds[t][c] == column_kind, (t, c)
                if column_kind == "numerical":
                    assert array.dtype == np.float32
                    np.testing.assert_array_equal(array, np.array(values, dtype=np.float32))
                else:
                    assert array.dtype == np.int64 and array.tolist() == values, (t, c)
                if column_kind == "categorical":
                    assert found.categories[t][c].tolist() == sorted({v for v in db_values(db, t, c)
                                                                       if v is not None})


def db_values(db, t, c):
    from tables_reference import columns_of

    return columns_of(db)[t][c]
