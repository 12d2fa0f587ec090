"""Hand-worked results of `sample`, its request checks and its id range checks."""

import gc
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from graphs import (
    BOUGHT,
    BOUGHT_BY,
    PAPER,
    as_lists,
    draws_graph,
    i64,
    outcome,
    paper_graph,
    shop_graph,
    star_graph,
)
from reference_sampler import ReferenceSampler

AT = "item__at__user"
NONE = i64()


def paper_request(seeds, fanouts=(-1, -1)):
    return {PAPER: i64(*fanouts)}, {}, "paper", i64(*seeds), NONE


def paper_sample(sampler, seeds, fanouts=(-1, -1)):
    return as_lists(sampler.sample(*paper_request(seeds, fanouts)))


# -- exact results ----------------------------------------------------------------------


def test_paper_graph_one_seed(Sampler):
    assert paper_sample(Sampler(**paper_graph()), [0]) == (
        {PAPER: [1, 2, 2]},
        {PAPER: [0, 0, 1]},
        {"paper": [0, 1, 2]},
        {"paper": [0, 0, 0]},
        {"paper": [1, 2, 0]},
        {PAPER: [2, 1]},
    )


def test_paper_graph_repeated_seed_grows_two_subgraphs(Sampler):
    assert paper_sample(Sampler(**paper_graph()), [0, 0]) == (
        {PAPER: [2, 3, 4, 5, 3, 5]},
        {PAPER: [0, 0, 1, 1, 2, 4]},
        {"paper": [0, 0, 1, 2, 1, 2]},
        {"paper": [0, 1, 0, 0, 1, 1]},
        {"paper": [2, 4, 0]},
        {PAPER: [4, 2]},
    )


DRAWS_EXPECTED = (
    {"item__a__user": [0, 1, 2], "item__b__user": [3, 4]},
    {"item__a__user": [0, 0, 0], "item__b__user": [0, 0]},
    {"user": [0], "item": [16, 11, 12, 20, 23]},
    {"user": [0], "item": [0, 0, 0, 0, 0]},
    {"user": [1, 0], "item": [0, 5]},
    {"item__a__user": [3], "item__b__user": [2]},
)
DRAWS_REQUEST = ({"item__a__user": i64(3), "item__b__user": i64(2)}, {}, "user", i64(0), NONE)


def test_first_random_windows_follow_the_default_seed(Sampler):
    # Outputs 2991312382, 3062119789, 1228959102 pick offsets 6, 1, 2 of the ten 'a'
    # candidates; 1840268610, 974319580 pick offset 0, then 0 again, so 3, of the four 'b' ones.
    assert as_lists(Sampler(**draws_graph()).sample(*DRAWS_REQUEST)) == DRAWS_EXPECTED
    assert as_lists(Sampler(**draws_graph(), seed=123).sample(*DRAWS_REQUEST)) == DRAWS_EXPECTED


def test_windows_that_take_all_draw_nothing(Sampler):
    sampler = Sampler(**draws_graph())
    for a, b in ((10, 4), (-1, 99)):
        request = ({"item__a__user": i64(a), "item__b__user": i64(b)}, {}, "user", i64(0), NONE)
        assert as_lists(sampler.sample(*request))[2]["item"] == list(range(10, 24))
    assert as_lists(sampler.sample(*DRAWS_REQUEST)) == DRAWS_EXPECTED


def test_temporal_windows_draw_nothing(Sampler):
    graph = draws_graph()
    graph["node_time"] = {"item": np.zeros(24, dtype=np.int64)}
    sampler = Sampler(**graph)
    recent = as_lists(sampler.sample(*DRAWS_REQUEST[:4], i64(5)))
    assert recent[2]["item"] == [17, 18, 19, 22, 23]
    # The user type has no timestamps, so without seed times the call is not temporal.
    assert as_lists(sampler.sample(*DRAWS_REQUEST)) == DRAWS_EXPECTED


def test_uniform_temporal_strategy_draws_among_admissible_neighbours(Sampler):
    graph = draws_graph()
    graph["node_time"] = {"item": np.arange(24, dtype=np.int64)}  # an item's time is its id
    sampler = Sampler(**graph)
    request = DRAWS_REQUEST[:4] + (i64(17),)
    assert as_lists(sampler.sample(*request))[2]["item"] == [15, 16, 17]
    sampler.temporal_strategy = "uniform"
    # Items 10..17 of 'a' are admissible (none of 'b'): 2991312382 % 6 = 4, 3062119789 % 7 = 1,
    # 1228959102 % 8 = 6 pick offsets 4, 1, 6, which are also the edges' row positions.
    out = as_lists(sampler.sample_with_edge_ids(*request))
    assert out[2]["item"] == [14, 11, 16] and out[0]["item__a__user"] == [0, 1, 2]
    assert out[6] == {"item__a__user": [4, 1, 6], "item__b__user": []}


def test_settings_are_checked(NS):
    sampler = NS(**paper_graph())
    assert (sampler.temporal_strategy, sampler.num_threads) == ("last", 1)
    refused = [
        ("temporal_strategy", b"last", TypeError, "temporal_strategy must be a str."),
        ("temporal_strategy", "Uniform", ValueError, "temporal_strategy must be 'last' or 'uniform', not 'Uniform'."),
        ("num_threads", True, TypeError, "num_threads must be an int."),
        ("num_threads", 2.0, TypeError, "num_threads must be an int."),
        ("num_threads", 0, ValueError, "num_threads must be at least 1, not 0."),
        ("num_threads", -(2**70), ValueError, f"num_threads must be at least 1, not {-(2**70)}."),
        ("num_threads", 257, ValueError, "num_threads must be at most 256, not 257."),
        ("num_threads", 2**70, ValueError, f"num_threads must be at most 256, not {2**70}."),
    ]
    for name, value, error, message in refused:
        with pytest.raises(error) as info:
            setattr(sampler, name, value)
        assert str(info.value) == message
    sampler.temporal_strategy, sampler.num_threads = "uniform", 3
    assert (sampler.temporal_strategy, sampler.num_threads) == ("uniform", 3)


def items_in_window(Sampler, times, seed_time, num_neighbors=None, offsets=None):
    sampler = Sampler(**star_graph(times))
    result = as_lists(sampler.sample(num_neighbors or {}, offsets or {}, "user", i64(0), i64(seed_time)))
    assert result[0][AT] == list(range(len(result[2]["item"])))
    return result[2]["item"]


@pytest.mark.parametrize(
    "row, expected",
    [
        (np.array([[-10, 0]]), list(range(1, 11))),  # 90 excluded, 101 excluded
        (np.array([[None, 0]], dtype=object), list(range(0, 11))),
        (np.array([[0, 0]]), []),
        (np.array([[5, -5]]), []),
    ],
)
def test_offset_window(Sampler, row, expected):
    times = list(range(90, 102))
    assert items_in_window(Sampler, times, 100, offsets={AT: row}) == expected


@pytest.mark.parametrize(
    "seed_time, lower, upper, expected",
    [
        (2**63 - 2, None, 10, [0, 1]),  # the upper bound stops at the largest time
        (-(2**63) + 1, -10, 2**63 - 1, [0]),  # the lower bound stops at the smallest time
    ],
)
@pytest.mark.filterwarnings("ignore::quorvix.SeedTimeWarning")  # the far-future seed time is meant
def test_offset_window_bounds_saturate(Sampler, seed_time, lower, upper, expected):
    offsets = {AT: np.array([[lower, upper]], dtype=object)}
    assert items_in_window(Sampler, [0, 5], seed_time, offsets=offsets) == expected


@pytest.mark.parametrize("k, expected", [(2, [2, 3]), (-1, [0, 1, 2, 3]), (0, []), (9, [0, 1, 2, 3])])
def test_recency_window(Sampler, k, expected):
    assert items_in_window(Sampler, [3, 5, 7, 9, 11], 10, num_neighbors={AT: i64(k)}) == expected


def test_recency_cut_is_by_position_over_equal_times(Sampler):
    graph = star_graph([1] * 20 + [5, 7, 7, 7])
    graph["colptr"][AT] = i64(0, 20, 24)
    result = as_lists(Sampler(**graph).sample({AT: i64(2)}, {}, "user", i64(1), i64(7)))
    assert result[2]["item"] == [22, 23]


@pytest.mark.parametrize(
    "times, request_",
    [
        ([5, 3], {"num_neighbors": {AT: i64(-1)}}),
        ([5, 3], {"offsets": {AT: np.array([[None, 10]], dtype=object)}}),
        ([9, 3, 5, 7], {"num_neighbors": {AT: i64(2)}}),  # the kept pair is ordered, the run is not
    ],
)
def test_unsorted_window_is_refused(Sampler, times, request_):
    with pytest.raises(RuntimeError) as info:
        items_in_window(Sampler, times, 10, **request_)
    assert str(info.value) == "Found invalid non-sorted temporal neighborhood"


def test_equal_end_times_and_single_neighbour_windows_are_not_refused(Sampler):
    assert items_in_window(Sampler, [5, 5], 10, num_neighbors={AT: i64(-1)}) == [0, 1]


def test_a_run_disordered_beyond_the_window_the_bisection_keeps_is_refused(Sampler):
    # The bisection stops at position 1 and the kept window [0, 1) is in order, but item 2 (time 1)
    # belongs in it: the run was found unsorted when the graph was built.
    with pytest.raises(RuntimeError) as info:
        items_in_window(Sampler, [3, 9, 1], 4, num_neighbors={AT: i64(-1)})
    assert str(info.value) == ("Neighbours of node 0 in 'item__at__user' are not sorted by time: position 2 of "
                               "'row' has time 1, earlier than 9 before it.")


def test_seed_times_default_to_the_seeds_own_timestamps(Sampler):
    graph = shop_graph()
    graph["node_time"]["user"] = i64(1, 5)
    request = ({BOUGHT: i64(-1), BOUGHT_BY: i64()}, {}, "user", i64(0, 1), NONE)
    result = as_lists(Sampler(**graph).sample(*request))
    assert result[2]["item"] == [0, 2] and result[3]["item"] == [0, 1]


def test_zero_hops_keep_only_the_seeds(Sampler):
    assert paper_sample(Sampler(**paper_graph()), [2, 0, 2], fanouts=()) == (
        {PAPER: []},
        {PAPER: []},
        {"paper": [2, 0, 2]},
        {"paper": [0, 1, 2]},
        {"paper": [3]},
        {PAPER: []},
    )
    sampler = Sampler(["a", "b"], [], {}, {}, {})
    assert as_lists(sampler.sample({}, {}, "b", i64(4), NONE)) == (
        {},
        {},
        {"a": [], "b": [4]},
        {"a": [], "b": [0]},
        {"a": [0], "b": [1]},
        {},
    )


def test_empty_seeds_still_run_every_hop(Sampler):
    assert paper_sample(Sampler(**paper_graph()), []) == (
        {PAPER: []},
        {PAPER: []},
        {"paper": []},
        {"paper": []},
        {"paper": [0, 0, 0]},
        {PAPER: [0, 0]},
    )


def test_result_keys_follow_declaration_order(Sampler):
    sampler = Sampler(**shop_graph())
    result = as_lists(sampler.sample({BOUGHT: i64(-1), BOUGHT_BY: i64(-1)}, {}, "item", i64(2), i64(9)))
    assert result == (
        {BOUGHT: [], BOUGHT_BY: [0]},
        {BOUGHT: [], BOUGHT_BY: [0]},
        {"user": [1], "item": [2]},
        {"user": [0], "item": [0]},
        {"user": [0, 1], "item": [1, 0]},
        {BOUGHT: [0], BOUGHT_BY: [1]},
    )
    edge_keys, node_keys = [BOUGHT, BOUGHT_BY], ["user", "item"]
    assert [list(table) for table in result] == [edge_keys] * 2 + [node_keys] * 3 + [edge_keys]


def test_empty_names_and_a_seed_that_is_its_own_neighbour(Sampler):
    sampler = Sampler([""], [("", "", "")], {"____": i64(0, 2)}, {"____": i64(0, 0)}, {})
    result = as_lists(sampler.sample({"____": i64(-1)}, {}, "", i64(0), NONE))
    assert result[0] == {"____": [0, 0]} and result[2] == {"": [0]} and result[4] == {"": [1, 0]}


def test_results_are_fresh_copies(NS):
    sampler = NS(**paper_graph())
    first = sampler.sample({PAPER: i64(-1)}, {}, "paper", i64(0), NONE)
    first[2]["paper"][:] = 99
    second = sampler.sample({PAPER: i64(-1)}, {}, "paper", i64(0), NONE)
    assert second[2]["paper"].tolist() == [0, 1, 2]
    assert not np.shares_memory(first[2]["paper"], second[2]["paper"])
    # The arrays hold their data alone: they outlive the sampler that filled them.
    expected = as_lists(second)
    del sampler
    assert first[2]["paper"].tolist() == [99, 99, 99] and as_lists(second) == expected


# -- the binding ----------------------------------------------------------------------


def test_keyword_arguments_in_any_order(NS):
    sampler = NS(**paper_graph())
    result = sampler.sample(
        seed_time=NONE,
        entity_table="paper",
        seed_node=i64(0),
        sampling_time_offsets={},
        num_neighbors={PAPER: i64(-1)},
    )
    assert as_lists(result)[0] == {PAPER: [1, 2]}


@pytest.mark.parametrize(
    "args",
    [
        ({PAPER: i64(-1)}, {}, "paper", [0], NONE),  # lists are not arrays here
        ({PAPER: i64(-1)}, {}, "paper", i64(0), None),
        ([(PAPER, i64(-1))], {}, "paper", i64(0), NONE),
        ({PAPER: i64(-1)}, {}, 7, i64(0), NONE),
        ({PAPER: i64(-1)}, {}, "paper", i64(0)),
    ],
)
def test_arguments_of_the_wrong_kind_are_refused(NS, args):
    with pytest.raises(TypeError):
        NS(**paper_graph()).sample(*args)


# -- request checks -------------------------------------------------------------------

GOOD = dict(
    num_neighbors={BOUGHT: i64(-1), BOUGHT_BY: i64(-1)}, offsets={}, entity="user", seeds=i64(0, 1), times=i64(5, 5)
)
BAD = dict(
    nn_key=dict(num_neighbors={"nope": i64(1)}),
    nn_dim=dict(num_neighbors={BOUGHT: np.zeros((1, 1), dtype=np.int64)}),
    nn_dtype=dict(num_neighbors={BOUGHT: np.array([1], dtype=np.int32)}),
    off_key=dict(offsets={"x": np.zeros((1, 2))}),
    off_dim=dict(offsets={BOUGHT: i64(1, 2)}),
    seed_dim=dict(seeds=np.zeros((2, 1), dtype=np.int64)),
    seed_dtype=dict(seeds=np.array([0.0, 1.0])),
    time_dim=dict(times=np.zeros((2, 1), dtype=np.int64)),
    time_dtype=dict(times=np.array([5, 5], dtype=np.uint64)),
    entity=dict(entity="User"),
    mismatch=dict(times=i64(5)),
    both=dict(offsets={BOUGHT: np.array([[0, 1]])}),
    untimed=dict(num_neighbors={BOUGHT: i64(-1)}, offsets={BOUGHT_BY: np.array([[0, 1]])}),
    shape=dict(num_neighbors={BOUGHT_BY: i64(-1)}, offsets={BOUGHT: np.zeros((1, 3))}),
)
MESSAGES = dict(
    nn_key="Invalid type 'nope' found in num_neighbors.",
    nn_dim=f"Type '{BOUGHT}' in num_neighbors is not 1D.",
    nn_dtype=f"Type '{BOUGHT}' in num_neighbors must have dtype int64.",
    off_key="Invalid type 'x' found in sampling_time_offsets.",
    off_dim=f"Type '{BOUGHT}' in sampling_time_offsets is not 2D.",
    seed_dim="seed_node is not 1D.",
    seed_dtype="seed_node must have dtype int64.",
    time_dim="seed_time is not 1D.",
    time_dtype="seed_time must have dtype int64.",
    entity="Invalid entity table 'User'.",
    mismatch="'seed_node' and 'seed_time' size mismatch.",
    both="'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. "
    f"'{BOUGHT}' appears in both.",
    untimed=f"'sampling_time_offsets' contains '{BOUGHT_BY}' but user is not included in 'node_time'.",
    shape=f"'sampling_time_offsets' at '{BOUGHT}' does not have shape (N, 2).",
)
ORDER = list(MESSAGES)  # the order in which the checks run


def shop_request(sampler, **changes):
    r = {**GOOD, **changes}
    return sampler.sample(r["num_neighbors"], r["offsets"], r["entity"], r["seeds"], r["times"])


def merged(*names):
    out = {}
    for name in names:
        for field, value in BAD[name].items():
            if isinstance(value, dict) and field in out:
                value = {**out[field], **value}
            out[field] = value
    return out


@pytest.mark.parametrize("name", ORDER)
def test_request_check_messages(NS, name):
    with pytest.raises(RuntimeError) as info:
        shop_request(NS(**shop_graph()), **BAD[name])
    assert str(info.value) == MESSAGES[name]


@pytest.mark.parametrize(
    "first, later",
    [
        ("nn_dtype", "off_dim"),
        ("off_dim", "seed_dim"),
        ("seed_dtype", "time_dim"),
        ("time_dtype", "entity"),
        ("entity", "mismatch"),
        ("mismatch", "both"),
    ],
)
def test_request_checks_run_in_order(NS, first, later):
    with pytest.raises(RuntimeError) as info:
        shop_request(NS(**shop_graph()), **merged(first, later))
    assert str(info.value) == MESSAGES[first]


def test_per_edge_type_checks_follow_edge_type_order(NS):
    sampler = NS(**shop_graph())
    # The first edge type is in neither dict; the second one would fail the timestamp check.
    with pytest.raises(KeyError) as info:
        shop_request(sampler, num_neighbors={}, offsets={BOUGHT_BY: np.array([[0, 1]])})
    assert info.value.args == (BOUGHT,)
    # For one edge type: 'appears in both', then the timestamp check, then the shape check.
    with pytest.raises(RuntimeError, match="appears in both.$"):
        shop_request(sampler, offsets={BOUGHT: np.zeros((1, 3)), BOUGHT_BY: np.zeros((1, 3))})
    with pytest.raises(RuntimeError, match="^'sampling_time_offsets' contains"):
        shop_request(sampler, num_neighbors={BOUGHT: i64(-1)}, offsets={BOUGHT_BY: np.zeros((1, 3))})


def test_request_checks_that_pass(NS):
    sampler = NS(**shop_graph())
    assert as_lists(shop_request(sampler, times=NONE))[2]["item"] == [0, 1, 2]
    # Offsets of shape (0, 2) and empty fan-out lists of any dtype give no hop at all.
    no_hops = dict(num_neighbors={BOUGHT_BY: np.array([], dtype=float)}, offsets={BOUGHT: np.zeros((0, 2))})
    result = shop_request(sampler, **no_hops)
    assert as_lists(result)[4] == {"user": [2], "item": [0]}
    # Without timestamps the seed times are not compared with the seeds.
    untimed = shop_graph()
    untimed["node_time"] = {}
    assert as_lists(shop_request(NS(**untimed), times=i64(5)))[2]["item"] == [0, 1, 2]


@pytest.mark.parametrize(
    "row, type_text",
    [
        (np.array([[-1.5, 0]], dtype=object), "<class 'float'>"),
        (np.array([[-1.5, 0.0]]), "<class 'numpy.float64'>"),
        (np.array([[None, None]], dtype=object), "<class 'NoneType'>"),
        # Refused alike rather than truncated toward zero.
        (np.array([[-3.9, -0.9]], dtype=np.float32), "<class 'numpy.float32'>"),
        (np.array([[-3, 0]], dtype=np.float16), "<class 'numpy.float16'>"),
        (np.array([[-3, 0]], dtype=np.longdouble), "<class 'numpy.longdouble'>"),
        (np.array([[None, Decimal("0.5")]], dtype=object), "<class 'decimal.Decimal'>"),
        (np.array([[Fraction(-7, 2), 0]], dtype=object), "<class 'fractions.Fraction'>"),
    ],
)
def test_offsets_must_be_integers(NS, row, type_text):
    with pytest.raises(RuntimeError) as info:
        shop_request(NS(**shop_graph()), num_neighbors={BOUGHT_BY: i64(-1)}, offsets={BOUGHT: row})
    assert str(info.value) == (
        f"Unable to cast Python instance of type {type_text} to C++ type '?' "
        "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
    )


@pytest.mark.parametrize("threads", [1, 2, 8])
def test_a_failure_in_an_earlier_hop_comes_before_a_bad_offsets_row(NS, threads):
    # Hop 0 meets item 7 (beyond node_time) from seed 0 only; hop 1's offsets row is a float.
    offsets = {BOUGHT: np.array([[-10, 0], [-1.5, 0]], dtype=object)}
    request = dict(num_neighbors={BOUGHT_BY: i64(-1, -1)}, sampling_time_offsets=offsets, entity_table="user",
                   seed_node=i64(1, 0), seed_time=i64(5, 5))
    graph = shop_graph()
    for row, message in [
        (graph["row"][BOUGHT], "Unable to cast Python instance of type <class 'float'> to C++ type '?' "
                               "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"),
        (i64(0, 7, 2), "Node 7 of type 'item' is out of range of 'node_time'."),
    ]:
        sampler = NS(**{**graph, "row": {**graph["row"], BOUGHT: row}})
        sampler.num_threads = threads
        with pytest.raises(RuntimeError) as info:
            sampler.sample(**request)
        assert str(info.value) == message


def test_offsets_of_every_integer_kind_are_taken(NS):
    sampler = NS(**shop_graph())
    fan_out = {BOUGHT_BY: i64(-1)}
    expected = as_lists(shop_request(sampler, num_neighbors=fan_out, offsets={BOUGHT: i64(-3, 0).reshape(1, 2)}))
    for row in (np.array([[-3, 0]], dtype=np.int32), np.array([[np.int16(-3), False]], dtype=object),
                np.array([[-3, 0]], dtype=object)):
        assert as_lists(shop_request(sampler, num_neighbors=fan_out, offsets={BOUGHT: row})) == expected


# -- id range checks ------------------------------------------------------------------

ID_CASES = {  # graph changes, failing seeds, message, seeds of a later good call
    "seed beyond the node count": ({}, [0, 3], "Node 3 of type 'paper' is not below the type's node count 3.", [0]),
    "negative seed": ({}, [-1], "Node -1 of type 'paper' is negative.", [0]),
    # Timestamps give the type four nodes; colptr knows three.
    "seed beyond colptr": (
        {"node_time": {"paper": i64(0, 0, 0, 0)}},
        [3],
        f"Node 3 of type 'paper' is out of range of 'colptr' for '{PAPER}'.",
        [0],
    ),
    "neighbour beyond the node count": (
        {"row": {PAPER: i64(1, 2, 3)}},
        [1],
        "Node 3 of type 'paper' is not below the type's node count 3.",
        [2],
    ),
    "negative neighbour": ({"row": {PAPER: i64(1, -7, 2)}}, [0], "Node -7 of type 'paper' is negative.", [1]),
    "decreasing colptr": (
        {"colptr": {PAPER: i64(0, 2, 1, 3)}},
        [1],
        f"'colptr' for '{PAPER}' at node 1 does not bound a valid range of 'row'.",
        [0],
    ),
    "colptr past row": (
        {"colptr": {PAPER: i64(0, 2, 3, 5)}},
        [2],
        f"'colptr' for '{PAPER}' at node 2 does not bound a valid range of 'row'.",
        [0],
    ),
    "colptr below zero": (
        {"colptr": {PAPER: i64(-1, 2, 3, 3)}},
        [0],
        f"'colptr' for '{PAPER}' at node 0 does not bound a valid range of 'row'.",
        [1],
    ),
}


@pytest.mark.parametrize("case", list(ID_CASES))
def test_ids_out_of_range_are_refused_and_leave_the_sampler_usable(Sampler, case):
    changes, seeds, message, good = ID_CASES[case]
    sampler = Sampler(**{**paper_graph(), **changes})
    assert outcome(sampler.sample, *paper_request(seeds)) == (RuntimeError, message)
    fresh = Sampler(**{**paper_graph(), **changes})
    assert paper_sample(sampler, good, [-1]) == paper_sample(fresh, good, [-1])


def test_ids_out_of_range_of_node_time_are_refused(Sampler):
    graph = shop_graph()
    graph["row"][BOUGHT] = i64(0, 7, 2)  # user 0's second item does not exist
    sampler = Sampler(**graph)
    message = "Node 7 of type 'item' is out of range of 'node_time'."
    assert outcome(shop_request, sampler) == (RuntimeError, message)
    good = dict(seeds=i64(1), times=i64(5))
    assert as_lists(shop_request(sampler, **good)) == as_lists(shop_request(Sampler(**graph), **good))
    # A seed whose own timestamp would be its seed time is checked as it enters.
    request = dict(entity="item", seeds=i64(3), times=NONE)
    assert outcome(shop_request, Sampler(**shop_graph()), **request) == (
        RuntimeError,
        "Node 3 of type 'item' is not below the type's node count 3.",
    )


def test_ids_are_checked_where_nothing_reads_them(Sampler):
    # Seeds that no hop expands.
    assert outcome(Sampler(**paper_graph()).sample, *paper_request([1, 99], [0])) == (
        RuntimeError,
        "Node 99 of type 'paper' is not below the type's node count 3.",
    )
    # A window's inner neighbours that the bisection never reads: only positions 2, 3 and the
    # two ends are probed, and item 999 sits at position 1.
    graph = star_graph([1, 2, 3])
    graph["colptr"]["item__at__user"] = i64(0, 4)
    graph["row"]["item__at__user"] = i64(0, 999, 1, 2)
    request = ({}, {"item__at__user": np.array([[None, 0]], dtype=object)}, "user", i64(0), i64(10))
    assert outcome(Sampler(**graph).sample, *request) == (
        RuntimeError,
        "Node 999 of type 'item' is not below the type's node count 3.",
    )
    # An item type that no colptr indexes and that has no timestamps has no known count.
    graph["node_time"] = {}
    assert as_lists(Sampler(**graph).sample({"item__at__user": i64(-1)}, {}, "user", i64(0), NONE))[2] == {
        "user": [0],
        "item": [0, 999, 1, 2],
    }


@pytest.mark.parametrize("threads", [1, 2])
def test_failed_call_keeps_the_draws_it_made(NS, threads):
    graph = draws_graph()
    graph["colptr"]["item__b__user"] = i64(0, 4, 4)  # two users, so that seed 1 is accepted
    sampler, model = NS(**graph), ReferenceSampler(**graph)
    sampler.num_threads = threads  # the seeds' draws are then made for two chunks
    request = ({"item__a__user": i64(3), "item__b__user": i64(2)}, {}, "user", i64(0, 1), NONE)
    failed = outcome(sampler.sample, *request)  # user 1 is beyond colptr of 'a', after user 0's draws
    assert failed[0] is RuntimeError and failed == outcome(model.sample, *request)
    assert outcome(sampler.sample, *DRAWS_REQUEST) == outcome(model.sample, *DRAWS_REQUEST)
    assert outcome(sampler.sample, *DRAWS_REQUEST) != DRAWS_EXPECTED


@pytest.mark.parametrize("threads", [1, 2])
def test_unknown_frontier_type_is_refused_when_a_hop_runs(NS, threads):
    key = "a__r__zzz"
    sampler = NS(["a"], [("a", "r", "zzz")], {key: i64(0, 1)}, {key: i64(0)}, {})
    sampler.num_threads = threads
    assert as_lists(sampler.sample({key: i64()}, {}, "a", i64(0, 0), NONE))[4] == {"a": [2]}
    with pytest.raises(IndexError) as info:
        sampler.sample({key: i64(1)}, {}, "a", i64(0, 0), NONE)
    assert str(info.value) == f"Frontier type 'zzz' of '{key}' is not in 'node_types'."


# -- array ownership and layout -------------------------------------------------------


def test_sampler_outlives_the_callers_arrays(NS):
    def build():
        graph = shop_graph()
        graph["row"][BOUGHT] = [0, 1, 2]  # coerced into an array that only the sampler holds
        return NS(**graph)

    sampler = build()
    gc.collect()
    litter = [np.full(3, 10**12 + i, dtype=np.int64) for i in range(1000)]  # reuse freed memory
    result = as_lists(shop_request(sampler, times=i64(1, 9)))
    assert result[2]["item"] == [0, 2] and result[3]["item"] == [0, 1]
    del litter


def ring_graph(timed):
    """Node v of six cites v+1, v+2, v+3 (mod 6), in order of id, which is also their time."""
    runs = [sorted((v + d) % 6 for d in (1, 2, 3)) for v in range(6)]
    return dict(
        node_types=["n"],
        edge_types=[("n", "e", "n")],
        colptr={"n__e__n": np.arange(0, 19, 3, dtype=np.int64)},
        row={"n__e__n": np.array(sum(runs, []), dtype=np.int64)},
        node_time={"n": np.arange(6, dtype=np.int64)} if timed else {},
    )


def relayout(array, how):
    if how == "strided":
        return np.repeat(array, 2)[::2]
    if how == "big-endian":
        return array.astype(">i8")
    return array.tolist()


@pytest.mark.parametrize("how", ["strided", "big-endian", "list"])
def test_array_layouts_give_the_same_results(NS, how):
    for timed, fanouts in ((True, i64(2, -1)), (False, i64(2, 1))):
        graph = ring_graph(timed)
        model = ReferenceSampler(**graph)
        for table in ("colptr", "row", "node_time"):
            graph[table] = {k: relayout(v, how) for k, v in graph[table].items()}
        sampler = NS(**graph)
        seeds, times = i64(0, 5, 3), i64(4, 5, 2) if timed else NONE
        for _ in range(2):
            got = sampler.sample({"n__e__n": relayout(fanouts, how)}, {}, "n", seeds, times)
            assert as_lists(got) == as_lists(model.sample({"n__e__n": fanouts}, {}, "n", seeds, times))


@pytest.mark.parametrize("how", ["strided", "big-endian"])
def test_seed_array_layouts_give_the_same_results(NS, how):
    graph = ring_graph(True)
    request = ({"n__e__n": i64(2, -1)}, {}, "n")
    expected = as_lists(NS(**graph).sample(*request, i64(0, 5, 3), i64(4, 5, 2)))
    got = NS(**graph).sample(*request, relayout(i64(0, 5, 3), how), relayout(i64(4, 5, 2), how))
    assert as_lists(got) == expected


# -- the whole-graph check --------------------------------------------------------------

SHARED_ROW = i64(1, 2, 2, 9, 9)
CHECK_CASES = {  # graph changes -> message of check(), or None on a sound graph
    "sound": ({}, None),
    # Two edge types use the two parts of one row: paper 9 does not exist, but venue 9 may.
    "shared row": (
        {"node_types": ["paper", "venue"], "edge_types": [("paper", "cites", "paper"), ("venue", "in", "paper")],
         "colptr": {PAPER: i64(0, 2, 3, 3), "venue__in__paper": i64(3, 4, 5, 5)},
         "row": {PAPER: SHARED_ROW, "venue__in__paper": SHARED_ROW}},
        None,
    ),
    # The frontier type's node count comes from its node_time, or from a longer colptr of the type.
    "colptr shorter than node_time": (
        {"node_time": {"paper": i64(1, 1, 1, 1)}},
        f"'colptr' for '{PAPER}' has 4 entries, fewer than the 4 nodes of type 'paper' plus one.",
    ),
    "colptr shorter than another": (
        {"node_types": ["paper", "venue"], "edge_types": [("venue", "in", "paper"), ("paper", "cites", "paper")],
         "colptr": {PAPER: i64(0, 2, 3, 3), "venue__in__paper": i64(0, 0, 0, 0, 0)},
         "row": {PAPER: i64(1, 2, 2), "venue__in__paper": i64()}, "node_time": {}},
        f"'colptr' for '{PAPER}' has 4 entries, fewer than the 4 nodes of type 'paper' plus one.",
    ),
    # The frontier type's node count comes from its node_time, or from a longer colptr of the type.
    "colptr shorter than node_time": (
        {"node_time": {"paper": i64(1, 1, 1, 1)}},
        f"'colptr' for '{PAPER}' has 4 entries, fewer than the 4 nodes of type 'paper' plus one.",
    ),
    "colptr shorter than another": (
        {"node_types": ["paper", "venue"], "edge_types": [("venue", "in", "paper"), ("paper", "cites", "paper")],
         "colptr": {PAPER: i64(0, 2, 3, 3), "venue__in__paper": i64(0, 0, 0, 0, 0)},
         "row": {PAPER: i64(1, 2, 2), "venue__in__paper": i64()}, "node_time": {}},
        f"'colptr' for '{PAPER}' has 4 entries, fewer than the 4 nodes of type 'paper' plus one.",
    ),
    "colptr past row": (
        {"colptr": {PAPER: i64(0, 2, 4, 3)}},
        f"'colptr' for '{PAPER}' at position 2 is 4, outside the 3 entries of 'row'.",
    ),
    "decreasing colptr": (
        {"colptr": {PAPER: i64(0, 2, 1, 3)}},
        f"'colptr' for '{PAPER}' decreases from 2 to 1 at node 1.",
    ),
    "negative id": (
        {"row": {PAPER: i64(1, 2, -2)}},
        f"Node -2 of type 'paper' at position 2 of 'row' for '{PAPER}' (a neighbour of node 1) is negative.",
    ),
    "id past node_time": (
        {"node_time": {"paper": i64(1, 1)}},
        f"Node 2 of type 'paper' at position 1 of 'row' for '{PAPER}' (a neighbour of node 0) is not below the type's "
        "node count 2.",
    ),
    # Node 0's run holds papers 1 and 2 at times 5 and 4; within node 1's run nothing is out of order.
    "unsorted run": (
        {"node_time": {"paper": i64(0, 5, 4)}},
        f"Neighbours of node 0 in '{PAPER}' are not sorted by time: position 1 of 'row' has time 4, earlier than 5 "
        "before it.",
    ),
}


@pytest.mark.parametrize("case", list(CHECK_CASES))
def test_check_names_the_first_fault(Sampler, case):
    changes, message = CHECK_CASES[case]
    expected = None if message is None else (RuntimeError, message)
    assert outcome(Sampler(**{**paper_graph(), **changes}).check) == expected
