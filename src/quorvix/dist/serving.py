"""The process that serves a rank's part over its socket, beside the rank's own.

A rank's threads answer requests only when its main thread lets go of the interpreter lock, which a
main thread running Python does every 5 ms: a busy trainer slowed its peers' requests tenfold. So
the part's socket is served by a process of its own (this module's main()), which maps
the part's files again (refusing any change since the rank opened them) and has its own lock. It
reads its settings from its standard input and stays until that closes: when the rank calls
shutdown(), exits or dies, the server goes too.
"""

from __future__ import annotations

import json
import os
import pickle
import select
import struct
import subprocess
import sys
from typing import Any

__all__ = ["ServingProcess"]

_LENGTH = struct.Struct("<Q")
# Seconds the server may take to start at least (about 0.2 s idle; a loaded machine takes longer).
_START = 30.0


class ServingProcess:
    """Starts the process serving ``part`` for rank ``rank`` and waits, at most ``timeout`` (or 30)
    seconds, for the address it listens on.

    Args:
        part: the rank's opened part.
        rank: the rank, named in the errors the server sends back.
        toward: a host of the world (rank 0's): the address published is this machine's on the
            route to it.
        timeout: seconds the server may take to start (at least 30).

    Raises:
        RuntimeError: the server could not open the part or did not start in time.
    """

    def __init__(self, part: Any, rank: int, toward: str, timeout: float) -> None:
        key = os.urandom(32)
        settings = pickle.dumps({"directory": part.directory, "manifest": part.manifest, "seen": part.watch.seen,
                                 "rank": rank, "toward": toward, "key": key})
        # The server imports this very package, wherever it was found (a path the rank added to
        # sys.path itself included).
        package_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_root,
                                                                         os.environ.get("PYTHONPATH")])))
        self._process = subprocess.Popen([sys.executable, "-c", "from quorvix.dist.serving import main; main()"],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, close_fds=True, env=env)
        assert self._process.stdin is not None and self._process.stdout is not None
        self.pid = self._process.pid
        try:
            self._process.stdin.write(_LENGTH.pack(len(settings)) + settings)
            self._process.stdin.flush()
            # Starting is local work, like checking the part: a short timeout does not bound it.
            wait = max(float(timeout), _START)
            ready, _, _ = select.select([self._process.stdout], [], [], wait)
            line = self._process.stdout.readline() if ready else b""
            if line:
                reply = json.loads(line)
            elif ready:  # its standard output closed: it ended (its traceback went to this one's stderr)
                reply = {"error": f"it ended with exit code {self._process.wait()} before it served"}
            else:
                reply = {"error": f"it did not start within {wait:g} s"}
        except (OSError, ValueError) as error:
            reply = {"error": f"{type(error).__name__}: {error}"}
        if "error" in reply:
            self.close()
            raise RuntimeError(f"Rank {rank}: the process serving its part failed: {reply['error']}")
        self.address = [reply["host"], int(reply["port"]), key.hex()]

    def close(self) -> None:
        """Stops the server: it goes once its standard input closes; killed if it lingers."""
        try:
            self._process.stdin.close()  # type: ignore[union-attr]
        except OSError:  # it had ended: nothing to tell it
            pass
        try:
            self._process.wait(2.0)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._process.stdout.close()  # type: ignore[union-attr]


def main() -> None:
    """The server's side: reads its settings, serves, and leaves when its standard input closes."""
    from quorvix.dist.direct import PartServer
    from quorvix.dist.part import _reopened
    from quorvix.dist.sampler import _answer

    stdin = sys.stdin.buffer
    (length,) = _LENGTH.unpack(stdin.read(_LENGTH.size))
    settings = pickle.loads(stdin.read(length))
    try:
        part = _reopened(settings["directory"], settings["manifest"], settings["seen"])
        rank = settings["rank"]
        server = PartServer(lambda operation, args: _answer(lambda: part, rank, operation, args), settings["toward"],
                            settings["key"])
        reply: dict[str, Any] = {"host": server.host, "port": server.port}
    except Exception as error:  # noqa: BLE001 - reported to the rank, which raises it
        reply = {"error": f"{type(error).__name__}: {error}"}
    sys.stdout.write(json.dumps(reply) + "\n")
    sys.stdout.flush()
    if "error" in reply:
        os._exit(1)
    while stdin.read(1 << 16):  # until the rank closes it, or dies
        pass
    os._exit(0)

