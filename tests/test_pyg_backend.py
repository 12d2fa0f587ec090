"""quorvix.pyg.NeighborLoader as a backend of PyG's NeighborLoader, against brute force on
random graphs: homogeneous and heterogeneous, per-seed and shared subgraphs, the three
subgraph types, weights, edge times and a custom store."""

from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

from torch_geometric.data import Data, FeatureStore, GraphStore, HeteroData  # noqa: E402
from torch_geometric.data.feature_store import TensorAttr  # noqa: E402
from torch_geometric.data.graph_store import EdgeAttr, EdgeLayout  # noqa: E402

from quorvix.pyg import NeighborLoader, NeighborSampler  # noqa: E402
from sanitized import examples

NODE = "node"
EDGE = (NODE, "to", NODE)
HETERO_EDGE_TYPES = [("a", "r", "b"), ("b", "rev_r", "a"), ("a", "t", "a")]


# -- random graphs ---------------------------------------------------------------------------

def random_graph(rng, homogeneous, node_time, edge_time, weights):
    """A Data or HeteroData with edges in random order (parallel edges and self-loops
    likely), times with ties, and per edge an attribute naming its ends."""
    sizes = {NODE: int(rng.integers(1, 9))} if homogeneous else {"a": int(rng.integers(1, 7)),
                                                                 "b": int(rng.integers(1, 7))}
    edge_types = [EDGE] if homogeneous else HETERO_EDGE_TYPES
    data = Data() if homogeneous else HeteroData()
    store = (lambda key: data) if homogeneous else (lambda key: data[key])
    for t, n in sizes.items():
        store(t).x = torch.arange(n, dtype=torch.float)[:, None]
        if homogeneous:
            data.num_nodes = n
        if node_time:
            store(t).time = torch.from_numpy(rng.integers(0, 6, n))
    for edge_type in edge_types:
        src_type, _, dst_type = edge_type
        m = int(rng.integers(0, 3 * (sizes[src_type] + sizes[dst_type])))
        if homogeneous and m == sizes[NODE]:
            m += 1  # a Data tells node from edge attributes by their length
        src, dst = rng.integers(0, sizes[src_type], m), rng.integers(0, sizes[dst_type], m)
        s = store(edge_type)
        s.edge_index = torch.from_numpy(np.stack([src, dst]))
        s.ends = torch.from_numpy(src * 1000 + dst)
        if edge_time and (homogeneous or edge_type != HETERO_EDGE_TYPES[2]):
            s.time = torch.from_numpy(rng.integers(0, 6, m))
        if weights:
            s.w = torch.from_numpy(rng.choice([0.0, 0.5, 1.0, 3.0], m))
    return data, sizes, edge_types


def graph_parts(data, homogeneous, edge_types):
    store = (lambda key: data) if homogeneous else (lambda key: data[key])
    edges = {e: store(e).edge_index.numpy() for e in edge_types}
    edge_time = {e: store(e).time.numpy() for e in edge_types if "time" in store(e) and
                 (not homogeneous or len(store(e).time) == edges[e].shape[1])}
    node_types = [NODE] if homogeneous else ["a", "b"]
    node_time = {t: store(t).time.numpy() for t in node_types if "time" in store(t) and
                 (not homogeneous or len(store(t).time) == data.num_nodes)}
    return edges, node_time, edge_time


# -- brute force -----------------------------------------------------------------------------

def groups_of(seed_time, mode):
    """Seed positions per subgraph, keyed by the subgraph's batch value."""
    n = len(seed_time) if seed_time is not None else 0
    if mode == "per_seed":
        return {i: [i] for i in range(n)}
    if mode == "shared":
        return {0: list(range(n))}
    groups = {}
    for i, t in enumerate(seed_time):
        first = next(j for j in range(n) if seed_time[j] == t)
        groups.setdefault(first, []).append(i)
    return groups


def admissible(edge_type, e, src, bound, node_time, edge_time):
    if bound is None:
        return True
    if edge_type in edge_time:
        return edge_time[edge_type][e] <= bound
    if edge_type[0] in node_time:
        return node_time[edge_type[0]][src] <= bound
    return True


def brute_force(edges, node_time, edge_time, input_type, seeds, seed_time, num_hops, mode):
    """Take-all sampling hop by hop: (group, type, id) of every node and a Counter of
    (group, edge type, edge id) of every edge; each subgraph expands every seed position
    and every other node once, in the hop after it was first reached."""
    nodes, sampled = set(), Counter()
    count = len(seeds)
    for group, members in groups_of(seed_time if seed_time is not None else [0] * count, mode).items():
        bound = None if seed_time is None else seed_time[members[0]]
        frontier = [(input_type, seeds[i]) for i in members]
        reached = set(frontier)
        for _ in range(num_hops):
            found = []
            for t, v in frontier:
                for edge_type, (src, dst) in edges.items():
                    if edge_type[2] != t:
                        continue
                    for e in np.flatnonzero(dst == v):
                        if admissible(edge_type, e, src[e], bound, node_time, edge_time):
                            sampled[(group, edge_type, int(e))] += 1
                            node = (edge_type[0], int(src[e]))
                            if node not in reached:
                                reached.add(node)
                                found.append(node)
            frontier = found
        nodes |= {(group,) + n for n in reached}
    return nodes, sampled


def stores(batch, homogeneous, edge_types):
    if homogeneous:
        return {NODE: batch}, {EDGE: batch}
    return {t: batch[t] for t in batch.node_types}, {e: batch[e] for e in edge_types}


def check_batch(batch, data, homogeneous, edge_types, input_type, seeds, seed_time, mode, subgraph_type,
                num_hops):
    """What holds for every batch, and the batch against brute force."""
    node_stores, edge_stores = stores(batch, homogeneous, edge_types)
    edges, node_time, edge_time = graph_parts(data, homogeneous, edge_types)
    seed_store = node_stores[input_type]
    assert seed_store.n_id[:len(seeds)].tolist() == list(seeds)  # seeds first, in order
    assert seed_store.batch_size == len(seeds)
    assert ("batch" in seed_store) == (mode != "shared")
    group = {t: s.batch.numpy() if mode != "shared" else np.zeros(s.num_nodes, np.int64)
             for t, s in node_stores.items()}
    for t, s in node_stores.items():
        assert sum(s.num_sampled_nodes) == s.num_nodes == len(s.n_id)
        assert torch.equal(s.x[:, 0].long(), s.n_id)  # node attributes gathered by n_id
        if seed_time is not None and t in node_time and not edge_time:  # only the seeds later than their subgraph
            skip = len(seeds) if t == input_type else 0
            assert (node_time[t][s.n_id.numpy()[skip:]] <= np.asarray(seed_time)[group[t][skip:]]).all()
        if mode != "per_seed":  # a node is recorded once per subgraph (seeds aside)
            pairs = Counter(zip(group[t].tolist(), s.n_id.tolist()))
            repeated_seeds = Counter((group[t][i], seeds[i]) for i in range(len(seeds))) if t == input_type else {}
            assert all(c == 1 or c == repeated_seeds.get(p) for p, c in pairs.items())
    got_edges = {}
    for edge_type, s in edge_stores.items():
        src_type, _, dst_type = edge_type
        row, col = s.edge_index
        a, b = node_stores[src_type].n_id[row].numpy(), node_stores[dst_type].n_id[col].numpy()
        e_id = s.e_id.numpy()
        forward = (edges[edge_type][0][e_id] == a) & (edges[edge_type][1][e_id] == b)
        if subgraph_type == "bidirectional" and src_type == dst_type:
            # a reverse edge the graph lacks keeps the id of the edge it reverses
            assert (forward | ((edges[edge_type][0][e_id] == b) & (edges[edge_type][1][e_id] == a))).all()
        else:
            assert forward.all()  # n_id[edge_index] == original edge_index[:, e_id]
        assert torch.equal(s.ends, torch.from_numpy(edges[edge_type][0][e_id] * 1000 + edges[edge_type][1][e_id]))
        assert (group[src_type][row.numpy()] == group[dst_type][col.numpy()]).all()
        assert sum(s.num_sampled_edges) == s.edge_index.shape[1] and len(s.num_sampled_edges) == num_hops
        got_edges[edge_type] = (group[dst_type][col.numpy()], a, b, e_id)
        if subgraph_type == "directional":  # what trim_to_layer relies on
            edge_hop = np.repeat(np.arange(num_hops), s.num_sampled_edges)
            node_hop = {t: np.repeat(np.arange(num_hops + 1), n.num_sampled_nodes) for t, n in node_stores.items()}
            assert (node_hop[dst_type][col.numpy()] == edge_hop).all()
            assert (node_hop[src_type][row.numpy()] <= edge_hop + 1).all()

    want_nodes, want_edges = brute_force(edges, node_time, edge_time, input_type, list(seeds),
                                         None if seed_time is None else list(seed_time), num_hops, mode)
    got_nodes = {(int(g), t, int(v)) for t, s in node_stores.items() for g, v in zip(group[t], s.n_id.tolist())}
    assert got_nodes == want_nodes
    got = Counter((int(g), e, int(i)) for e, (gs, _, _, ids) in got_edges.items() for g, i in zip(gs, ids))
    if subgraph_type == "directional":
        assert got == want_edges
    elif subgraph_type == "induced":
        members = {}
        for g, t, v in want_nodes:
            members.setdefault((g, t), set()).add(v)
        want = Counter()
        for edge_type, (src, dst) in edges.items():
            for g in {g for g, _, _ in want_nodes}:
                bound = None if seed_time is None else seed_time[g]
                for e in range(len(src)):
                    if (src[e] in members.get((g, edge_type[0]), ()) and dst[e] in members.get((g, edge_type[2]), ())
                            and (edge_type not in edge_time or bound is None or edge_time[edge_type][e] <= bound)):
                        want[(g, edge_type, e)] += 1
        assert got == want
    else:  # bidirectional: the sampled edges and their reverses, by their ends
        pairs = {(g, e, edges[e][0][i], edges[e][1][i]) for (g, e, i) in want_edges}
        want = set()
        for g, e, a, b in pairs:
            want.add((g, e, a, b))
            reverse = e if e[0] == e[2] else (e[2], "rev_r" if e[1] == "r" else "r", e[0])
            src, dst = edges[reverse]
            real = [i for i in np.flatnonzero((src == b) & (dst == a))
                    if reverse not in edge_time or seed_time is None or edge_time[reverse][i] <= seed_time[g]]
            if real or reverse == e:
                want.add((g, reverse, b, a))
        got_pairs = {(int(g), e, int(a), int(b)) for e, (gs, sa, sb, _) in got_edges.items()
                     for g, a, b in zip(gs, sa, sb)}
        assert got_pairs == want


# -- the loader against brute force ----------------------------------------------------------

MODES = ["per_seed", "shared", "by_time"]


@settings(max_examples=examples(60), deadline=None)
@given(st.integers(0, 2**32 - 1), st.booleans(), st.sampled_from(MODES),
       st.sampled_from(["directional", "bidirectional", "induced"]), st.sampled_from(["node", "edge", "both"]))
def test_take_all_batches_equal_brute_force(seed, homogeneous, mode, subgraph_type, times):
    rng = np.random.default_rng(seed)
    timed = mode == "by_time" or (mode == "per_seed" and rng.random() < 0.7)
    data, sizes, edge_types = random_graph(rng, homogeneous, node_time=timed and times != "edge",
                                           edge_time=timed and times != "node", weights=False)
    input_type = NODE if homogeneous else str(rng.choice(["a", "b"]))
    seeds = rng.permutation(sizes[input_type])[:int(rng.integers(1, sizes[input_type] + 1))]
    seed_time = rng.integers(0, 7, len(seeds)) if timed else None
    num_hops = int(rng.integers(1, 4))
    input_nodes = torch.from_numpy(seeds) if homogeneous else (input_type, torch.from_numpy(seeds))
    loader = NeighborLoader(data, [-1] * num_hops, input_nodes, None if seed_time is None else torch.from_numpy(seed_time),
                            time_attr="time" if timed else None, batch_size=len(seeds),
                            disjoint=mode == "per_seed" and (not timed or rng.random() < 0.5),
                            shared_by_time=mode == "by_time",
                            **({"directed": False} if subgraph_type == "induced" and rng.random() < 0.3
                               else {"subgraph_type": subgraph_type}))
    batch = next(iter(loader))
    assert isinstance(batch, Data if homogeneous else HeteroData)
    check_batch(batch, data, homogeneous, edge_types, input_type, seeds, seed_time, mode, subgraph_type, num_hops)


@settings(max_examples=examples(60), deadline=None)
@given(st.integers(0, 2**32 - 1), st.booleans(), st.sampled_from(MODES), st.booleans(), st.booleans(),
       st.sampled_from(["last", "uniform"]))
def test_random_fan_outs_stay_inside_the_take_all_subgraph(seed, homogeneous, mode, weighted, replace, strategy):
    rng = np.random.default_rng(seed)
    timed = mode == "by_time" or (mode == "per_seed" and rng.random() < 0.7)
    data, sizes, edge_types = random_graph(rng, homogeneous, node_time=timed, edge_time=timed and rng.random() < 0.5,
                                           weights=weighted)
    input_type = NODE if homogeneous else str(rng.choice(["a", "b"]))
    seeds = rng.integers(0, sizes[input_type], int(rng.integers(1, 6)))  # repeats allowed
    seed_time = rng.integers(0, 7, len(seeds)) if timed else None
    fan_out = [int(k) for k in rng.integers(0, 4, int(rng.integers(1, 4)))]
    input_nodes = torch.from_numpy(seeds) if homogeneous else (input_type, torch.from_numpy(seeds))
    loader = NeighborLoader(data, fan_out, input_nodes, None if seed_time is None else torch.from_numpy(seed_time),
                            time_attr="time" if timed else None, weight_attr="w" if weighted else None,
                            batch_size=len(seeds), replace=replace, temporal_strategy=strategy, seed=seed % 1000,
                            disjoint=mode == "per_seed" and not timed, shared_by_time=mode == "by_time")
    batch = next(iter(loader))
    node_stores, edge_stores = stores(batch, homogeneous, edge_types)
    edges, node_time, edge_time = graph_parts(data, homogeneous, edge_types)
    _, everything = brute_force(edges, node_time, edge_time, input_type, list(seeds),
                                None if seed_time is None else list(seed_time), len(fan_out), mode)
    assert node_stores[input_type].n_id[:len(seeds)].tolist() == seeds.tolist()
    for edge_type, s in edge_stores.items():
        src_type, _, dst_type = edge_type
        row, col = s.edge_index
        e_id = s.e_id.numpy()
        assert (edges[edge_type][0][e_id] == node_stores[src_type].n_id[row].numpy()).all()
        assert (edges[edge_type][1][e_id] == node_stores[dst_type].n_id[col].numpy()).all()
        group = (node_stores[dst_type].batch[col].tolist() if mode != "shared" else [0] * len(e_id))
        assert all((g, edge_type, e) in everything for g, e in zip(group, e_id.tolist()))
        if weighted and not timed:
            assert (s.w > 0).all()  # a zero weight is never drawn (temporal last-k ignores weights)
        hop = np.repeat(np.arange(len(fan_out)), s.num_sampled_edges)
        per_expansion = Counter(zip(hop.tolist(), col.tolist()))
        assert all(c <= fan_out[h] for (h, _), c in per_expansion.items())
        if not replace:
            assert len(set(zip(hop.tolist(), col.tolist(), e_id.tolist()))) == len(e_id)


def star(weights):
    """Hub 0 and one leaf per weight; leaf i -> hub is edge i."""
    n = len(weights)
    return Data(x=torch.zeros(n + 1, 1), edge_index=torch.stack([torch.arange(1, n + 1), torch.zeros(n, dtype=torch.long)]),
                w=torch.tensor(weights, dtype=torch.float), num_nodes=n + 1)


def test_weights_and_replacement_set_the_draws():
    # 4000 hubs, one subgraph each, draw one of two leaves weighted 1 and 3.
    hubs = torch.zeros(4000, dtype=torch.long)
    loader = NeighborLoader(star([1.0, 3.0, 0.0]), [1], hubs, weight_attr="w", disjoint=True, batch_size=4000, seed=3)
    picked = next(iter(loader)).e_id
    assert len(picked) == 4000 and not (picked == 2).any()
    assert abs(int((picked == 1).sum()) - 3000) < 5 * (4000 * 0.75 * 0.25) ** 0.5
    # Fewer positive weights than the fan-out: every positive one, once.
    few = NeighborLoader(star([0.0, 2.0, 0.0, 1.0]), [3], [0], weight_attr="w")
    assert sorted(next(iter(few)).e_id.tolist()) == [1, 3]
    # With replacement a fan-out of 6 gives 6 edges (repeats among 2 leaves), the leaves once.
    with_replacement = next(iter(NeighborLoader(star([1.0, 1.0]), [6], [0], replace=True, seed=1)))
    assert with_replacement.edge_index.shape[1] == 6 and sorted(with_replacement.n_id.tolist()) == [0, 1, 2]
    assert with_replacement.num_sampled_edges == [6]


def test_edge_times_bound_each_edge_and_leave_node_times_alone():
    # Users at time 10, items at time 0, every bought_by edge stamped 100 but one at 5:
    # only that edge is in the user's past.
    data = HeteroData()
    data["user"].num_nodes, data["item"].num_nodes = 1, 3
    data["user"].time = torch.tensor([10])
    data["item"].time = torch.tensor([0, 0, 0])
    data["item", "bought_by", "user"].edge_index = torch.tensor([[0, 1, 2], [0, 0, 0]])
    data["item", "bought_by", "user"].time = torch.tensor([100, 5, 100])
    batch = next(iter(NeighborLoader(data, [-1], ("user", [0]), time_attr="time")))
    assert batch["item"].n_id.tolist() == [1] and batch["item", "bought_by", "user"].e_id.tolist() == [1]
    late = next(iter(NeighborLoader(data, [-1], ("user", [0]), [200], time_attr="time")))
    assert late["item"].n_id.tolist() == [1, 0, 2]  # by edge time, ties in edge order


class MemoryFeatureStore(FeatureStore):
    """A feature store in a dict: (group, attribute) -> tensor."""

    def __init__(self):
        super().__init__()
        self.tensors = {}

    def _put_tensor(self, tensor, attr):
        self.tensors[(attr.group_name, attr.attr_name)] = tensor
        return True

    def _get_tensor(self, attr):
        tensor = self.tensors.get((attr.group_name, attr.attr_name))
        if tensor is None or not attr.is_set("index") or attr.index is None:
            return tensor
        return tensor[attr.index]

    def _remove_tensor(self, attr):
        return self.tensors.pop((attr.group_name, attr.attr_name), None) is not None

    def _get_tensor_size(self, attr):
        return self.tensors[(attr.group_name, attr.attr_name)].size()

    def get_all_tensor_attrs(self):
        return [TensorAttr(group, name) for group, name in self.tensors]


class MemoryGraphStore(GraphStore):
    """A graph store in a dict: edge type -> (row, col) in COO."""

    def __init__(self):
        super().__init__()
        self.edges = {}

    def _put_edge_index(self, edge_index, edge_attr):
        self.edges[edge_attr.edge_type] = (edge_index, edge_attr)
        return True

    def _get_edge_index(self, edge_attr):
        entry = self.edges.get(edge_attr.edge_type)
        return None if entry is None else entry[0]

    def _remove_edge_index(self, edge_attr):
        return self.edges.pop(edge_attr.edge_type, None) is not None

    def get_all_edge_attrs(self):
        return [attr for _, attr in self.edges.values()]


def stores_of(data, sizes, edge_types, homogeneous, names):
    """A custom (FeatureStore, GraphStore) pair holding the graph; a homogeneous one puts
    its tensors with group_name=None and its edges with edge_type=None."""
    feature_store, graph_store = MemoryFeatureStore(), MemoryGraphStore()
    for t in sizes:
        for name in names:
            if name in (data if homogeneous else data[t]):
                feature_store.put_tensor((data if homogeneous else data[t])[name],
                                         group_name=None if homogeneous else t, attr_name=name, index=None)
    for e in edge_types:
        src, _, dst = e
        store = data if homogeneous else data[e]
        graph_store.put_edge_index((store.edge_index[0], store.edge_index[1]), edge_type=None if homogeneous else e,
                                   layout=EdgeLayout.COO, size=(sizes[src], sizes[dst]))
        if not homogeneous and "time" in names and "time" in store:
            feature_store.put_tensor(store.time, group_name=e, attr_name="time", index=None)
    return feature_store, graph_store


@settings(max_examples=examples(30), deadline=None)
@given(st.integers(0, 2**32 - 1), st.sampled_from(["custom", "custom homogeneous", "heterodata pair"]),
       st.booleans(), st.booleans())
def test_a_store_pair_gives_the_batches_of_its_data(seed, kind, node_time, edge_time):
    # Edge times too: a HeteroData as its own pair lists node attributes only, and its
    # edge times must still rule.
    rng = np.random.default_rng(seed)
    homogeneous = kind == "custom homogeneous"
    edge_time = edge_time and not homogeneous  # PyG gathers a homogeneous store's tensors by node id
    data, sizes, edge_types = random_graph(rng, homogeneous, node_time=node_time, edge_time=edge_time, weights=False)
    timed = node_time or edge_time
    if kind == "heterodata pair":
        pair = (data, data)
    else:
        pair = stores_of(data, sizes, edge_types, homogeneous, ("x", "time") if timed else ("x",))
    input_type = NODE if homogeneous else "a"
    seeds = torch.from_numpy(rng.integers(0, sizes[input_type], 4))
    times = torch.from_numpy(rng.integers(0, 7, 4)) if timed else None
    kwargs = dict(num_neighbors=[2, 2], input_nodes=seeds if homogeneous else (input_type, seeds), input_time=times,
                  batch_size=4, seed=5, time_attr="time" if timed else None, disjoint=True)
    want = next(iter(NeighborLoader(data, **kwargs)))
    got = next(iter(NeighborLoader(pair, **kwargs)))
    for t in sizes:
        got_t, want_t = (got, want) if homogeneous else (got[t], want[t])
        assert torch.equal(got_t.n_id, want_t.n_id) and torch.equal(got_t.x, want_t.x)
    for e in edge_types:
        got_e, want_e = (got, want) if homogeneous else (got[e], want[e])
        assert torch.equal(got_e.edge_index, want_e.edge_index) and torch.equal(got_e.e_id, want_e.e_id)


def test_a_sampler_built_earlier_serves_the_loader():
    data, sizes, _ = random_graph(np.random.default_rng(1), True, node_time=False, edge_time=False, weights=False)
    sampler = NeighborSampler(data, [2, 2], seed=4, subgraph_type="induced")
    got = next(iter(NeighborLoader(data, [2, 2], neighbor_sampler=sampler, batch_size=3)))
    want = next(iter(NeighborLoader(data, [2, 2], seed=4, subgraph_type="induced", batch_size=3)))
    assert torch.equal(got.n_id, want.n_id) and torch.equal(got.e_id, want.e_id) and "batch" not in got


def test_a_homogeneous_store_holds_nothing_typed():
    features, edges = MemoryFeatureStore(), MemoryGraphStore()
    features.put_tensor(torch.zeros(3, 1), group_name="a", attr_name="x", index=None)
    edges.put_edge_index((torch.tensor([0]), torch.tensor([1])), edge_type=None, layout=EdgeLayout.COO, size=(3, 3))
    with pytest.raises(ValueError) as info:
        NeighborSampler((features, edges), [1])
    assert str(info.value) == "A homogeneous graph store needs tensors with group_name=None, got node types ['a']."
    edges.put_edge_index((torch.tensor([0]), torch.tensor([1])), edge_type=("a", "r", "a"), layout=EdgeLayout.COO,
                         size=(3, 3))
    with pytest.raises(ValueError) as info:
        NeighborSampler((features, edges), [1])
    assert str(info.value) == ("The graph store holds edges with and without an edge type; "
                               "a homogeneous graph has only edges put with edge_type=None.")
