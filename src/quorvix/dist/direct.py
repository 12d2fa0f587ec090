"""Part requests over plain sockets: the default way to the owners, and the only one for processes
outside the RPC world (a loader's workers).

Every rank's part is served on a socket of its own (PartServer, run by the rank's serving process)
whose address and key the rank publishes when the world meets. DirectTransport reaches the owners
straight: one pickle and one write each way, cheaper than an RPC, and open to any process of the
world's machines that holds the keys.

The wire: a connection opens with the server's random 32-byte challenge, which the client answers
with its HMAC-SHA256 under the owner's key, both as raw bytes; only then does either side unpickle.
A message is its length (8 bytes), the number of out-of-band buffers n (4 bytes), the lengths of
the pickle and of each buffer (8 bytes each), then the pickle (protocol 5) and the buffers; integers
little-endian.
A request is (number, operation, args); its answer (number, "value" or "error", payload).
"""

from __future__ import annotations

import hashlib
import hmac
import os
import pickle
import socket
import struct
import threading
import time
from typing import Any, Callable, Mapping

__all__ = ["DirectTransport", "PartServer"]

_LENGTH = struct.Struct("<Q")
_COUNT = struct.Struct("<I")
_BESIDE = 1 << 16  # bytes from which an array travels beside the pickle
_MOST_BUFFERS = 512  # views per sendmsg call, well below any system's limit
_LARGEST = 1 << 40  # bytes of a message: a larger length is a corrupt one, not a request to allocate
_DIGEST = 32  # bytes of the challenge and of its HMAC-SHA256
# Seconds a new connection has to answer the challenge before the server drops it.
_HANDSHAKE = 10.0


def _send(sock: socket.socket, value: Any) -> None:
    # Large arrays travel beside the pickle, as its out-of-band buffers: neither side copies them
    # into or out of the pickle. Small ones cost less inside it.
    raw: list[memoryview] = []

    def beside(buffer: pickle.PickleBuffer) -> bool:
        view = buffer.raw()
        if view.nbytes < _BESIDE:
            return True  # in the pickle
        raw.append(view)
        return False

    data = pickle.dumps(value, protocol=5, buffer_callback=beside)
    lengths = [len(data)] + [part.nbytes for part in raw]
    head = struct.pack(f"<QI{len(lengths)}Q", _COUNT.size + _LENGTH.size * len(lengths) + sum(lengths), len(raw),
                       *lengths)
    if not raw:  # one write
        sock.sendall(head + data)
        return
    views = [memoryview(head), memoryview(data), *raw]
    while views:
        sent = sock.sendmsg(views[:_MOST_BUFFERS])
        while views and sent >= views[0].nbytes:
            sent -= views[0].nbytes
            views.pop(0)
        if sent:  # the first view went in part
            views[0] = views[0][sent:]


def _recv_exact(sock: socket.socket, count: int, deadline: float | None) -> bytearray:
    received = bytearray(count)
    view, got = memoryview(received), 0
    while got < count:
        if deadline is not None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no answer within the timeout")
            sock.settimeout(remaining)
        read = sock.recv_into(view[got:], min(count - got, 1 << 22))
        if not read:
            raise EOFError("the connection was closed")
        got += read
    return received


def _recv(sock: socket.socket, deadline: float | None = None) -> Any:
    (body,) = _LENGTH.unpack(_recv_exact(sock, _LENGTH.size, deadline))
    if not _COUNT.size + _LENGTH.size <= body <= _LARGEST:
        raise pickle.UnpicklingError("a malformed message")
    message = memoryview(_recv_exact(sock, body, deadline))
    (count,) = _COUNT.unpack_from(message)
    at = _COUNT.size + _LENGTH.size * (count + 1)
    if at > body:
        raise pickle.UnpicklingError("a malformed message")
    lengths = struct.unpack_from(f"<{count + 1}Q", message, _COUNT.size)
    if at + sum(lengths) != body:
        raise pickle.UnpicklingError("a malformed message")
    pieces = []
    for length in lengths:
        pieces.append(message[at:at + length])
        at += length
    return pickle.loads(pieces[0], buffers=pieces[1:])


def own_address(toward: str) -> str:
    """This machine's address on the route to host ``toward`` (no packet is sent)."""
    family = socket.AF_INET6 if ":" in toward else socket.AF_INET
    try:
        with socket.socket(family, socket.SOCK_DGRAM) as probe:
            probe.connect((toward, 9))
            return str(probe.getsockname()[0])
    except OSError:  # no route from here: only this machine can be meant
        return "::1" if family == socket.AF_INET6 else "127.0.0.1"


class PartServer:
    """Serves ``answer(operation, args)`` to any process that holds the key, each connection on a
    thread of its own, until closed.

    Args:
        answer: runs one request and returns its answer, or raises the error to send back.
        toward: a host of the world (rank 0's): the address published is this machine's on the
            route to it.
        key: the key connections must prove they hold; None for a random one.
    """

    def __init__(self, answer: Callable[[str, tuple], Any], toward: str, key: bytes | None = None) -> None:
        self._answer = answer
        self.key = os.urandom(32) if key is None else key
        self.host = own_address(toward)
        family = socket.AF_INET6 if ":" in self.host else socket.AF_INET
        self._listener = socket.create_server(("", 0), family=family)
        self.port = int(self._listener.getsockname()[1])
        self._closed = False
        threading.Thread(target=self._accept, name="quorvix-part-server", daemon=True).start()

    @property
    def address(self) -> list[Any]:
        """``[host, port, key]``, the key in hex, as the world's meeting publishes it."""
        return [self.host, self.port, self.key.hex()]

    def close(self) -> None:
        self._closed = True
        try:
            self._listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._listener.close()

    def _accept(self) -> None:
        while not self._closed:
            try:
                sock, _ = self._listener.accept()
            except OSError:  # closed
                return
            threading.Thread(target=self._serve, args=(sock,), name="quorvix-part-request", daemon=True).start()

    def _serve(self, sock: socket.socket) -> None:
        with sock:
            try:
                # Raw bytes until the client has proved it holds the key: nothing of a stranger's is unpickled.
                challenge = os.urandom(_DIGEST)
                sock.sendall(challenge)
                reply = _recv_exact(sock, _DIGEST, time.monotonic() + _HANDSHAKE)
                if not hmac.compare_digest(reply, hmac.new(self.key, challenge, hashlib.sha256).digest()):
                    return
                sock.settimeout(None)
                while not self._closed:
                    number, operation, args = _recv(sock)
                    try:
                        answer = (number, "value", self._answer(operation, args))
                    except Exception as error:  # noqa: BLE001 - the caller raises what the part raised
                        answer = (number, "error", error)
                    try:
                        _send(sock, answer)
                    except (pickle.PicklingError, TypeError, AttributeError) as error:
                        _send(sock, (number, "error", RuntimeError(f"{type(error).__name__}: {error}")))
            except (OSError, EOFError, TimeoutError, ValueError, pickle.UnpicklingError):
                return  # the client went, or was no client of ours


class DirectTransport:
    """Requests straight to the owners' part servers, each bounded by ``timeout`` seconds: the
    default transport of a rank that joined a world, and that of its loader's worker processes,
    which have no place in the RPC world.

    It pickles (it holds addresses and keys only); each process connects on its first request to
    an owner. Get the world's with :meth:`of_world`.

    Args:
        peers: per part index, ``[host, port, key in hex]`` of the rank that serves it.
        timeout: seconds each request may take, connecting included.
        worker: the name errors give a part's owner, by part index.
    """

    def __init__(self, peers: Mapping[int, Any], timeout: float = 30.0,
                 worker: Callable[[int], str] | None = None) -> None:
        from quorvix.dist.sampler import worker_name

        self.peers = {int(k): (str(v[0]), int(v[1]), bytes.fromhex(v[2])) for k, v in peers.items()}
        self.timeout = float(timeout)
        self.worker = worker_name if worker is None else worker
        self._channels: dict[int, _Channel] = {}
        self._lock = threading.Lock()
        self._pid = os.getpid()

    @classmethod
    def of_world(cls, timeout: float | None = None) -> "DirectTransport":
        """The transport to the part servers of the world this process joined.

        Args:
            timeout: seconds each request may take; None for the world's.

        Returns:
            DirectTransport: with every rank's address.

        Raises:
            RuntimeError: this process serves no part; the messages are listed in the error
                reference.
        """
        from quorvix.dist.sampler import _SERVED, served_part

        served_part()  # refuses a process outside a world
        meeting = _SERVED["meeting"]
        return cls(_SERVED["peers"], meeting.timeout if timeout is None else timeout)

    def __getstate__(self) -> dict:
        return {"peers": self.peers, "timeout": self.timeout, "worker": self.worker}

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        self._channels, self._lock, self._pid = {}, threading.Lock(), os.getpid()

    def request(self, owner: int, operation: str, *args: Any) -> "_Pending":
        """Sends a part request to the rank serving part ``owner``.

        Args:
            owner: the part index whose rank answers.
            operation: the name of one of :class:`Part`'s request methods.
            *args: that method's arguments.

        Returns:
            A future whose ``wait()`` returns the answer, raises the owner's error as the owner
            raised it (with a note naming the rank), or raises ``RuntimeError: Part <k> (<worker>)
            did not answer within <t> s or failed: <reason>``.
        """
        if self._pid != os.getpid():  # a forked copy: the parent's connections are not this process's
            self._channels, self._lock, self._pid = {}, threading.Lock(), os.getpid()
        deadline = time.monotonic() + self.timeout
        try:
            with self._lock:
                channel = self._channels.get(owner)
                if channel is None:
                    if owner not in self.peers:
                        raise KeyError(f"no address for part {owner}")
                    channel = self._channels[owner] = _Channel(self.peers[owner], deadline)
            number = channel.send(operation, args)
        except (OSError, EOFError, KeyError, pickle.UnpicklingError) as error:
            self._drop(owner, None)
            return _Pending(self, owner, None, 0, deadline, error)
        return _Pending(self, owner, channel, number, deadline, None)

    def _drop(self, owner: int, channel: "_Channel | None") -> None:
        """Forgets the connection to ``owner`` (only ``channel``, when given): the next request connects again."""
        with self._lock:
            if channel is None or self._channels.get(owner) is channel:
                self._channels.pop(owner, None)

    def close(self) -> None:
        """Closes this process's connections; a later request connects again.

        Returns:
            None
        """
        with self._lock:
            for channel in self._channels.values():
                channel.sock.close()
            self._channels.clear()

    def _failed(self, owner: int, error: BaseException) -> RuntimeError:
        text = str(error).strip().strip("'\"")
        return RuntimeError(f"Part {owner} ({self.worker(owner)}) did not answer within {self.timeout:g} s or "
                            f"failed: {text.splitlines()[0] if text else type(error).__name__}")


class _Channel:
    """One process's connection to one owner: requests numbered, answers kept until awaited."""

    def __init__(self, peer: tuple[str, int, bytes], deadline: float) -> None:
        host, port, key = peer
        self.sock = socket.create_connection((host, port), timeout=max(deadline - time.monotonic(), 0.001))
        challenge = _recv_exact(self.sock, _DIGEST, deadline)
        self.sock.sendall(hmac.new(key, challenge, hashlib.sha256).digest())
        self.numbers = 0
        self.answers: dict[int, tuple[str, Any]] = {}
        self.awaited: set[int] = set()  # numbers sent and not yet answered
        self.sending, self.reading = threading.Lock(), threading.Lock()

    def send(self, operation: str, args: tuple) -> int:
        with self.sending:
            self.numbers += 1
            self.awaited.add(self.numbers)
            self.sock.settimeout(None)
            _send(self.sock, (self.numbers, operation, args))
            return self.numbers

    def answer(self, number: int, deadline: float) -> tuple[str, Any]:
        # One thread reads at a time; an answer it reads for another thread waits in `answers`.
        if not self.reading.acquire(timeout=max(deadline - time.monotonic(), 0.0)):
            raise TimeoutError("timed out")
        try:
            while number not in self.answers:
                got, kind, value = _recv(self.sock, deadline)
                if got in self.awaited:  # else the answer to a request given up on
                    self.answers[got] = (kind, value)
            self.awaited.discard(number)
            return self.answers.pop(number)
        finally:
            self.reading.release()


class _Pending:
    def __init__(self, transport: DirectTransport, owner: int, channel: _Channel | None, number: int,
                 deadline: float, error: BaseException | None) -> None:
        self._transport, self._owner, self._channel = transport, owner, channel
        self._number, self._deadline, self._error = number, deadline, error

    def wait(self) -> Any:
        if self._channel is None:
            raise self._transport._failed(self._owner, self._error or EOFError())
        try:
            kind, value = self._channel.answer(self._number, self._deadline)
        except (OSError, EOFError, pickle.UnpicklingError) as error:  # TimeoutError is an OSError
            # A message may have been cut off: the connection is dropped and the next request reconnects.
            self._channel.sock.close()
            self._transport._drop(self._owner, self._channel)
            raise self._transport._failed(self._owner, error) from error
        if kind == "error":
            raise value
        return value
