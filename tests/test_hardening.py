"""References, memory, scale and threads: what a long-running caller relies on beyond the results."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
import warnings

import numpy as np
import pytest

import quorvix
from graphs import as_lists, check_invariants, i64

NONE = i64()
SANITIZED = os.environ.get("QUORVIX_SANITIZED") == "1"
# ASan's allocator aborts instead of throwing when memory runs out.
needs_plain_allocator = pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts on exhaustion")

RING = "n__e__n"


def ring_graph(timed=True, size=50):
    """Node v's neighbours are v-1, v-2, v-3 (mod size), in order of id, which is also their time."""
    runs = [sorted((v - d) % size for d in (1, 2, 3)) for v in range(size)]
    return dict(
        node_types=["n"],
        edge_types=[("n", "e", "n")],
        colptr={RING: np.arange(0, 3 * size + 1, 3, dtype=np.int64)},
        row={RING: np.array(sum(runs, []), dtype=np.int64)},
        node_time={"n": np.arange(size, dtype=np.int64)} if timed else {},
    )


def window_request(seeds=(5, 17, 30), times=(5, 20, 35)):
    return dict(num_neighbors={}, sampling_time_offsets={RING: np.array([[-20, 0], [-20, 0]], dtype=np.int64)},
                entity_table="n", seed_node=i64(*seeds), seed_time=i64(*times))


def fanout_request(seeds=(0, 7, 30)):
    return dict(num_neighbors={RING: i64(2, 2, 1)}, sampling_time_offsets={}, entity_table="n",
                seed_node=i64(*seeds), seed_time=NONE)


# -- references ------------------------------------------------------------------------------


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def test_sampler_holds_each_graph_array_once_and_releases_it_when_deleted():
    graph = ring_graph()
    arrays = [graph["colptr"][RING], graph["row"][RING], graph["node_time"]["n"]]
    dicts = [graph["colptr"], graph["row"], graph["node_time"]]
    before_arrays, before_dicts = refcounts(arrays), refcounts(dicts)
    sampler = quorvix.NeighborSampler(**graph)
    assert refcounts(arrays) == [count + 1 for count in before_arrays]
    assert refcounts(dicts) == before_dicts
    # The reference keeps the caller from resizing an array the sampler reads.
    with pytest.raises(ValueError):
        graph["row"][RING].resize(1000)
    del sampler
    gc.collect()
    assert refcounts(arrays) == before_arrays


def test_a_second_init_is_refused_and_an_instance_never_initialised_refuses_to_sample():
    sampler = quorvix.NeighborSampler(**ring_graph())
    expected = as_lists(sampler.sample(**window_request()))
    other = ring_graph(timed=False, size=7)
    before = refcounts(other["row"].values())
    with pytest.raises(TypeError) as info:
        sampler.__init__(**other)
    assert str(info.value) == "NeighborSampler.__init__() was called on a sampler that is already built."
    assert refcounts(other["row"].values()) == before
    assert as_lists(sampler.sample(**window_request())) == expected
    bare = quorvix.NeighborSampler.__new__(quorvix.NeighborSampler)
    for call in (lambda: bare.sample(**window_request()), bare.check):
        with pytest.raises(TypeError, match=r"__init__\(\) has not been called"):
            call()
    bare.__init__(**ring_graph())  # the first __init__ of a bare instance builds it
    assert as_lists(bare.sample(**window_request())) == expected


def test_failed_constructions_release_what_they_took():
    graph = ring_graph()
    arrays = [graph["colptr"][RING], graph["row"][RING], graph["node_time"]["n"]]
    failures = [
        {**graph, "row": {}},  # KeyError after colptr's array was read
        {**graph, "node_time": {"n": graph["node_time"]["n"], "m": i64(1)}},
        {**graph, "edge_types": [("n", "e", "n"), ("x", "e", "n")], "colptr": {**graph["colptr"], "x__e__n": i64(0)},
         "row": {**graph["row"], "x__e__n": i64()}},  # neighbour type refused after every array was read
    ]
    before = refcounts(arrays)
    for arguments in failures:
        with pytest.raises((KeyError, RuntimeError)):
            quorvix.NeighborSampler(**arguments)
    gc.collect()
    assert refcounts(arrays) == before


def test_sample_calls_leave_the_callers_objects_as_they_found_them():
    sampler = quorvix.NeighborSampler(**ring_graph())
    good = window_request()
    outcomes = [
        (good, None),
        (fanout_request(), None),
        ({**good, "seed_node": i64(0, 999), "seed_time": i64(5, 5)}, RuntimeError),  # beyond colptr
        ({**good, "sampling_time_offsets": {}}, KeyError),
        ({**good, "num_neighbors": {RING: i64(1)}}, RuntimeError),  # in both dicts
        ({**good, "entity_table": "m"}, RuntimeError),
        ({**good, "sampling_time_offsets": {RING: np.array([[None, 1.5]], dtype=object)}}, RuntimeError),
    ]
    for request, error in outcomes:
        objects = list(request.values()) + [value for part in request.values() if isinstance(part, dict)
                                            for value in part.values()]
        before = refcounts(objects)
        for _ in range(3):
            if error is None:
                result = sampler.sample(**request)
                # Only the tuple holds the dicts, and only the dicts hold the arrays (getrefcount's
                # own argument is the second reference).
                assert [sys.getrefcount(result[i]) for i in range(6)] == [2] * 6
                assert {sys.getrefcount(part[key]) for part in result for key in part} == {2}
                del result
            else:
                with pytest.raises(error):
                    sampler.sample(**request)
        assert refcounts(objects) == before


# -- memory ----------------------------------------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_ten_thousand_calls_keep_memory_flat():
    sampler = quorvix.NeighborSampler(**ring_graph(size=2000))
    seeds = np.arange(0, 2000, 7, dtype=np.int64)
    requests = [window_request(seeds, seeds + 5), fanout_request(seeds),
                {**window_request(seeds, seeds + 5), "seed_node": i64(1, 5000), "seed_time": i64(1, 1)}]

    def run(calls):
        for call in range(calls):
            try:
                sampler.sample(**requests[call % 3])
            except RuntimeError:  # every third call fails part-way, on a node beyond colptr
                pass

    run(1000)
    gc.collect()
    resident = resident_bytes()
    # Python objects and NumPy data are traced one by one: even a few bytes left behind per call add up.
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        run(10_000)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert traced < 64 * 2**10, f"{traced} bytes of Python and NumPy allocations outlived 10,000 calls"
    growth = resident_bytes() - resident
    if not SANITIZED:  # ASan holds freed blocks in quarantine
        assert growth < 2 * 2**20, f"resident memory grew by {growth / 2**20:.1f} MiB over 10,000 calls"


def take_all_graph(degree):
    """One user whose `degree` neighbours cycle over ten items: every seed on that user samples
    `degree` edges but only ten nodes."""
    key = "item__bought__user"
    return key, dict(
        node_types=["user", "item"],
        edge_types=[("item", "bought", "user")],
        colptr={key: i64(0, degree)},
        row={key: np.arange(degree, dtype=np.int64) % 10},
        node_time={},
    )


def test_twenty_million_sampled_edges_come_out_whole():
    seeds, degree = 20_000, 1000
    key, graph = take_all_graph(degree)
    sampler = quorvix.NeighborSampler(**graph)
    out_row, out_col, out_node, out_batch, node_counts, edge_counts = sampler.sample(
        {key: i64(-1)}, {}, "user", np.zeros(seeds, dtype=np.int64), NONE)
    assert edge_counts[key].tolist() == [seeds * degree]
    assert node_counts["user"].tolist() == [seeds, 0] and node_counts["item"].tolist() == [0, seeds * 10]
    by_seed = np.arange(seeds, dtype=np.int64)[:, None]
    assert (out_col[key].reshape(seeds, degree) == by_seed).all()
    # Seed i's ten items have local indices 10 i .. 10 i + 9, met in the order of the row.
    assert (out_row[key].reshape(seeds, degree) == by_seed * 10 + np.arange(degree) % 10).all()
    assert (out_node["item"].reshape(seeds, 10) == np.arange(10)).all()
    assert (out_batch["item"].reshape(seeds, 10) == by_seed).all()


@needs_plain_allocator
def test_output_beyond_the_memory_limit_raises_memory_error_and_the_sampler_goes_on():
    # A subprocess under a lowered address-space limit: two hundred million edges need 3.2 GB for
    # their two index lists alone, and only half a gigabyte more is allowed than at the start.
    script = textwrap.dedent(
        """
        import resource
        import numpy as np
        import quorvix

        degree, key = 1000, "item__bought__user"
        sampler = quorvix.NeighborSampler(
            ["user", "item"], [("item", "bought", "user")], {key: np.array([0, degree], dtype=np.int64)},
            {key: np.arange(degree, dtype=np.int64) % 10}, {})
        request = ({key: np.array([-1], dtype=np.int64)}, {}, "user")
        none = np.empty(0, dtype=np.int64)
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 2**29, resource.RLIM_INFINITY))
        try:
            sampler.sample(*request, np.zeros(200_000, dtype=np.int64), none)
        except MemoryError:
            print("MemoryError")
        for _ in range(2):
            out_row, out_col, *_, edge_counts = sampler.sample(*request, np.zeros(2, dtype=np.int64), none)
            print(edge_counts[key].tolist(), out_row[key][995:1005].tolist(), out_col[key][995:1005].tolist())
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    after = "[2000] [5, 6, 7, 8, 9, 10, 11, 12, 13, 14] [0, 0, 0, 0, 0, 1, 1, 1, 1, 1]"
    assert done.stdout.splitlines() == ["MemoryError", after, after]


# -- calls during a call ------------------------------------------------------------------------


class CallingDict(dict):
    """Runs `action` on every item lookup, in the middle of the sample call that looks it up."""

    def __init__(self, items, action):
        super().__init__(items)
        self.action = action

    def __getitem__(self, key):
        self.action()
        return super().__getitem__(key)


def test_sample_called_from_within_a_sample_call_on_the_same_sampler_is_refused():
    sampler = quorvix.NeighborSampler(**ring_graph())
    expected = as_lists(sampler.sample(**window_request()))
    refusals = []

    def reenter():
        with pytest.raises(RuntimeError) as info:
            sampler.sample(**window_request())
        refusals.append(str(info.value))

    request = window_request()
    request["sampling_time_offsets"] = CallingDict(request["sampling_time_offsets"], reenter)
    assert as_lists(sampler.sample(**request)) == expected
    assert refusals and set(refusals) == {
        "sample() was called on a sampler from within a sample() call on the same sampler."}

    def reenter_and_fail():
        sampler.sample(**window_request())

    request["sampling_time_offsets"].action = reenter_and_fail
    with pytest.raises(RuntimeError):
        sampler.sample(**request)
    assert as_lists(sampler.sample(**window_request())) == expected
    # Another sampler is another matter.
    other = quorvix.NeighborSampler(**ring_graph())
    request["sampling_time_offsets"].action = lambda: other.sample(**window_request())
    assert as_lists(sampler.sample(**request)) == expected


def run_threads(count, work):
    results = [None] * count
    errors = []

    def target(index):
        try:
            results[index] = work(index)
        except BaseException as error:  # noqa: BLE001 - reported below, in the test's thread
            errors.append(error)

    threads = [threading.Thread(target=target, args=(index,)) for index in range(count)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert not errors, errors
    return results


def yielding(request):
    """The request with a dict that lets other threads run each time the sampler reads it."""
    key = "sampling_time_offsets" if request["sampling_time_offsets"] else "num_neighbors"
    return {**request, key: CallingDict(request[key], lambda: time.sleep(0))}


@pytest.mark.parametrize("num_threads", [1, 2])
def test_threads_sharing_one_sampler_get_the_results_of_calls_made_one_at_a_time(num_threads):
    sampler = quorvix.NeighborSampler(**ring_graph())
    sampler.num_threads = num_threads
    requests = [window_request(seeds=(v + 10, v + 20, 2 * v + 5), times=(v + 12, v + 20, 2 * v + 8)) for v in range(8)]
    expected = [as_lists(sampler.sample(**request)) for request in requests]

    def work(index):
        return [as_lists(sampler.sample(**yielding(request))) for request in requests[index:] + requests[:index]]

    for index, results in enumerate(run_threads(4, work)):
        assert results == expected[index:] + expected[:index]

    # Random draws depend on the order of the calls; each result is still whole.
    untimed = quorvix.NeighborSampler(**ring_graph(timed=False))

    def draw(index):
        return [as_lists(untimed.sample(**yielding(fanout_request((index, 9, 17))))) for _ in range(20)]

    for results in run_threads(4, draw):
        for lists in results:
            check_invariants(lists, [("n", "e", "n")])


def test_threads_with_their_own_samplers_match_a_sequential_run():
    def work(seed):
        sampler = quorvix.NeighborSampler(**ring_graph(timed=False), seed=seed)
        return [as_lists(sampler.sample(**yielding(fanout_request((seed, call, 40))))) for call in range(20)]

    sequential = [work(seed) for seed in range(4)]
    assert run_threads(4, work) == sequential


# -- calls on several threads -------------------------------------------------------------------


def big_request(size=200_000, seeds=20_000):
    # ring_graph's layout, built without Python loops: node v's neighbours are v-3, v-2, v-1 (mod size).
    row = (np.arange(size, dtype=np.int64)[:, None] + np.array([-3, -2, -1])) % size
    row.sort(axis=1)
    graph = dict(node_types=["n"], edge_types=[("n", "e", "n")],
                 colptr={RING: np.arange(0, 3 * size + 1, 3, dtype=np.int64)}, row={RING: row.ravel()}, node_time={})
    request = dict(num_neighbors={RING: i64(3, 3, 3)}, sampling_time_offsets={}, entity_table="n",
                   seed_node=np.arange(0, size, size // seeds, dtype=np.int64), seed_time=NONE)
    return graph, request


@pytest.mark.parametrize("num_threads", [1, 2])
def test_other_python_threads_run_during_a_call_on_several_threads(num_threads):
    graph, request = big_request()
    sampler = quorvix.NeighborSampler(**graph)
    sampler.num_threads = num_threads
    ticks = [0]
    stop = threading.Event()

    def tick():
        # Waiting lets the lock go for a moment, so the calling thread can always take it back.
        while not stop.wait(0.001):
            ticks[0] += 1

    # With a switch interval this long, the interpreter never takes the lock from the calling thread:
    # the other thread can run only while the call itself has let the lock go.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    thread = threading.Thread(target=tick)
    try:
        thread.start()
        before = ticks[0]
        sampler.sample(**request)
        during = ticks[0] - before
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        thread.join()
    assert (during > 0) == (num_threads > 1)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_process_samples_on_several_threads():
    graph, request = big_request(size=20_000, seeds=2_000)
    sampler = quorvix.NeighborSampler(**graph)
    sampler.num_threads = 2
    sampler.sample(**request)  # the parent's pool now exists
    read, write = os.pipe()
    with warnings.catch_warnings():  # newer Pythons warn of forking a process that has threads
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:  # the child: its copy of the pool has no threads behind it
        status = 1
        try:
            lists = as_lists(sampler.sample(**request))
            os.write(write, repr(lists).encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write)
    with os.fdopen(read) as pipe:
        child = pipe.read()
    assert os.waitpid(pid, 0)[1] == 0
    assert child == repr(as_lists(sampler.sample(**request)))


def test_seeds_written_after_their_check_are_not_sampled():
    # The rules are read after the seeds are checked; a write made then (here by the dict's lookup, as
    # another Python thread could while a call has the lock released) must not reach the result.
    graph, request = big_request(size=2_000, seeds=200)
    expected = as_lists(quorvix.NeighborSampler(**graph).sample(**request))
    for num_threads in (1, 2):
        sampler = quorvix.NeighborSampler(**graph)
        sampler.num_threads = num_threads
        seeds = request["seed_node"].copy()
        lookups = [0]

        def scribble():
            lookups[0] += 1
            if lookups[0] > 1:  # the first lookup counts the hops, before the seeds are read
                seeds[:] = -7

        rules = CallingDict(request["num_neighbors"], scribble)
        got = sampler.sample(**{**request, "num_neighbors": rules, "seed_node": seeds})
        assert lookups[0] > 1 and as_lists(got) == expected


def worker_threads():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_a_call_starts_no_more_threads_than_it_has_chunks():
    graph, request = big_request(size=20_000, seeds=4_000)
    sampler = quorvix.NeighborSampler(**graph)
    sampler.num_threads = 256
    before = worker_threads()
    sampler.sample(**{**request, "seed_node": i64(1, 2, 3)})  # three seeds make three chunks
    assert worker_threads() - before == 2
    sampler.num_threads = 5
    sampler.sample(**request)  # a new pool, of four workers
    assert worker_threads() - before == 4


def test_schemas_with_many_edge_type_paths_sample_alike_on_any_thread_count():
    # Three self-loop edge types make 3 ** hop paths: at 2048 seeds, two hops are tracked in full,
    # five only with one chunk per thread, and six not at all (one thread). Random fan-outs check
    # that each way draws in one-thread order; the second call, that the generator ends alike.
    size = 500
    row = (np.arange(size, dtype=np.int64)[:, None] + np.array([1, 2])) % size
    keys = [f"n__e{i}__n" for i in range(3)]
    graph = dict(node_types=["n"], edge_types=[("n", f"e{i}", "n") for i in range(3)],
                 colptr={k: np.arange(0, 2 * size + 1, 2, dtype=np.int64) for k in keys},
                 row={k: row.ravel() for k in keys}, node_time={})
    seeds = np.arange(2048, dtype=np.int64) % size
    for hops in (2, 5, 6):
        request = ({k: np.ones(hops, dtype=np.int64) for k in keys}, {}, "n", seeds, NONE)
        results = []
        for num_threads in (1, 2, 8):
            sampler = quorvix.NeighborSampler(**graph)
            sampler.num_threads = num_threads
            results.append([as_lists(sampler.sample(*request)) for _ in range(2)])
        assert results[1] == results[0] and results[2] == results[0]
