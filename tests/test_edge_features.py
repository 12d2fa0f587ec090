"""Edge times, edge weights and draws with replacement: worked cases, the weighted distribution,
and the errors. The model comparison in test_sample_property covers the rest."""

import itertools

import numpy as np
import pytest

import quorvix
from graphs import as_lists, i64

KEY = "item__rated__user"


def rated(**features):
    # User 0 rated items 0..3 at times 1, 3, 5, 7; user 1 rated items 1 and 2 at times 2 and 9.
    # Items have no node times: the ratings carry them.
    return quorvix.NeighborSampler(["user", "item"], [("item", "rated", "user")], {KEY: i64(0, 4, 6)},
                                   {KEY: i64(0, 1, 2, 3, 1, 2)}, {}, **features)


TIMES = {KEY: i64(1, 3, 5, 7, 2, 9)}


def test_edge_times_place_fan_outs_windows_and_uniform_draws():
    sampler = rated(edge_time=TIMES)
    sampler.check()
    # The two latest ratings not later than 6, and the one not later than 8.
    got = as_lists(sampler.sample_with_edge_ids({KEY: i64(2)}, {}, "user", i64(0, 1), i64(6, 8)))
    assert got[6] == {KEY: [1, 2, 4]} and got[2] == {"user": [0, 1], "item": [1, 2, 1]}
    # A window needs no node times on the neighbour type when the edges have times: 2 < t <= 6.
    got = as_lists(sampler.sample_with_edge_ids({}, {KEY: i64(2, 6).reshape(1, 2)}, "user", i64(0, 1), i64(0, 0)))
    assert got[6] == {KEY: [1, 2]}
    # "uniform" draws only among ratings not later than the seed time.
    sampler.temporal_strategy = "uniform"
    for _ in range(20):
        got = as_lists(sampler.sample_with_edge_ids({KEY: i64(2)}, {}, "user", i64(0, 1), i64(4, 8)))
        assert sorted(got[6][KEY][:2]) == [0, 1] and got[6][KEY][2:] == [4]
    # Without seed times nothing is filtered: a random fan-out over the whole run.
    got = as_lists(sampler.sample_with_edge_ids({KEY: i64(-1)}, {}, "user", i64(1), i64()))
    assert got[6] == {KEY: [4, 5]}


def test_weights_leave_zeros_out_and_take_all_when_few_are_positive():
    sampler = rated(edge_weight={KEY: np.array([0.0, 2.0, 0.0, 1.0, 0.0, 0.0], dtype=np.float32)})
    for k in (2, 3, 5):
        assert as_lists(sampler.sample_with_edge_ids({KEY: i64(k)}, {}, "user", i64(0, 1), i64()))[6] == {KEY: [1, 3]}
    # Take-all ignores weights.
    assert as_lists(sampler.sample_with_edge_ids({KEY: i64(-1)}, {}, "user", i64(1), i64()))[6] == {KEY: [4, 5]}
    sampler.replace = True
    got = as_lists(sampler.sample_with_edge_ids({KEY: i64(3)}, {}, "user", i64(0, 1), i64()))
    assert len(got[6][KEY]) == 3 and set(got[6][KEY]) <= {1, 3}  # nothing for user 1: no positive weight


def successive_probabilities(weights, k, replace):
    positive = [p for p, w in enumerate(weights) if w > 0]
    probabilities = {}
    for picks in itertools.product(positive, repeat=k):
        if not replace and len(set(picks)) < k:
            continue
        left, probability = sum(weights), 1.0
        for p in picks:
            probability *= weights[p] / left
            left -= 0 if replace else weights[p]
        probabilities[picks] = probability
    return probabilities


def draw_picks(weights, k, replace=False, seeds=40_000):
    """The ordered picks of `seeds` seeds at one node whose run holds `weights`, in one call."""
    key = "item__w__user"
    n = len(weights)
    sampler = quorvix.NeighborSampler(["user", "item"], [("item", "w", "user")], {key: i64(0, n)},
                                      {key: np.arange(n, dtype=np.int64)}, {}, seed=5,
                                      edge_weight={key: np.array(weights, dtype=np.float64)})
    sampler.replace = replace
    picks = sampler.sample_with_edge_ids({key: i64(k)}, {}, "user", np.zeros(seeds, dtype=np.int64), i64())[6][key]
    return [tuple(p) for p in picks.reshape(seeds, k).tolist()]


def assert_follows(outcomes, expected):
    """Chi-square of the observed outcomes against their probabilities, at the 0.9999 quantile
    (Wilson-Hilferty, z = 3.72): loose, and deterministic, since the generator seed is fixed."""
    counts = {}
    for outcome in outcomes:
        counts[outcome] = counts.get(outcome, 0) + 1
    assert set(counts) <= set(expected), set(counts) - set(expected)
    n = len(outcomes)
    statistic = sum((counts.get(o, 0) - n * p) ** 2 / (n * p) for o, p in expected.items())
    df = len(expected) - 1
    assert statistic < df * (1 - 2 / (9 * df) + 3.72 * (2 / (9 * df)) ** 0.5) ** 3, (statistic, df)


@pytest.mark.parametrize("replace", [False, True])
def test_weighted_picks_follow_successive_sampling(replace):
    # The ordered picks of each seed against their exact probabilities (w_i / W, then w_j / (W - w_i)
    # without replacement).
    weights = [1.0, 0.0, 2.0, 3.0, 0.5, 4.0]
    assert_follows(draw_picks(weights, 2, replace), successive_probabilities(weights, 2, replace))


TINY_RUN = [i * 1e-20 for i in range(1, 98)]


@pytest.mark.parametrize("weights, k, replace, outcome, expected", [
    # Once the three 1s are taken, the small weights keep their ratios: 1/6, 1/3, 1/2.
    ([1e-20, 2e-20, 3e-20, 1, 1, 1], 4, False, lambda p: (frozenset(p[:3]), p[3]),
     {(frozenset({3, 4, 5}), q): w / 6 for q, w in enumerate([1, 2, 3])}),
    # The 1 goes first, then two of the five equal small weights, every ordered pair alike.
    ([1, 1e-17, 1e-17, 1e-17, 1e-17, 1e-17], 3, False, lambda p: p,
     {(0, a, b): 1 / 20 for a in range(1, 6) for b in range(1, 6) if a != b}),
    # Subnormal weights: equal ones, then 1 : 2 : 3 in units of the smallest.
    ([5e-324, 5e-324, 5e-324], 1, False, lambda p: p[0], {0: 1 / 3, 1: 1 / 3, 2: 1 / 3}),
    ([5e-324, 1e-323, 1.5e-323], 1, False, lambda p: p[0], {0: 1 / 6, 1: 1 / 3, 2: 1 / 2}),
    ([5e-324, 1e-323, 1.5e-323], 2, True, lambda p: p,
     {(a, b): (a + 1) * (b + 1) / 36 for a in range(3) for b in range(3)}),
    # Weights whose sum overflows float64, then two small ones: 1 : 2.
    ([1.5e308, 1.5e308, 1.5e308, 1e-300, 2e-300], 4, False, lambda p: (frozenset(p[:3]), p[3]),
     {(frozenset({0, 1, 2}), 3): 1 / 3, (frozenset({0, 1, 2}), 4): 2 / 3}),
    # A run long enough to be searched by its cumulative sums first: the fourth pick among 97 small
    # weights in proportion 1 : 2 : ... : 97.
    ([1.0, 1.0, 1.0] + TINY_RUN, 4, False, lambda p: (frozenset(p[:3]), p[3]),
     {(frozenset({0, 1, 2}), 2 + i): i / (97 * 98 / 2) for i in range(1, 98)}),
], ids=["small-after-large", "tiny-beside-one", "equal-subnormal", "subnormal-1-2-3", "subnormal-replace", "overflow",
        "long-run"])
def test_weighted_picks_keep_the_ratios_of_small_weights(weights, k, replace, outcome, expected):
    assert_follows([outcome(p) for p in draw_picks(weights, k, replace)], expected)


def test_a_weighted_hub_draws_like_the_model_at_every_thread_count():
    from reference_sampler import ReferenceSampler

    degree = 3000
    rng = np.random.default_rng(3)
    weights = rng.choice([0.0, 0.25, 1.0, 9.0], size=degree)
    times = np.sort(rng.integers(0, 100, size=degree))
    key = "item__w__user"
    graph = dict(node_types=["user", "item"], edge_types=[("item", "w", "user")], colptr={key: i64(0, degree)},
                 row={key: np.arange(degree, dtype=np.int64)}, node_time={}, seed=9,
                 edge_time={key: times}, edge_weight={key: weights})
    model = ReferenceSampler(**graph)
    model.temporal_strategy = "uniform"
    request = ({key: i64(16, 16)}, {}, "user", i64(0, 0, 0, 0), i64(50, 100, 30, 99))
    expected = as_lists(model.sample_with_edge_ids(*request))
    for threads in (1, 2, 8):
        sampler = quorvix.NeighborSampler(**graph)
        sampler.temporal_strategy, sampler.num_threads = "uniform", threads
        assert as_lists(sampler.sample_with_edge_ids(*request)) == expected


def test_errors():
    with pytest.raises(RuntimeError, match=r"^Type 'item__rated__user' in edge_time has 5 entries, not one per "
                                           r"entry of 'row' \(6\)\.$"):
        rated(edge_time={KEY: i64(1, 2, 3, 4, 5)})
    with pytest.raises(RuntimeError, match=r"^Type 'item__rated__user' in edge_weight must have dtype float64 "
                                           r"or float32\.$"):
        rated(edge_weight={KEY: i64(1, 1, 1, 1, 1, 1)})
    with pytest.raises(RuntimeError, match=r"^Type 'item__rated__user' in edge_time must have dtype int64\.$"):
        rated(edge_time={KEY: np.ones(6)})
    with pytest.raises(RuntimeError, match=r"^Invalid type 'user' found in edge_weight\.$"):
        rated(edge_weight={"user": np.ones(6)})
    with pytest.raises(RuntimeError, match=r"^Type 'item__rated__user' in edge_time is not 1D\.$"):
        rated(edge_time={KEY: np.ones((6, 1), dtype=np.int64)})
    with pytest.raises(TypeError):
        rated(edge_time=[1, 2])
    unsorted = rated(edge_time={KEY: i64(1, 3, 5, 7, 9, 2)})
    with pytest.raises(RuntimeError, match=r"^Neighbours of node 1 in 'item__rated__user' are not sorted by time: "
                                           r"position 5 of 'row' has time 2, earlier than 9 before it\.$"):
        unsorted.check()
    with pytest.raises(RuntimeError) as info:
        unsorted.sample({KEY: i64(1)}, {}, "user", i64(1), i64(10))
    assert str(info.value) == "Found invalid non-sorted temporal neighborhood"
    bad = rated(edge_weight={KEY: np.array([1.0, 1.0, 1.0, 1.0, 1.0, np.nan])})
    with pytest.raises(RuntimeError, match=r"^'edge_weight' for 'item__rated__user' at position 5 of 'row' "
                                           r"\(an edge of node 1\) is negative, NaN or infinite\.$"):
        bad.check()
    # Met by a draw only: node 0's run is sound, and take-all reads no weight.
    bad.sample({KEY: i64(1)}, {}, "user", i64(0), i64())
    bad.sample({KEY: i64(-1)}, {}, "user", i64(1), i64())
    for threads in (1, 2):
        bad.num_threads = threads
        with pytest.raises(RuntimeError, match=r"^'edge_weight' for 'item__rated__user' at position 5 is "
                                               r"negative, NaN or infinite\.$"):
            bad.sample({KEY: i64(1)}, {}, "user", i64(0, 1), i64())
    assert rated().replace is False
    with pytest.raises(TypeError, match=r"^replace must be a bool\.$"):
        rated().replace = 1
    numpy_set = rated()
    numpy_set.replace = np.bool_(True)  # NumPy's bool, as `disjoint` takes it
    assert numpy_set.replace is True
