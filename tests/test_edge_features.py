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


@pytest.mark.parametrize("replace", [False, True])
def test_weighted_picks_follow_successive_sampling(replace):
    # One call, 40000 seeds at the same node: the ordered picks of each seed against their exact
    # probabilities (w_i / W, then w_j / (W - w_i) without replacement). Deterministic: fixed seed.
    weights = [1.0, 0.0, 2.0, 3.0, 0.5, 4.0]
    key = "item__w__user"
    sampler = quorvix.NeighborSampler(["user", "item"], [("item", "w", "user")], {key: i64(0, 6)},
                                      {key: i64(0, 1, 2, 3, 4, 5)}, {}, seed=5,
                                      edge_weight={key: np.array(weights)})
    sampler.replace = replace
    seeds = 40_000
    picks = sampler.sample_with_edge_ids({key: i64(2)}, {}, "user", np.zeros(seeds, dtype=np.int64), i64())[6][key]
    counts = {}
    for pair in map(tuple, picks.reshape(seeds, 2).tolist()):
        counts[pair] = counts.get(pair, 0) + 1
    expected = successive_probabilities(weights, 2, replace)
    assert set(counts) <= set(expected)
    statistic = sum((counts.get(pair, 0) - seeds * p) ** 2 / (seeds * p) for pair, p in expected.items())
    # The chi-square quantile at 0.999 (Wilson-Hilferty, z = 3.09).
    df = len(expected) - 1
    assert statistic < df * (1 - 2 / (9 * df) + 3.09 * (2 / (9 * df)) ** 0.5) ** 3


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
    with pytest.raises(RuntimeError, match="^Found invalid non-sorted temporal neighborhood$"):
        unsorted.sample({KEY: i64(1)}, {}, "user", i64(1), i64(10))
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
