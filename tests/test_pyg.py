"""quorvix.pyg against PyG's loader conventions: batches, edge ids, workers, models."""

import datetime
import pickle
from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

from torch_geometric.data import Data, HeteroData  # noqa: E402
from torch_geometric.sampler import NodeSamplerInput  # noqa: E402

from quorvix.pyg import (NeighborLoader, NeighborSampler, SamplerGraph, TimeGroupedBatchSampler,  # noqa: E402
                         graph_from_hetero_data)
from quorvix.pyg.convert import edge_type_key  # noqa: E402
from quorvix.pyg.graph import _csc_order  # noqa: E402
from reference_sampler import ReferenceSampler  # noqa: E402
from test_pyg_link import MISSING_LINK_TIME  # noqa: E402
from sanitized import examples

PLACED_BY = ("order", "placed_by", "user")  # from a user to the user's orders
PLACES = ("user", "places", "order")  # from an order to its user


def shop():
    """Users 0, 1 (time 0) and orders 0..3 at times 1, 2, 3, 5; user 0 placed orders 0, 2
    and 3, user 1 order 1. Edges are listed out of order; w is 100 + the edge's position."""
    data = HeteroData()
    data["user"].x = torch.tensor([[10.0], [11.0]])
    data["user"].time = torch.tensor([0, 0])
    data["order"].x = torch.tensor([[0.0], [1.0], [2.0], [3.0]])
    data["order"].time = torch.tensor([1, 2, 3, 5])
    data[PLACED_BY].edge_index = torch.tensor([[3, 1, 0, 2], [0, 1, 0, 0]])
    data[PLACED_BY].w = torch.tensor([100.0, 101.0, 102.0, 103.0])
    data[PLACES].edge_index = torch.tensor([[0, 0, 1, 0], [2, 0, 1, 3]])
    data[PLACES].w = torch.tensor([100.0, 101.0, 102.0, 103.0])
    return data


def batch_lists(batch):
    """Every attribute of a batch, per node and edge type, with tensors as plain lists."""
    return {key: {k: v.tolist() if isinstance(v, torch.Tensor) else v for k, v in batch[key].items()}
            for key in batch.node_types + batch.edge_types}


@pytest.mark.parametrize("form", ["list", "numpy", "tensor", "datetime"])
def test_hand_worked_batch(form):
    # Seeds: user 0 at time 4, user 1 at time 4, user 0 again at time 2. Hop 1 takes each
    # user's 2 most recent orders up to the seed time (order 3 at time 5 is never seen,
    # seed 2 sees only order 0); hop 2 leads every order back to its user: edges only.
    seeds, times = [0, 1, 0], [4, 4, 2]
    if form == "numpy":  # read-only, like memory maps
        seeds, times = np.array(seeds), np.array(times)
        seeds.flags.writeable = times.flags.writeable = False
    elif form == "tensor":
        seeds, times = torch.tensor(seeds), torch.tensor(times)
    data = shop()
    if form == "datetime":  # datetimes count as whole seconds since the epoch
        times = np.array(times, dtype="datetime64[s]")
    loader = NeighborLoader(data, [2, 1], ("user", seeds), times, time_attr="time", batch_size=3)
    got = batch_lists(next(iter(loader)))
    user, order = got["user"], got["order"]
    assert user["n_id"] == [0, 1, 0] and user["batch"] == [0, 1, 2]
    assert user["x"] == [[10.0], [11.0], [10.0]]
    assert user["input_id"] == [0, 1, 2] and user["seed_time"] == [4, 4, 2] and user["batch_size"] == 3
    assert user["num_sampled_nodes"] == [3, 0, 0]
    assert order["n_id"] == [0, 2, 1, 0] and order["batch"] == [0, 0, 1, 2]
    assert order["x"] == [[0.0], [2.0], [1.0], [0.0]]
    assert order["num_sampled_nodes"] == [0, 4, 0]
    # order 0 -> user 0 is edge 2 of the original order, order 2 -> user 0 edge 3, ...
    assert got[PLACED_BY]["edge_index"] == [[0, 1, 2, 3], [0, 0, 1, 2]]
    assert got[PLACED_BY]["e_id"] == [2, 3, 1, 2] and got[PLACED_BY]["w"] == [102.0, 103.0, 101.0, 102.0]
    assert got[PLACED_BY]["num_sampled_edges"] == [4, 0]
    assert got[PLACES]["edge_index"] == [[0, 0, 1, 2], [0, 1, 2, 3]]
    assert got[PLACES]["e_id"] == [1, 0, 2, 1] and got[PLACES]["num_sampled_edges"] == [0, 4]


@pytest.mark.parametrize("window, n_id, batch, e_id", [
    ((-3, 0), [0, 2], [0, 0], [2, 3]),  # user 0: 0 < t <= 3; user 1: 2 < t <= 5, order 1 (2) excluded
    ((None, -1), [0, 1], [0, 1], [2, 1]),  # no lower bound: user 0: t <= 2; user 1: t <= 4
])
def test_windows_bound_by_the_seeds_own_times(window, n_id, batch, e_id):
    data = shop()
    data["user"].time = torch.tensor([3, 5])  # without input_time the seeds' own times count
    loader = NeighborLoader(data, {PLACES: [0]}, ("user", [0, 1]), time_attr="time", batch_size=2,
                            time_windows={PLACED_BY: [window]})
    got = batch_lists(next(iter(loader)))
    assert got["user"]["seed_time"] == [3, 5]
    assert got["order"]["n_id"] == n_id and got["order"]["batch"] == batch
    assert got[PLACED_BY]["e_id"] == e_id

    # Time spans are whole seconds, like datetimes: a window of timedelta64 bounds.
    spans = {PLACED_BY: [(np.timedelta64(-1, "s"), np.timedelta64(0, "s"))]}
    loader = NeighborLoader(data, {PLACES: [0]}, ("user", [0]), time_attr="time", time_windows=spans)
    assert batch_lists(next(iter(loader)))["order"]["n_id"] == [2]


def test_refusals_name_the_problem():
    data = shop()
    cases = [
        (dict(num_neighbors={PLACED_BY: [1]}, time_windows={PLACED_BY: [(0, 1)]}),
         ValueError, "Edge type ('order', 'placed_by', 'user') is in both 'num_neighbors' and 'time_windows'."),
        (dict(num_neighbors={PLACED_BY: [1]}),
         ValueError, "Edge type ('user', 'places', 'order') is in neither 'num_neighbors' nor 'time_windows'."),
        (dict(num_neighbors={("a", "b", "c"): [1]}),
         ValueError, "'num_neighbors' has an unknown edge type ('a', 'b', 'c')."),
        (dict(num_neighbors=[1], time_attr=None, time_windows={PLACED_BY: [(0, 1)]}),
         ValueError, "'time_windows' has ('order', 'placed_by', 'user'), but node type 'order' has no timestamps."),
        (dict(num_neighbors=[1], time_windows={PLACED_BY: [(0, None)]}),
         ValueError, "'time_windows' of ('order', 'placed_by', 'user') needs an upper bound in every hop."),
        (dict(num_neighbors=[1.5]), TypeError, "'num_neighbors' needs a list of ints per edge type, got [1.5]."),
        (dict(num_neighbors=[1], temporal_strategy="first"),
         ValueError, "'temporal_strategy' must be 'last' or 'uniform', got 'first'."),
        (dict(num_neighbors=[1], time_attr="when"), ValueError, "No node or edge type has the attribute 'when'."),
        (dict(num_neighbors=[1], num_threads=0), ValueError, "'num_threads' must be an int of at least 1, got 0."),
        (dict(num_neighbors=[1], shared_by_time=True, disjoint=True), ValueError,
         "'shared_by_time=True' shares a subgraph among the seeds of one time; it cannot be combined with "
         "disjoint=True."),
        (dict(num_neighbors=[1], shared_by_time=True, time_attr=None),
         ValueError, "'shared_by_time=True' needs timestamps: give 'time_attr'."),
        (dict(num_neighbors=[1], subgraph_type="full"), ValueError,
         "'subgraph_type' must be 'directional', 'bidirectional' or 'induced', got 'full'."),
        (dict(num_neighbors=[1], neighbor_sampler=object()),
         TypeError, "'neighbor_sampler' must be a quorvix.pyg.NeighborSampler, got object."),
        (dict(num_neighbors=[1], weight_attr="weight"), ValueError, "No edge type has the attribute 'weight'."),
    ]
    for kwargs, error, message in cases:
        kwargs = {"time_attr": "time", **kwargs}
        with pytest.raises(error) as info:
            NeighborLoader(data, input_nodes=("user", [0]), **kwargs)
        assert str(info.value) == message

    from torch_geometric.sampler.base import SubgraphType

    NeighborLoader(data, [1], ("user", [0]), subgraph_type=SubgraphType.induced, disjoint=True)
    one_way = HeteroData()
    one_way["a"].num_nodes = one_way["b"].num_nodes = 1
    one_way["a", "r", "b"].edge_index = torch.tensor([[0], [0]])
    with pytest.raises(ValueError) as info:
        NeighborLoader(one_way, [1], ("b", [0]), subgraph_type="bidirectional")
    assert str(info.value) == ("subgraph_type='bidirectional' needs a reverse edge type for ('a', 'r', 'b'), "
                               "such as ('b', 'rev_r', 'a').")
    sampler = NeighborSampler(data, [1], time_attr="time")
    request = NodeSamplerInput(input_id=None, node=torch.tensor([2]), input_type="user")
    with pytest.raises(ValueError, match=r"^Seed ids outside \[0, 2\) of node type 'user'\.$"):
        sampler.sample_from_nodes(request)
    del data["user"].time
    with pytest.raises(ValueError, match=r"^Seeds of node type 'user' have no timestamps: give 'input_time'\.$"):
        NeighborLoader(data, [1], ("user", [0]), time_attr="time")  # refused when the loader is built
    untimed = NeighborSampler(data, [1], time_attr="time")
    with pytest.raises(ValueError, match=r"^Seeds of node type 'user' have no timestamps: give 'input_time'\.$"):
        untimed.sample_from_nodes(NodeSamplerInput(input_id=None, node=torch.tensor([0]), input_type="user"))
    data[PLACES].edge_index[0, 0] = 7
    with pytest.raises(ValueError) as info:
        graph_from_hetero_data(data)
    assert str(info.value) == ("'edge_index' of ('user', 'places', 'order') has source ids outside "
                               "[0, 2) of node type 'user'.")


def test_bidirectional_edges_come_sorted_by_destination():
    # Edges 1->0, 2->0, 3->1 (ids 0, 1, 2); all neighbours of 0 over two hops. Each sampled
    # edge and its reverse (which keeps the sampled edge's id: the graph has none back),
    # sorted by destination then source, as PyG gives them; the counts stay per hop.
    data = Data(edge_index=torch.tensor([[1, 2, 3], [0, 0, 1]]), num_nodes=4)
    batch = next(iter(NeighborLoader(data, [-1, -1], input_nodes=torch.tensor([0]),
                                     subgraph_type="bidirectional")))
    assert batch.n_id.tolist() == [0, 1, 2, 3]
    assert batch.edge_index.tolist() == [[1, 2, 0, 3, 0, 1], [0, 0, 1, 1, 2, 3]]
    assert batch.e_id.tolist() == [0, 1, 0, 2, 1, 2]
    assert batch.num_sampled_edges == [4, 2]
    # Across types: user 1 reaches items 1 and 2 (bought_by ids 2, 3), item 1 its buyers
    # users 0 and 1 (buys ids 1, 2) and item 2 user 1 (id 3). The one pair sampled one way
    # only, user 0 and item 1, gains its reverse, bought_by id 1.
    shop = HeteroData()
    shop["user"].num_nodes, shop["item"].num_nodes = 2, 3
    buys = torch.tensor([[0, 0, 1, 1], [0, 1, 1, 2]])
    shop["user", "buys", "item"].edge_index = buys
    shop["item", "bought_by", "user"].edge_index = buys.flip(0)
    batch = next(iter(NeighborLoader(shop, [-1, -1], input_nodes=("user", torch.tensor([1])),
                                     subgraph_type="bidirectional")))
    assert batch["user"].n_id.tolist() == [1, 0] and batch["item"].n_id.tolist() == [1, 2]
    assert [batch["user", "buys", "item"][k].tolist() for k in ("edge_index", "e_id")] == [
        [[0, 1, 0], [0, 0, 1]], [2, 1, 3]]
    assert [batch["item", "bought_by", "user"][k].tolist() for k in ("edge_index", "e_id")] == [
        [[0, 1, 0], [0, 0, 1]], [2, 3, 1]]


@st.composite
def edge_lists(draw):
    num_src, num_dst = draw(st.integers(1, 6)), draw(st.integers(1, 6))
    num_edges = draw(st.integers(0, 30))
    src = draw(st.lists(st.integers(0, num_src - 1), min_size=num_edges, max_size=num_edges))
    dst = draw(st.lists(st.integers(0, num_dst - 1), min_size=num_edges, max_size=num_edges))
    time = draw(st.none() | st.lists(st.integers(0, 3), min_size=num_src, max_size=num_src))  # ties likely
    return num_src, num_dst, np.array(src, dtype=np.int64), np.array(dst, dtype=np.int64), time


@settings(max_examples=examples(150), deadline=None)
@given(edge_lists())
def test_csc_holds_every_edge_once_sorted_by_time_ties_in_edge_order(case):
    num_src, num_dst, src, dst, time = case
    data = HeteroData()
    data["s"].num_nodes, data["d"].num_nodes = num_src, num_dst
    if time is not None:
        data["s"].time = torch.tensor(time)
        data["d"].time = torch.zeros(num_dst, dtype=torch.long)
    data["s", "to", "d"].edge_index = torch.from_numpy(np.stack([src, dst]))
    graph = graph_from_hetero_data(data, "time" if time is not None else None)
    colptr, row, perm = graph.colptr["s__to__d"], graph.row["s__to__d"], graph.perm["s__to__d"]
    assert sorted(perm.tolist()) == list(range(len(src)))
    assert colptr[0] == 0 and (np.diff(colptr) >= 0).all() and colptr[-1] == len(src)
    assert (row == src[perm]).all()
    assert (np.repeat(np.arange(num_dst), np.diff(colptr)) == dst[perm]).all()
    for word_bits in (0, 6):  # the orders used when keys do not fit in an int64
        rank = None if time is None else (np.asarray(time)[src], max(time) + 1)
        assert (_csc_order(src, dst, num_dst, rank, word_bits) == perm).all()
    run_time = np.asarray(time if time is not None else np.zeros(num_src, np.int64))[row]
    for v in range(num_dst):
        run = slice(colptr[v], colptr[v + 1])
        # Sorted by (time, original position): ties keep the order of edge_index.
        assert list(zip(run_time[run], perm[run])) == sorted(zip(run_time[run], perm[run]))


EDGE_TYPES = [("a", "r", "b"), ("b", "s", "a"), ("a", "t", "a")]


@st.composite
def hetero_requests(draw):
    """A small HeteroData with edges in random order and times with ties, and requests."""
    sizes = {"a": draw(st.integers(1, 5)), "b": draw(st.integers(1, 5))}
    timed = draw(st.sampled_from([[], ["a"], ["a", "b"]]))
    data = HeteroData()
    for t, n in sizes.items():
        data[t].num_nodes = n
        if t in timed:
            data[t].time = torch.tensor(draw(st.lists(st.integers(0, 6), min_size=n, max_size=n)))
    for src, rel, dst in draw(st.lists(st.sampled_from(EDGE_TYPES), min_size=1, unique=True)):
        ends = st.tuples(st.integers(0, sizes[src] - 1), st.integers(0, sizes[dst] - 1))
        edges = draw(st.lists(ends, min_size=1, max_size=12))
        data[src, rel, dst].edge_index = torch.tensor(edges, dtype=torch.long).reshape(-1, 2).t()
    num_neighbors, windows = {}, {}
    for edge_type in data.edge_types:
        if edge_type[0] in timed and draw(st.booleans()):
            pair = st.tuples(st.none() | st.integers(-6, 2), st.integers(-3, 3))
            windows[edge_type] = draw(st.lists(pair, min_size=1, max_size=3))
        else:
            num_neighbors[edge_type] = draw(st.lists(st.sampled_from([-1, 0, 1, 1, 2, 2, 5]), min_size=1, max_size=3))
    options = dict(time_attr="time" if timed else None, time_windows=windows,
                   temporal_strategy=draw(st.sampled_from(["last", "uniform", "uniform"])),
                   seed=draw(st.none() | st.integers(0, 2**40)))
    requests = []
    for _ in range(draw(st.integers(1, 2))):
        t = draw(st.sampled_from(["a", "b"]))
        seeds = draw(st.lists(st.integers(0, sizes[t] - 1), min_size=1, max_size=4))
        own_time = t in timed and draw(st.booleans())
        time = None if not timed or own_time else draw(st.lists(st.integers(2, 8), min_size=len(seeds),
                                                                max_size=len(seeds)))
        requests.append((t, seeds, time))
    return data, num_neighbors, options, requests


@settings(max_examples=examples(120), deadline=None)
@given(hetero_requests())
def test_sampler_gives_the_models_subgraph_in_pyg_terms(case):
    data, num_neighbors, options, requests = case
    sampler = NeighborSampler(data, num_neighbors, disjoint=True, **options)
    graph = sampler.graph
    model = ReferenceSampler(*graph.sampler_arguments(), seed=sampler.stream_seed())
    model.temporal_strategy = options["temporal_strategy"]
    for t, seeds, time in requests:
        index = NodeSamplerInput(input_id=torch.arange(len(seeds)), node=torch.tensor(seeds, dtype=torch.long),
                                 time=None if time is None else torch.tensor(time, dtype=torch.long), input_type=t)
        got = sampler.sample_from_nodes(index)
        seed_time = np.array(time if time is not None else
                             graph.node_time[t][seeds] if graph.node_time else [], dtype=np.int64)
        rows, cols, nodes, batch, num_nodes, num_edges, edges = model.sample_with_edge_ids(
            sampler.num_neighbors, sampler.time_windows, t, np.array(seeds, dtype=np.int64), seed_time)
        assert {k: v.tolist() for k, v in got.node.items()} == {k: v.tolist() for k, v in nodes.items()}
        assert {k: v.tolist() for k, v in got.batch.items()} == {k: v.tolist() for k, v in batch.items()}
        assert got.num_sampled_nodes == {k: v.tolist() for k, v in num_nodes.items()}
        for edge_type in graph.edge_types:
            key = "__".join(edge_type)
            assert got.row[edge_type].tolist() == rows[key].tolist()
            assert got.col[edge_type].tolist() == cols[key].tolist()
            assert got.edge[edge_type].tolist() == graph.perm[key][edges[key]].tolist()
            assert got.num_sampled_edges[edge_type] == num_edges[key].tolist()
        assert got.metadata[0].tolist() == list(range(len(seeds)))
        assert (got.metadata[1] is None) == (not graph.node_time)
        if got.metadata[1] is not None:
            assert got.metadata[1].tolist() == seed_time.tolist()


def random_hetero(rng, order=None):
    """Users, items and events with distinct times; every edge's attribute names its ends."""
    data = HeteroData()
    sizes = {"user": 5, "item": 6, "event": 30}
    times = rng.permutation(sum(sizes.values()))
    start = 0
    for t, n in sizes.items():
        data[t].x = torch.arange(n, dtype=torch.float)[:, None]
        data[t].time = torch.from_numpy(times[start:start + n])
        start += n
    event_user, event_item = rng.integers(0, 5, 30), rng.integers(0, 6, 30)
    events = np.arange(30)
    for edge_type, src, dst in ((("event", "by", "user"), events, event_user),
                                (("user", "did", "event"), event_user, events),
                                (("item", "in", "event"), event_item, events),
                                (("event", "of", "item"), events, event_item)):
        perm = np.arange(len(src)) if order is None else order(len(src))
        data[edge_type].edge_index = torch.from_numpy(np.stack([src[perm], dst[perm]]))
        data[edge_type].ends = torch.from_numpy(src[perm] * 1000 + dst[perm])
    return data


def edges_per_seed(batch):
    """Per edge type the sorted (seed, source id, destination id) triples, and checks that
    e_id gathered the attribute of the edge between the two ends."""
    out = {}
    for (src, rel, dst) in batch.edge_types:
        store = batch[src, rel, dst]
        a, b = batch[src].n_id[store.edge_index[0]], batch[dst].n_id[store.edge_index[1]]
        assert torch.equal(store.ends, a * 1000 + b)
        seed_of = batch[src].batch[store.edge_index[0]]
        assert torch.equal(seed_of, batch[dst].batch[store.edge_index[1]])
        out[rel] = sorted(zip(seed_of.tolist(), a.tolist(), b.tolist()))
    return out


@settings(max_examples=examples(25), deadline=None)
@given(st.integers(0, 2**32 - 1))
def test_edge_ids_follow_a_shuffle_of_the_original_edge_order(seed):
    rng = np.random.default_rng(seed)
    seeds = rng.integers(0, 5, 4)
    seed_time = random_hetero(np.random.default_rng(seed))["user"].time.numpy()[seeds] + rng.integers(0, 20, 4)
    shuffle = np.random.default_rng(seed + 1).permutation
    batches = []
    for order in (None, shuffle):
        data = random_hetero(np.random.default_rng(seed), order)
        loader = NeighborLoader(data, [3, 2, 1], ("user", seeds), seed_time, time_attr="time", batch_size=4)
        batch = next(iter(loader))
        for t in batch.node_types:  # nothing later than its seed
            assert (batch[t].time <= batch["user"].seed_time[batch[t].batch]).all()
        batches.append(edges_per_seed(batch))
    assert batches[0] == batches[1]  # distinct times: the order of edge_index does not matter


def test_a_to_hetero_model_trains_on_a_batch():
    from torch_geometric.nn import SAGEConv, to_hetero

    class GNN(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.conv1, self.conv2 = SAGEConv((-1, -1), 8), SAGEConv((-1, -1), 1)

        def forward(self, x, edge_index):
            return self.conv2(self.conv1(x, edge_index).relu(), edge_index)

    data = random_hetero(np.random.default_rng(0))
    loader = NeighborLoader(data, [4, 2], ("user", torch.arange(5)), torch.full((5,), 40),
                            time_attr="time", batch_size=5)
    batch = next(iter(loader))
    model = to_hetero(GNN(), data.metadata())
    out = model(batch.x_dict, batch.edge_index_dict)["user"][: batch["user"].batch_size]
    assert out.shape == (5, 1) and torch.isfinite(out).all()
    out.sum().backward()
    assert any(p.grad is not None and p.grad.abs().sum() > 0 for p in model.parameters())


def star(num_leaves=40):
    """Hub 0 with num_leaves leaf neighbours and no timestamps: every fan-out is random."""
    data = HeteroData()
    data["hub"].x = torch.zeros(1, 1)
    data["leaf"].x = torch.arange(num_leaves, dtype=torch.float)[:, None]
    data["leaf", "at", "hub"].edge_index = torch.stack([torch.arange(num_leaves), torch.zeros(num_leaves, dtype=torch.long)])
    return data


def leaves_drawn(loader, epochs=1):
    return [[b["leaf"].n_id.tolist() for b in loader] for _ in range(epochs)]


def test_workers_sample_what_the_main_process_samples_with_temporal_rules():
    data = random_hetero(np.random.default_rng(3))
    args = (data, [3, 2], ("user", np.tile(np.arange(5), 4)), np.arange(20) * 2)
    main = NeighborLoader(*args, time_attr="time", temporal_strategy="last", batch_size=3)
    workers = NeighborLoader(*args, time_attr="time", temporal_strategy="last", batch_size=3, num_workers=2)
    main, workers = list(main), list(workers)
    assert len(main) == len(workers) == 7
    for a, b in zip(main, workers):
        assert edges_per_seed(a) == edges_per_seed(b)
        assert all(torch.equal(a[t].n_id, b[t].n_id) for t in a.node_types)


@pytest.mark.python_only  # worker processes; the workers test above samples in them too
def test_random_streams_differ_between_workers_and_epochs_and_repeat_with_a_seed():
    seeds = ("hub", torch.zeros(8, dtype=torch.long))
    torch.manual_seed(0)
    loader = NeighborLoader(star(), [2], seeds, batch_size=1, num_workers=2)
    first, second = leaves_drawn(loader, epochs=2)
    assert first[0::2] != first[1::2]  # worker 0 took the even batches, worker 1 the odd ones
    assert first != second
    # A given seed repeats across loaders; workers and epochs still draw their own.
    runs = [leaves_drawn(NeighborLoader(star(), [2], seeds, batch_size=1, num_workers=2, seed=5), epochs=2)
            for _ in range(2)]
    assert runs[0] == runs[1]
    assert runs[0][0][0::2] != runs[0][0][1::2] and runs[0][0] != runs[0][1]
    # In the main process the stream continues from epoch to epoch.
    main = leaves_drawn(NeighborLoader(star(), [2], seeds, batch_size=1, seed=5), epochs=2)
    assert main[0] != main[1] and len(set(map(tuple, main[0]))) > 1


def test_a_sampler_pickles_by_its_arrays_and_memory_maps_stay_mapped(tmp_path):
    data = random_hetero(np.random.default_rng(1))
    graph_from_hetero_data(data, "time").save(tmp_path)
    graph = SamplerGraph.load(tmp_path)
    sampler = NeighborSampler(data, [3, 2], time_attr="time", graph=graph)
    request = NodeSamplerInput(input_id=None, node=torch.tensor([0, 1]), time=torch.tensor([30, 40]), input_type="user")
    expected = sampler.sample_from_nodes(request)
    clone = pickle.loads(pickle.dumps(sampler))
    assert all(isinstance(a, np.memmap) for a in clone.graph.row.values())
    assert len(pickle.dumps(sampler)) < 4096  # names and offsets, not the arrays
    got = clone.sample_from_nodes(request)
    assert all(torch.equal(got.node[t], expected.node[t]) for t in expected.node)
    assert all(torch.equal(got.edge[k], expected.edge[k]) for k in expected.edge)


def test_uniform_temporal_strategy_draws_among_the_eligible():
    # Hub 0 at time 20; leaf i has time i: 21 leaves are eligible, 19 are in the future.
    data = star()
    data["leaf"].time = torch.arange(40)
    data["hub"].time = torch.tensor([20])
    seen, runs = set(), []
    for num_threads in (None, 2):  # threads do not change the draws
        loader = NeighborLoader(data, [3], ("hub", torch.zeros(30, dtype=torch.long)), time_attr="time",
                                temporal_strategy="uniform", batch_size=1, seed=1, num_threads=num_threads)
        runs.append([batch["leaf"].n_id.tolist() for batch in loader])
    assert runs[0] == runs[1]
    for drawn in runs[0]:
        assert len(drawn) == 3 == len(set(drawn)) and max(drawn) <= 20
        seen.update(drawn)
    assert len(seen) > 12  # not the 3 most recent every time
    last = NeighborLoader(data, [3], ("hub", [0]), time_attr="time", temporal_strategy="last")
    assert next(iter(last))["leaf"].n_id.tolist() == [18, 19, 20]



def test_the_graph_keeps_no_view_of_the_datas_tensors():
    # share_memory_() and a spawned worker's unpickling replace a tensor's storage and free
    # the old one: a graph viewing it would read freed memory.
    rng = np.random.default_rng(0)
    data = HeteroData()
    data["user"].num_nodes = data["item"].num_nodes = 100
    data["user"].time, data["item"].time = torch.randint(0, 100, (100,)), torch.randint(0, 100, (100,))
    data["item", "bought_by", "user"].edge_index = torch.from_numpy(rng.integers(0, 100, (2, 500)))
    data["user", "buys", "item"].edge_index = torch.from_numpy(rng.integers(0, 100, (2, 500)))
    loader = NeighborLoader(data, [3, 2], ("user", torch.arange(40)), time_attr="time", temporal_strategy="last",
                            batch_size=10)
    graph = loader.quorvix_sampler.graph
    for t in data.node_types:
        assert not np.shares_memory(graph.node_time[t], data[t].time.numpy())
    for e in data.edge_types:
        assert not any(np.shares_memory(a, data[e].edge_index.numpy())
                       for a in (graph.row[edge_type_key(e)], graph.perm[edge_type_key(e)]))
    before = [b["item"].n_id.tolist() for b in loader]
    old_times = [data[t].time for t in data.node_types]
    data.share_memory_()
    for times in old_times:  # what a graph viewing the old storage would now read
        times.fill_(-1)
    assert [b["item"].n_id.tolist() for b in loader] == before


def test_edge_level_time_rules_even_when_node_types_carry_it():
    # Users at time 0, orders at times 1..5 but every placed_by edge stamped 100: no order
    # is in the past of a seed at time 10, whatever the orders' own times.
    data = shop()
    data[PLACED_BY].time = torch.full((4,), 100)
    batch = next(iter(NeighborLoader(data, [-1], ("user", [0]), [10], time_attr="time")))
    assert batch["order"].n_id.tolist() == [] and batch[PLACED_BY].e_id.tolist() == []


def test_seed_inputs_are_checked_when_the_loader_is_built():
    data = shop()
    cases = [
        (dict(input_nodes=("user", [0, 1]), input_time=[4, 4, 4]), "'input_time' has 3 entries for 2 seed nodes."),
        (dict(input_nodes=("user", [0, 1]), input_time=[4]), "'input_time' has 1 entries for 2 seed nodes."),
        (dict(input_nodes="order", input_time=[4]), "'input_time' has 1 entries for 4 seed nodes."),
        (dict(input_nodes=("user", torch.tensor([True]))),
         "The mask 'input_nodes' has 1 entries for the 2 nodes of type 'user'."),
        (dict(input_nodes=("user", [0, 2])), "Seed ids outside [0, 2) of node type 'user'."),
        (dict(input_nodes=("buyer", [0])), "Unknown input node type 'buyer'."),
        (dict(), "'input_nodes' is needed on a graph with several node types: give (node type, ids or mask)."),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError) as info:
            NeighborLoader(data, [1], time_attr="time", **kwargs)
        assert str(info.value) == message
    mask = NeighborLoader(data, [1], ("user", torch.tensor([False, True])), [7], time_attr="time")
    assert next(iter(mask))["user"].seed_time.tolist() == [7]


def test_datetimes_are_whole_seconds_or_refused():
    data = shop()
    seconds = np.array([4, 4], dtype="datetime64[s]")
    for times, message in ((seconds.astype("datetime64[ms]") + np.timedelta64(500, "ms"),
                            "'input_time' holds times that are not whole seconds; round them first."),
                           (np.array(["NaT", 4], dtype="datetime64[s]"), "'input_time' holds NaT; every time must be known.")):
        with pytest.raises(ValueError) as info:
            NeighborLoader(data, [1], ("user", [0, 1]), times, time_attr="time")
        assert str(info.value) == message
    loader = NeighborLoader(data, [1], ("user", [0, 1]), seconds.astype("datetime64[ns]"), time_attr="time",
                            batch_size=2)
    assert next(iter(loader))["user"].seed_time.tolist() == [4, 4]

    data["order"].time = np.array([1, 2, "NaT", 5], dtype="datetime64[s]")  # NaT would sort first, "in the past"
    with pytest.raises(ValueError, match=r"^'time' holds NaT; every time must be known\.$"):
        graph_from_hetero_data(data, "time")
    data["order"].time = np.array([1, 2, 3, 5], dtype="datetime64[s]")
    assert graph_from_hetero_data(data, "time").node_time["order"].tolist() == [1, 2, 3, 5]
    with pytest.raises(TypeError) as info:  # PyG could not gather them into a batch
        NeighborLoader(data, [1], ("user", [0]), time_attr="time")
    assert str(info.value) == ("'time' of node type 'order' holds NumPy datetime64[s] values, which PyG cannot "
                               "put in a batch; store int64 seconds instead.")


@pytest.mark.parametrize("lower, upper, n_id", [
    (np.timedelta64(-500, "ms"), np.timedelta64(0, "s"), [2]),  # order 2 at exactly the seed time: T - 0.5 < T
    (datetime.timedelta(seconds=-1.5), datetime.timedelta(0), [2]),  # T - 1.5 < t excludes order 0 at T - 2
    (np.timedelta64(-2500, "ms"), np.timedelta64(-500, "ms"), [0]),  # t <= T - 0.5 excludes the seed time
])
def test_fractional_window_bounds_are_exact_on_whole_second_times(lower, upper, n_id):
    loader = NeighborLoader(shop(), {PLACES: [0]}, ("user", [0]), [3], time_attr="time",
                            time_windows={PLACED_BY: [(lower, upper)]})
    assert next(iter(loader))["order"].n_id.tolist() == n_id
    with pytest.raises(ValueError, match=r"^'time_windows' bounds must not be NaT\.$"):
        NeighborLoader(shop(), {PLACES: [0]}, ("user", [0]), time_attr="time",
                       time_windows={PLACED_BY: [(np.timedelta64("NaT"), 0)]})


def test_pyg_num_neighbors_objects_and_default_input_nodes():
    from torch_geometric.sampler import NumNeighbors

    data = shop()
    plain = batch_lists(next(iter(NeighborLoader(data, {PLACED_BY: [2], PLACES: [1]}, ("user", [0, 1]),
                                                 time_attr="time"))))
    for rules in (NumNeighbors({PLACED_BY: [2], PLACES: [1]}), NumNeighbors({PLACED_BY: [2]}, default=[1])):
        got = NeighborLoader(data, rules, ("user", [0, 1]), time_attr="time")
        assert batch_lists(next(iter(got))) == plain
    with_default = NeighborLoader(data, NumNeighbors({}, default=[1]), ("user", [0]), [1], time_attr="time",
                                  time_windows={PLACED_BY: [(-3, 0)]})  # the window is not overridden
    assert next(iter(with_default))["order"].n_id.tolist() == [0]
    only_users = HeteroData()
    only_users["user"].x = torch.arange(3.0)[:, None]
    only_users["user", "knows", "user"].edge_index = torch.tensor([[0, 1], [1, 2]])
    loader = NeighborLoader(only_users, NumNeighbors([1]), batch_size=3)  # input_nodes=None: every node
    assert next(iter(loader))["user"].n_id.tolist()[:3] == [0, 1, 2]


def test_pyg_signatures_and_what_is_refused_when_a_loader_is_built():
    import inspect

    import torch_geometric.loader
    import torch_geometric.sampler

    from quorvix.pyg import LinkNeighborLoader

    # PyG's arguments, in PyG's order and with PyG's defaults, lead every signature.
    for ours, theirs in ((NeighborSampler, torch_geometric.sampler.NeighborSampler),
                         (NeighborLoader, torch_geometric.loader.NeighborLoader),
                         (LinkNeighborLoader, torch_geometric.loader.LinkNeighborLoader)):
        pyg = [p for p in inspect.signature(theirs.__init__).parameters.values() if p.kind != p.VAR_KEYWORD]
        mine = list(inspect.signature(ours.__init__).parameters.values())[:len(pyg)]
        assert [(p.name, p.default) for p in mine] == [(p.name, p.default) for p in pyg]
    data = shop()
    positional = NeighborSampler(data, [1], "directional", False, False, "last", "time", None, True, True, False)
    assert positional.subgraph_type == "induced" and positional.temporal_strategy == "last"
    cases = [
        (lambda: NeighborSampler(data, [1], sample_direction="backward"),
         "'sample_direction' must be 'forward': a frontier node's neighbours are the sources of its incoming "
         "edges, got 'backward'."),
        (lambda: NeighborLoader(data, [1], ("user", [0]), [3]), "'input_time' needs timestamps: give 'time_attr'."),
        (lambda: LinkNeighborLoader(data, [1], (PLACES, torch.tensor([[0], [0]])), time_attr="time"),
         MISSING_LINK_TIME),
        (lambda: NeighborLoader(data, [1], ("user", [0]), batch_by_time=True),
         "'batch_by_time=True' needs seed times: give 'time_attr' and seed or link times."),
        (lambda: NeighborLoader(data, [1], ("user", [0]), time_attr="time", batch_by_time=True, sampler=[0]),
         "'batch_by_time=True' makes the batch sampler; do not give 'batch_sampler' or 'sampler'."),
        (lambda: TimeGroupedBatchSampler([1, 2], 0), "'batch_size' must be an int of at least 1, got 0."),
    ]
    for build, message in cases:
        with pytest.raises(ValueError) as info:
            build()
        assert str(info.value) == message


@settings(max_examples=examples(25), deadline=None)
@given(times=st.lists(st.integers(0, 4), max_size=40), batch_size=st.integers(1, 6), shuffle=st.booleans(),
       drop_last=st.booleans())
def test_batches_by_time_hold_one_time_and_every_seed_once(times, batch_size, shuffle, drop_last):
    batches = TimeGroupedBatchSampler(times, batch_size, shuffle=shuffle, drop_last=drop_last,
                                      generator=torch.Generator().manual_seed(3))
    epochs = [list(batches), list(batches)]
    for epoch in epochs:
        assert len(epoch) == len(batches)
        assert all(0 < len(b) <= batch_size and len({times[i] for i in b}) == 1 for b in epoch)
        seen = sorted(i for b in epoch for i in b)
        per_time = Counter(times)
        dropped = sum(n % batch_size for n in per_time.values()) if drop_last else 0
        assert len(seen) == len(set(seen)) == len(times) - dropped
        if not shuffle:  # by time, each time's seeds in their order
            assert [i for b in epoch for i in b] == sorted(seen, key=lambda i: (times[i], i))
    kept = sum(len(b) for b in epochs[0])  # drop_last may leave few seeds, or none
    if shuffle and kept > 2 * batch_size + 4 and len(set(times)) > 2:
        assert epochs[0] != epochs[1]  # a fresh shuffle every epoch


def test_batches_by_time_share_one_subgraph_per_batch():
    # 20 seeds at three times: each batch is one time's seeds and, shared by time, one
    # subgraph named by its first seed.
    data = random_hetero(np.random.default_rng(4))
    num_seeds = 20
    times = np.arange(num_seeds) % 3 * 15
    loader = NeighborLoader(data, [2, 2], ("user", np.arange(num_seeds) % 5), times, time_attr="time",
                            batch_size=4, shuffle=True, batch_by_time=True, shared_by_time=True, seed=1)
    seen = []
    for batch in loader:
        seed_time = batch["user"].seed_time
        assert len(set(seed_time.tolist())) == 1
        assert all((batch[t].batch == 0).all() for t in batch.node_types)  # one subgraph
        seen += batch["user"].input_id.tolist()
    assert sorted(seen) == list(range(num_seeds)) and len(loader) == 6


def test_samplers_over_one_graph_share_its_native_graph():
    data = shop()
    first = NeighborSampler(data, [1], time_attr="time")
    second = NeighborSampler(None, [2], time_attr="time", graph=first.graph)
    native = first.graph.native_graph()
    assert first.native_sampler().graph is native and second.native_sampler().graph is native
    assert native.num_edges == {edge_type_key(e): 4 for e in data.edge_types}
    copied = pickle.loads(pickle.dumps(first))  # a worker rebuilds it over the unpickled arrays
    assert copied.graph.native_graph() is not native and copied.native_sampler().graph.num_edges == native.num_edges
