"""Ids, times and keys as quorvix takes them: int64 NumPy arrays and "t0__t1__t2" strings."""

from __future__ import annotations

import datetime
from typing import Any, Tuple

import numpy as np
import torch

EdgeType = Tuple[str, str, str]


def edge_type_key(edge_type: EdgeType) -> str:
    """The extension keys edge types by the three names joined with "__"."""
    return "__".join(edge_type)


def to_numpy(value: Any) -> np.ndarray:
    """A tensor, array or sequence as a NumPy array, sharing memory where it can."""
    if isinstance(value, torch.Tensor):
        return value.detach().cpu().numpy()
    return np.asarray(value)


def as_int64(value: Any, name: str) -> np.ndarray:
    """Node ids or timestamps as a one-dimensional int64 array (a view where it can be one).

    Datetimes become seconds since the epoch and time spans seconds, the unit the sampler's
    windows are then given in; a time that is not a whole second, or NaT, is refused rather
    than rounded. Floats are refused rather than truncated.
    """
    array = to_numpy(value)
    if array.ndim != 1:
        raise ValueError(f"'{name}' must be one-dimensional, got shape {tuple(array.shape)}.")
    if array.dtype.kind in "mM":
        return _whole_seconds(array, name)
    if array.size == 0:
        array = array.astype(np.int64)
    elif array.dtype.kind == "u" and array.dtype.itemsize == 8:
        if array.max() > np.iinfo(np.int64).max:
            raise ValueError(f"'{name}' holds values beyond the int64 range.")
    elif array.dtype.kind not in "iu":
        raise TypeError(f"'{name}' must hold integers or datetimes, got dtype {array.dtype}.")
    return np.ascontiguousarray(array, dtype=np.int64)


def _whole_seconds(array: np.ndarray, name: str) -> np.ndarray:
    if np.isnat(array).any():
        raise ValueError(f"'{name}' holds NaT; every time must be known.")
    seconds = array.astype("datetime64[s]" if array.dtype.kind == "M" else "timedelta64[s]")
    if (seconds != array).any():
        raise ValueError(f"'{name}' holds times that are not whole seconds; round them first.")
    return np.ascontiguousarray(seconds.view(np.int64))


def owned_int64(value: Any, name: str) -> np.ndarray:
    """As :func:`as_int64`, but never a view: nothing kept may point into a tensor's storage,
    which ``share_memory_()`` or a spawned worker's unpickling replaces and frees."""
    return as_int64(value, name).copy()


def as_index_tensor(value: Any) -> torch.Tensor:
    """Seed ids or a boolean mask as a tensor, the form PyG's NodeLoader takes."""
    if isinstance(value, torch.Tensor):
        return value
    array = to_numpy(value)
    # Copies (one entry per seed): torch refuses to wrap read-only arrays such as memory maps.
    if array.dtype.kind == "b":
        return torch.tensor(array)
    return torch.tensor(as_int64(array, "input_nodes"))


def as_time_bound(value: Any, name: str) -> int | None:
    """One window bound: an integer, a time span in seconds (rounded down: integer times
    t satisfy ``t > T + b`` and ``t <= T + b`` exactly when they do for ``floor(b)``) or None."""
    if value is None:
        return None
    if isinstance(value, torch.Tensor):
        value = value.item()
    if isinstance(value, np.timedelta64):
        if np.isnat(value):
            raise ValueError(f"'{name}' bounds must not be NaT.")
        return int(value // np.timedelta64(1, "s"))
    if hasattr(value, "total_seconds"):  # datetime.timedelta, pandas.Timedelta
        if value != value:  # pandas.NaT
            raise ValueError(f"'{name}' bounds must not be NaT.")
        return int(value // datetime.timedelta(seconds=1))
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"'{name}' bounds must be integers, time spans or None, got {value!r}.")
    return int(value)
