"""Arrays read and written in bounded pieces: partitioning streams a graph of any size through them.

An array is read by ranges of rows and gathered by ids; one held in memory is sliced, one in an .npy
file is read with positioned reads, never mapped whole, so that the address space used stays within
a few pieces whatever the file's size. Written arrays go straight to .npy files, their digest taken
on the way.
"""

from __future__ import annotations

import hashlib
import io
import os
from typing import Any

import numpy as np

__all__ = ["PIECE_BYTES", "Source", "NpyWriter"]

# Bytes of one piece read or gathered at a time.
PIECE_BYTES = 32 << 20
# An array up to this size is read whole once when gathered by ids, rather than window by window.
_HELD_BYTES = 128 << 20


class Source:
    """An array read by ranges of rows: `array` held in memory, or the .npy file at `path`."""

    def __init__(self, array: Any = None, path: str | None = None) -> None:
        self.path = path
        self._held: np.ndarray | None = None
        if path is None:
            self._array = array
            self.shape = tuple(array.shape)
            self.dtype = np.dtype(array.dtype)
            self._offset = 0
        else:
            self._array = None
            with open(path, "rb") as file:
                try:
                    version = np.lib.format.read_magic(file)
                    read_header = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                                   else np.lib.format.read_array_header_2_0)
                    shape, fortran_order, dtype = read_header(file)
                except ValueError as error:
                    raise ValueError(f"'{path}' is not an .npy file: {error}") from error
                if fortran_order and len(shape) > 1:
                    raise ValueError(f"'{path}' holds a Fortran-ordered array.")
                self._offset = file.tell()
            self.shape, self.dtype = tuple(shape), np.dtype(dtype)
            expected = self._offset + int(np.prod(shape, dtype=np.int64)) * self.dtype.itemsize
            if os.path.getsize(path) < expected:
                raise ValueError(f"'{path}' holds {os.path.getsize(path)} bytes, fewer than its array's "
                                 f"{expected}: truncated.")
        self.row_bytes = int(np.prod(self.shape[1:], dtype=np.int64)) * self.dtype.itemsize

    def __len__(self) -> int:
        return self.shape[0] if self.shape else 0

    def rows_per_piece(self) -> int:
        return max(1, PIECE_BYTES // max(self.row_bytes, 1))

    def read(self, start: int, stop: int) -> np.ndarray:
        """Rows [start, stop), in memory."""
        if not 0 <= start <= stop <= len(self):
            raise ValueError(f"Rows [{start}, {stop}) are out of range of {self.path or 'an array'} "
                             f"({len(self)} rows).")
        if self._held is not None:
            return self._held[start:stop]
        if self.path is None:
            return np.asarray(self._array[start:stop])
        count = max(stop - start, 0)
        buffer = bytearray(count * self.row_bytes)
        view = memoryview(buffer)
        done = 0
        with open(self.path, "rb", buffering=0) as file:
            file.seek(self._offset + start * self.row_bytes)
            while done < len(buffer):
                got = file.readinto(view[done:])
                if not got:
                    raise ValueError(f"'{self.path}' ended early: truncated while read.")
                done += got
        return np.frombuffer(buffer, dtype=self.dtype).reshape((count,) + self.shape[1:])

    def pieces(self):
        """(start, rows) over the whole array, piece by piece."""
        step = self.rows_per_piece()
        for start in range(0, len(self), step):
            yield start, self.read(start, min(start + step, len(self)))

    def take(self, ids: np.ndarray) -> np.ndarray:
        """The rows of `ids` (any order), reading at most a piece at a time beyond a small array."""
        ids = np.asarray(ids, dtype=np.int64)
        if self.path is None:
            return np.asarray(self._array[ids])
        if len(self) * self.row_bytes <= _HELD_BYTES:
            if self._held is None:
                self._held = self.read(0, len(self))
            return self._held[ids]
        out = np.empty((len(ids),) + self.shape[1:], dtype=self.dtype)
        if not len(ids):
            return out
        order = np.argsort(ids, kind="stable")
        wanted = ids[order]
        step = self.rows_per_piece()
        begin = 0
        while begin < len(wanted):
            low = int(wanted[begin])
            end = int(np.searchsorted(wanted, low + step, side="left"))
            rows = self.read(low, int(wanted[end - 1]) + 1)
            out[order[begin:end]] = rows[wanted[begin:end] - low]
            begin = end
        return out


class NpyWriter:
    """An .npy file of `rows` rows written piece by piece; its size and digest once closed."""

    def __init__(self, path: str, dtype: Any, rows: int, row_shape: tuple[int, ...] = ()) -> None:
        self.path = path
        self.dtype = np.dtype(dtype)
        self.rows = int(rows)
        self.row_shape = tuple(row_shape)
        self.written = 0
        self.digest = hashlib.blake2b(digest_size=16)
        header = io.BytesIO()
        np.lib.format.write_array_header_1_0(header, {
            "descr": np.lib.format.dtype_to_descr(self.dtype), "fortran_order": False,
            "shape": (self.rows,) + self.row_shape})
        self.file = open(path, "wb")
        self._write(header.getvalue())

    def _write(self, data: Any) -> None:
        self.file.write(data)
        self.digest.update(data)

    def write(self, values: Any) -> None:
        values = np.ascontiguousarray(values, dtype=self.dtype)
        self.written += len(values)
        if values.size:
            self._write(memoryview(values.reshape(-1).view(np.uint8)))

    def close(self) -> dict[str, Any]:
        self.file.close()
        if self.written != self.rows:
            raise RuntimeError(f"'{self.path}' got {self.written} rows, not {self.rows}.")
        return {"size": os.path.getsize(self.path), "digest": self.digest.hexdigest()}
