"""A time column as int64 seconds since the epoch, the unit the sampler's windows take.

The rules are the PyG bridge's: integers are taken as they are, datetimes and dates become
seconds since the epoch (time zone-aware ones in UTC), time spans seconds; a time that is
not a whole second is refused rather than rounded. Strings (as SQLite stores times) are read
as ISO 8601; in an object column (SQLite hands out a column of mixed types as one) the
integers are seconds and the other values are parsed. Every node needs a time, so a null is
refused, naming the row.
"""

from __future__ import annotations

import warnings
from typing import Optional

import numpy as np

from .columns import Column, plain


def time_seconds(column: Column, name: str) -> np.ndarray:
    values = column.values
    if values.dtype.kind in "fcb":
        raise TypeError(f"time column {name} must hold integers, datetimes or ISO 8601 strings, "
                        f"got {values.dtype}")
    if column.null is not None:
        row = int(np.flatnonzero(column.null)[0])
        raise ValueError(f"time column {name} is null at row {row}; every row needs a time")
    kind = values.dtype.kind
    if kind in "iu":
        if kind == "u" and values.size and values.max() > np.iinfo(np.int64).max:
            raise ValueError(f"time column {name} holds integers beyond the int64 range")
        return np.ascontiguousarray(values, dtype=np.int64)
    if kind == "O" and values.size:
        return _object_times(values, name)
    if kind in "OUS":
        values = _parse(values, name)
    elif kind not in "mM":
        raise TypeError(f"time column {name} must hold integers, datetimes or ISO 8601 strings, "
                        f"got {values.dtype}")
    return _whole_seconds(values, name, np.arange(len(values)))


def _whole_seconds(values: np.ndarray, name: str, rows: np.ndarray) -> np.ndarray:
    """datetime64 or timedelta64 values as int64 seconds, refusing a fraction of a second;
    ``rows[i]`` is the row of ``values[i]``, for the message."""
    seconds = values.astype("datetime64[s]" if values.dtype.kind == "M" else "timedelta64[s]")
    inexact = np.flatnonzero(seconds != values)
    if inexact.size:
        raise ValueError(f"time column {name} holds {values[inexact[0]]} at row {rows[inexact[0]]}, "
                         "which is not a whole second; round the times first")
    return np.ascontiguousarray(seconds.view(np.int64))


# What each value of an object time column is: an integer, a float, anything else (a string,
# a datetime or a date, parsed).
_INT, _FLOAT, _OTHER = 0, 1, 2


def _time_class(value) -> int:
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        return _INT
    return _FLOAT if isinstance(value, (float, np.floating)) else _OTHER


_time_classes = np.frompyfunc(_time_class, 1, 1)


def _object_times(values: np.ndarray, name: str) -> np.ndarray:
    """An object column (as SQLite and pandas hand them out): integers are seconds, as in an
    integer column, whatever else the column holds; strings, datetimes and dates are parsed.
    Floats (an SQLite REAL column) are refused as a float column is."""
    classes = _time_classes(values).astype(np.int8)
    floats = np.flatnonzero(classes == _FLOAT)
    if floats.size:
        raise TypeError(f"time column {name} must hold integers, datetimes or ISO 8601 strings, "
                        f"got {np.asarray(values[floats[0]]).dtype}")
    integers = classes == _INT
    if integers.all():
        return _integers(values, name)
    if not integers.any():
        return _whole_seconds(_parse(values, name), name, np.arange(len(values)))
    seconds = np.empty(len(values), dtype=np.int64)
    seconds[integers] = _integers(values[integers], name)
    others = np.flatnonzero(~integers)
    seconds[others] = _whole_seconds(_parse(values[others], name, others), name, others)
    return seconds


def _integers(values: np.ndarray, name: str) -> np.ndarray:
    """An object column of Python integers (as SQLite returns INTEGER columns)."""
    try:
        return values.astype(np.int64)
    except OverflowError:
        raise ValueError(f"time column {name} holds integers beyond the int64 range") from None


def _as_datetimes(values: np.ndarray) -> np.ndarray:
    with warnings.catch_warnings():
        # A string with a UTC offset is read in UTC, as meant; NumPy warns all the same.
        warnings.filterwarnings("ignore", "no explicit representation of timezones", UserWarning)
        return values.astype("datetime64[us]")


def _parse(values: np.ndarray, name: str, rows: Optional[np.ndarray] = None) -> np.ndarray:
    """Strings, datetimes or dates as datetime64, refusing the first value that is none;
    ``rows[i]`` is the row of ``values[i]`` (default: i), for the message."""
    try:
        return _as_datetimes(values)
    except (ValueError, TypeError, OverflowError):
        pass
    # Only on failure: find the first bad row by halving, each half parsed as a whole.
    low, high = 0, len(values)
    while high - low > 1:
        middle = (low + high) // 2
        try:
            _as_datetimes(values[low:middle])
            low = middle
        except (ValueError, TypeError, OverflowError):
            high = middle
    row = low if rows is None else int(rows[low])
    raise ValueError(f"time column {name} holds {plain(values[low])!r} at row {row}, which is not a time")
