"""Sampling across parts over torch.distributed.rpc: every rank owns a part and serves requests for it
on the RPC threads, whatever its main thread does, and samples hop by hop as a trainer.

A hop sends one request per remote part carrying, for every edge type, the frontier nodes that part
owns with their seed times, draw keys and the hop's rule; nodes of the trainer's own part are expanded
in process. The answers are merged in frontier order exactly as one sampler records them, so rules
without draws give one sampler's subgraphs. Random fan-outs read a stream per (call, hop, edge type,
subgraph, node): the same distribution as one sampler, and the same draws for a given seed and call
order whatever the part count or the rank.

The draw stream: a call takes call_key, the next integers(0, 2**63) of numpy's default_rng(seed); a
hop's edge type (by index) takes stream = mix(mix(call_key ^ hop) ^ edge_index), mix being
splitmix64's finaliser; frontier entry (subgraph, node) then reads Philox4x64-10 keyed (stream, node)
with counter (block, subgraph, 0, 0) for blocks 1, 2, ..., each 64-bit word's low half first. Every
field enters whole: no two entries of one hop share a stream.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Mapping, Sequence

import numpy as np

import quorvix._core
from quorvix.dist.checks import request_checker
from quorvix.dist.serving import ServingProcess
from quorvix.dist.part import Part, open_part
from quorvix.dist.rendezvous import Rendezvous

__all__ = ["DistNeighborSampler", "InProcessTransport", "RpcTransport", "init_part_worker", "served_part",
           "shutdown", "worker_name"]

_SERVED: dict[str, Any] = {}

# Odd 64-bit constants that spread each field of a draw key over every bit (splitmix64's).
_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)


def worker_name(part: int) -> str:
    """The RPC worker name of the rank that serves part ``part``.

    Args:
        part: a part index (the rank that serves it).

    Returns:
        str: ``"quorvix-part-<part>"``.
    """
    return f"quorvix-part-{part}"


def served_part() -> Part:
    """The part this process serves, opened by :func:`init_part_worker`.

    Returns:
        Part: the served part.

    Raises:
        RuntimeError: this process serves no part (no :func:`init_part_worker`, or after
            :func:`shutdown`); the messages are listed in the error reference.
    """
    part = _SERVED.get("part")
    assert part is None or isinstance(part, Part)
    if part is None:
        raise RuntimeError("This process serves no part: call quorvix.dist.init_part_worker first.")
    return part


class _Raised:
    """An owner's error, sent back as its answer: RPC would deliver it as a failure like a timeout's."""

    def __init__(self, error: BaseException) -> None:
        self.error = error


def _answer(part: Callable[[], Part], rank: int, operation: str, args: tuple) -> Any:
    """What an owner runs for a request: one of Part's request methods on the part it serves; an
    error gets a note naming the rank."""
    try:
        if operation not in Part.REQUESTS:
            raise ValueError(f"'{operation}' is not a part request.")
        return getattr(part(), operation)(*args)
    except Exception as error:
        error.add_note(f"Raised by rank {rank} ({worker_name(rank)}) serving the request '{operation}'.")
        raise


def _serve(operation: str, *args: Any) -> Any:
    """A request over RPC: the answer, or the owner's error as the answer."""
    from torch.distributed import rpc

    try:
        return _answer(served_part, rpc.get_worker_info().id, operation, args)
    except Exception as error:  # noqa: BLE001 - whatever the part raised is the caller's to see
        return _Raised(error)


class _Reply:
    """An answer over RPC: its wait() raises the owner's error as the owner raised it, and RPC's own
    failure (no answer within the timeout, the owner gone) as that."""

    def __init__(self, future: Any, owner: int, transport: "RpcTransport") -> None:
        self._future, self._owner, self._transport = future, owner, transport

    def wait(self) -> Any:
        try:
            value = self._future.wait()
        except Exception as error:  # a dead, hung or unreachable owner: RPC's own errors vary
            text = str(error).strip()
            raise RuntimeError(f"Part {self._owner} ({self._transport.worker(self._owner)}) did not answer within "
                               f"{self._transport.timeout:g} s or failed: "
                               f"{text.splitlines()[0] if text else type(error).__name__}") from error
        if isinstance(value, _Raised):
            raise value.error
        return value


class _Answered:
    """A future already holding its value, for requests answered in process."""

    def __init__(self, value: Any) -> None:
        self._value = value

    def wait(self) -> Any:
        return self._value


class RpcTransport:
    """Requests to owners over torch.distributed.rpc, each bounded by ``timeout`` seconds.

    The transport :class:`DistNeighborSampler` uses by default: each request runs one of
    :class:`Part`'s request methods on the part the owner's rank serves.

    Args:
        timeout: seconds each request may take.
        worker: the RPC worker name of a part's owner, by part index.
    """

    def __init__(self, timeout: float = 30.0, worker: Callable[[int], str] = worker_name) -> None:
        self.timeout = float(timeout)
        self.worker = worker

    def request(self, owner: int, operation: str, *args: Any) -> Any:
        """Sends a part request to the rank serving part ``owner``, without waiting for the answer.

        Args:
            owner: the part index whose rank answers.
            operation: the name of one of :class:`Part`'s request methods.
            *args: that method's arguments.

        Returns:
            A future whose ``wait()`` returns the answer, raises the owner's error as the owner
            raised it (type and message, with a note naming the rank), or raises ``RuntimeError:
            Part <k> (<worker>) did not answer within <t> s or failed: <RPC's message>`` when the
            owner does not answer within ``timeout`` or is gone.
        """
        from torch.distributed import rpc

        return _Reply(rpc.rpc_async(self.worker(owner), _serve, args=(operation, *args), timeout=self.timeout),
                      owner, self)


class InProcessTransport:
    """Requests answered by parts opened in this process: every part's answers without a world.

    For tests and single-machine runs: pass it as ``transport`` to :class:`DistNeighborSampler`
    or :class:`quorvix.pyg.DistNeighborLoader` in place of RPC.

    Args:
        parts: the opened parts by part index, at least every part other than the sampler's own.
    """

    timeout = 0.0

    def __init__(self, parts: Mapping[int, Part]) -> None:
        self.parts = parts

    def worker(self, owner: int) -> str:
        """The name that errors give part ``owner``.

        Args:
            owner: a part index.

        Returns:
            str: ``"in-process part <owner>"``.
        """
        return f"in-process part {owner}"

    def request(self, owner: int, operation: str, *args: Any) -> _Answered:
        """Runs a part request on part ``owner`` at once.

        Args:
            owner: the part index whose part answers.
            operation: the name of one of :class:`Part`'s request methods.
            *args: that method's arguments.

        Returns:
            A future whose ``wait()`` returns the answer.

        Raises:
            KeyError: ``parts`` holds no part ``owner``.
            ValueError: as the part's request method; the messages are listed in the error
                reference.
            RuntimeError: as the part's request method.
        """
        return _Answered(getattr(self.parts[owner], operation)(*args))


def init_part_worker(path: str | os.PathLike[str], rank: int, world_size: int, *, init_method: str,
                     timeout: float = 30.0, digests: bool = True, transports: Sequence[str] = ("uv",)) -> Part:
    """Opens part ``rank`` of the ``world_size`` parts under ``path``, serves it and joins the RPC world
    as ``worker_name(rank)``.

    ``timeout`` bounds every request made through this world, and the meeting: every rank checks
    its parts first (the sizes of every part's files it holds and, with ``digests``, the bytes of its
    own), and joins only once every rank has; a rank's failure, or its absence after ``timeout``, is
    raised on every rank within timeout + 5 seconds (``quorvix.dist.rendezvous.SLACK``) of the call,
    beyond the time the rank takes to check its own part and start its server. Call
    :func:`shutdown` to leave.

    The part is also served on a socket, which requests reach by default (:class:`DirectTransport`),
    by a process of its own (so a main thread busy in Python does not hold up the answers) that
    leaves when this one calls :func:`shutdown`, exits or dies: it listens on every interface,
    publishes the address on the route to rank 0 with a random key when the world meets, and
    serves only connections that prove they hold the key.

    Args:
        path: the directory :func:`partition` wrote, with as many parts as ranks.
        rank: this process's rank, which is also the part it serves.
        world_size: the number of ranks, which must be the part count.
        init_method: ``"tcp://host:port"``, where rank 0 hosts the meeting, or ``"env://"`` with
            ``MASTER_ADDR`` and ``MASTER_PORT`` set (as under ``torchrun``).
        timeout: seconds the meeting may wait for the other ranks (reaching rank 0 included, all
            its waits together), and each request may take.
        digests: whether to check the bytes of this rank's part files against their digests.
        transports: the TensorPipe transports of the RPC world. ``"uv"`` (TCP) leaves an idle
            rank's CPU idle; adding ``"shm"`` (shared memory, ranks on one machine) halves a
            request's latency, but its threads poll, taking about half a core on every rank even
            between requests, from the trainer's model step too.

    Returns:
        Part: the part this rank serves.

    Raises:
        ValueError: ``init_method`` is of another kind.
        RuntimeError: a rank could not open its part, ranks were started for different part
            counts or graphs, a rank did not arrive within ``timeout``, or the RPC world did not
            form; the messages are listed in the error reference.
    """
    from torch.distributed import rpc

    meeting = Rendezvous(init_method, rank, world_size, timeout)  # refuses a bad init_method first
    part, error, server = None, None, None
    try:
        part = open_part(path, rank, world_size, digests=digests)
    except (OSError, ValueError) as caught:
        error = caught
    found = None
    if part is not None:
        try:  # the part's socket, which requests reach by default, served by a process of its own
            server = ServingProcess(part, rank, meeting.host, timeout)
        except RuntimeError as caught:
            part, error = None, caught
        else:
            found = {"world_size": world_size, "fingerprint": part.manifest["fingerprint"], "serve": server.address}
    try:
        rpc_method = meeting.check(found, error)
    except BaseException:
        if server is not None:
            server.close()
        raise
    assert part is not None and server is not None
    _SERVED["part"] = part
    _SERVED["meeting"] = meeting
    _SERVED["server"] = server
    _SERVED["peers"] = {other: report["serve"] for other, report in meeting.reports.items()}
    options = rpc.TensorPipeRpcBackendOptions(init_method=rpc_method, rpc_timeout=timeout,
                                              _transports=list(transports))
    try:
        meeting.join(lambda: rpc.init_rpc(worker_name(rank), rank=rank, world_size=world_size,
                                          rpc_backend_options=options))
    except BaseException:
        _SERVED.clear()
        server.close()
        raise
    return part


def default_transport(timeout: float) -> Any:
    """The transport of a sampler or loader given none: the part servers' sockets of the world this
    process joined with init_part_worker (cheaper than RPC: one pickle and one socket write per
    request), else RPC."""
    if "peers" in _SERVED:
        from quorvix.dist.direct import DirectTransport

        return DirectTransport.of_world(timeout)
    return RpcTransport(timeout)


def shutdown(graceful: bool = True) -> None:
    """Leaves the RPC world and stops serving. Graceful: waits for every rank to arrive, at most the
    world's timeout, and names the ranks that did not (leaving without them); else leaves at once.
    Either way it returns or raises within the timeout + 5 seconds.

    Args:
        graceful: whether to wait for every rank before leaving.

    Returns:
        None: this process serves no part afterwards.

    Raises:
        RuntimeError: a rank did not arrive within the timeout, or leaving the RPC world did not
            end in time; the messages are listed in the error reference.
    """
    from torch.distributed import rpc

    meeting = _SERVED.get("meeting")
    try:
        if meeting is None:
            rpc.shutdown(graceful=graceful)
        else:
            meeting.leave(graceful, lambda leave_gracefully: rpc.shutdown(graceful=leave_gracefully))
    finally:
        if "server" in _SERVED:
            _SERVED["server"].close()
        _SERVED.clear()


def _mix(values: np.ndarray) -> np.ndarray:
    with np.errstate(over="ignore"):
        z = values + _GOLDEN
        z = (z ^ (z >> np.uint64(30))) * _MIX1
        z = (z ^ (z >> np.uint64(27))) * _MIX2
        return z ^ (z >> np.uint64(31))


def draw_stream(call_key: int, hop: int, edge_index: int) -> int:
    """The stream word of one call's hop over one edge type; entries add their node and subgraph."""
    prefix = np.array([call_key], dtype=np.uint64)
    for field in (hop, edge_index):
        prefix = _mix(prefix ^ np.uint64(field))
    return int(prefix[0])


_NO_KEYS = np.empty(0, dtype=np.int64)


class _NodeTypeState:
    """The sampled nodes of one type in local-index order, recorded natively: the map from
    (batch, id) to local index is a hash table, so that a hop's edges cost a probe each."""

    # Ids of a type without a node count are unchecked; they stay below this, as on one machine.
    UNCOUNTED_LIMIT = 2**32

    def __init__(self, name: str, count: int) -> None:
        self.name = name
        self.counted = count > 0
        self.recorder = quorvix._core.NodeRecorder()
        self.counts = [0]
        self.frontier = (0, 0)

    def _checked(self, node: np.ndarray) -> np.ndarray:
        if not self.counted and len(node) and int(node.max()) >= self.UNCOUNTED_LIMIT:
            raise ValueError(f"Node {int(node.max())} of type '{self.name}' is not below 2**32, the largest id "
                             "of a type without a node count that sampling across parts records.")
        return node

    @property
    def size(self) -> int:
        return len(self.recorder)

    def nodes(self, begin: int = 0, end: int = -1) -> np.ndarray:
        return self.recorder.nodes(begin, end)

    def batches(self, begin: int = 0, end: int = -1) -> np.ndarray:
        return self.recorder.batches(begin, end)

    def add_seeds(self, batch: np.ndarray, node: np.ndarray) -> None:
        """Every seed takes its own local index; a repeated one is found at its first occurrence."""
        self.recorder.add_seeds(batch, self._checked(node))

    def record_answers(self, frontier_batch: np.ndarray, frontier_begin: int,
                       answers: list[tuple[np.ndarray, ...]]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The owners' answers for one edge type into this type, merged in frontier order: (row, col,
        edge id) of each sampled edge, its neighbour recorded here the first time its subgraph
        reaches it."""
        for answer in answers:
            self._checked(answer[2])
        return self.recorder.record_answers(frontier_batch, frontier_begin, answers)


class DistNeighborSampler:
    """A sampler over the parts of a graph, run by a rank that serves ``part`` in an RPC world.

    Its calls take and return what quorvix.NeighborSampler's do over the whole graph, and refuse
    what it refuses with the same messages. Rules without draws give one sampler's subgraphs exactly;
    random fan-outs draw from the same distribution, the same neighbours for the same ``seed`` and
    call order whatever the part count or the rank.

    Args:
        part: the part this rank serves (:func:`init_part_worker`'s, or :func:`open_part`'s).
        seed: seeds the keys of the random draws.
        temporal_strategy: as NeighborSampler's: ``"last"`` or ``"uniform"``.
        disjoint: as NeighborSampler's: a subgraph per seed, else one per distinct seed time.
        replace: as NeighborSampler's: random fan-outs draw with replacement.
        timeout: seconds the wait for each part's answer may take.
        transport: how requests reach the other parts: None for the sockets every rank of the
            world serves beside RPC (:class:`DirectTransport`; :class:`RpcTransport` where this
            process joined no world through :func:`init_part_worker`), or for example
            :class:`RpcTransport` or :class:`InProcessTransport`.

    Raises:
        ValueError: ``temporal_strategy`` is neither ``"last"`` nor ``"uniform"``.
        TypeError: ``disjoint`` or ``replace`` is not a bool.
    """

    def __init__(self, part: Part, seed: int = 123, *, temporal_strategy: str = "last", disjoint: bool = True,
                 replace: bool = False, timeout: float = 30.0, transport: Any = None) -> None:
        self.part = part
        # Every call is checked by a sampler over the graph's edgeless twin first, which also holds
        # (and checks) the settings: requests and settings are refused as a sampler refuses them.
        self._checker = request_checker(part)
        self.temporal_strategy = temporal_strategy
        self.disjoint = disjoint
        self.replace = replace
        self.transport = default_transport(timeout) if transport is None else transport
        self._keys = np.random.default_rng(seed)
        self.node_types = part.node_types
        self.edge_types = part.edge_types
        self.edge_type_keys = ["__".join(e) for e in part.edge_types]
        self._has_time = part.has_node_time or any(
            entry["time"] == "edge_time" for entry in part.manifest["edges"])

    @property
    def temporal_strategy(self) -> str:
        """As NeighborSampler.temporal_strategy: 'last' or 'uniform'."""
        return self._checker.temporal_strategy

    @temporal_strategy.setter
    def temporal_strategy(self, value: Any) -> None:
        self._checker.temporal_strategy = value

    @property
    def disjoint(self) -> bool:
        """As NeighborSampler.disjoint: a subgraph per seed, else one per distinct seed time."""
        return self._checker.disjoint

    @disjoint.setter
    def disjoint(self, value: Any) -> None:
        self._checker.disjoint = value

    @property
    def replace(self) -> bool:
        """As NeighborSampler.replace: random fan-outs draw with replacement."""
        return self._checker.replace

    @replace.setter
    def replace(self, value: Any) -> None:
        self._checker.replace = value

    # ---- requests to owners -------------------------------------------------------------------
    def _by_owner(self, operation: str, node_type: str, ids: np.ndarray, *args: Any) -> np.ndarray:
        """Part.<operation>(node_type, *args, ids) answered by each id's owner, in the order of `ids`."""
        ids = np.asarray(ids, dtype=np.int64)
        owner_of = ids % self.part.num_parts
        pending = []
        for owner, picks in _split_by_owner(owner_of, self.part.num_parts):
            if owner != self.part.index:
                pending.append((owner, picks, self.transport.request(owner, operation, node_type, *args, ids[picks])))
        answers = []
        local = np.flatnonzero(owner_of == self.part.index)
        if len(local) or not pending:  # no ids at all: the own part's empty answer has the right shape
            answers.append((local, getattr(self.part, operation)(node_type, *args, ids[local])))
        answers += [(picks, future.wait()) for _, picks, future in pending]
        first = np.asarray(answers[0][1])
        out = np.empty((len(ids),) + first.shape[1:], dtype=first.dtype)
        for picks, values in answers:
            out[picks] = values
        return out

    def node_feature(self, node_type: str, name: str, ids: np.ndarray) -> np.ndarray:
        """Rows of node feature ``name`` of ``ids``, read by their owners.

        Args:
            node_type: the node type of the ids.
            name: a feature name :func:`partition` was given for the type.
            ids: global node ids.

        Returns:
            numpy.ndarray: the feature's row of each id, in order.

        Raises:
            RuntimeError: an owner did not answer within ``timeout`` or failed, or a part file
                changed; the messages are listed in the error reference.
            ValueError: an id is outside its type.
        """
        return self._by_owner("node_feature", node_type, ids, name)

    def node_features(self, wanted: Mapping[str, tuple[list[str], np.ndarray]]) -> dict[str, dict[str, np.ndarray]]:
        """Per node type, the rows of each named feature of its ids: {node type: (names, ids)} in, one
        request per owner for them all.

        Args:
            wanted: per node type, ``(feature names, global node ids)``.

        Returns:
            dict[str, dict[str, numpy.ndarray]]: per node type, per name, the feature's row of each
            id, in order.

        Raises:
            RuntimeError: an owner did not answer within ``timeout`` or failed, or a part file
                changed; the messages are listed in the error reference.
            ValueError: an id is outside its type.
        """
        return self._rows_by_owner("node_features", {
            node_type: (names, ids, np.asarray(ids, dtype=np.int64) % self.part.num_parts)
            for node_type, (names, ids) in wanted.items()})

    def edge_features(self, wanted: Mapping[str, tuple[list[str], np.ndarray, np.ndarray]]
                      ) -> dict[str, dict[str, np.ndarray]]:
        """Per edge type key, the rows of each named edge feature of its edges: {key: (names, edge ids,
        the edges' frontier node ids)} in, one request per owner (the frontier node's) for them all.

        Args:
            wanted: per edge type key, ``(feature names, edge ids, frontier node id of each edge)``.

        Returns:
            dict[str, dict[str, numpy.ndarray]]: per edge type key, per name, the feature's row of
            each edge, in order.

        Raises:
            RuntimeError: an owner did not answer within ``timeout`` or failed, or a part file
                changed; the messages are listed in the error reference.
            ValueError: an edge is not held by the owner of the frontier node given for it.
        """
        return self._rows_by_owner("edge_features", {
            key: (names, ids, np.asarray(frontier, dtype=np.int64) % self.part.num_parts)
            for key, (names, ids, frontier) in wanted.items()})

    def in_edges(self, wanted: Mapping[str, np.ndarray]) -> dict[str, tuple[np.ndarray, ...]]:
        """Per edge type key, every edge into each of its frontier ids, read from the ids' owners with
        one request per owner for them all: a CSC over the ids given.

        Args:
            wanted: per edge type key, global ids of its frontier node type.

        Returns:
            dict[str, tuple]: per key ``(colptr, neighbour, edge_id, edge_time)``: ``colptr`` over
            the ids in the order given (id ``i``'s edges at ``colptr[i]:colptr[i + 1]``, in the
            graph's run order), the neighbour id and edge id of every edge and, for an edge type
            with edge times, their times (else None).

        Raises:
            RuntimeError: an owner did not answer within ``timeout`` or failed, or a part file
                changed; the messages are listed in the error reference.
            ValueError: an id is outside its type.
        """
        frontier_type = dict(zip(self.edge_type_keys, (e[2] for e in self.edge_types)))
        requests: dict[int, list[tuple[str, str, np.ndarray]]] = {}
        placed: dict[int, list[tuple[str, np.ndarray]]] = {}
        for key, ids in wanted.items():
            ids = np.asarray(ids, dtype=np.int64)
            for owner, picks in _split_by_owner(ids % self.part.num_parts, self.part.num_parts):
                requests.setdefault(owner, []).append((key, frontier_type[key], ids[picks]))
                placed.setdefault(owner, []).append((key, picks))
        futures = {owner: self.transport.request(owner, "in_edges", asked)
                   for owner, asked in requests.items() if owner != self.part.index}
        answered = {}
        if self.part.index in requests:
            answered[self.part.index] = self.part.in_edges(requests[self.part.index])
        for owner, future in futures.items():
            answered[owner] = future.wait()
        pieces: dict[str, list[tuple[np.ndarray, ...]]] = {key: [] for key in wanted}
        for owner, answers in answered.items():
            for (key, picks), (counts, neighbour, edge, time) in zip(placed[owner], answers):
                pieces[key].append((np.repeat(picks, counts), neighbour, edge, time))
        out = {}
        for key, ids in wanted.items():
            found = pieces[key]
            entry = np.concatenate([f[0] for f in found] + [_NO_KEYS])
            order = np.argsort(entry, kind="stable")  # by id given; each run keeps its order
            colptr = np.zeros(len(ids) + 1, dtype=np.int64)
            np.cumsum(np.bincount(entry, minlength=len(ids)), out=colptr[1:])
            timed = self.part.manifest["edges"][self.edge_type_keys.index(key)]["time"] == "edge_time"
            out[key] = (colptr, *(np.concatenate([f[k] for f in found] + [_NO_KEYS])[order] for k in (1, 2)),
                        np.concatenate([f[3] for f in found] + [_NO_KEYS])[order] if timed else None)
        return out

    def _rows_by_owner(self, operation: str, wanted: Mapping[str, tuple[list[str], Any, np.ndarray]]
                       ) -> dict[str, dict[str, np.ndarray]]:
        """Part.<operation> over [(group, names, ids)] for every group's (names, ids, owner of each id),
        one request per owner, the rows put back in the order of the ids."""
        requests: dict[int, list[tuple[str, list[str], np.ndarray]]] = {}
        placed: dict[int, list[tuple[str, np.ndarray]]] = {}
        for group, (names, ids, owner_of) in wanted.items():
            ids = np.asarray(ids, dtype=np.int64)
            for owner, picks in _split_by_owner(np.asarray(owner_of, dtype=np.int64), self.part.num_parts):
                requests.setdefault(owner, []).append((group, list(names), ids if len(picks) == len(ids) else ids[picks]))
                placed.setdefault(owner, []).append((group, picks))
        futures = {owner: self.transport.request(owner, operation, asked)
                   for owner, asked in requests.items() if owner != self.part.index}
        answered = {}
        if self.part.index in requests:
            answered[self.part.index] = getattr(self.part, operation)(requests[self.part.index])
        for owner, future in futures.items():
            answered[owner] = future.wait()
        out: dict[str, dict[str, np.ndarray]] = {}
        for group, (names, ids, _) in wanted.items():
            # The own part's files give each feature its row shape and dtype, whoever owns the ids.
            forms = [self.part.row_form(operation, group, name) for name in names]
            out[group] = {name: np.empty((len(ids),) + shape, dtype=dtype) for name, (shape, dtype) in zip(names, forms)}
        for owner, answers in answered.items():
            for (group, picks), rows in zip(placed[owner], answers):
                whole = len(picks) == len(out[group][wanted[group][0][0]]) if rows else False
                for name, values in zip(wanted[group][0], rows):
                    if whole:  # one owner holds every row, in order
                        out[group][name] = values
                    else:
                        out[group][name][picks] = values
        return out

    def node_time(self, node_type: str, ids: np.ndarray) -> np.ndarray:
        """The node times of ``ids``, read by their owners.

        Args:
            node_type: a node type with times.
            ids: global node ids.

        Returns:
            numpy.ndarray: the int64 time of each id, in order.

        Raises:
            RuntimeError: an owner did not answer within ``timeout`` or failed, or a part file
                changed; the messages are listed in the error reference.
            ValueError: an id is outside its type.
        """
        return self._by_owner("node_times", node_type, ids)

    # ---- sampling -----------------------------------------------------------------------------
    def _rule(self, num_neighbors: Mapping[str, Any], offsets: Mapping[str, Any], key: str, hop: int,
              temporal: bool) -> dict[str, Any] | None:
        if key in num_neighbors:
            fan_outs = np.asarray(num_neighbors[key]).reshape(-1)
            if hop >= len(fan_outs) or int(fan_outs[hop]) == 0:
                return None
            return {"fan_out": int(fan_outs[hop]), "temporal": temporal,
                    "temporal_strategy": self.temporal_strategy, "replace": self.replace}
        rows = np.asarray(offsets[key], dtype=object)
        # Without timestamps a window has nothing to place itself by, and takes nothing.
        if hop >= len(rows) or not temporal:
            return None
        lower, upper = rows[hop][0], rows[hop][1]
        return {"window": (None if lower is None else int(lower), int(upper)), "temporal": True}

    def sample(self, num_neighbors: Mapping[str, Any], sampling_time_offsets: Mapping[str, Any], entity_table: str,
               seed_node: Any, seed_time: Any) -> tuple[dict[str, np.ndarray], ...]:
        """NeighborSampler.sample over the parts: (row, col, node, batch, num_sampled_nodes,
        num_sampled_edges).

        Args:
            num_neighbors: per edge type key, the fan-out of each hop (k most recent with times,
                k at random without; -1 takes all).
            sampling_time_offsets: per edge type key, one ``(lower, upper)`` window per hop,
                relative to the seed's time (lower excluded, None for no lower bound).
            entity_table: the node type of the seeds.
            seed_node: int64 seed ids (a NumPy array).
            seed_time: one int64 time per seed, or an empty array: the seeds' own node times where
                their type has times, else no time rule.

        Returns:
            tuple: ``(out_row, out_col, out_node, out_batch, num_sampled_nodes,
            num_sampled_edges)``, as NeighborSampler.sample returns them.

        Raises:
            RuntimeError: a malformed argument, as NeighborSampler.sample refuses it, or an owner
                that did not answer within ``timeout`` or failed; the messages are listed in the
                error reference.
            TypeError: an argument of the wrong type, as NeighborSampler.sample refuses it.
        """
        return self.sample_with_edge_ids(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time)[:6]

    def sample_with_edge_ids(self, num_neighbors: Mapping[str, Any], sampling_time_offsets: Mapping[str, Any],
                             entity_table: str, seed_node: Any, seed_time: Any) -> tuple[dict[str, np.ndarray], ...]:
        """NeighborSampler.sample_with_edge_ids over the parts: (row, col, node, batch, num_sampled_nodes,
        num_sampled_edges, edge), edge ids being the whole graph's (or the ids partition was given).

        Args:
            num_neighbors: as :meth:`sample`.
            sampling_time_offsets: as :meth:`sample`.
            entity_table: as :meth:`sample`.
            seed_node: as :meth:`sample`.
            seed_time: as :meth:`sample`.

        Returns:
            tuple: :meth:`sample`'s six dicts, then per edge type key the edge id of every sampled
            edge.

        Raises:
            RuntimeError: as :meth:`sample`; the messages are listed in the error reference.
            TypeError: as :meth:`sample`.
        """
        self._checker.sample(num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time)
        seeds = np.asarray(seed_node, dtype=np.int64).reshape(-1)
        given_time = np.asarray(seed_time, dtype=np.int64).reshape(-1)
        seed_times = np.empty(0, dtype=np.int64)
        if self._has_time:
            if len(given_time):
                seed_times = given_time
            elif entity_table in self.part.typed_node_time:
                seed_times = self.node_time(entity_table, seeds)
        if self.disjoint:
            batches = np.arange(len(seeds), dtype=np.int64)
        elif len(seed_times) == 0:
            batches = np.zeros(len(seeds), dtype=np.int64)
        else:  # a subgraph is named by its first seed, whose time is then the subgraph's
            _, first, inverse = np.unique(seed_times, return_index=True, return_inverse=True)
            batches = first[inverse.reshape(-1)].astype(np.int64)
        return self._sample_seeds(num_neighbors, sampling_time_offsets, [(entity_table, seeds, batches)], seed_times)

    def sample_groups(self, num_neighbors: Mapping[str, Any], sampling_time_offsets: Mapping[str, Any],
                      seed_nodes: Mapping[str, Any], seed_groups: Mapping[str, Any],
                      group_time: Any) -> tuple[dict[str, np.ndarray], ...]:
        """NeighborSampler.sample_groups over the parts: one subgraph per group of seeds of one or more
        node types, group_time holding each group's time (or empty for no time rule).

        Args:
            num_neighbors: as :meth:`sample`.
            sampling_time_offsets: as :meth:`sample`.
            seed_nodes: per node type, int64 seed ids.
            seed_groups: per node type, the group (subgraph) of each of its seeds.
            group_time: one int64 time per group, or an empty array for no time rule.

        Returns:
            tuple: as :meth:`sample_with_edge_ids`, ``out_batch`` holding each node's group.

        Raises:
            RuntimeError: as NeighborSampler.sample_groups refuses an argument, or an owner that
                did not answer within ``timeout`` or failed; the messages are listed in the error
                reference.
            TypeError: as NeighborSampler.sample_groups.
        """
        self._checker.sample_groups(num_neighbors, sampling_time_offsets, seed_nodes, seed_groups, group_time)
        seeds = [(str(name), np.asarray(seed_nodes[name], dtype=np.int64).reshape(-1),
                  np.asarray(seed_groups[name], dtype=np.int64).reshape(-1)) for name in list(seed_nodes)]
        times = np.asarray(group_time, dtype=np.int64).reshape(-1) if self._has_time else np.empty(0, np.int64)
        return self._sample_seeds(num_neighbors, sampling_time_offsets, seeds, times)

    def _sample_seeds(self, num_neighbors: Mapping[str, Any], sampling_time_offsets: Mapping[str, Any],
                      seeds: list[tuple[str, np.ndarray, np.ndarray]],
                      seed_times: np.ndarray) -> tuple[dict[str, np.ndarray], ...]:
        """The traversal of a checked request from its seeds (node type, ids, batch values), every hop
        over every edge type; seed_times holds the time of each batch value, or nothing."""
        call_key = int(self._keys.integers(0, 2**63))
        num_hops = 0
        for key in self.edge_type_keys:
            source = num_neighbors if key in num_neighbors else sampling_time_offsets
            num_hops = max(num_hops, len(source[key]))

        states = {name: _NodeTypeState(name, self.part.num_nodes[name]) for name in self.node_types}
        for node_type, ids, batches in seeds:
            states[node_type].add_seeds(batches, ids)
            states[node_type].counts[0] = len(ids)
            states[node_type].frontier = (0, len(ids))
        out_row = {key: [] for key in self.edge_type_keys}
        out_col = {key: [] for key in self.edge_type_keys}
        out_edge = {key: [] for key in self.edge_type_keys}
        edge_counts: dict[str, list[int]] = {key: [] for key in self.edge_type_keys}

        for hop in range(num_hops):
            # Each type's frontier, read once per hop, before this hop's nodes are recorded.
            frontier_nodes = {name: state.nodes(*state.frontier) for name, state in states.items()}
            frontier_batches = {name: state.batches(*state.frontier) for name, state in states.items()}
            answers = self._expand_hop(hop, frontier_nodes, frontier_batches, num_neighbors, sampling_time_offsets,
                                       seed_times, call_key)
            for index, (edge_type, key) in enumerate(zip(self.edge_types, self.edge_type_keys)):
                if index in answers:
                    frontier = states[edge_type[2]]
                    row, col, edge = states[edge_type[0]].record_answers(
                        frontier_batches[edge_type[2]], frontier.frontier[0], answers[index])
                else:
                    row = col = edge = _NO_KEYS
                out_row[key].append(row)
                out_col[key].append(col)
                out_edge[key].append(edge)
                edge_counts[key].append(len(row))
            for state in states.values():
                state.frontier = (state.frontier[1], state.size)
                state.counts.append(state.frontier[1] - state.frontier[0])

        def joined(table: Mapping[str, list[np.ndarray]]) -> dict[str, np.ndarray]:
            return {name: np.concatenate(chunks) if chunks else np.empty(0, dtype=np.int64)
                    for name, chunks in table.items()}

        def listed(table: Mapping[str, list[int]]) -> dict[str, np.ndarray]:
            return {name: np.asarray(values, dtype=np.int64) for name, values in table.items()}

        return (joined(out_row), joined(out_col), {t: s.nodes() for t, s in states.items()},
                {t: s.batches() for t, s in states.items()}, listed({t: s.counts for t, s in states.items()}),
                listed(edge_counts), joined(out_edge))

    def _expand_hop(self, hop: int, frontier_nodes: Mapping[str, np.ndarray],
                    frontier_batches: Mapping[str, np.ndarray], num_neighbors: Mapping[str, Any],
                    offsets: Mapping[str, Any], seed_times: np.ndarray,
                    call_key: int) -> dict[int, list[tuple[np.ndarray, ...]]]:
        """Per edge type index, the owners' answers for the hop as (frontier entries, edges per entry,
        neighbour ids, edge ids), the entries of each ascending: one request per remote part, the own
        part's nodes expanded here."""
        requests: dict[int, list[tuple[Any, ...]]] = {}
        placed: dict[int, list[tuple[int, np.ndarray]]] = {}  # owner -> (edge type index, frontier entries)
        owners: dict[str, list[tuple[int, np.ndarray]]] = {}  # node type -> (owner, its frontier entries)
        for index, (edge_type, key) in enumerate(zip(self.edge_types, self.edge_type_keys)):
            nodes, batch = frontier_nodes[edge_type[2]], frontier_batches[edge_type[2]]
            if not len(nodes):
                continue
            temporal = self.part.timed[key] and len(seed_times) > 0
            rule = self._rule(num_neighbors, offsets, key, hop, temporal)
            if rule is None:
                continue
            times = seed_times[batch] if temporal else _NO_KEYS
            draws = "fan_out" in rule and rule["fan_out"] > 0 and (not temporal or self.temporal_strategy == "uniform")
            if draws:  # the owner keys each entry's stream by its node id and subgraph
                rule["draw_stream"] = draw_stream(call_key, hop, index)
            if edge_type[2] not in owners:
                owners[edge_type[2]] = _split_by_owner(nodes % self.part.num_parts, self.part.num_parts)
            for owner, picks in owners[edge_type[2]]:
                one = len(picks) == len(nodes)  # every entry, in order
                requests.setdefault(owner, []).append(
                    (key, edge_type[2], nodes if one else nodes[picks], times if one or not temporal else times[picks],
                     (batch if one else batch[picks]) if draws else _NO_KEYS, rule))
                placed.setdefault(owner, []).append((index, picks))
        futures = {owner: self.transport.request(owner, "expand_many", batch_of_requests)
                   for owner, batch_of_requests in requests.items() if owner != self.part.index}
        answered: dict[int, list[tuple[np.ndarray, np.ndarray, np.ndarray]]] = {}
        if self.part.index in requests:
            answered[self.part.index] = self.part.expand_many(requests[self.part.index])
        for owner, future in futures.items():
            answered[owner] = future.wait()
        pieces: dict[int, list[tuple[np.ndarray, ...]]] = {}
        for owner, answers in answered.items():
            for (index, picks), (counts, neighbour, edge) in zip(placed[owner], answers):
                pieces.setdefault(index, []).append((picks, counts, neighbour, edge))
        return pieces


def _split_by_owner(owner_of: np.ndarray, num_parts: int) -> list[tuple[int, np.ndarray]]:
    """The parts that own some of the positions whose owners are ``owner_of``, each with its
    positions, ascending."""
    if num_parts == 1:
        return [(0, np.arange(len(owner_of), dtype=np.int64))] if len(owner_of) else []
    if num_parts <= 8:  # a pass per part costs less than a sort
        found = ((owner, np.flatnonzero(owner_of == owner)) for owner in range(num_parts))
        return [(owner, picks) for owner, picks in found if len(picks)]
    order = np.argsort(owner_of, kind="stable")
    ends = np.cumsum(np.bincount(owner_of, minlength=num_parts)).tolist()
    return [(owner, order[begin:end]) for owner, (begin, end) in enumerate(zip([0] + ends, ends)) if end > begin]
