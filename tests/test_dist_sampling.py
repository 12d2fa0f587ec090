"""Sampling across parts against one sampler over the whole graph, with every part opened in this
process: rules without draws give one sampler's subgraphs exactly, random ones the same distribution
and the same draws whatever the part count. The RPC world itself is exercised in test_dist_world.py."""

import json
import math
import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import quorvix
from fuzz import sampler_fuzz
from graphs import BOUGHT, BOUGHT_BY, as_lists, i64, outcome, shop_graph
from reference_sampler import ReferenceSampler, dist_draws, edge_key
from quorvix.dist.part_files import digest_file
from test_sample_property import graphs, group_requests, requests
from test_shared_subgraphs import GROUP_ARGUMENT_ERRORS
from sanitized import examples

qdist = pytest.importorskip("quorvix.dist")


def open_parts(graph, num_parts, path, **kwargs):
    quorvix.partition(graph, num_parts, path, **kwargs)
    return {k: qdist.open_part(path, k, num_parts) for k in range(num_parts)}


def dist_sampler(parts, rank, **settings_):
    return qdist.DistNeighborSampler(parts[rank], transport=qdist.InProcessTransport(parts), **settings_)


def without_draws(graph, request, strategy):
    """The request with every fan-out that could draw replaced by 'take all' (-1)."""
    num_neighbors, offsets, entity, seeds, seed_time = request
    seeds_timed = len(seed_time) > 0 or entity in graph["node_time"]
    return (rules_without_draws(graph, num_neighbors, seeds_timed, strategy), offsets, entity, seeds, seed_time)


def groups_without_draws(graph, request, strategy):
    num_neighbors, offsets, seed_nodes, seed_groups, group_time = request
    return (rules_without_draws(graph, num_neighbors, len(group_time) > 0, strategy), offsets, seed_nodes,
            seed_groups, group_time)


def rules_without_draws(graph, num_neighbors, seeds_timed, strategy):
    seeds_timed = seeds_timed and (bool(graph["node_time"]) or bool(graph["edge_time"]))
    fixed = {}
    for key, fan_outs in num_neighbors.items():
        neighbour = key.split("__")[0]
        timed = neighbour in graph["node_time"] or key in graph["edge_time"]
        draws = not (timed and seeds_timed and strategy == "last")
        fixed[key] = np.where(fan_outs > 0, -1, fan_outs) if draws else fan_outs
    return fixed


def valid(graph):
    try:
        g = quorvix.Graph(**graph)
        g.check()
    except (RuntimeError, ValueError, KeyError, IndexError):
        return None
    return g


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.filter_too_much,
                                                                  HealthCheck.too_slow])
@given(data=st.data())
def test_parts_give_the_subgraphs_of_one_sampler(data, tmp_path_factory):
    """Rules without draws: exactly one sampler's results (edge ids included) from every rank, for
    1 to 4 parts, per seed, shared and by groups, and from sample as well; rules with draws: the
    model's draws from each entry's keyed stream, alike for 2 and 3 parts."""
    graph, sizes = data.draw(graphs())
    whole = valid(graph)
    assume(whole is not None)
    strategy = data.draw(st.sampled_from(["last", "uniform"]))
    disjoint = data.draw(st.booleans())
    replace = data.draw(st.sampled_from([False, True]))
    request = data.draw(requests(graph, sizes))
    exact = without_draws(graph, request, strategy)
    exact_groups = groups_without_draws(graph, data.draw(group_requests(graph, sizes)), strategy)
    sampler = quorvix.NeighborSampler(whole, 7)
    sampler.temporal_strategy, sampler.disjoint, sampler.replace = strategy, disjoint, replace
    try:
        expected = as_lists(sampler.sample_with_edge_ids(*exact))
    except (RuntimeError, ValueError, KeyError, IndexError):
        assume(False)
    expected_sample = as_lists(sampler.sample(*exact))
    expected_groups = outcome(sampler.sample_groups, *exact_groups)
    base = tmp_path_factory.mktemp("parts")
    drawn = {}
    for num_parts in (1, 2, 3, 4):
        parts = open_parts(whole, num_parts, base / str(num_parts))
        rank = data.draw(st.integers(0, num_parts - 1))
        settings_ = dict(temporal_strategy=strategy, disjoint=disjoint, replace=replace)
        dist = dist_sampler(parts, rank, **settings_)
        assert as_lists(dist.sample_with_edge_ids(*exact)) == expected, f"{num_parts} parts, rank {rank}"
        assert as_lists(dist.sample(*exact)) == expected_sample
        assert outcome(dist.sample_groups, *exact_groups) == expected_groups
        if num_parts in (2, 3):
            drawn[num_parts] = refusal_or_lists(dist_sampler(parts, rank, seed=11, **settings_), request)
    assert drawn[2] == drawn[3]
    if not isinstance(drawn[2], str):
        model = ReferenceSampler(**graph)
        model.temporal_strategy, model.disjoint, model.replace = strategy, disjoint, replace
        next_call, model.keyed_draws = dist_draws(11)
        next_call()
        assert as_lists(model.sample_with_edge_ids(*request)) == drawn[2]
    refused = refusal_or_lists(sampler, request)
    if isinstance(refused, str):  # a fan-out no call may draw is refused alike, before any part is asked
        assert drawn[2] == refused


def without_addresses(message):
    """The binding library's message for arguments it cannot convert shows the sampler called, by
    address: the checking sampler is another object than the one compared with."""
    return re.sub(r" object at 0x[0-9a-f]+>", " object>", message)


@pytest.mark.filterwarnings("ignore::quorvix.SeedTimeWarning")  # seed times at the int64 limits are meant
@settings(max_examples=examples(400), deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_requests_are_refused_as_one_sampler_refuses_them(data, tmp_path_factory):
    """Requests spoiled one aspect at a time (keys, dtypes, shapes, placements, seeds, seed times,
    fan-outs at the int64 limits): the same exception type and message from parts as from one
    sampler, before any part is asked."""
    graph, sizes = data.draw(graphs())
    whole = valid(graph)
    assume(whole is not None)
    request = data.draw(sampler_fuzz.requests(graph, sizes, set(graph["node_time"])))
    # Dicts that answer lookups differently from call to call give two calls two answers.
    assume(all(type(request[name]) is dict for name in ("num_neighbors", "sampling_time_offsets")))
    replace = data.draw(st.booleans())
    sampler = quorvix.NeighborSampler(whole, 7)
    sampler.replace = replace
    try:
        sampler.sample(*request.values())  # positional, as the checking sampler is called
        return  # accepted requests are compared in the test above
    except (RuntimeError, ValueError, KeyError, IndexError, TypeError) as error:
        expected = (type(error), without_addresses(str(error)))
    parts = open_parts(whole, 2, tmp_path_factory.mktemp("parts"))
    asked = []
    transport = qdist.InProcessTransport(parts)
    transport.request = lambda *args: asked.append(args)
    dist = qdist.DistNeighborSampler(parts[0], replace=replace, transport=transport)
    for call in (dist.sample, dist.sample_with_edge_ids):
        with pytest.raises(Exception) as raised:
            call(*request.values())
        assert (raised.type, without_addresses(str(raised.value))) == expected
    assert asked == []


@pytest.mark.parametrize("seed_nodes, seed_groups, group_time, message", GROUP_ARGUMENT_ERRORS)
def test_group_arguments_are_refused_as_one_sampler_refuses_them(seed_nodes, seed_groups, group_time, message,
                                                                 tmp_path):
    dist = dist_sampler(open_parts(quorvix.Graph(**shop_graph()), 2, tmp_path), 1)
    with pytest.raises(RuntimeError) as raised:
        dist.sample_groups({BOUGHT: i64(1), BOUGHT_BY: i64(1)}, {}, seed_nodes, seed_groups, group_time)
    assert str(raised.value) == message


def test_node_recorder_hands_out_local_indices_in_first_reached_order():
    recorder = quorvix._core.NodeRecorder()
    # A seed repeated in its subgraph keeps its own index; later it is found at its first copy.
    recorder.add_seeds(i64(0, 0, 1), i64(5, 5, 5))
    assert recorder.record(i64(0, 1, 1, 0, 1), i64(5, 5, 7, 9, 7)).tolist() == [0, 2, 3, 4, 3]
    assert (recorder.nodes().tolist(), recorder.batches(3).tolist(), len(recorder)) == ([5, 5, 5, 7, 9], [1, 0], 5)
    with pytest.raises(ValueError, match=re.escape("'batch' and 'node' differ in length.")):
        recorder.record(i64(0), i64(1, 2))
    with pytest.raises(IndexError, match=re.escape("[4, 6) is not within [0, 5].")):
        recorder.nodes(4, 6)


def test_checks_of_a_graph_larger_than_memory_take_no_memory(tmp_path):
    """A part whose manifest names 10**10 items (an 80 GB colptr and node times for the edgeless
    twin): the sampler is built, refuses item 10**10 as a sampler would, and stays small."""
    part = open_parts(quorvix.Graph(**shop_graph()), 1, tmp_path)[0]
    part.num_nodes["item"] = 10**10
    for entry in part.manifest["edges"]:
        if entry["key"] == BOUGHT_BY:
            entry["frontier_count"] = 10**10
    dist = qdist.DistNeighborSampler(part, transport=qdist.InProcessTransport({0: part}))
    with pytest.raises(RuntimeError) as raised:
        dist.sample({BOUGHT: i64(1), BOUGHT_BY: i64(1)}, {}, "item", i64(10**10), i64())
    assert str(raised.value) == "Node 10000000000 of type 'item' is not below the type's node count 10000000000."
    with open("/proc/self/status") as status:
        resident_kib = int(status.read().split("VmRSS:")[1].split()[0])
    assert resident_kib < 4 * 2**20  # far below the twin's 160 GB of address space


def test_settings_are_refused_as_one_sampler_refuses_them(tmp_path):
    dist = dist_sampler(open_parts(quorvix.Graph(**shop_graph()), 2, tmp_path), 0)
    sampler = quorvix.NeighborSampler(**shop_graph())
    for name, value in (("disjoint", 0), ("replace", "yes"), ("temporal_strategy", "first")):
        errors = []
        for target in (sampler, dist):
            with pytest.raises(Exception) as raised:
                setattr(target, name, value)
            errors.append((raised.type, str(raised.value)))
        assert errors[0] == errors[1]
    with pytest.raises(ValueError) as raised:
        qdist.DistNeighborSampler(dist.part, temporal_strategy="first")
    assert (raised.type, str(raised.value)) == errors[1]


def refusal_or_lists(sampler, request):
    try:
        return as_lists(sampler.sample_with_edge_ids(*request))
    except ValueError as error:
        return str(error)


def fan_out_counts(sample, calls, key="item__at__user"):
    counts = {}
    for _ in range(calls):
        out = sample()
        chosen = tuple(sorted(out[2]["item"][out[0][key]].tolist()))
        counts[chosen] = counts.get(chosen, 0) + 1
    return counts


def chi_square_upper_tail(statistic, dof):
    """P(X >= statistic) for chi-square with even `dof`, in closed form."""
    half = statistic / 2
    return math.exp(-half) * sum(half**i / math.factorial(i) for i in range(dof // 2))


def test_random_fan_outs_draw_uniform_pairs_as_one_sampler(tmp_path):
    """2 of 5 neighbours, 2000 calls: every pair equally likely (chi-square, fixed seeds), for one
    sampler and for parts; the same seed repeats the same draws."""
    star = dict(node_types=["user", "item"], edge_types=[("item", "at", "user")],
                colptr={"item__at__user": i64(0, 5, 10)}, row={"item__at__user": np.arange(10) % 5},
                node_time={})
    graph = quorvix.Graph(**star)
    parts = open_parts(graph, 2, tmp_path)
    args = ({"item__at__user": i64(2)}, {}, "user", i64(0), i64())
    single = quorvix.NeighborSampler(graph, 3)
    dist = dist_sampler(parts, 1, seed=3)
    for sample in (lambda: single.sample_with_edge_ids(*args), lambda: dist.sample_with_edge_ids(*args)):
        counts = fan_out_counts(sample, 2000)
        assert len(counts) == 10
        expected = 2000 / 10
        statistic = sum((c - expected) ** 2 / expected for c in counts.values())
        assert chi_square_upper_tail(statistic, 10) > 1e-4  # 9 degrees of freedom, bounded by 10's tail
    first, second = (dist_sampler(parts, rank, seed=3) for rank in (0, 1))
    assert [as_lists(first.sample_with_edge_ids(*args)) for _ in range(3)] == [
        as_lists(second.sample_with_edge_ids(*args)) for _ in range(3)]


def test_features_and_times_come_from_their_owners(tmp_path):
    graph = quorvix.Graph(**shop_graph())
    x = np.arange(6, dtype=np.float32).reshape(3, 2)
    parts = open_parts(graph, 2, tmp_path, node_features={"item": {"x": x, "y": i64(5, 6, 7)}})
    dist = dist_sampler(parts, 0)
    np.testing.assert_array_equal(dist.node_feature("item", "x", i64(2, 1, 0, 1)), x[[2, 1, 0, 1]])
    np.testing.assert_array_equal(dist.node_feature("item", "y", i64(1)), i64(6))
    np.testing.assert_array_equal(dist.node_time("item", i64(1, 2)), i64(2, 3))
    rows = dist.node_features({"item": (["x", "y"], i64(1, 2, 0)), "user": ([], i64(1))})
    np.testing.assert_array_equal(rows["item"]["x"], x[[1, 2, 0]])
    np.testing.assert_array_equal(rows["item"]["y"], i64(6, 7, 5))
    assert rows["user"] == {}
    empty = dist.node_features({"item": (["x"], i64())})["item"]["x"]
    assert (empty.shape, empty.dtype) == ((0, 2), np.float32)
    with pytest.raises(ValueError, match=r"^Node 1 of type 'item' is not owned by part 0 of 2\.$"):
        parts[0].node_feature("item", "x", i64(0, 1))
    with pytest.raises(ValueError, match=r"^Node 4 of type 'item' is not owned by part 0 of 2\.$"):
        parts[0].expand_many([("user__bought_by__item", "item", i64(4), i64(), i64(0), {"fan_out": -1})])


def test_edge_features_come_from_the_owners_of_their_frontier_nodes(tmp_path):
    """Shop graph, 2 parts: user 0's edges (positions 0, 1) are part 0's, user 1's (2) part 1's;
    edge_ids renames position p to 100 + p."""
    graph = quorvix.Graph(**shop_graph())
    w = np.array([[0.5], [1.5], [2.5]])
    parts = open_parts(graph, 2, tmp_path, edge_ids={BOUGHT: i64(100, 101, 102)},
                       edge_features={BOUGHT: {"w": w}})
    dist = dist_sampler(parts, 1)
    rows = dist.edge_features({BOUGHT: (["w"], i64(102, 100, 101), i64(1, 0, 0)), BOUGHT_BY: ([], i64(), i64())})
    np.testing.assert_array_equal(rows[BOUGHT]["w"], w[[2, 0, 1]])
    assert rows[BOUGHT_BY] == {}
    with pytest.raises(ValueError) as raised:
        parts[0].edge_features([(BOUGHT, ["w"], i64(100, 102))])
    assert str(raised.value) == f"Edge 102 of '{BOUGHT}' is not held by part 0 of 2."
    for kwargs, message in (
            (dict(edge_features={"no__such__type": {}}),
             "edge_features names 'no__such__type', which is not an edge type of the graph."),
            (dict(edge_features={BOUGHT: {"w": w[:2]}}),
             f"edge_features['{BOUGHT}']['w'] has 2 rows, not one per edge (3)."),
            (dict(edge_ids={"no__such__type": i64()}),
             "edge_ids names 'no__such__type', which is not an edge type of the graph."),
            (dict(edge_ids={BOUGHT: i64(1)}), f"edge_ids['{BOUGHT}'] has 1 entries, not one per edge (3).")):
        with pytest.raises(ValueError) as raised:
            quorvix.partition(graph, 2, tmp_path / "refused", **kwargs)
        assert str(raised.value) == message


def test_part_files_hold_owned_runs_times_and_edge_ids(tmp_path):
    """Shop graph, 2 parts, worked by hand: part 1 owns user 1 (item 2 at time 3) and item 1."""
    graph = quorvix.Graph(**shop_graph())
    part = open_parts(graph, 2, tmp_path)[1]
    bought = edge_key(("item", "bought", "user"))
    assert [part.runs[bought] is not None, part.timed[bought]] == [True, True]
    directory = tmp_path / "part-1"
    assert np.load(directory / "colptr.0.npy").tolist() == [0, 1]
    assert np.load(directory / "row.0.npy").tolist() == [2]
    assert np.load(directory / "time.0.npy").tolist() == [3]
    assert np.load(directory / "edge_id.0.npy").tolist() == [2]
    assert np.load(directory / "ids.1.npy").tolist() == [1]
    assert np.load(directory / "node_time.1.npy").tolist() == [2]
    assert isinstance(part.edge_ids[bought], np.memmap)


def test_bad_part_directories_are_refused(tmp_path):
    graph = quorvix.Graph(**shop_graph())
    quorvix.partition(graph, 2, tmp_path / "a")
    path = tmp_path / "a"
    with pytest.raises(ValueError, match=r"were written for 2 parts, not 3\.$"):
        qdist.open_part(path, 0, 3)
    with pytest.raises(FileExistsError, match=r"already holds a part \(manifest\.json\)\.$"):
        quorvix.partition(graph, 2, path)
    # Part 1 of another graph in place of this one's.
    other = dict(shop_graph(), node_time={"item": i64(1, 2, 4)})
    quorvix.partition(quorvix.Graph(**other), 2, tmp_path / "b")
    os.rename(path / "part-1", tmp_path / "kept")
    os.rename(tmp_path / "b" / "part-1", path / "part-1")
    with pytest.raises(ValueError, match=r"^Part 1 under '.*' is of a different graph than part 0\.$"):
        qdist.open_part(path, 0)
    os.rename(path / "part-1", tmp_path / "b" / "part-1")
    with pytest.raises(FileNotFoundError, match=r"has no manifest\.json: missing or unfinished part\.$"):
        qdist.open_part(path, 0)
    os.rename(tmp_path / "kept", path / "part-1")
    manifest = json.loads((path / "part-1" / "manifest.json").read_text())
    (path / "part-1" / "manifest.json").write_text(json.dumps(dict(manifest, part=0)))
    with pytest.raises(ValueError, match=r"holds part 0 of 2, not part 1 of 2\.$"):
        qdist.open_part(path, 1)


def test_command_line_partitions_a_saved_graph(tmp_path, capsys):
    quorvix.Graph(**shop_graph()).save(tmp_path / "g")
    qdist.partition_main([str(tmp_path / "g"), "3", str(tmp_path / "p")])
    assert capsys.readouterr().out.split() == [str(tmp_path / "p" / f"part-{k}") for k in range(3)]
    assert qdist.open_part(tmp_path / "p", 2).num_parts == 3


def test_given_runs_refuse_what_no_call_may_ask():
    key = "item__at__user"
    runs = quorvix._core.GivenRuns(key, "user", "item", np.array([0, 2]), np.array([0, 1]))
    nodes, none = np.array([0]), np.empty(0, np.int64)
    cases = [
        (lambda: quorvix._core.GivenRuns(key, "user", "item", np.array([0, 2]), np.array([0, 1]), time=np.array([1])),
         "'time' and 'row' differ in length."),
        (lambda: quorvix._core.GivenRuns(key, "user", "item", np.array([0, 2]), np.array([0, 1]), edge_id=np.array([1])),
         "'edge_id' and 'row' differ in length."),
        (lambda: runs.expand(nodes, none, none, fan_out=1, temporal=True), "'seed_time' and 'nodes' differ in length."),
        (lambda: runs.expand(nodes, none, none, fan_out=1), "'draw_key' does not hold two words per entry of 'nodes'."),
        (lambda: runs.expand(nodes, none, np.array([[5, 0]], np.uint64), fan_out=2**31, replace=True),
         "'fan_out' is 2147483648, above 2147483647, the largest fan-out drawn with replacement."),
        (lambda: quorvix._core.GivenRuns(key, "user", "item", np.array([0, 2]), np.array([0, 1]), num_parts=2, part=2),
         "'part' is not one of 'num_parts' parts."),
        (lambda: quorvix._core.GivenRuns(key, "user", "item", np.array([0, 2]), np.array([0, 1]), num_parts=2, part=1,
                                         node_count=4).expand(np.array([3, 5]), none, none, fan_out=-1),
         "Node 5 of type 'user' is not owned by part 1 of 2."),
        (lambda: quorvix._core.GivenRuns(key, "user", "item", np.array([0, 2]), np.array([0, 1]), num_parts=2,
                                         part=1).expand(np.array([2]), none, none, fan_out=-1),
         "Node 2 of type 'user' is not owned by part 1 of 2."),
    ]
    for call, message in cases:
        with pytest.raises((ValueError, RuntimeError)) as info:
            call()
        assert str(info.value) == message
    counts, neighbour, position = runs.expand(nodes, none, np.array([[5, 0]], np.uint64), fan_out=2**31 - 1, replace=False)
    assert counts.tolist() == [2] and sorted(neighbour.tolist()) == [0, 1] and sorted(position.tolist()) == [0, 1]


def test_answers_that_do_not_fit_the_frontier_are_refused_before_recording():
    recorder = quorvix._core.NodeRecorder()
    batch, one = np.array([0, 1]), np.array([1])
    cases = [
        ([(np.array([2]), one, np.array([7]), np.array([0]))], "entry 2 is outside the frontier, given twice, or has a "
         "negative count"),
        ([(np.array([0]), one, np.array([7]), np.array([0]))] * 2, "entry 0 is outside the frontier, given twice, or "
         "has a negative count"),
        ([(np.array([0]), np.array([2]), np.array([7]), np.array([0]))], "its counts do not add up to its edges"),
        ([(np.array([0, 1]), one, np.array([7]), np.array([0]))], "its counts and entries differ in length"),
    ]
    for answers, what in cases:
        with pytest.raises(ValueError) as info:
            recorder.record_answers(batch, 0, answers)
        assert str(info.value) == f"An owner's answer does not fit the frontier: {what}."
    assert len(recorder) == 0
    # Two owners' answers interleave back into frontier order, each neighbour recorded once per subgraph.
    row, col, edge = recorder.record_answers(np.array([0, 0, 1]), 10, [
        (np.array([1]), np.array([2]), np.array([7, 8]), np.array([71, 81])),
        (np.array([0, 2]), np.array([1, 1]), np.array([8, 8]), np.array([80, 82]))])
    assert (row.tolist(), col.tolist(), edge.tolist()) == ([0, 1, 0, 2], [10, 11, 11, 12], [80, 71, 81, 82])
    assert recorder.nodes().tolist() == [8, 7, 8] and recorder.batches().tolist() == [0, 0, 1]


def part_bytes(path):
    """Every file under the parts directory `path`, by relative name, as bytes."""
    from pathlib import Path

    return {os.path.relpath(os.path.join(root, name), path): Path(root, name).read_bytes()
            for root, _, names in os.walk(path) for name in names}


@settings(max_examples=examples(30), deadline=None, suppress_health_check=[HealthCheck.filter_too_much, HealthCheck.too_slow,
                                                                  HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_partitions_streamed_in_small_pieces_are_the_same_files(data, tmp_path_factory, monkeypatch):
    """A saved graph streamed from its files a few bytes at a time gives, byte for byte, the parts of
    the same graph in memory taken in one piece, with features and edge ids; every manifest records
    its files' true sizes and digests."""
    graph, sizes = data.draw(graphs())
    whole = valid(graph)
    assume(whole is not None)
    num_parts = data.draw(st.integers(1, 4))
    base = tmp_path_factory.mktemp("pieces")
    features = {t: np.arange(sizes[t] * 2, dtype=np.float32).reshape(-1, 2) for t in sizes if whole.num_nodes[t]}
    features = {t: x for t, x in features.items() if len(x) == whole.num_nodes[t]}
    name = data.draw(st.sampled_from(["w", "time", "weight"]))  # names of the part's own arrays too
    edges = {key: {name: np.arange(len(whole.row[key]), dtype=np.int16)} for key in whole.row}
    given_ids = {key: np.arange(len(whole.row[key]), dtype=np.int64)[::-1].copy() for key in whole.row}
    kwargs = dict(node_features=features, edge_features=edges, edge_ids=given_ids)
    quorvix.partition(whole, num_parts, base / "memory", **kwargs)
    whole.save(base / "saved")
    piece = data.draw(st.sampled_from([8, 16, 24, 40]))
    import sys

    import quorvix.dist.arrays as arrays

    partition_module = sys.modules["quorvix.dist.partition"]  # the package's name is the function

    with monkeypatch.context() as patch:  # pieces of a few rows, and no array held whole
        patch.setattr(arrays, "PIECE_BYTES", piece)
        patch.setattr(partition_module, "PIECE_BYTES", piece)
        patch.setattr(arrays, "_HELD_BYTES", 0)
        quorvix.partition(str(base / "saved"), num_parts, base / "streamed", **kwargs)
    assert part_bytes(base / "streamed") == part_bytes(base / "memory")
    for k in range(num_parts):
        directory = base / "memory" / f"part-{k}"
        manifest = json.loads((directory / "manifest.json").read_text())
        assert set(manifest["files"]) == set(os.listdir(directory)) - {"manifest.json"}
        for name, entry in manifest["files"].items():
            assert entry == {"size": os.path.getsize(directory / name), "digest": digest_file(str(directory / name))}


@pytest.mark.skipif(os.environ.get("QUORVIX_SANITIZED") == "1",
                    reason="the sanitizer reserves more address space than the limit allows")
def test_partitioning_streams_a_saved_graph_larger_than_its_address_space(tmp_path):
    """Row and edge times of 512 MiB each (sparse files, runs at their end), the process limited to
    256 MiB of address space: partitioning streams them and writes whole, checked parts."""
    import subprocess
    import sys

    saved = tmp_path / "saved"
    saved.mkdir()
    positions, runs, run = 2**26, 1000, 100
    first = positions - runs * run
    np.save(saved / "colptr.0.npy", np.arange(runs + 1, dtype=np.int64) * run + first)
    for name in ("row.0.npy", "edge_time.0.npy"):
        with open(saved / name, "wb") as file:  # the header, then sparse zeros
            np.lib.format.write_array_header_1_0(file, {"descr": "<i8", "fortran_order": False, "shape": (positions,)})
            file.truncate(file.tell() + positions * 8)
    (saved / "graph.json").write_text(json.dumps({
        "format": "quorvix.Graph", "version": 1, "node_types": ["user"], "edge_types": [["user", "follows", "user"]],
        "arrays": {"colptr": [0], "row": [0], "edge_time": [0]}}))
    script = ("import resource, sys\n"
              "resource.setrlimit(resource.RLIMIT_AS, (2**28, 2**28))\n"
              "import quorvix.dist\n"
              "quorvix.dist.partition(sys.argv[1], 2, sys.argv[2])\n")
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", script, str(saved), str(tmp_path / "parts")], env=env,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    for k in range(2):
        part = qdist.open_part(tmp_path / "parts", k)  # sizes and digests as recorded
        key = "user__follows__user"
        owned = np.arange(k, runs, 2)
        assert part.runs[key] is not None and part.timed[key]
        assert np.load(tmp_path / "parts" / f"part-{k}" / "colptr.0.npy").tolist() == list(range(0, len(owned) * run + 1, run))
        expected = (first + owned[:, None] * run + np.arange(run)).reshape(-1)
        assert np.array_equal(part.edge_ids[key], expected)
        assert not np.load(tmp_path / "parts" / f"part-{k}" / "row.0.npy").any()


@settings(max_examples=examples(40), deadline=None, suppress_health_check=[HealthCheck.filter_too_much, HealthCheck.too_slow])
@given(data=st.data())
def test_in_edges_are_the_whole_graphs_runs(data, tmp_path_factory):
    """Any frontier ids, repeated and out of order, from any rank of 1 to 3 parts: the whole
    graph's CSC runs of those ids in their order, edge ids being positions, edge times where the
    edge type has them."""
    graph, sizes = data.draw(graphs())
    whole = valid(graph)
    assume(whole is not None and graph["edge_types"])
    wanted = {edge_key(e): np.array(data.draw(st.lists(st.integers(0, sizes[e[2]] - 1), max_size=6)), np.int64)
              for e in graph["edge_types"]}
    num_parts = data.draw(st.integers(1, 3))
    parts = open_parts(whole, num_parts, tmp_path_factory.mktemp("parts"))
    got = dist_sampler(parts, data.draw(st.integers(0, num_parts - 1))).in_edges(wanted)
    for key, ids in wanted.items():
        colptr = graph["colptr"][key]
        positions = [p for v in ids for p in range(colptr[v], colptr[v + 1])]
        counts = [colptr[v + 1] - colptr[v] for v in ids]
        edge_time = graph["edge_time"].get(key)
        assert [a.tolist() if a is not None else None for a in got[key]] == [
            np.cumsum([0] + counts).tolist(), graph["row"][key][positions].tolist(), positions,
            None if edge_time is None else edge_time[positions].tolist()]
