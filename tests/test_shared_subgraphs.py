"""Subgraphs shared by seeds: disjoint=False and sample_groups, worked out by hand."""

import numpy as np
import pytest

import quorvix
from graphs import BOUGHT, BOUGHT_BY, PAPER, as_lists, i64, paper_graph, shop_graph

THREADS = [1, 2, 8]


def samplers(graph, **settings):
    for threads in THREADS:
        sampler = quorvix.NeighborSampler(**graph)
        sampler.num_threads = threads
        for name, value in settings.items():
            setattr(sampler, name, value)
        yield sampler


def two_buyers_graph():
    """Users 0, 1 and items 0, 1 at times 1, 2. User 0 bought items 0 and 1, user 1 bought item 1."""
    return dict(
        node_types=["user", "item"],
        edge_types=[("item", "bought", "user")],
        colptr={BOUGHT: i64(0, 2, 3)},
        row={BOUGHT: i64(0, 1, 1)},
        node_time={"item": i64(1, 2)},
    )


def test_seeds_of_one_time_share_the_nodes_they_reach():
    # Users 0 and 1 at time 5 form group 0 and both reach item 1, which is recorded once; user 0
    # again at time 1 forms group 2 and reaches only item 0, recorded for that group.
    request = ({BOUGHT: i64(-1)}, {}, "user", i64(0, 1, 0), i64(5, 5, 1))
    shared = ({BOUGHT: [0, 1, 1, 2]}, {BOUGHT: [0, 0, 1, 2]}, {"user": [0, 1, 0], "item": [0, 1, 0]},
              {"user": [0, 0, 2], "item": [0, 0, 2]}, {"user": [3, 0], "item": [0, 3]}, {BOUGHT: [4]},
              {BOUGHT: [0, 1, 2, 0]})
    for sampler in samplers(two_buyers_graph(), disjoint=False):
        assert as_lists(sampler.sample_with_edge_ids(*request)) == shared
    per_seed = quorvix.NeighborSampler(**two_buyers_graph()).sample(*request)
    assert as_lists(per_seed)[2]["item"] == [0, 1, 1, 0]


def test_a_seed_repeated_in_its_group_keeps_its_place():
    # Papers 0, 0, 1 without times form one group: both copies of paper 0 are expanded, and the
    # edges to paper 1 point at the seed; paper 2 is reached by all three and recorded once.
    request = ({PAPER: i64(-1, -1)}, {}, "paper", i64(0, 0, 1), i64())
    expected = ({PAPER: [2, 3, 2, 3, 3]}, {PAPER: [0, 0, 1, 1, 2]}, {"paper": [0, 0, 1, 2]},
                {"paper": [0, 0, 0, 0]}, {"paper": [3, 1, 0]}, {PAPER: [5, 0]})
    for sampler in samplers(paper_graph(), disjoint=False):
        assert as_lists(sampler.sample(*request)) == expected


def test_groups_of_seeds_of_two_types():
    # User 0 and item 1 form group 0 (time 2), user 1 group 1 (time 5). User 0 reaches items 0
    # (new) and 1 (its group's seed); user 1 reaches item 2; seed item 1 reaches user 0, a seed.
    request = ({BOUGHT: i64(-1), BOUGHT_BY: i64(-1)}, {}, {"user": i64(0, 1), "item": i64(1)},
               {"user": i64(0, 1), "item": i64(0)}, i64(2, 5))
    expected = ({BOUGHT: [1, 0, 2], BOUGHT_BY: [0]}, {BOUGHT: [0, 0, 1], BOUGHT_BY: [0]},
                {"user": [0, 1], "item": [1, 0, 2]}, {"user": [0, 1], "item": [0, 0, 1]},
                {"user": [2, 0], "item": [1, 2]}, {BOUGHT: [3], BOUGHT_BY: [1]}, {BOUGHT: [0, 1, 2], BOUGHT_BY: [1]})
    for sampler in samplers(shop_graph()):
        assert as_lists(sampler.sample_groups(*request)) == expected


def test_disjoint_setting():
    sampler = quorvix.NeighborSampler(**paper_graph())
    assert sampler.disjoint is True
    sampler.disjoint = np.False_
    assert sampler.disjoint is False
    for value in (0, None, "False"):
        with pytest.raises(TypeError, match=r"^disjoint must be a bool\.$"):
            sampler.disjoint = value


GROUPS = {"user": i64(0, 1)}


# Also what sampling across parts must refuse alike (test_dist_sampling.py).
GROUP_ARGUMENT_ERRORS = [
    ({"shop": i64(0)}, {"shop": i64(0)}, i64(), "Invalid type 'shop' found in seed_nodes."),
    ({"user": i64(0, 1)}, {"user": i64(0, 1).reshape(2, 1)}, i64(), "Type 'user' in seed_groups is not 1D."),
    ({"user": i64(0, 1)}, {"user": np.array([0, 1], np.int32)}, i64(), "Type 'user' in seed_groups must have dtype int64."),
    (GROUPS, GROUPS, np.array([1.0]), "group_time must have dtype int64."),
    ({"user": i64(0, 1)}, {"item": i64(0)}, i64(), "Type 'user' in seed_nodes has no entry in seed_groups."),
    ({"user": i64(0, 1)}, {**GROUPS, "item": i64(0)}, i64(), "Type 'item' in seed_groups has no entry in seed_nodes."),
    ({"user": i64(0, 1)}, {"user": i64(0)}, i64(), "'seed_nodes' and 'seed_groups' size mismatch at type 'user'."),
    ({"user": i64(0, 1)}, {"user": i64(0, -2)}, i64(), "Type 'user' in seed_groups has a negative group -2 at position 1."),
    ({"user": i64(0, 1)}, {"user": i64(0, 2)}, i64(4, 5),
     "Type 'user' in seed_groups has group 2 at position 1, not below the 2 entries of group_time."),
    ({"user": i64(0, 2)}, GROUPS, i64(4, 5), "Node 2 of type 'user' is not below the type's node count 2."),
]


@pytest.mark.parametrize("seed_nodes, seed_groups, group_time, message", GROUP_ARGUMENT_ERRORS)
def test_group_arguments_are_checked(seed_nodes, seed_groups, group_time, message):
    sampler = quorvix.NeighborSampler(**shop_graph())
    with pytest.raises(RuntimeError) as raised:
        sampler.sample_groups({BOUGHT: i64(1), BOUGHT_BY: i64(1)}, {}, seed_nodes, seed_groups, group_time)
    assert str(raised.value) == message
