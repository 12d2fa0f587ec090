"""A time column as int64 seconds since the epoch, the unit the sampler's windows take.

The rules are the PyG bridge's: integers are taken as they are, datetimes and dates become
seconds since the epoch (time zone-aware ones in UTC), time spans seconds; a time that is
not a whole second is refused rather than rounded. Strings (as SQLite stores times) are read
as ISO 8601. Every node needs a time, so a null is refused, naming the row.
"""

from __future__ import annotations

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
    if kind == "O" and values.size and isinstance(values[0], (int, np.integer)):
        values = _integers(values, name)
        return values
    if kind in "OUS":
        values = _parse(values, name)
    elif kind not in "mM":
        raise TypeError(f"time column {name} must hold integers, datetimes or ISO 8601 strings, "
                        f"got {values.dtype}")
    seconds = values.astype("datetime64[s]" if values.dtype.kind == "M" else "timedelta64[s]")
    inexact = np.flatnonzero(seconds != values)
    if inexact.size:
        raise ValueError(f"time column {name} holds {values[inexact[0]]} at row {inexact[0]}, "
                         "which is not a whole second; round the times first")
    return np.ascontiguousarray(seconds.view(np.int64))


def _integers(values: np.ndarray, name: str) -> np.ndarray:
    """An object column of Python integers (as SQLite returns INTEGER columns)."""
    try:
        return values.astype(np.int64)
    except (ValueError, TypeError, OverflowError):
        raise TypeError(f"time column {name} mixes integers with other values") from None


def _parse(values: np.ndarray, name: str) -> np.ndarray:
    """Strings, datetimes or dates as datetime64, refusing the first value that is none."""
    try:
        return values.astype("datetime64[us]")
    except (ValueError, TypeError, OverflowError):
        pass
    # Only on failure: find the first bad row by halving, each half parsed as a whole.
    low, high = 0, len(values)
    while high - low > 1:
        middle = (low + high) // 2
        try:
            values[low:middle].astype("datetime64[us]")
            low = middle
        except (ValueError, TypeError, OverflowError):
            high = middle
    raise ValueError(f"time column {name} holds {plain(values[low])!r} at row {low}, which is not a time")
