"""The sockets loader workers reach the owners by, in one process: answers, owners' errors, strangers,
hung and gone owners (the same in real worlds of processes: test_dist_world.py)."""

import pickle
import threading
import time

import numpy as np
import pytest

from quorvix.dist import DirectTransport
from quorvix.dist.direct import PartServer


def test_requests_answers_and_faults():
    release = threading.Event()

    def answer(operation, args):
        if operation == "hang":
            release.wait(10)
            return "late"
        if operation == "fail":
            error = ValueError("Node 7 of type 'user' is not owned by part 1 of 2.")
            error.add_note("Raised by rank 1 (quorvix-part-1) serving the request 'fail'.")
            raise error
        return [np.asarray(a) * 2 for a in args]

    server = PartServer(answer, "127.0.0.1")
    transport = pickle.loads(pickle.dumps(DirectTransport({1: server.address}, timeout=0.5)))
    # Requests to one owner overlap; answers come back by number.
    first, second = (transport.request(1, "double", np.arange(k)) for k in (3, 4))
    assert [a.tolist() for a in second.wait()] == [[0, 2, 4, 6]]
    assert [a.tolist() for a in first.wait()] == [[0, 2, 4]]

    with pytest.raises(ValueError) as raised:
        transport.request(1, "fail").wait()
    assert str(raised.value) == "Node 7 of type 'user' is not owned by part 1 of 2."
    assert raised.value.__notes__ == ["Raised by rank 1 (quorvix-part-1) serving the request 'fail'."]

    start = time.monotonic()
    with pytest.raises(RuntimeError) as raised:
        transport.request(1, "hang").wait()
    assert str(raised.value) == "Part 1 (quorvix-part-1) did not answer within 0.5 s or failed: timed out"
    assert time.monotonic() - start < 3
    release.set()
    assert transport.request(1, "double", np.ones(1)).wait()[0].tolist() == [2.0]  # connected again
    # Arrays travel beside the pickle: a large one (written in several parts), more than one
    # sendmsg call takes, empty, strided and Fortran-ordered ones, all back as they went.
    sent = [np.arange(1_500_000, dtype=np.int64), *(np.full(k % 3, k) for k in range(600)), np.empty((0, 4)),
            np.arange(20.0)[::3], np.asfortranarray(np.arange(12).reshape(3, 4))]
    roomy = DirectTransport({1: server.address}, timeout=60)
    back = roomy.request(1, "double", *sent).wait()
    assert len(back) == len(sent) and all(np.array_equal(b, 2 * a) for a, b in zip(sent, back))
    roomy.close()
    transport.close()

    stranger = DirectTransport({1: [server.host, server.port, "00" * 32]}, timeout=0.5)
    with pytest.raises(RuntimeError) as raised:
        stranger.request(1, "double", np.ones(1)).wait()
    assert str(raised.value).startswith("Part 1 (quorvix-part-1) did not answer within 0.5 s or failed: ")

    server.close()
    gone = DirectTransport({1: server.address}, timeout=0.5)
    with pytest.raises(RuntimeError) as raised:
        gone.request(1, "double", np.ones(1)).wait()
    assert str(raised.value) == ("Part 1 (quorvix-part-1) did not answer within 0.5 s or failed: "
                                 "[Errno 111] Connection refused")


def test_a_malformed_frame_is_refused_before_anything_is_allocated_or_unpickled():
    import socket
    import struct

    from quorvix.dist.direct import _recv

    for frame in (struct.pack("<Q", 2**62), struct.pack("<Q", 3) + b"abc",
                  struct.pack("<QIQ", 12, 5, 0), struct.pack("<QIQ", 13, 0, 5) + b"x"):
        left, right = socket.socketpair()
        with left, right:
            left.sendall(frame)
            with pytest.raises(pickle.UnpicklingError):
                _recv(right, time.monotonic() + 5)


def test_outside_a_world_there_are_no_owners():
    with pytest.raises(RuntimeError) as raised:
        DirectTransport.of_world()
    assert str(raised.value) == "This process serves no part: call quorvix.dist.init_part_worker first."


def test_a_part_served_by_a_process_of_its_own(tmp_path):
    """The server maps the part again and answers as the part does; it goes when closed, and
    refuses to start on a file changed since the rank opened the part."""
    import os

    import quorvix.datasets
    import quorvix.dist
    from quorvix.dist.serving import ServingProcess

    quorvix.dist.partition(quorvix.datasets.ratings(), 2, tmp_path)
    part = quorvix.dist.open_part(tmp_path, 1)
    server = ServingProcess(part, 1, "127.0.0.1", 30)
    try:
        transport = DirectTransport({1: server.address}, timeout=30)
        ids = np.array([1, 3, 5], dtype=np.int64)
        assert transport.request(1, "node_times", "item", ids).wait().tolist() == part.node_times("item", ids).tolist()
        transport.close()
    finally:
        server.close()  # the serving process ends here, whatever the assertion found
    assert server._process.returncode == 0

    path = os.path.join(part.directory, "row.0.npy")
    os.utime(path, ns=(0, 0))
    with pytest.raises(RuntimeError) as raised:
        ServingProcess(part, 1, "127.0.0.1", 30)
    assert str(raised.value) == (f"Rank 1: the process serving its part failed: RuntimeError: Part file '{path}' "
                                 "changed while served (size, modification time or identity): part files must not "
                                 "change while served.")
