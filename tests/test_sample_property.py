"""The extension against the reference model on random heterogeneous graphs."""

import pickle

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvix
from graphs import as_lists, check_invariants, i64, outcome, per_seed
from reference_sampler import ReferenceSampler, edge_key
from sanitized import examples

NAMES = ["a", "b", "c"]
FANOUTS = [-1, -3, 0, 1, 2, 3, 8, 2**31, 2**62]  # the last two: "all", or refused with replacement
THREADS = [1, 2, 3, 8]


@st.composite
def graphs(draw, all_timed=False):
    node_types = NAMES[: draw(st.integers(1, 3))]
    # Now and then one node's runs are long, so that the seeds reaching it dwarf the others.
    skewed = draw(st.sampled_from([False, False, False, True]))
    sizes = {t: draw(st.integers(1, 5)) + (20 if skewed else 0) for t in node_types}
    triple = st.tuples(st.sampled_from(node_types), st.sampled_from("rst"), st.sampled_from(node_types))
    edge_types = draw(st.lists(triple, max_size=4, unique=True))
    timed = [t for t in node_types if all_timed or draw(st.sampled_from([True, True, False]))]
    node_time = {t: draw(st.lists(st.integers(0, 12), min_size=sizes[t], max_size=sizes[t])) for t in timed}
    colptr, row, edge_time, edge_weight = {}, {}, {}, {}
    for t0, rel, t2 in edge_types:
        # Now and then a run holds ids just outside its type's nodes.
        low, high = (-1, sizes[t0]) if draw(st.integers(0, 9)) == 0 else (0, sizes[t0] - 1)
        runs = [draw(st.lists(st.integers(low, high), max_size=7)) for _ in range(sizes[t2])]
        if skewed:  # now and then past the length from which weighted picks search cumulative sums
            runs[0] = draw(st.lists(st.integers(low, high), min_size=20, max_size=draw(st.sampled_from([40, 40, 90]))))
        # Now and then the edges carry their own times, which then order the runs.
        timed_edges = draw(st.sampled_from([False, False, True]))
        if timed_edges:
            runs = [[(v, draw(st.integers(0, 12))) for v in run] for run in runs]
        if t0 in node_time or timed_edges:  # runs are sorted by time, but now and then disordered
            order = draw(st.sampled_from(["sorted", "sorted", "sorted", "as drawn", "reversed"]))
            if order != "as drawn":
                times = node_time.get(t0, [])
                key = (lambda e: e[1]) if timed_edges else (lambda v: times[v] if 0 <= v < len(times) else 0)
                runs = [sorted(run, key=key, reverse=order == "reversed") for run in runs]
        if timed_edges:
            edge_time[edge_key((t0, rel, t2))] = np.array([t for run in runs for _, t in run], dtype=np.int64)
            runs = [[v for v, _ in run] for run in runs]
        if draw(st.sampled_from([False, True])):
            # Mostly sound weights, zeros among them; now and then one that sampling refuses.
            weight = st.sampled_from([0.0, 0.5, 1.0, 1.0, 2.0, 3.0, 1e-3, 7.25])
            dtype = draw(st.sampled_from([np.float64, np.float64, np.float32]))
            if dtype == np.float64 and draw(st.integers(0, 3)) == 0:
                # Now and then weights a float64 sum loses: spans past 2**53, subnormals, overflow.
                weight = st.one_of(weight, st.sampled_from([5e-324, 1.5e-323, 1e-300, 1e-20, 1e20, 1e300, 1.5e308]))
            if draw(st.integers(0, 9)) == 0:
                weight = st.one_of(weight, st.sampled_from([-1.0, float("nan"), float("inf")]))
            weights = [draw(weight) for run in runs for _ in run]
            edge_weight[edge_key((t0, rel, t2))] = np.array(weights, dtype=dtype)
        offsets = np.cumsum([0] + [len(run) for run in runs])
        if draw(st.integers(0, 9)) == 0:  # now and then one entry is moved off its place
            offsets[draw(st.integers(0, len(offsets) - 1))] += draw(st.sampled_from([-2, -1, 1, 2]))
        colptr[edge_key((t0, rel, t2))] = offsets.astype(np.int64)
        row[edge_key((t0, rel, t2))] = np.array(sum(runs, []), dtype=np.int64)
    return dict(
        node_types=node_types,
        edge_types=edge_types,
        colptr=colptr,
        row=row,
        node_time={t: np.array(v, dtype=np.int64) for t, v in node_time.items()},
        edge_time=edge_time,
        edge_weight=edge_weight,
    ), sizes


def offsets_array(rows):
    if any(lower is None for lower, _ in rows):
        return np.array(rows, dtype=object)
    return np.array(rows, dtype=np.int64).reshape(-1, 2)


def seed_ids(draw, sizes, node_type, lengths=(4, 4, 12)):
    low, high = (-1, sizes[node_type]) if draw(st.integers(0, 9)) == 0 else (0, sizes[node_type] - 1)
    return draw(st.lists(st.integers(low, high), max_size=draw(st.sampled_from(lengths))))


TIMES = st.integers(-2, 14)


@st.composite
def requests(draw, graph, sizes):
    entity = draw(st.sampled_from(graph["node_types"]))
    seeds = seed_ids(draw, sizes, entity)
    if not graph["node_time"] and not graph["edge_time"]:
        seed_time = draw(st.lists(TIMES, max_size=5))  # not used without timestamps
    elif seeds and draw(st.sampled_from([True, True, False])):
        seed_time = draw(st.lists(TIMES, min_size=len(seeds), max_size=len(seeds)))
        if draw(st.booleans()):  # seeds in runs of equal times, as shared subgraphs split over threads
            seed_time.sort()
    else:
        seed_time = []
    return (*draw(hop_rules(graph)), entity, i64(*seeds), i64(*seed_time))


@st.composite
def group_requests(draw, graph, sizes):
    """Seeds of one to three types, each with a group; groups of a type sorted or interleaved."""
    group_count = draw(st.integers(1, 4))
    sorted_groups = draw(st.sampled_from([True, True, False]))  # sorted ones spread over threads
    seed_nodes, seed_groups = {}, {}
    for node_type in draw(st.lists(st.sampled_from(graph["node_types"]), min_size=1, max_size=3, unique=True)):
        seeds = seed_ids(draw, sizes, node_type, (4, 12, 12))
        groups = draw(st.lists(st.integers(0, group_count - 1), min_size=len(seeds), max_size=len(seeds)))
        seed_nodes[node_type] = i64(*seeds)
        seed_groups[node_type] = i64(*(sorted(groups) if sorted_groups else groups))
    timed = (graph["node_time"] or graph["edge_time"]) and draw(st.sampled_from([True, True, False]))
    group_time = draw(st.lists(TIMES, min_size=group_count, max_size=group_count)) if timed else []
    return (*draw(hop_rules(graph)), seed_nodes, seed_groups, i64(*group_time))


@st.composite
def hop_rules(draw, graph):
    num_neighbors, offsets = {}, {}
    for edge_type in dict.fromkeys(graph["edge_types"]):
        timed = edge_type[0] in graph["node_time"] or edge_key(edge_type) in graph["edge_time"]
        if timed and draw(st.booleans()):
            lower = st.one_of(st.none(), st.integers(-12, 3))
            rows = draw(st.lists(st.tuples(lower, st.integers(-6, 6)), max_size=3))
            offsets[edge_key(edge_type)] = offsets_array(rows)
        else:
            fanouts = draw(st.lists(st.sampled_from(FANOUTS), max_size=3))
            num_neighbors[edge_key(edge_type)] = np.array(fanouts, dtype=np.int64)
    return num_neighbors, offsets


@settings(max_examples=examples(250), deadline=None)
@given(data=st.data())
def test_extension_matches_model(data):
    """Every thread count gives the model's results, errors and random stream, call after call."""
    graph, sizes = data.draw(graphs())
    seed = data.draw(st.integers(-(2**31), 2**31 - 1))
    model = ReferenceSampler(**graph, seed=seed)
    # Half the samplers build their own graph, half share one, which has made a pickle round trip.
    shared = pickle.loads(pickle.dumps(quorvix.Graph(**graph)))
    assert (shared.num_nodes, shared.num_edges) == (model.num_nodes, model.num_edges)
    samplers = [quorvix.NeighborSampler(**graph, seed=seed) if threads < 3 else quorvix.NeighborSampler(shared, seed)
                for threads in THREADS]
    for sampler, threads in zip(samplers, THREADS):
        sampler.num_threads = threads
    assert outcome(samplers[0].check) == outcome(model.check) == outcome(shared.check)
    for _ in range(data.draw(st.integers(1, 4))):
        method = data.draw(st.sampled_from(["sample", "sample_with_edge_ids", "sample_groups"]))
        request = data.draw((group_requests if method == "sample_groups" else requests)(graph, sizes))
        # Switched between calls: the generator carries over whatever the settings.
        strategy = data.draw(st.sampled_from(["last", "uniform"]))
        disjoint = data.draw(st.booleans())
        replace = data.draw(st.sampled_from([False, False, True]))
        model.temporal_strategy, model.disjoint, model.replace = strategy, disjoint, replace
        expected = outcome(getattr(model, method), *request)
        for sampler in samplers:
            sampler.temporal_strategy, sampler.disjoint, sampler.replace = strategy, disjoint, replace
            got = outcome(getattr(sampler, method), *request)
            assert got == expected, f"num_threads={sampler.num_threads}"
            if isinstance(got[0], dict):
                assert [list(table) for table in got] == [list(table) for table in expected]
                check_invariants(got, graph["edge_types"])
        if method != "sample" and isinstance(expected[0], dict):
            # Each edge id names the row position whose neighbour the edge records.
            out_row, out_node, out_edge = expected[0], expected[2], expected[6]
            for t0, rel, t2 in graph["edge_types"]:
                key = edge_key((t0, rel, t2))
                row = graph["row"][key]
                assert [row[p] for p in out_edge[key]] == [out_node[t0][r] for r in out_row[key]]


@settings(max_examples=examples(150), deadline=None)
@given(data=st.data())
def test_shared_subgraphs_match_model(data):
    """Shared subgraphs, of one call's seed times or of the caller's groups, as the model draws
    them at every thread count; here seeds mostly come in runs of one group, so that calls on
    several threads split them."""
    graph, sizes = data.draw(graphs())
    model = ReferenceSampler(**graph)
    samplers = [quorvix.NeighborSampler(**graph) for _ in THREADS]
    model.disjoint = False
    for sampler, threads in zip(samplers, THREADS):
        sampler.num_threads, sampler.disjoint = threads, False
    for _ in range(data.draw(st.integers(1, 3))):
        method = data.draw(st.sampled_from(["sample_with_edge_ids", "sample_groups"]))
        if method == "sample_groups":
            request = data.draw(group_requests(graph, sizes))
        else:
            *rules, entity, seeds, seed_time = data.draw(requests(graph, sizes))
            request = (*rules, entity, seeds, np.sort(seed_time))
        expected = outcome(getattr(model, method), *request)
        for sampler in samplers:
            assert outcome(getattr(sampler, method), *request) == expected, f"num_threads={sampler.num_threads}"


@settings(max_examples=examples(150), deadline=None)
@given(data=st.data())
def test_seeds_split_over_samplers_get_the_subgraphs_of_one_call(data):
    # With timestamps on every node type nothing is drawn at random, so a seed's subgraph
    # depends only on the seed, its time and the graph: any shuffled, strided split of the
    # seeds over independent samplers (ranks of a training job) gives the same subgraphs.
    graph, sizes = data.draw(graphs(all_timed=True))
    num_neighbors, offsets, entity, seeds, seed_time = data.draw(requests(graph, sizes))
    whole = outcome(quorvix.NeighborSampler(**graph).sample, num_neighbors, offsets, entity, seeds, seed_time)
    world_size = data.draw(st.integers(1, 3))
    order = np.array(data.draw(st.permutations(range(len(seeds)))), dtype=np.int64)
    failed = False
    for rank in range(world_size):
        mine = order[rank::world_size]
        sampler = quorvix.NeighborSampler(**graph, seed=data.draw(st.integers(0, 2**31 - 1)))
        part = outcome(sampler.sample, num_neighbors, offsets, entity, seeds[mine],
                       seed_time[mine] if len(seed_time) else seed_time)
        if not isinstance(part[0], dict):
            failed = True
            assert not isinstance(whole[0], dict), part
            continue
        if isinstance(whole[0], dict):
            whole_seeds = per_seed(whole, len(seeds), graph["edge_types"])
            part_seeds = per_seed(part, len(mine), graph["edge_types"])
            assert part_seeds == [whole_seeds[i] for i in mine]
    assert failed == (not isinstance(whole[0], dict))


def test_large_windows_draw_like_small_ones():
    # 100000 candidates and more are held in a hash set rather than a byte map; the
    # chosen positions must not depend on that.
    n = 100_001
    key = "item__has__user"
    graph = dict(
        node_types=["user", "item"],
        edge_types=[("item", "has", "user")],
        colptr={key: i64(0, n, n + 99_999)},
        row={key: np.arange(n + 99_999, dtype=np.int64)[::-1].copy()},
        node_time={},
    )
    sampler, model = quorvix.NeighborSampler(**graph, seed=7), ReferenceSampler(**graph, seed=7)
    for fanouts, seeds in (([5], [0]), ([2000], [0, 1, 0]), ([1], [1])):
        request = ({key: i64(*fanouts)}, {}, "user", i64(*seeds), i64())
        assert as_lists(sampler.sample(*request)) == as_lists(model.sample(*request))


def large_graph(rng, sizes, weighted, edge_timed, faulty):
    """Two node types of `sizes` nodes, three edge types, a few neighbours per node; with `faulty`,
    now and then an id past its type's nodes or a run out of time order."""
    node_types = ["a", "b"]
    edge_types = [("a", "r", "b"), ("b", "s", "a"), ("a", "t", "a")]
    node_time = {t: np.sort(rng.integers(0, 50, sizes[t])) for t in node_types}
    colptr, row, edge_time, edge_weight = {}, {}, {}, {}
    for t0, rel, t2 in edge_types:
        key = edge_key((t0, rel, t2))
        degrees = rng.poisson(rng.uniform(0.5, 6), sizes[t2])
        colptr[key] = np.concatenate([[0], np.cumsum(degrees)]).astype(np.int64)
        ids = rng.integers(0, sizes[t0], int(degrees.sum()))
        if faulty and len(ids) and rng.integers(0, 3) == 0:
            ids[rng.integers(0, len(ids))] = sizes[t0]
        times = rng.integers(0, 50, len(ids)) if edge_timed else node_time[t0][np.minimum(ids, sizes[t0] - 1)]
        runs = np.split(np.arange(len(ids)), colptr[key][1:-1])
        order = np.concatenate([run[np.argsort(times[run], kind="stable")] for run in runs] or [np.arange(0)])
        ids, times = ids[order], times[order]
        if faulty and rng.integers(0, 3) == 0:
            runs = [run for run in runs if len(run) > 1]
            if runs:
                run = runs[rng.integers(0, len(runs))]
                ids[run], times[run] = ids[run][::-1], times[run][::-1]
        row[key] = ids.astype(np.int64)
        if edge_timed:
            edge_time[key] = times.astype(np.int64)
        if weighted:
            edge_weight[key] = rng.choice([0.0, 0.5, 1.0, 2.0, 7.25], len(ids))
    return dict(node_types=node_types, edge_types=edge_types, colptr=colptr, row=row, node_time=node_time,
                edge_time=edge_time, edge_weight=edge_weight)


def test_one_large_subgraph_on_several_threads_is_one_threads():
    """A subgraph large enough that its lists are filled by several threads at once."""
    rng = np.random.default_rng(7)
    num_nodes, num_edges = 20_000, 200_000
    dst = np.sort(rng.integers(0, num_nodes, num_edges))
    colptr = np.concatenate([[0], np.cumsum(np.bincount(dst, minlength=num_nodes))]).astype(np.int64)
    key = edge_key(("a", "to", "a"))
    graph = dict(node_types=["a"], edge_types=[("a", "to", "a")], colptr={key: colptr},
                 row={key: rng.integers(0, num_nodes, num_edges).astype(np.int64)}, node_time={})
    seeds = rng.integers(0, num_nodes, 4000).astype(np.int64)
    results = []
    for threads in (1, 2, 3):
        sampler = quorvix.NeighborSampler(**graph, seed=11)
        sampler.num_threads, sampler.disjoint = threads, False
        results.append([outcome(sampler.sample_with_edge_ids, {key: i64(10, 10)}, {}, "a", seeds, i64())
                        for _ in range(2)])
    assert results[0] == results[1] == results[2]
    assert sum(len(e) for e in results[0][0][0].values()) > 100_000  # the lists were filled in parallel


@settings(max_examples=examples(40), deadline=None)
@given(data=st.data())
def test_one_subgraph_on_several_threads_is_one_threads(data):
    """Calls that grow one subgraph split large frontiers over threads; results, errors and the
    random stream stay one thread's, call after call."""
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    sizes = {"a": data.draw(st.integers(1, 1500)), "b": data.draw(st.integers(1, 1500))}
    graph = large_graph(rng, sizes, data.draw(st.booleans()), data.draw(st.booleans()),
                        data.draw(st.sampled_from([False, False, True])))
    seed = data.draw(st.integers(0, 2**31 - 1))
    samplers = [quorvix.NeighborSampler(**graph, seed=seed) for _ in (1, 2)]
    samplers[1].num_threads = data.draw(st.sampled_from([2, 3]))
    for _ in range(data.draw(st.integers(1, 3))):
        method = data.draw(st.sampled_from(["sample", "sample_with_edge_ids", "sample_groups"]))
        fanouts = data.draw(st.lists(st.sampled_from([-1, 0, 1, 3, 8]), min_size=1, max_size=3))
        num_neighbors = {edge_key(e): i64(*fanouts) for e in graph["edge_types"]}
        seeds = rng.integers(0, sizes["a"], data.draw(st.integers(1, 2000))).astype(np.int64)
        time = data.draw(st.integers(0, 60))
        if method == "sample_groups":
            request = (num_neighbors, {}, {"a": seeds}, {"a": np.zeros_like(seeds)}, i64(time))
        else:
            request = (num_neighbors, {}, "a", seeds, np.full_like(seeds, time))
        strategy = data.draw(st.sampled_from(["last", "uniform"]))
        replace = data.draw(st.sampled_from([False, False, True]))
        results = []
        for sampler in samplers:
            sampler.temporal_strategy, sampler.disjoint, sampler.replace = strategy, False, replace
            results.append(outcome(getattr(sampler, method), *request))
        assert results[0] == results[1]
