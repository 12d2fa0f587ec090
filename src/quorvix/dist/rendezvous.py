"""Joining and leaving a world of part servers within a bounded time, every fault reported to every rank.

Before the RPC world forms, the ranks meet at a store hosted by rank 0 at init_method's address: each
opens and checks its parts, then publishes what it found (its part count and graph, or the error that
stopped it). A rank joins the RPC world only once every rank has reported success; otherwise every
rank raises an error naming the rank that failed and why (the file, for a part file), or the ranks
that never reported. The RPC world then forms at a port rank 0 chose (under torchrun, at its
launcher's store), also bounded by the timeout.
Leaving meets at the same store: a rank that does not arrive within the timeout is named on every
rank that did, which then leaves without waiting for it.

Every wait is bounded by the given timeout; connecting to rank 0's store may take up to twice it (the
store's client retries once), so an error comes within 2 * timeout + SLACK seconds.
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

#: Seconds beyond twice the timeout within which a fault becomes an error (start-up and polling).
SLACK = 10.0
_POLL = 0.05


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
        raise TimeoutError(f"{what} did not end within {seconds:g} s.")
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


class Rendezvous:
    """Rank `rank`'s place in the store of a world of `world_size` ranks meeting at `init_method`."""

    def __init__(self, init_method: str, rank: int, world_size: int, timeout: float) -> None:
        from torch.distributed import TCPStore

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
        self.host, self.rank, self.world_size, self.timeout = host, rank, world_size, float(timeout)
        self.scheme = address.scheme
        # A store torchrun's agent hosts outlives restarts: each attempt keeps to keys of its own.
        self.prefix = f"quorvix/{os.environ.get('TORCHELASTIC_RUN_ID', '')}/{os.environ.get('TORCHELASTIC_RESTART_COUNT', '')}/"
        try:
            self.store = TCPStore(host, port, None, hosts,
                                  timeout=datetime.timedelta(seconds=self.timeout), wait_for_workers=False)
        except Exception as error:  # noqa: BLE001 - the store's own errors vary by cause
            raise RuntimeError(f"Rank {rank} could not reach rank 0's store at {host}:{port} "
                               f"within {self.timeout:g} s: {_first_line(error)}") from error

    def _collect(self, stage: str, ranks: list[int]) -> tuple[dict[int, Any], list[int]]:
        """The values ranks published at `stage`, waiting at most the timeout, and the ranks missing."""
        deadline = time.monotonic() + self.timeout
        found: dict[int, Any] = {}
        while True:
            for rank in ranks:
                key = f"{self.prefix}{stage}/{rank}"
                if rank not in found and self._store_call(lambda: self.store.check([key])):
                    found[rank] = json.loads(self._store_call(lambda: self.store.get(key)))
            missing = [rank for rank in ranks if rank not in found]
            if not missing or time.monotonic() > deadline:
                return found, missing
            time.sleep(_POLL)

    def _absent(self, stage: str, missing: list[int]) -> RuntimeError:
        return RuntimeError(f"Rank(s) {', '.join(map(str, missing))} did not reach '{stage}' within "
                            f"{self.timeout:g} s: not started, stopped, killed or failed before it.")

    def _publish(self, stage: str, value: Any) -> None:
        self._store_call(lambda: self.store.set(f"{self.prefix}{stage}/{self.rank}", json.dumps(value)))

    def _store_call(self, call: Callable[[], Any]) -> Any:
        try:
            return call()
        except Exception as error:  # noqa: BLE001 - the store's own errors vary by cause
            raise RuntimeError(f"Rank {self.rank} lost rank 0's store at {self.host} (rank 0 stopped or was "
                               f"killed): {_first_line(error)}") from error

    def check(self, found: dict[str, Any] | None, error: BaseException | None) -> str:
        """Publishes this rank's check (`found`: its world size and graph, or the `error` that stopped
        it), waits for every rank's and returns the RPC world's init_method; any rank's failure is
        raised on every rank."""
        report: dict[str, Any] = {"error": None if error is None else f"{type(error).__name__}: {error}"}
        if found is not None:
            report.update(found)
        if self.rank == 0 and error is None:  # torchrun's store serves both meetings
            report["rpc"] = "env://" if self.scheme == "env" else f"tcp://{self.host}:{_free_port(self.host)}"
        self._publish("check", report)
        reports, missing = self._collect("check", list(range(self.world_size)))
        self._publish("seen", True)
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
                self._collect("seen", sorted(reports))
            raise failure
        return str(reports[0]["rpc"])

    def join(self, join_rpc: Callable[[], None]) -> None:
        """join_rpc() bounded by the timeout: a rank that fails between its check and the RPC world
        would otherwise keep the others waiting for it."""
        try:
            _bounded(join_rpc, self.timeout + SLACK, "Joining the RPC world")
        except TimeoutError as error:
            raise RuntimeError(f"Rank {self.rank}: the RPC world did not form within {self.timeout + SLACK:g} s "
                               "although every rank had checked its parts: a rank failed or stopped "
                               "while joining.") from error

    def leave(self, graceful: bool, leave_rpc: Callable[[bool], None]) -> None:
        """Leaves the RPC world: gracefully once every rank has arrived, else at once, naming the
        ranks that did not arrive within the timeout."""
        absent: BaseException | None = None
        present = list(range(self.world_size))
        if graceful:
            self._publish("leave", True)
            arrived, missing = self._collect("leave", present)
            if missing:
                absent, graceful, present = self._absent("leave", missing), False, sorted(arrived)
        try:
            _bounded(lambda: leave_rpc(graceful), self.timeout + SLACK, "Leaving the RPC world")
        except TimeoutError:
            absent = absent or RuntimeError(
                f"Rank {self.rank}: leaving the RPC world did not end within {self.timeout + SLACK:g} s: "
                "a rank stopped or was killed while leaving.")
        self._publish("left", True)
        if self.rank == 0:  # the store outlives the others' use of it
            self._collect("left", present)
        if absent is not None:
            raise absent


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def _free_port(host: str) -> int:
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as sock:
        sock.bind(("", 0))
        return int(sock.getsockname()[1])
