"""Bidirectional and induced subgraphs: the symmetry of bidirectional batches on multigraphs,
checked against the directional batch of the same draw."""

from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

from torch_geometric.sampler import NodeSamplerInput  # noqa: E402
from torch_geometric.utils import is_undirected  # noqa: E402

from quorvix_pyg import NeighborSampler  # noqa: E402
from test_pyg_backend import HETERO_EDGE_TYPES, graph_parts, random_graph  # noqa: E402

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


@settings(max_examples=80, deadline=None)
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
