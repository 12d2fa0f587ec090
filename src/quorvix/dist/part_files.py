"""The files of a part checked against what its manifest recorded when the part was written.

The manifest records every file's size and a digest. Opening a part checks the size of every file
of every part this machine can see, and the digest of the files of the part it serves (a read of
that part, streamed). While a part is served, each request first compares its files' sizes and
modification times with those seen at open: a file truncated, replaced or rewritten is refused
then, before it is read. A change made in the instant between that check and the read is not
caught; part files must not change while served.
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import Any, BinaryIO

__all__ = ["DIGEST", "FileWatch", "check_files", "digest_file", "load_json", "record_files"]

DIGEST = "blake2b-128"
_CHUNK = 8 << 20  # bytes read at a time: digests stream, whatever a file's size


def digest_file(path: str) -> str:
    """The digest of a file's bytes, read in bounded chunks."""
    digest = hashlib.blake2b(digest_size=16)
    with open(path, "rb") as file:
        _digest_stream(file, digest)
    return digest.hexdigest()


def _digest_stream(file: BinaryIO, digest: Any) -> None:
    buffer = bytearray(_CHUNK)
    view = memoryview(buffer)
    while True:
        count = file.readinto(buffer)
        if not count:
            return
        digest.update(view[:count])


def record_files(directory: str, names: list[str]) -> dict[str, dict[str, Any]]:
    """{file name: {"size", "digest"}} of the named files of `directory`, for a manifest."""
    return {name: {"size": os.path.getsize(os.path.join(directory, name)),
                   "digest": digest_file(os.path.join(directory, name))} for name in sorted(names)}


def load_json(path: str) -> Any:
    """A JSON file's value; a damaged or truncated file is refused by name."""
    with open(path, encoding="utf-8") as file:
        text = file.read()
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"'{path}' is not valid JSON (truncated or damaged): {error}") from error


def check_files(directory: str, manifest: dict[str, Any], *, digests: bool, missing_ok: bool = False) -> None:
    """Refuses a file of the part that is missing, of another size, or (with `digests`) of other
    bytes than the manifest records. `missing_ok` passes files this machine does not hold."""
    for name, entry in manifest.get("files", {}).items():
        path = os.path.join(directory, name)
        try:
            size = os.path.getsize(path)
        except FileNotFoundError:
            if missing_ok:
                continue
            raise FileNotFoundError(f"Part file '{path}' is missing.") from None
        if size != entry["size"]:
            raise ValueError(f"Part file '{path}' holds {size} bytes, not the {entry['size']} its manifest "
                             "records: truncated or replaced since the part was written.")
        if digests and digest_file(path) != entry["digest"]:
            raise ValueError(f"Part file '{path}' does not match the digest its manifest records: changed, "
                             "or taken from another partitioning.")


class FileWatch:
    """The sizes and modification times of a served part's files when opened, compared on demand."""

    def __init__(self, directory: str, names: list[str]) -> None:
        self.seen = {name: (os.path.join(directory, name), self._stamp(os.path.join(directory, name)))
                     for name in names}

    @staticmethod
    def _stamp(path: str) -> tuple[int, int, int]:
        status = os.stat(path)
        return status.st_size, status.st_mtime_ns, status.st_ino

    def check(self, names: list[str] | None = None) -> None:
        """Refuses a change to the named files (all by default) since the part was opened."""
        for name in self.seen if names is None else dict.fromkeys(names):
            path, seen = self.seen[name]
            try:
                now = self._stamp(path)
            except FileNotFoundError:
                now = (-1, 0, 0)
            if now != seen:
                raise RuntimeError(f"Part file '{path}' changed while served (size, modification time or "
                                   "identity): part files must not change while served.")
