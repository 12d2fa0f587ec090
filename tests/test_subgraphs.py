"""Bidirectional and induced subgraphs: the native builders on small graphs worked out by
hand, against the NumPy reference on random multigraphs, and the symmetry of bidirectional
batches checked against the directional batch of the same draw."""

from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

from torch_geometric.sampler import NodeSamplerInput  # noqa: E402
from torch_geometric.utils import is_undirected  # noqa: E402

import quorvix  # noqa: E402
import subgraph_reference as reference  # noqa: E402
from quorvix.pyg import NeighborSampler, sampler_output  # noqa: E402
from quorvix.pyg.convert import edge_type_key  # noqa: E402
from quorvix.pyg.output import NativeResult, subgraph_edges  # noqa: E402
from test_pyg_backend import HETERO_EDGE_TYPES, graph_parts, random_graph  # noqa: E402
from sanitized import examples

def i64(*values):
    return np.array(values, np.int64)


# Edges e0: 0->1, e1: 1->0, e2: 0->1, e3: 2->1, e4: 1->2, e5: 3->0 as a CSC (runs of 0, 1, 2, 3).
CSC = dict(colptr=i64(0, 2, 5, 6, 6), row=i64(1, 3, 0, 0, 2, 1), perm=i64(1, 5, 0, 2, 3, 4))
# One subgraph: node 1 (seed), then 0 and 2, then 3; its sampled edges e0, e2, e3 into node 1.
NODES = i64(1, 0, 2, 3)
SAMPLED = (i64(1, 1, 2), i64(0, 0, 0), i64(0, 2, 3), i64(3))
# Per CSC position, the position of the earliest edge joining its ends the other way (3 -> 0: none).
REVERSE_POSITION = i64(2, -1, 0, 0, 5, 4)


def reverse_call(**changes):
    arguments = dict(CSC, edge_time=None, index_row=None, index_position=None, row_node=NODES[:3],
                     row_batch=i64(0, 0, 0), col_node=NODES[:3], target=SAMPLED,
                     sources=[SAMPLED + (True,)], group_time=i64())
    arguments.update(changes)
    return [a.tolist() for a in quorvix._core.reverse_edges(**arguments)]


def induced_call(**changes):
    arguments = dict(CSC, edge_time=None, num_src_nodes=4, src_node=NODES, src_batch=i64(0, 0, 0, 0),
                     src_hop_counts=i64(1, 2, 1), dst_node=NODES, dst_batch=i64(0, 0, 0, 0),
                     dst_hop_counts=i64(1, 2, 1), group_time=i64(), num_hops=2)
    arguments.update(changes)
    return [a.tolist() for a in quorvix._core.induced_edges(**arguments)]


def test_reverse_edges_by_hand():
    # (1,0) sampled twice needs two copies of 1 -> 0 (e1, the only one), (2,0) one of 1 -> 2 (e4).
    assert reverse_call() == [[1, 1, 2, 0, 0, 0], [0, 0, 0, 1, 1, 2], [0, 2, 3, 1, 1, 4], [6]]
    # e1 later than the subgraph: the copies keep the ids of the sampled edges they reverse.
    late = dict(edge_time=i64(5, 0, 0, 0, 0, 0), group_time=i64(3))
    assert reverse_call(**late) == [[1, 1, 2, 0, 0, 0], [0, 0, 0, 1, 1, 2], [0, 2, 3, 0, 2, 4], [6]]
    # Across types the copies without a graph edge are left out; a long run is found in the index.
    assert reverse_call(**late, sources=[SAMPLED + (False,)])[2] == [0, 2, 3, 4]
    wide = dict(colptr=i64(0, 2, 5, 6, 6), index_row=i64(1, 3, 0, 0, 2, 1), index_position=i64(0, 1, 2, 3, 4, 5))
    assert reverse_call(**wide) == reverse_call()
    # Through the reverse map (per position: the earliest edge back, or -1) instead of a search.
    mapped = dict(source_index=[(i64(2, 3, 4), REVERSE_POSITION)])
    for changes in ({}, late):
        assert reverse_call(**changes, **mapped) == reverse_call(**changes)
    assert reverse_call(**late, **mapped, sources=[SAMPLED + (False,)])[2] == [0, 2, 3, 4]
    # A pair the target already joins as often as the source gains nothing; hops follow the source.
    two_hops = SAMPLED[:3] + (i64(1, 2),)
    assert reverse_call(target=(i64(0,), i64(1,), i64(1,), i64(1, 0)), sources=[two_hops + (True,)]) == \
        [[0, 0, 0], [1, 1, 2], [1, 1, 4], [1, 2]]


def test_induced_edges_by_hand():
    # Node 3 only reaches node 0, in the second hop; e5 is the one edge of that hop.
    assert induced_call() == [[1, 1, 2, 0, 0, 3], [0, 0, 0, 1, 2, 1], [0, 2, 3, 1, 4, 5], [5, 1]]
    # Times bound the edges; a repeated seed (two copies of node 1) gets the edges of each copy.
    assert induced_call(edge_time=i64(5, 0, 0, 0, 9, 0), group_time=i64(6))[2] == [0, 2, 1, 4, 5]
    repeated = dict(src_node=i64(1, 1, 0), src_batch=i64(0, 0, 0), src_hop_counts=i64(2, 1),
                    dst_node=i64(1, 1, 0), dst_batch=i64(0, 0, 0), dst_hop_counts=i64(2, 1))
    assert induced_call(**repeated) == [[2, 2, 2, 2, 0, 1], [0, 0, 1, 1, 2, 2], [0, 2, 0, 2, 1, 1], [6, 0]]
    # A source's hop too large to sit beside its index in the lookup is read in full.
    far = 2**22
    counts = np.zeros(far + 1, np.int64)
    counts[[0, 1, far]] = 1, 2, 1
    row, col, e_id, hop_counts = quorvix._core.induced_edges(**dict(
        CSC, edge_time=None, num_src_nodes=4, src_node=NODES, src_batch=i64(0, 0, 0, 0), src_hop_counts=counts,
        dst_node=NODES, dst_batch=i64(0, 0, 0, 0), dst_hop_counts=counts, group_time=i64(), num_hops=2))
    assert [row.tolist(), col.tolist(), e_id.tolist()] == induced_call()[:3]
    assert len(hop_counts) == far and hop_counts[0] == 5 and hop_counts[far - 1] == 1 and hop_counts.sum() == 6
    # Subgraphs stay apart: the same nodes in another subgraph share no edge with the first.
    apart = dict(src_node=i64(1, 0), src_batch=i64(0, 1), src_hop_counts=i64(1, 1),
                 dst_node=i64(1, 0), dst_batch=i64(0, 1), dst_hop_counts=i64(1, 1), num_hops=1)
    assert induced_call(**apart) == [[], [], [], [0]]


@pytest.mark.parametrize("call, changes, message", [
    (induced_call, dict(colptr=i64()), "induced_edges: 'colptr' must hold at least one value."),
    (induced_call, dict(perm=i64(1)), "induced_edges: 'perm' and 'row' differ in length."),
    (induced_call, dict(edge_time=i64(1)), "induced_edges: 'edge_time' and 'row' differ in length."),
    (induced_call, dict(src_batch=i64(0)), "induced_edges: 'src_batch' and 'src_node' differ in length."),
    (induced_call, dict(dst_node=i64(1, 0, 2, 4)), "induced_edges: 'dst_node' holds an index outside [0, 4)."),
    (induced_call, dict(src_node=i64(1, 0, 2, -1)), "induced_edges: 'src_node' holds an index outside [0, 4)."),
    (induced_call, dict(group_time=i64(1), edge_time=i64(0, 0, 0, 0, 0, 0), dst_batch=i64(0, 0, 0, 1)),
     "induced_edges: 'dst_batch' holds an index outside [0, 1)."),
    (induced_call, dict(num_src_nodes=3), "induced_edges: 'src_node' holds an index outside [0, 3)."),
    (induced_call, dict(num_src_nodes=-1), "induced_edges: 'num_src_nodes' must not be negative."),
    (induced_call, dict(num_hops=-1), "induced_edges: 'num_hops' must not be negative."),
    (induced_call, dict(src_hop_counts=i64(1, 2, 2)),
     "induced_edges: the counts in 'src_hop_counts' do not add up to its number of items."),
    (induced_call, dict(dst_hop_counts=i64(5, -1)),
     "induced_edges: the counts in 'dst_hop_counts' do not add up to its number of items."),
    (induced_call, dict(colptr=i64(0, 2, 1, 6, 6)), "induced_edges: 'colptr' does not describe 'row' at node 1."),
    (induced_call, dict(src_node=i64(1, 0, 2, 3), row=i64(1, 3, 0, 0, 2, 7), num_src_nodes=5),
     "induced_edges: 'row' holds an index outside [0, 5)."),
    (reverse_call, dict(index_row=i64(1)), "reverse_edges: 'index_row' and 'row' differ in length."),
    (reverse_call, dict(row_batch=i64(0)), "reverse_edges: 'row_batch' and 'row_node' differ in length."),
    (reverse_call, dict(col_node=i64(1, 0, 9)), "reverse_edges: 'col_node' holds an index outside [0, 4)."),
    (reverse_call, dict(target=(i64(3), i64(0), i64(0), i64(1))), "reverse_edges: 'row' holds an index outside [0, 3)."),
    (reverse_call, dict(target=(i64(0), i64(0, 1), i64(0), i64(1))), "reverse_edges: 'col' and 'row' differ in length."),
    (reverse_call, dict(sources=[(i64(0), i64(0), i64(), i64(1), True)]),
     "reverse_edges: 'e_id' and 'row' differ in length."),
    (reverse_call, dict(sources=[SAMPLED[:3] + (i64(2),) + (True,)]),
     "reverse_edges: the counts in 'hop_counts' do not add up to its number of items."),
    (reverse_call, dict(colptr=i64(0, 2, 9, 6, 6)), "reverse_edges: 'colptr' does not describe 'row' at node 1."),
    (reverse_call, dict(colptr=i64(0, 0, 70, 70, 70), row=np.ones(70, np.int64), perm=np.arange(70),
                        col_node=i64(1, 1, 2), index_row=np.ones(70, np.int64), index_position=np.full(70, 70)),
     "reverse_edges: 'index_position' holds an index outside [0, 70)."),
    (reverse_call, dict(source_index=[]), "reverse_edges: 'source_index' and 'sources' differ in length."),
    (reverse_call, dict(source_index=[(i64(2, 3), REVERSE_POSITION)]),
     "reverse_edges: 'position' and 'row' differ in length."),
    (reverse_call, dict(source_index=[(i64(2, 3, 6), REVERSE_POSITION)]),
     "reverse_edges: 'position' holds an index outside [0, 6)."),
    (reverse_call, dict(source_index=[(i64(2, 3, 4), i64(2, -1, 0, 0, 6, 4))]),
     "reverse_edges: 'reverse_position' holds an index outside [-1, 6)."),
    (reverse_call, dict(row_node=i64(1.5, 0, 2).astype(float)), "'row_node' must have dtype int64."),
    (reverse_call, dict(group_time=np.zeros((1, 1), np.int64)), "'group_time' is not 1D."),
])
def test_builder_errors(call, changes, message):
    with pytest.raises((ValueError, RuntimeError)) as info:
        call(**changes)
    assert str(info.value) == message


REVERSE = {HETERO_EDGE_TYPES[0]: HETERO_EDGE_TYPES[1], HETERO_EDGE_TYPES[1]: HETERO_EDGE_TYPES[0],
           HETERO_EDGE_TYPES[2]: HETERO_EDGE_TYPES[2], ("node", "to", "node"): ("node", "to", "node")}


def draw(data, homogeneous, rng, seed_count, timed, num_neighbors, **options):
    """Two samplers with one seed: the same sampled edges, as directional and as bidirectional."""
    input_type = "node" if homogeneous else str(rng.choice(["a", "b"]))
    size = data.num_nodes if homogeneous else data[input_type].num_nodes
    seeds = torch.from_numpy(rng.integers(0, size, seed_count))
    seed_time = torch.from_numpy(rng.integers(0, 7, seed_count)) if timed else None
    index = NodeSamplerInput(None, seeds, seed_time, input_type=None if homogeneous else input_type)
    return [NeighborSampler(data, num_neighbors, subgraph_type=kind, seed=7,
                            time_attr="time" if timed else None, **options).sample_from_nodes(index)
            for kind in ("directional", "bidirectional")], seed_time


def by_type(out, homogeneous):
    if homogeneous:
        return {("node", "to", "node"): (out.row, out.col, out.edge)}, {"node": out.node}, {"node": out.batch}
    return ({e: (out.row[e], out.col[e], out.edge[e]) for e in out.row}, out.node,
            out.batch or {t: torch.zeros(len(v), dtype=torch.long) for t, v in out.node.items()})


@settings(max_examples=examples(80), deadline=None)
@given(st.integers(0, 2**32 - 1), st.booleans(), st.booleans(), st.booleans(), st.booleans())
def test_bidirectional_joins_each_pair_as_often_both_ways(seed, homogeneous, disjoint, timed, take_all):
    rng = np.random.default_rng(seed)
    data, _, edge_types = random_graph(rng, homogeneous, node_time=False, edge_time=timed, weights=False)
    hops = int(rng.integers(1, 4))
    fan_out = [-1] * hops if take_all else rng.integers(1, 4, hops).tolist()
    (directional, bidirectional), seed_time = draw(data, homogeneous, rng, int(rng.integers(1, 5)), timed,
                                                   fan_out, disjoint=disjoint or timed)
    edges, _, edge_time = graph_parts(data, homogeneous, edge_types)
    sampled, _, _ = by_type(directional, homogeneous)
    got, nodes, batch = by_type(bidirectional, homogeneous)
    counts = {e: Counter(zip(r.tolist(), c.tolist())) for e, (r, c, _) in got.items()}
    sampled_counts = {e: Counter(zip(r.tolist(), c.tolist())) for e, (r, c, _) in sampled.items()}
    for e, (row, col, e_id) in got.items():
        src_type, _, dst_type = e
        reverse = REVERSE[e]
        assert not (sampled_counts[e] - counts[e])  # the sampled edges all stay
        ids, sampled_ids = {}, {}
        for i, j, k in zip(row.tolist(), col.tolist(), e_id.tolist()):
            ids.setdefault((i, j), Counter())[k] += 1
        for i, j, k in zip(*(t.tolist() for t in sampled[e])):
            sampled_ids.setdefault((i, j), Counter())[k] += 1
        for (i, j), count in counts[e].items():
            f, r = sampled_counts[e][(i, j)], sampled_counts[reverse][(j, i)]
            a, b = int(nodes[src_type][i]), int(nodes[dst_type][j])
            bound = None if seed_time is None else int(seed_time[int(batch[dst_type][j])])

            def admissible(edge_type, u, v):
                src, dst = edges[edge_type]
                return [k for k in np.flatnonzero((src == u) & (dst == v))
                        if edge_type not in edge_time or bound is None or edge_time[edge_type][k] <= bound]

            if admissible(reverse, b, a) or reverse == e:
                assert count == counts[reverse][(j, i)] == max(f, r)
            else:  # across types without a graph edge to stand for the reverse
                assert count == f and counts[reverse][(j, i)] == 0
            added = ids[(i, j)] - sampled_ids.get((i, j), Counter())
            real = admissible(e, a, b)
            if real:  # each added copy is the graph's earliest admissible edge a -> b
                earliest = min(real, key=lambda k: (edge_time[e][k] if e in edge_time else 0, k))
                assert added == (Counter({int(earliest): count - f}) if count > f else Counter())
            else:  # else the sampled edges b -> a it reverses lend their ids
                rows, cols, reversed_ids = sampled[reverse]
                assert not added - Counter(reversed_ids[(rows == j) & (cols == i)].tolist())
    if homogeneous:
        assert is_undirected(torch.stack([bidirectional.row, bidirectional.col]))


@pytest.mark.parametrize("mode", ["shared", "per_seed", "by_time"])
def test_subgraph_builders_on_several_threads_are_one_threads(mode):
    # Large enough that the work is split across threads: induced edges of one subgraph in pieces
    # of its destinations, of many subgraphs in runs of whole ones; reverse edges by columns.
    from torch_geometric.data import Data

    rng = np.random.default_rng(7)
    nodes, edges = 3000, 40_000
    data = Data(edge_index=torch.from_numpy(rng.integers(0, nodes, (2, edges))), num_nodes=nodes,
                time=torch.from_numpy(rng.integers(0, 50, nodes)))
    data.edge_time = torch.from_numpy(rng.integers(0, 50, edges))
    sampler = NeighborSampler(data, [10, 5], subgraph_type="induced", disjoint=mode == "per_seed",
                              shared_by_time=mode == "by_time", time_attr="edge_time", seed=1)
    seeds = torch.from_numpy(rng.integers(0, nodes, 700))
    seed_time = torch.from_numpy(rng.integers(20, 50, 700))
    captured = []
    original = sampler.to_output
    sampler.to_output = lambda result, times, metadata: captured.append((result, times)) or original(result, times, metadata)
    sampler.sample_from_nodes(NodeSamplerInput(None, seeds, seed_time))
    (result, times), = captured
    native = NativeResult(*result)
    assert len(native.node["node"]) >= 4096
    threads = quorvix.NeighborSampler(sampler.graph.native_graph(), seed=0)
    threads.num_threads = 3
    for kind, by_destination in [("induced", False), ("bidirectional", False), ("bidirectional", True)]:
        alone = subgraph_edges(sampler.graph, native, times, kind, by_destination=by_destination)
        together = subgraph_edges(sampler.graph, native, times, kind, by_destination=by_destination,
                                  native_sampler=threads)
        for key in alone:
            assert [a.tolist() for a in together[key]] == [a.tolist() for a in alone[key]]
    # A fault found on a worker thread is the one thread's error.
    count = 5000
    bad = dict(colptr=np.arange(count + 1, dtype=np.int64), row=np.arange(count, dtype=np.int64),
               perm=np.arange(count, dtype=np.int64), edge_time=None, num_src_nodes=count,
               src_node=np.arange(count, dtype=np.int64), src_batch=np.zeros(count, np.int64),
               src_hop_counts=i64(count), dst_node=np.arange(count, dtype=np.int64),
               dst_batch=np.zeros(count, np.int64), dst_hop_counts=i64(count), group_time=i64(), num_hops=1)
    bad["row"][4321] = count
    with pytest.raises(ValueError) as error:
        quorvix._core.induced_edges(**bad, sampler=threads)
    assert str(error.value) == f"induced_edges: 'row' holds an index outside [0, {count})."
    with pytest.raises(TypeError) as error:
        quorvix._core.induced_edges(**bad, sampler="threads")
    assert str(error.value) == "induced_edges: 'sampler' must be a NeighborSampler or None."


def heavy_edges(rng, data, homogeneous, edge_types, timed):
    """Many parallel edges into few nodes: runs long enough for the native index."""
    for edge_type in edge_types:
        store = data if homogeneous else data[edge_type]
        src_size = data.num_nodes if homogeneous else data[edge_type[0]].num_nodes
        dst_size = data.num_nodes if homogeneous else data[edge_type[2]].num_nodes
        m = int(rng.integers(70, 300))
        store.edge_index = torch.from_numpy(np.stack([rng.integers(0, src_size, m), rng.integers(0, min(dst_size, 2), m)]))
        store.ends = torch.zeros(m, dtype=torch.long)
        if timed and (homogeneous or edge_type != HETERO_EDGE_TYPES[2]):
            store.time = torch.from_numpy(rng.integers(0, 6, m))


@settings(max_examples=examples(120), deadline=None)
@given(st.integers(0, 2**32 - 1), st.booleans(), st.sampled_from(["per_seed", "shared", "by_time"]),
       st.booleans(), st.booleans())
def test_native_builders_equal_the_numpy_reference(seed, homogeneous, mode, take_all, heavy):
    rng = np.random.default_rng(seed)
    timed = mode == "by_time" or (mode == "per_seed" and rng.random() < 0.7)
    data, sizes, edge_types = random_graph(rng, homogeneous, node_time=timed and rng.random() < 0.3,
                                           edge_time=timed, weights=False)
    if heavy:
        heavy_edges(rng, data, homogeneous, edge_types, timed)
    hops = int(rng.integers(1, 4))
    sampler = NeighborSampler(data, [-1] * hops if take_all else rng.integers(1, 4, hops).tolist(),
                              time_attr="time" if timed else None, disjoint=mode == "per_seed",
                              shared_by_time=mode == "by_time", seed=3)
    input_type = "node" if homogeneous else str(rng.choice(["a", "b"]))
    seeds = torch.from_numpy(rng.integers(0, sizes[input_type], int(rng.integers(1, 6))))  # repeats likely
    seed_time = torch.from_numpy(rng.integers(0, 7, len(seeds))) if timed else None
    captured = []
    original = sampler.to_output
    sampler.to_output = lambda result, times, metadata: captured.append((result, times)) or original(result, times, metadata)
    sampler.sample_from_nodes(NodeSamplerInput(None, seeds, seed_time, input_type=None if homogeneous else input_type))
    (result, times), = captured
    graph, native = sampler.graph, NativeResult(*result)
    directional = reference.directional_edges(graph, native)
    node_hop = {t: reference._hops(c) for t, c in native.num_sampled_nodes.items()}
    want = {"bidirectional": reference.add_reverse_edges(graph, native, directional, times, reference.EdgeLookup(graph)),
            "induced": reference.induced_edges(graph, native, node_hop, times)}
    for kind, edges in want.items():
        by_hop = subgraph_edges(graph, native, times, kind)
        out = sampler_output(graph, result, seed_time=times, metadata=None, subgraph_type=kind)
        for edge_type in graph.edge_types:
            key = edge_type_key(edge_type)
            got = tuple(by_hop[key])
            e = edges[key]
            # Equal as multisets of edges within each hop; the order within a hop is free.
            hop = np.repeat(np.arange(len(got[3])), got[3])
            assert sorted(zip(hop.tolist(), *(g.tolist() for g in got[:3]))) == \
                sorted(zip(e.hop.tolist(), e.row.tolist(), e.col.tolist(), e.e_id.tolist()))
            assert got[3].tolist() == np.bincount(e.hop, minlength=len(native.num_sampled_edges[key])).tolist()
            # The batch holds the same edges and counts; bidirectional ones sorted by
            # destination, then source, as PyG gives them.
            given = (out.row, out.col, out.edge, out.num_sampled_edges) if homogeneous else \
                (out.row[edge_type], out.col[edge_type], out.edge[edge_type], out.num_sampled_edges[edge_type])
            if kind == "bidirectional":
                # A stable sort of the edges by hop: parallel edges keep their order.
                order = np.lexsort((got[0], got[1]))
                assert [g.tolist() for g in given[:3]] == [g[order].tolist() for g in got[:3]]
            else:
                assert [g.tolist() for g in given[:3]] == [g.tolist() for g in got[:3]]
            assert given[3] == got[3].tolist()
