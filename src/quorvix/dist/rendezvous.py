"""Joining and leaving a world of part servers within a bounded time, every fault reported to every rank.

Before the RPC world forms, the ranks meet at a store hosted by rank 0 at init_method's address: each
opens and checks its parts, then publishes what it found (its part count and graph, or the error that
stopped it). A rank joins the RPC world only once every rank has reported success; otherwise every
rank raises an error naming the rank that failed and why (the file, for a part file), or the ranks
that never reported. The RPC world then forms at a port rank 0 chose (under torchrun, at its
launcher's store), also bounded by the timeout.
Leaving meets at the same store: a rank that does not arrive within the timeout is named on every
rank that did, which then leaves without waiting for it.

A meeting (joining, or leaving) has one deadline, the timeout after it starts: connecting to rank 0's
store, every wait for the others and every store call take from it, and RPC's own joining and leaving,
and rank 0's last wait for the others to read the store, may run _GRACE seconds past it. So an error
comes within timeout + SLACK seconds of the meeting's start.
"""

from __future__ import annotations

import datetime
import json
import os
import socket
import threading
import time
from typing import Any, Callable
from urllib.parse import urlparse

__all__ = ["SLACK", "Rendezvous"]

#: Seconds beyond the timeout within which a fault becomes an error on every rank still running.
SLACK = 5.0
# Of the slack, what may run past the deadline (RPC's joining and leaving, rank 0's last waits); the
# rest covers a store call and a connection attempt begun just before it, polling and hand-offs.
_GRACE = 3.0
_POLL = 0.05
# Seconds one attempt to reach rank 0's store may take: the store's client retries an attempt once
# by itself, so attempts are kept short and repeated until the deadline.
_ATTEMPT = 0.5


def _bounded(call: Callable[[], Any], seconds: float, what: str) -> Any:
    """call() on a thread of its own, given up after `seconds`: a blocked native call cannot be
    interrupted, so it is left behind on a daemon thread, which does not hold the process."""
    outcome: dict[str, Any] = {}

    def run() -> None:
        try:
            outcome["value"] = call()
        except BaseException as error:  # noqa: BLE001 - re-raised on the caller's thread
            outcome["error"] = error

    thread = threading.Thread(target=run, name=f"quorvix {what}", daemon=True)
    thread.start()
    thread.join(seconds)
    if thread.is_alive():
        raise TimeoutError(f"{what} did not end within {seconds:.3g} s.")
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


class Rendezvous:
    """Rank `rank`'s place in the store of a world of `world_size` ranks meeting at `init_method`;
    it connects when the first meeting starts."""

    def __init__(self, init_method: str, rank: int, world_size: int, timeout: float) -> None:
        address = urlparse(init_method)
        hosts = rank == 0
        if address.scheme == "env":  # torchrun's MASTER_ADDR and MASTER_PORT, its agent's store if it hosts one
            host, port = os.environ.get("MASTER_ADDR"), int(os.environ.get("MASTER_PORT", "0"))
            hosts = rank == 0 and os.environ.get("TORCHELASTIC_USE_AGENT_STORE") != "True"
        elif address.scheme == "tcp":
            host, port = address.hostname, address.port or 0
        if address.scheme not in ("env", "tcp") or not host or not port:
            raise ValueError(f"init_method must be 'tcp://host:port' or 'env://' with MASTER_ADDR and "
                             f"MASTER_PORT set, got '{init_method}'.")
        self.host, self.port, self.hosts = host, port, hosts
        self.rank, self.world_size, self.timeout = rank, world_size, float(timeout)
        self.scheme = address.scheme
        # A store torchrun's agent hosts outlives restarts: each attempt keeps to keys of its own.
        self.prefix = f"quorvix/{os.environ.get('TORCHELASTIC_RUN_ID', '')}/{os.environ.get('TORCHELASTIC_RESTART_COUNT', '')}/"
        self.store: Any = None
        self.deadline = 0.0
        self.reports: dict[int, Any] = {}  # what every rank published at the check, once it passed

    def _start(self) -> None:
        """Starts a meeting: its deadline, and the connection to rank 0's store if there is none yet."""
        self.deadline = time.monotonic() + self.timeout
        if self.store is None:
            self.store = self._connect()

    def _remaining(self) -> float:
        return max(0.0, self.deadline - time.monotonic())

    def _connect(self) -> Any:
        """Rank 0's store (hosted here on rank 0), reached by the deadline: short attempts, repeated,
        as rank 0 may start after this rank."""
        from torch.distributed import TCPStore

        while True:
            # Rank 0's store keeps the timeout for its own calls; hosting it waits for nobody.
            attempt = self.timeout if self.hosts else max(min(_ATTEMPT, self._remaining()), _POLL)
            bound = max(self._remaining(), _ATTEMPT) if self.hosts else 2 * attempt + _POLL  # a client tries twice
            try:
                return _bounded(lambda: TCPStore(self.host, self.port, None, self.hosts,
                                                 timeout=datetime.timedelta(seconds=attempt), wait_for_workers=False),
                                bound, "Connecting to rank 0's store")
            except Exception as error:  # noqa: BLE001 - the store's own errors vary by cause
                if self.hosts or self._remaining() == 0.0:
                    raise RuntimeError(f"Rank {self.rank} could not reach rank 0's store at {self.host}:{self.port} "
                                       f"within {self.timeout:g} s: {_first_line(error)}") from error
                time.sleep(min(_POLL, self._remaining()))

    def _collect(self, stage: str, ranks: list[int], grace: float = 0.0) -> tuple[dict[int, Any], list[int]]:
        """The values ranks published at `stage`, waiting at most until the deadline (plus `grace`),
        and the ranks missing."""
        found: dict[int, Any] = {}
        while True:
            for rank in ranks:
                key = f"{self.prefix}{stage}/{rank}"
                if rank not in found and self._store_call(lambda: self.store.check([key]), grace):
                    found[rank] = json.loads(self._store_call(lambda: self.store.get(key), grace))
            missing = [rank for rank in ranks if rank not in found]
            if not missing or time.monotonic() > self.deadline + grace:
                return found, missing
            time.sleep(_POLL)

    def _absent(self, stage: str, missing: list[int]) -> RuntimeError:
        return RuntimeError(f"Rank(s) {', '.join(map(str, missing))} did not reach '{stage}' within "
                            f"{self.timeout:g} s: not started, stopped, killed or failed before it.")

    def _publish(self, stage: str, value: Any, grace: float = 0.0) -> None:
        self._store_call(lambda: self.store.set(f"{self.prefix}{stage}/{self.rank}", json.dumps(value)), grace)

    def _store_call(self, call: Callable[[], Any], grace: float = 0.0) -> Any:
        """call() on rank 0's store, given up at the deadline (plus `grace`): a call to a stopped
        rank 0 never returns, whatever the store's timeout."""
        try:
            return _bounded(call, max(self._remaining() + grace, _ATTEMPT), "A call to rank 0's store")
        except Exception as error:  # noqa: BLE001 - the store's own errors vary by cause
            raise RuntimeError(f"Rank {self.rank} lost rank 0's store at {self.host} (rank 0 stopped or was "
                               f"killed): {_first_line(error)}") from error

    def check(self, found: dict[str, Any] | None, error: BaseException | None) -> str:
        """Publishes this rank's check (`found`: its world size and graph, or the `error` that stopped
        it), waits for every rank's and returns the RPC world's init_method; any rank's failure is
        raised on every rank. Starts the meeting that join() ends."""
        self._start()
        report: dict[str, Any] = {"error": None if error is None else f"{type(error).__name__}: {error}"}
        if found is not None:
            report.update(found)
        if self.rank == 0 and error is None:  # torchrun's store serves both meetings
            report["rpc"] = "env://" if self.scheme == "env" else f"tcp://{self.host}:{_free_port(self.host)}"
        self._publish("check", report)
        reports, missing = self._collect("check", list(range(self.world_size)))
        self._publish("seen", True, _GRACE)
        failure: BaseException | None = error
        if failure is None:
            failed = [(rank, other) for rank, other in sorted(reports.items()) if other["error"] is not None]
            differing = [(rank, field, other.get(field)) for rank, other in sorted(reports.items())
                         for field in ("world_size", "fingerprint")
                         if other["error"] is None and other.get(field) != report.get(field)]
            if failed:
                failure = RuntimeError(f"Rank {failed[0][0]} could not open its part: {failed[0][1]['error']}")
            elif differing:
                rank, field, value = differing[0]
                failure = RuntimeError(f"Rank {rank} was started with {field} {value!r}, rank {self.rank} "
                                       f"with {report.get(field)!r}.")
            elif missing:
                failure = self._absent("check", missing)
        if failure is not None:
            if self.rank == 0:  # it hosts the store: it stays until the others have read the reports
                self._collect("seen", sorted(reports), _GRACE)
            raise failure
        self.reports = reports
        return str(reports[0]["rpc"])

    def join(self, join_rpc: Callable[[], None]) -> None:
        """join_rpc() bounded by what remains of check()'s deadline, plus the grace: a rank that fails
        between its check and the RPC world would otherwise keep the others waiting for it."""
        try:
            _bounded(join_rpc, self._remaining() + _GRACE, "Joining the RPC world")
        except TimeoutError as error:
            raise RuntimeError(f"Rank {self.rank}: the RPC world did not form within {self.timeout + _GRACE:g} s "
                               "although every rank had checked its parts: a rank failed or stopped "
                               "while joining.") from error

    def leave(self, graceful: bool, leave_rpc: Callable[[bool], None]) -> None:
        """Leaves the RPC world: gracefully once every rank has arrived, else at once, naming the
        ranks that did not arrive within the timeout (or rank 0's store, lost)."""
        absent: BaseException | None = None
        present = list(range(self.world_size))
        self.deadline = time.monotonic() + self.timeout
        if graceful:
            try:
                self._publish("leave", True)
                arrived, missing = self._collect("leave", present)
            except RuntimeError as lost:  # rank 0 is gone: leave without the store
                absent, graceful, present = lost, False, []
            else:
                if missing:
                    absent, graceful, present = self._absent("leave", missing), False, sorted(arrived)
        try:
            _bounded(lambda: leave_rpc(graceful), self._remaining() + _GRACE, "Leaving the RPC world")
        except TimeoutError:
            absent = absent or RuntimeError(
                f"Rank {self.rank}: leaving the RPC world did not end within {self.timeout + _GRACE:g} s: "
                "a rank stopped or was killed while leaving.")
        if present:
            try:
                self._publish("left", True, _GRACE)
                if self.rank == 0:  # the store outlives the others' use of it
                    self._collect("left", present, _GRACE)
            except RuntimeError as lost:
                absent = absent or lost
        if absent is not None:
            raise absent


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def _free_port(host: str) -> int:
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as sock:
        sock.bind(("", 0))
        return int(sock.getsockname()[1])
