"""quorvix.pyg's link-level loading against brute force: seed links, negatives, subgraphs."""

import math
import warnings
from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

from torch_geometric.data import Data, HeteroData  # noqa: E402
from torch_geometric.sampler import EdgeSamplerInput, NegativeSampling  # noqa: E402

from quorvix.pyg import LinkNeighborLoader, NeighborLoader, NeighborSampler  # noqa: E402
from quorvix.pyg.graph import EDGE  # noqa: E402
from quorvix.pyg.link_sampling import group_seeds  # noqa: E402
from reference_sampler import ReferenceSampler  # noqa: E402
from sanitized import examples

# PyG's words for links without times on a graph with them.
MISSING_LINK_TIME = ("Received conflicting 'edge_label_time' and 'time_attr' arguments: 'edge_label_time' is "
                     "not set while 'time_attr' is set. Both arguments must be provided for temporal sampling.")

BUYS = ("user", "buys", "item")  # from an item to the users who bought it
BOUGHT_BY = ("item", "bought_by", "user")  # from a user to the items the user bought


def tiny_shop():
    """Users 0, 1 (time 0); items 0, 1, 2 at times 1, 3, 5. User 0 bought items 0 and 1,
    user 1 items 1 and 2 (edges 0..3 in that order)."""
    data = HeteroData()
    data["user"].x = torch.tensor([[10.0], [11.0]])
    data["user"].time = torch.tensor([0, 0])
    data["item"].x = torch.tensor([[0.0], [1.0], [2.0]])
    data["item"].time = torch.tensor([1, 3, 5])
    buys = torch.tensor([[0, 0, 1, 1], [0, 1, 1, 2]])
    data[BUYS].edge_index = buys
    data[BOUGHT_BY].edge_index = buys.flip(0)
    return data


def lists(store, *names):
    return [store[n].tolist() if isinstance(store[n], torch.Tensor) else store[n] for n in names]


def test_hand_worked_link_batch():
    # Link 0: user 0 buys item 1 at time 4; link 1: user 1 buys item 1 at time 2.
    # Hop 1 from item 1 finds its buyers (users 0 and 1, time 0): in each link's subgraph
    # one of them is the link's own source, reached from both ends and kept once. From
    # user 0 at time 4: items 0 and 1 (item 1 already there); user 1 at time 2: none.
    data = tiny_shop()
    loader = LinkNeighborLoader(data, [2], edge_label_index=(BUYS, torch.tensor([[0, 1], [1, 1]])),
                                edge_label_time=[4, 2], time_attr="time", batch_size=2)
    batch = next(iter(loader))
    # Seeds come first (each type's in link order), then what hop 1 found.
    assert lists(batch["user"], "n_id", "batch", "num_sampled_nodes") == [[0, 1, 1, 0], [0, 1, 0, 1], [2, 2]]
    assert lists(batch["item"], "n_id", "batch", "num_sampled_nodes") == [[1, 1, 0], [0, 1, 0], [2, 1]]
    assert batch["item"].x.tolist() == [[1.0], [1.0], [0.0]]
    assert lists(batch[BUYS], "edge_index", "e_id") == [[[0, 2, 3, 1], [0, 0, 1, 1]], [1, 2, 1, 2]]
    assert lists(batch[BOUGHT_BY], "edge_index", "e_id") == [[[2, 0], [0, 0]], [0, 1]]
    assert lists(batch[BUYS], "edge_label_index", "edge_label_time", "input_id") == [
        [[0, 1], [0, 1]], [4, 2], [0, 1]]


def test_hand_worked_negatives_exist_at_the_links_time():
    # At time 1 only item 0 exists: every negative is item 0, which is also the positive
    # destination; each is named in a place of its own, after the destination.
    data = tiny_shop()
    batch = next(iter(LinkNeighborLoader(data, [0], edge_label_index=(BUYS, torch.tensor([[0], [0]])),
                                         edge_label_time=[1], time_attr="time", neg_sampling_ratio=2)))
    assert lists(batch[BUYS], "edge_label_index", "edge_label", "edge_label_time") == [
        [[0, 0, 0], [0, 1, 2]], [1.0, 0.0, 0.0], [1, 1, 1]]
    assert batch["item"].n_id.tolist() == [0, 0, 0]
    triplet = next(iter(LinkNeighborLoader(data, [0], edge_label_index=(BUYS, torch.tensor([[0], [0]])),
                                           edge_label_time=[1], time_attr="time",
                                           neg_sampling=dict(mode="triplet", amount=3))))
    assert lists(triplet["user"], "src_index", "seed_time") == [[0], [1]]
    assert lists(triplet["item"], "dst_pos_index", "dst_neg_index") == [[0], [[1, 2, 3]]]
    # Two links, three rounds: the negatives follow the destinations round by round, so
    # link i's r-th negative sits at 2 + 2r + i and row i of dst_neg_index holds link i's.
    triplet = next(iter(LinkNeighborLoader(data, [0], edge_label_index=(BUYS, torch.tensor([[0, 1], [0, 0]])),
                                           edge_label_time=[1, 1], time_attr="time", batch_size=2,
                                           neg_sampling=dict(mode="triplet", amount=3))))
    assert lists(triplet["item"], "dst_pos_index", "dst_neg_index", "batch") == [
        [0, 1], [[2, 4, 6], [3, 5, 7]], [0, 1, 0, 1, 0, 1, 0, 1]]


def test_links_without_times_on_a_timed_graph_are_refused_in_pyg_words():
    # PyG's own loader, run as is, refuses them when it is built: both say the same.
    from torch_geometric.loader import LinkNeighborLoader as PyGLinkNeighborLoader

    one = (BUYS, torch.tensor([[0], [0]]))
    for loader in (PyGLinkNeighborLoader, LinkNeighborLoader):
        with pytest.raises(ValueError) as info, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # PyG's warning that it lacks its sampling library
            loader(tiny_shop(), [1], edge_label_index=one, time_attr="time")
        assert str(info.value) == MISSING_LINK_TIME, loader


def test_group_seeds_keeps_one_seed_per_node_and_group():
    # Type "a": ids 5, 5, 7 in groups 1, 0, 1 then 7, 5 in groups 1, 1: seeds by group.
    seeds = group_seeds([("a", np.array([5, 5, 7]), np.array([1, 0, 1])), ("b", np.array([3]), np.array([0])),
                         ("a", np.array([7, 5]), np.array([1, 1]))], ["a", "b", "c"])
    assert seeds.seed_nodes["a"].tolist() == [5, 5, 7] and seeds.seed_groups["a"].tolist() == [0, 1, 1]
    assert [x.tolist() for x in seeds.local] == [[1, 0, 2], [0], [2, 1]]
    assert seeds.seed_nodes["c"].tolist() == [] and seeds.seed_groups["b"].tolist() == [0]


# -- random temporal graphs against brute force ------------------------------------------

def random_graph(rng, homogeneous, timed_items, scale=1, edge_times=False):
    """Users and items (or one node type) with times 0..5 and random purchases; edge
    attribute edge_w numbers the edges, and with ``edge_times`` the purchases have times
    0..7 of their own. Returns the data, its input edge type and the links."""
    num_links = int(rng.integers(1, 12 * scale))
    if homogeneous:
        n, e = int(rng.integers(1, 9 * scale)), int(rng.integers(0, 30 * scale))
        data = Data(x=torch.arange(n, dtype=torch.float)[:, None], time=torch.from_numpy(rng.integers(0, 6, n)),
                    edge_index=torch.from_numpy(rng.integers(0, n, (2, e))), edge_w=torch.arange(e, dtype=torch.float))
        src, dst = rng.integers(0, n, num_links), rng.integers(0, n, num_links)
        earliest = int(data.time.min())
        return data, EDGE, src, dst, rng.integers(earliest, 8, num_links)
    num_users, num_items = int(rng.integers(1, 7 * scale)), int(rng.integers(1, 9 * scale))
    e = int(rng.integers(0, 30 * scale))
    data = HeteroData()
    data["user"].x = torch.arange(num_users, dtype=torch.float)[:, None]
    data["user"].time = torch.from_numpy(rng.integers(0, 6, num_users))
    data["item"].num_nodes = num_items
    earliest = 0
    if timed_items:
        data["item"].time = torch.from_numpy(rng.integers(0, 6, num_items))
        earliest = int(data["item"].time.min())
    buys = torch.from_numpy(np.stack([rng.integers(0, num_users, e), rng.integers(0, num_items, e)]))
    data[BUYS].edge_index, data[BUYS].edge_w = buys, torch.arange(e, dtype=torch.float)
    data[BOUGHT_BY].edge_index, data[BOUGHT_BY].edge_w = buys.flip(0), torch.arange(e, dtype=torch.float)
    if edge_times:
        data[BUYS].time = data[BOUGHT_BY].time = torch.from_numpy(rng.integers(0, 8, e))
    src, dst = rng.integers(0, num_users, num_links), rng.integers(0, num_items, num_links)
    return data, BUYS, src, dst, rng.integers(earliest, 8, num_links)


def check_batch(batch, sampler, input_type, homogeneous, links, mode, amount, timed, reference=None,
                edge_times=False, neg_weights=None):
    """Every property of a link batch that brute force can establish; with a reference
    sampler (the model, seeded as the loader's stream) the whole subgraph is the model's."""
    graph = sampler.graph
    node_store = {t: batch if homogeneous else batch[t] for t in graph.node_types}
    edge_store = {e: batch if homogeneous else batch[e] for e in graph.edge_types}
    src_type, _, dst_type = input_type
    src_all, dst_all, time_all = links
    link = edge_store[input_type]
    input_id = link.input_id.numpy()
    num_links = input_id.size
    n_id = {t: node_store[t].n_id.numpy() for t in graph.node_types}
    group = {t: node_store[t].batch.numpy() if sampler.keep_batch else np.zeros(n_id[t].size, np.int64)
             for t in graph.node_types}
    if not sampler.keep_batch:
        assert "batch" not in node_store[src_type]
    if sampler.per_seed:  # a group is named by its first link
        link_group = np.arange(num_links)
    elif sampler.keep_batch:  # the links of one time share one
        link_group = np.array([list(time_all[input_id]).index(x) for x in time_all[input_id]], dtype=np.int64)
    else:
        link_group = np.zeros(num_links, np.int64)

    weights = {} if neg_weights is None else neg_weights
    if mode == "triplet":
        src_local, dst_local = node_store[src_type].src_index.numpy(), node_store[dst_type].dst_pos_index.numpy()
        neg_local = node_store[dst_type].dst_neg_index.numpy()
        assert neg_local.shape == ((num_links,) if amount == 1 else (num_links, amount))
        # By round, as PyG: row i holds link i's negatives, and flattened by column they are
        # the rounds one after another, the k-th drawn for link k mod batch.
        neg_local, owner = neg_local.T.reshape(-1), np.tile(np.arange(num_links), amount)
        link_time = node_store[src_type].seed_time.numpy() if timed else None
    else:
        index = link.edge_label_index.numpy()
        num_neg = math.ceil(amount * num_links) if mode else 0
        assert index.shape == (2, num_links + num_neg)
        if mode:
            assert link.edge_label.tolist() == [1.0] * num_links + [0.0] * num_neg
        else:
            assert "edge_label" not in link  # no labels given, none made up
        owner = np.arange(num_neg) % num_links
        src_local, dst_local, neg_local = index[0, :num_links], index[1, :num_links], index[1, num_links:]
        neg_src = index[0, num_links:]
        if "src_weight" in weights:  # a drawn source: positive weight, in its link's subgraph
            assert (weights["src_weight"][n_id[src_type][neg_src]] > 0).all()
            assert (group[src_type][neg_src] == link_group[owner]).all()
        else:
            assert (neg_src == src_local[owner]).all()  # a negative keeps its link's source
        link_time = None
        if timed:
            all_times = link.edge_label_time.numpy()
            link_time = all_times[:num_links]
            assert (all_times[num_links:] == link_time[owner]).all()
    if "dst_weight" in weights:
        assert (weights["dst_weight"][n_id[dst_type][neg_local]] > 0).all()
    if sampler.per_seed:  # PyG's layout: sources, destinations, negatives, a place each
        after_src = num_links if src_type == dst_type else 0
        assert src_local.tolist() == list(range(num_links))
        assert dst_local.tolist() == list(range(after_src, after_src + num_links))
        assert neg_local.tolist() == list(range(after_src + num_links, after_src + num_links + owner.size))
    assert (n_id[src_type][src_local] == src_all[input_id]).all()
    assert (n_id[dst_type][dst_local] == dst_all[input_id]).all()
    assert (group[src_type][src_local] == link_group).all() and (group[dst_type][dst_local] == link_group).all()
    assert (group[dst_type][neg_local] == link_group[owner]).all()
    if timed:
        assert (link_time == time_all[input_id]).all()
        if dst_type in graph.node_time:  # every negative exists at its link's time
            assert (graph.node_time[dst_type][n_id[dst_type][neg_local]] <= link_time[owner]).all()
        for t, times in graph.node_time.items() if not edge_times else ():  # nothing later than its link
            given = np.zeros(n_id[t].size, dtype=bool)  # the link's own ends are taken as given
            for end_type, end in ((src_type, src_local), (dst_type, dst_local)):
                if t == end_type:
                    given[end[times[n_id[t][end]] > link_time]] = True
            assert (times[n_id[t]] <= link_time[group[t]])[~given].all()

    for t in graph.node_types:  # a node found by sampling appears once in its link's subgraph
        pairs = list(zip(group[t].tolist(), n_id[t].tolist()))
        num_seeds = node_store[t].num_sampled_nodes[0]
        found = pairs[num_seeds:]
        assert len(set(found)) == len(found) and not set(found) & set(pairs[:num_seeds])
        if not sampler.per_seed:  # a shared subgraph names a node once
            assert len(set(pairs)) == len(pairs)
    for e in graph.edge_types:
        index, e_id = edge_store[e].edge_index.numpy(), edge_store[e].e_id.numpy()
        data_edges = sampler.data_edge_index[e]
        assert (data_edges[:, e_id] == np.stack([n_id[e[0]][index[0]], n_id[e[2]][index[1]]])).all()
        assert (edge_store[e].edge_w.numpy() == e_id).all()
        assert (group[e[0]][index[0]] == group[e[2]][index[1]]).all()
        if timed and edge_times:  # edge times rule over node times: no edge later than its link
            assert (edge_store[e].time.numpy() <= link_time[group[e[2]][index[1]]]).all()

    if reference is not None:
        # The model grows the same subgraphs from the batch's seeds taken in group order;
        # the batch puts the seeds back in their places.
        num_seeds = {t: node_store[t].num_sampled_nodes[0] for t in graph.node_types}
        order = {t: np.argsort(group[t][:num_seeds[t]], kind="stable") for t in graph.node_types}
        model = reference.sample_groups(sampler.num_neighbors, sampler.time_windows,
                                        {t: n_id[t][:num_seeds[t]][order[t]] for t in graph.node_types},
                                        {t: group[t][:num_seeds[t]][order[t]] for t in graph.node_types},
                                        link_time if timed else np.empty(0, np.int64))
        m_row, m_col, m_node, m_batch, m_nodes, m_edges, m_edge = model
        place = {t: np.r_[order[t], np.arange(num_seeds[t], m_node[t].size)].astype(np.int64)
                 for t in graph.node_types}
        for t in graph.node_types:
            assert m_node[t][np.argsort(place[t])].tolist() == n_id[t].tolist()
            assert m_batch[t][np.argsort(place[t])].tolist() == group[t].tolist()
            assert m_nodes[t].tolist() == list(node_store[t].num_sampled_nodes)
        for e in graph.edge_types:
            key = "__".join(e)
            assert edge_store[e].edge_index.tolist() == [place[e[0]][m_row[key]].tolist(),
                                                         place[e[2]][m_col[key]].tolist()]
            assert edge_store[e].e_id.tolist() == graph.perm[key][m_edge[key]].tolist()


def make_loader(data, input_type, links, homogeneous, timed, **kwargs):
    src, dst, time = links
    index = torch.from_numpy(np.stack([src, dst]))
    loader = LinkNeighborLoader(data, edge_label_index=index if homogeneous else (input_type, index),
                                edge_label_time=time if timed else None, time_attr="time" if timed else None,
                                **kwargs)
    sampler = loader.quorvix_sampler
    # Copies, not views: pickling the loader for its workers may move the tensors' storage.
    sampler.data_edge_index = {e: (data if homogeneous else data[e]).edge_index.numpy().copy()
                              for e in sampler.graph.edge_types}
    return loader, sampler


def reference_of(sampler, temporal_strategy="last"):
    """The model with the loader's random stream: it replays the batches in order."""
    graph = sampler.graph
    reference = ReferenceSampler(*graph.sampler_arguments(), seed=sampler.stream_seed(),
                                 edge_time=graph.edge_time or None, edge_weight=graph.edge_weight or None)
    reference.temporal_strategy = temporal_strategy
    return reference


@settings(max_examples=examples(60), deadline=None)
@given(seed=st.integers(0, 2**32 - 1), homogeneous=st.booleans(), timed=st.booleans(), timed_items=st.booleans(),
       mode=st.sampled_from([None, "binary", "triplet"]), amount=st.sampled_from([1, 2, 0.5]),
       sharing=st.sampled_from(["shared", "per link", "by time"]), batch_size=st.integers(1, 5),
       strategy=st.sampled_from(["last", "uniform"]), edge_times=st.booleans(),
       weighted=st.sampled_from([(), ("dst_weight",), ("dst_weight", "src_weight")]))
def test_link_batches_against_brute_force(seed, homogeneous, timed, timed_items, mode, amount, sharing, batch_size,
                                          strategy, edge_times, weighted):
    rng = np.random.default_rng(seed)
    edge_times = edge_times and timed and not homogeneous
    data, input_type, *links = random_graph(rng, homogeneous, timed_items, edge_times=edge_times)
    if mode == "triplet":
        amount = int(math.ceil(amount))
    neg = None if mode is None else dict(mode=mode, amount=amount)
    neg_weights = None
    if neg is not None and weighted:
        # Weights 0..2, with the earliest node of each type positive so that every link can draw one.
        neg_weights = {}
        for name, node_type in (("dst_weight", input_type[2]), ("src_weight", input_type[0]))[:len(weighted)]:
            store = data if homogeneous else data[node_type]
            weights = rng.integers(0, 3, store.num_nodes).astype(float)
            weights[int(store.time.argmin()) if "time" in store else 0] = 1.0
            neg_weights[name] = neg[name] = weights
            if "time" in store:  # links no earlier than the first node that can be drawn
                links[2] = np.maximum(links[2], int(store.time.min()))
    loader, sampler = make_loader(data, input_type, links, homogeneous, timed, num_neighbors=[2, 1],
                                  neg_sampling=neg, disjoint=sharing == "per link", batch_size=batch_size,
                                  shared_by_time=timed and sharing == "by time", seed=seed,
                                  temporal_strategy=strategy)
    reference = reference_of(sampler, strategy)
    for batch in loader:
        check_batch(batch, sampler, input_type, homogeneous, links, mode, amount, timed, reference, edge_times,
                    neg_weights if mode == "binary" else neg_weights and {"dst_weight": neg_weights["dst_weight"]})


def as_lists(batch):
    stores = [batch] if isinstance(batch, Data) else batch.node_stores + batch.edge_stores
    return [{k: v.tolist() if isinstance(v, torch.Tensor) else v for k, v in s.items()} for s in stores]


@pytest.mark.parametrize("homogeneous", [False, True])
def test_random_fan_outs_and_negatives_are_seeded_and_thread_independent(homogeneous):
    rng = np.random.default_rng(7)
    data, input_type, *links = random_graph(rng, homogeneous, timed_items=True, scale=20)  # calls big enough to split
    runs = {}
    for threads in (1, 2):
        loader, sampler = make_loader(data, input_type, links, homogeneous, timed=True, num_neighbors=[3, 2],
                                      temporal_strategy="uniform", neg_sampling="binary", batch_size=64,
                                      seed=11, num_threads=threads)
        reference = reference_of(sampler, "uniform")  # replays both epochs
        runs[threads] = []
        for _ in range(2):
            runs[threads].append([])
            for batch in loader:
                check_batch(batch, sampler, input_type, homogeneous, links, "binary", 1, True, reference)
                runs[threads][-1].append(as_lists(batch))
    assert runs[1] == runs[2]
    assert runs[1][0] != runs[1][1]  # the streams continue across epochs


@pytest.mark.python_only  # worker processes drawing negatives: Python seeding over native calls made elsewhere
def test_workers_draw_negatives_per_epoch_from_the_seed():
    rng = np.random.default_rng(3)
    data, input_type, *links = random_graph(rng, False, timed_items=False)
    links[0] = np.repeat(links[0], 4)  # enough links for two workers
    links[1], links[2] = np.repeat(links[1], 4), np.repeat(links[2], 4)
    epochs = []
    for _ in range(2):
        loader, _ = make_loader(data, input_type, links, False, timed=True, num_neighbors=[-1],
                                neg_sampling=dict(mode="triplet", amount=4), batch_size=4, seed=5, num_workers=2)
        epochs.append([[b["item"].n_id.tolist() for b in loader] for _ in range(2)])
    assert epochs[0] == epochs[1]  # reproducible from the seed
    assert epochs[0][0] != epochs[0][1]  # a fresh draw each epoch


def test_link_loading_errors():
    data = tiny_shop()
    one = (BUYS, torch.tensor([[0], [0]]))
    cases = [
        (dict(edge_label_time=[1]), ValueError, "'edge_label_time' needs timestamps: give 'time_attr'."),
        (dict(time_attr="time"), ValueError, MISSING_LINK_TIME),
        (dict(time_attr="time", edge_label_time=[0], neg_sampling="binary"), ValueError,
         "No node of type 'item' exists at time 0: no negative can be drawn for link 0 of the batch."),
        (dict(time_attr="time", edge_label_time=[1], neg_sampling=NegativeSampling("binary", dst_weight=torch.ones(2))),
         ValueError, "'dst_weight' must hold one number per node of type 'item' (3), "
                     "got dtype float32 and shape (2,)."),
        (dict(time_attr="time", edge_label_time=[1], neg_sampling=NegativeSampling("triplet", dst_weight=-torch.ones(3))),
         ValueError, "'dst_weight' must be finite and non-negative."),
        (dict(time_attr="time", edge_label_time=[2], neg_sampling=NegativeSampling("triplet", dst_weight=[0, 1, 1])),
         ValueError, "No node of type 'item' with a positive 'dst_weight' exists at time 2: "
                     "no negative can be drawn for link 0 of the batch."),
    ]
    for kwargs, error, message in cases:
        with pytest.raises(error) as info:
            next(iter(LinkNeighborLoader(data, [1], edge_label_index=one, **kwargs)))
        assert str(info.value) == message
    del data["item"].time, data["user"].time
    sampler = NeighborSampler(data, [1])
    request = EdgeSamplerInput(None, torch.tensor([0]), torch.tensor([3]), input_type=BUYS)
    cases = [
        (request, "'edge_label_index' has ids outside [0, 3) of node type 'item'."),
        (EdgeSamplerInput(None, torch.tensor([0]), torch.tensor([0])),
         "'input_type' is needed on a graph with several edge types."),
        (EdgeSamplerInput(None, torch.tensor([0]), torch.tensor([0]), input_type=("user", "x", "shop")),
         "Input edge type ('user', 'x', 'shop') does not link two node types of the graph."),
        (EdgeSamplerInput(None, torch.tensor([0, 1]), torch.tensor([0]), input_type=BUYS),
         "2 source ids for 1 destination ids."),
    ]
    for request, message in cases:
        with pytest.raises(ValueError) as info:
            sampler.sample_from_edges(request)
        assert str(info.value) == message
    timed = NeighborSampler(tiny_shop(), [1], time_attr="time")
    with pytest.raises(ValueError) as info:
        timed.sample_from_edges(EdgeSamplerInput(None, torch.tensor([0]), torch.tensor([0]), time=torch.tensor([1, 2]),
                                                 input_type=BUYS))
    assert str(info.value) == "2 link times for 1 links."


def test_edge_times_bound_the_links_subgraphs():
    # Times on edges only: the links still need times, every sampled edge is no later than
    # its link, and negatives come from all nodes (nodes without times always exist).
    rng = np.random.default_rng(5)
    n, e = 6, 40
    data = Data(num_nodes=n, edge_index=torch.from_numpy(rng.integers(0, n, (2, e))),
                time=torch.from_numpy(rng.integers(0, 10, e)))
    index, link_time = torch.from_numpy(rng.integers(0, n, (2, 8))), rng.integers(0, 10, 8)
    with pytest.raises(ValueError) as info:
        next(iter(LinkNeighborLoader(data, [-1, -1], edge_label_index=index, time_attr="time")))
    assert str(info.value) == MISSING_LINK_TIME
    loader = LinkNeighborLoader(data, [-1, -1], edge_label_index=index, edge_label_time=link_time,
                                time_attr="time", neg_sampling=dict(mode="triplet", amount=3), batch_size=4)
    for batch in loader:
        assert (batch.time <= batch.seed_time[batch.batch[batch.edge_index[1]]]).all()
        assert batch.dst_neg_index.shape == (4, 3) and batch.edge_index.shape[1] > 0


@pytest.mark.parametrize("subgraph_type", ["bidirectional", "induced"])
def test_other_subgraph_types_keep_links_and_times(subgraph_type):
    # The added edges are real edges between nodes of one link's subgraph.
    rng = np.random.default_rng(11)
    data, input_type, *links = random_graph(rng, False, timed_items=True, scale=5)
    loader, sampler = make_loader(data, input_type, links, False, timed=True, num_neighbors=[2, 2],
                                  neg_sampling="binary", batch_size=8, subgraph_type=subgraph_type)
    for batch in loader:
        check_batch(batch, sampler, input_type, False, links, "binary", 1, True)


def test_weighted_negatives_follow_the_weights_among_the_nodes_that_exist():
    # Items at times 1, 3, 5 weighted 1, 0, 3. Link 0 at time 6 draws items 0 and 2 about
    # 1:3 and never item 1; link 1 at time 4 can only draw item 0 (item 2 does not exist
    # yet). Binary negatives with src_weight 0, 1 take user 1 as every source.
    data = tiny_shop()
    links = (BUYS, torch.tensor([[0, 1], [0, 1]]))
    dst_weight = torch.tensor([1.0, 0.0, 3.0])
    triplet = LinkNeighborLoader(data, [0], links, edge_label_time=[6, 4], time_attr="time", batch_size=2, seed=0,
                                 neg_sampling=dict(mode="triplet", amount=2000, dst_weight=dst_weight))
    batch = next(iter(triplet))
    drawn = batch["item"].n_id[batch["item"].dst_neg_index]
    counts = Counter(drawn[0].tolist())
    assert set(counts) == {0, 2} and abs(counts[2] - 1500) < 100  # five standard deviations
    assert set(drawn[1].tolist()) == {0}
    binary = LinkNeighborLoader(data, [0], links, edge_label_time=[6, 4], time_attr="time", batch_size=2, seed=0,
                                neg_sampling=NegativeSampling("binary", 50, src_weight=torch.tensor([0.0, 1.0]),
                                                              dst_weight=dst_weight))
    batch = next(iter(binary))
    index = batch[BUYS].edge_label_index
    assert set(batch["user"].n_id[index[0, 2:]].tolist()) == {1}
    assert set(batch["item"].n_id[index[1, 2:]].tolist()) <= {0, 2}


def test_a_data_without_edges_is_a_graph_without_edges():
    data = Data(x=torch.arange(5, dtype=torch.float)[:, None], num_nodes=5)
    node_batch = next(iter(NeighborLoader(data, [2], batch_size=3)))
    assert node_batch.n_id.tolist() == [0, 1, 2] and node_batch.e_id.tolist() == []
    link_batch = next(iter(LinkNeighborLoader(data, [2], edge_label_index=torch.tensor([[0, 1], [3, 3]]),
                                              batch_size=2, neg_sampling=dict(mode="triplet", amount=1), seed=0)))
    assert link_batch.n_id[link_batch.src_index].tolist() == [0, 1] and link_batch.e_id.tolist() == []
    assert link_batch.n_id[link_batch.dst_pos_index].tolist() == [3, 3]
