"""Natural mistakes: each one raises (or warns) with a message that names the argument, the key
and the fix. Messages that existed keep their text; the hint comes as an exception note."""

import warnings

import numpy as np
import pytest

import quorvix
from graphs import BOUGHT, BOUGHT_BY, as_lists, i64, outcome, shop_graph, star_graph
from reference_sampler import ReferenceSampler

NS = quorvix.NeighborSampler
FAN_OUTS = {BOUGHT: i64(1), BOUGHT_BY: i64(1)}
SEEDS = i64(0, 1)


def raised(call, *args, **kwargs):
    """(type, str, notes) of the exception `call` raises."""
    with pytest.raises(Exception) as info:
        call(*args, **kwargs)
    return type(info.value), str(info.value), getattr(info.value, "__notes__", [])


def test_a_run_out_of_time_order_is_refused_where_a_time_rule_reads_it():
    # User 0 bought items at times 1, 3, 2, 4: one swap, the ends in order.
    graph = star_graph([1, 3, 2, 4])
    key = "item__at__user"
    assert quorvix.Graph(**graph).unsorted_runs[key].tolist() == [0]
    message = ("Neighbours of node 0 in 'item__at__user' are not sorted by time: position 2 of 'row' has time 2, "
               "earlier than 3 before it.")
    calls = [({key: i64(2)}, {}), ({key: i64(-1)}, {}), ({}, {key: np.array([[-10, 0]])})]
    for sampler in (NS(**graph), ReferenceSampler(**graph)):
        sampler.temporal_strategy = "last"
        for num_neighbors, offsets in calls:
            assert raised(sampler.sample, num_neighbors, offsets, "user", i64(0), i64(5)) == (
                RuntimeError, message, [])
        # A window that ends before the run is read only at its first position: still refused, as
        # its bisection probed the disordered part.
        assert raised(sampler.sample, {}, {key: np.array([[-10, -4]])}, "user", i64(0), i64(5))[1] == message
        sampler.temporal_strategy = "uniform"
        assert raised(sampler.sample, {key: i64(2)}, {}, "user", i64(0), i64(5))[1] == message


def test_the_specified_unsorted_message_names_the_edge_type_and_node_in_a_note():
    graph = shop_graph()
    graph["row"] = {**graph["row"], BOUGHT: i64(1, 0, 2)}  # user 0's items at times 2, 1
    assert raised(NS(**graph).sample, FAN_OUTS, {}, "user", SEEDS, i64(5, 5)) == (
        RuntimeError, "Found invalid non-sorted temporal neighborhood",
        ["Runs of row not sorted by time: edge type 'item__bought__user', node 0. Sort each node's run by the "
         "time it is sampled by (Graph.check() names the first position)."])


def test_seed_times_in_nanoseconds_against_node_times_in_seconds_warn():
    seconds = 1_700_000_000
    graph = star_graph([seconds, seconds + 100])
    key = "item__at__user"
    sampler = NS(**graph)
    nanoseconds = i64((seconds + 200) * 10**9)
    with pytest.warns(quorvix.SeedTimeWarning) as record:
        result = as_lists(sampler.sample({key: i64(1)}, {}, "user", i64(0), nanoseconds))
    assert [str(w.message) for w in record] == [
        "Every seed_time is at least 1000 times later than every node and edge time (earliest seed_time "
        "1700000200000000000, latest time in the graph 1700000100): seed_time seems to be in a finer unit. "
        "seed_time holds nanoseconds? node times are seconds: divide by 10**9 (by 10**6 for microseconds, "
        "10**3 for milliseconds)."]
    assert record[0].filename == __file__  # points at the call
    # Silenced, the call samples as it always did.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", category=quorvix.SeedTimeWarning)
        assert as_lists(sampler.sample({key: i64(1)}, {}, "user", i64(0), nanoseconds)) == result
    assert result == outcome(ReferenceSampler(**graph).sample, {key: i64(1)}, {}, "user", i64(0), nanoseconds)
    # Not evidently another unit: seeds 100 times later, one seed in seconds among them, small times.
    sampler.sample({key: i64(1)}, {}, "user", i64(0), i64(seconds * 100))
    sampler.sample({key: i64(1)}, {}, "user", i64(0, 0), i64(seconds * 10**9, seconds))
    NS(**star_graph([1, 2])).sample({key: i64(1)}, {}, "user", i64(0), i64(10**10))


SERIES = pytest.importorskip("pandas").Series


@pytest.mark.parametrize("case, args, kind, message, notes", [
    ("seeds as a list", (FAN_OUTS, {}, "user", [0, 1], i64(5, 5)), TypeError, None,
     ["seed_node is a list: pass np.asarray(seed_node, dtype=np.int64)."]),
    ("seeds as a Series", (FAN_OUTS, {}, "user", SERIES([0, 1]), i64(5, 5)), TypeError, None,
     ["seed_node is a pandas.Series: pass seed_node.to_numpy(dtype=np.int64)."]),
    ("seed_time=None", (FAN_OUTS, {}, "user", SEEDS, None), TypeError, None,
     ["seed_time=None: pass an empty array, np.empty(0, dtype=np.int64), for no seed times (the seeds' own "
      "node times are then used, where they have any)."]),
    ("num_neighbors as a list", ([1, 1], {}, "user", SEEDS, i64(5, 5)), TypeError, None,
     ["num_neighbors is a list: it must be a dict from edge type key to an int64 array of fan-outs, one per hop, "
      "such as {'item__bought__user': np.array([10, 5])}; every edge type is in num_neighbors or "
      "sampling_time_offsets ({} for none)."]),
    ("float window offset", ({BOUGHT_BY: i64(1)}, {BOUGHT: np.array([[-2.5, 0]])}, "user", SEEDS, i64(5, 5)),
     RuntimeError, "Unable to cast Python instance of type <class 'numpy.float64'> to C++ type '?' (#define "
                   "PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)",
     ["sampling_time_offsets['item__bought__user'] holds float64 values: offsets are whole numbers in the unit of "
      "the node times; pass np.asarray(offsets, dtype=np.int64), rounded first if need be."]),
    ("edge type missing", ({BOUGHT: i64(1)}, {}, "user", SEEDS, i64(5, 5)), KeyError, "'user__bought_by__item'",
     ["Edge type 'user__bought_by__item' is in neither num_neighbors nor sampling_time_offsets: every edge type "
      "is in one of them; a fan-out of np.array([0]) samples nothing from it."]),
    ("tuple key", ({("item", "bought", "user"): i64(1), BOUGHT_BY: i64(1)}, {}, "user", SEEDS, i64(5, 5)),
     RuntimeError, "Invalid type '('item', 'bought', 'user')' found in num_neighbors.",
     ["num_neighbors is keyed by the tuple ('item', 'bought', 'user'): edge-type dicts are keyed by "
      "'__'.join(edge_type), here 'item__bought__user'."]),
    ("entity table", (FAN_OUTS, {}, "users", SEEDS, i64(5, 5)), RuntimeError, "Invalid entity table 'users'.",
     ["entity_table names a node type, one of ['user', 'item'] (case included)."]),
    ("datetime64 seed times", (FAN_OUTS, {}, "user", SEEDS, np.array([5, 5], dtype="datetime64[s]")),
     RuntimeError, "seed_time must have dtype int64.",
     ["seed_time holds datetime64[s]: times are int64 counts of one unit, the same for node times, edge times "
      "and seed times (seconds, say): convert with .astype('datetime64[s]').astype(np.int64)."]),
])
def test_sample_mistakes(case, args, kind, message, notes):
    got_kind, got_message, got_notes = raised(NS(**shop_graph()).sample, *args)
    assert (got_kind, got_notes) == (kind, notes)
    if message is not None:
        assert got_message == message
    # sample_with_edge_ids takes the same arguments and gives the same hints.
    assert raised(NS(**shop_graph()).sample_with_edge_ids, *args)[2] == notes


@pytest.mark.parametrize("build", [NS, quorvix.Graph])
@pytest.mark.parametrize("change, kind, message, notes", [
    (dict(row={BOUGHT: i64(0, 1, 2)}), KeyError, "'user__bought_by__item'",
     ["row has no array for edge type 'user__bought_by__item': colptr and row need one for every edge type in "
      "edge_types, keyed by '__'.join(edge_type)."]),
    (dict(colptr={("item", "bought", "user"): i64(0, 2, 3), BOUGHT_BY: i64(0, 1, 2, 3)}), RuntimeError,
     "Invalid type '('item', 'bought', 'user')' found in colptr.",
     ["colptr is keyed by the tuple ('item', 'bought', 'user'): edge-type dicts are keyed by '__'.join(edge_type), "
      "here 'item__bought__user'."]),
    (dict(node_time={"item": np.array([1, 2, 3], dtype="datetime64[s]")}), RuntimeError,
     "Type 'item' in node_time must have dtype int64.",
     ["node_time['item'] holds datetime64[s]: times are int64 counts of one unit, the same for node times, edge "
      "times and seed times (seconds, say): convert with .astype('datetime64[s]').astype(np.int64)."]),
    (dict(node_time=None), TypeError, None, ["node_time=None: pass node_time={} for a graph without timestamps."]),
])
def test_constructor_mistakes(build, change, kind, message, notes):
    got_kind, got_message, got_notes = raised(build, **{**shop_graph(), **change})
    assert (got_kind, got_notes) == (kind, notes)
    if message is not None:
        assert got_message == message
