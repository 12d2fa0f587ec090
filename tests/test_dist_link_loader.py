"""quorvix.pyg.DistLinkNeighborLoader against LinkNeighborLoader over the whole graph, with every
part opened in this process."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

import quorvix.dist  # noqa: E402
from dist_worker import flat_batch as flat  # noqa: E402
from quorvix.pyg import DistLinkNeighborLoader, LinkNeighborLoader, partition_data  # noqa: E402
from test_pyg_link import BUYS, random_graph, tiny_shop  # noqa: E402
from sanitized import examples  # noqa: E402


def open_parts(data, num_parts, path, time_attr):
    partition_data(data, num_parts, path, time_attr)
    return {k: quorvix.dist.open_part(path, k) for k in range(num_parts)}


def batches(loader, shuffle_seed):
    torch.manual_seed(shuffle_seed)  # both loaders shuffle with the same permutation
    return [flat(batch) for batch in loader]


@settings(max_examples=examples(60), deadline=None)
@given(seed=st.integers(0, 2**32 - 1), homogeneous=st.booleans(), timed=st.booleans(), timed_items=st.booleans(),
       edge_times=st.booleans(), mode=st.sampled_from([None, "binary", "triplet"]), amount=st.sampled_from([1, 2, 0.5]),
       sharing=st.sampled_from(["shared", "per link", "by time"]), batch_size=st.integers(1, 5),
       shuffle=st.booleans(), weighted=st.sampled_from([(), ("dst_weight",), ("dst_weight", "src_weight")]),
       num_parts=st.integers(1, 3), subgraph_type=st.sampled_from(["directional", "bidirectional", "induced"]),
       data=st.data())
def test_batches_are_the_whole_graph_loaders(seed, homogeneous, timed, timed_items, edge_times, mode, amount,
                                             sharing, batch_size, shuffle, weighted, num_parts, subgraph_type,
                                             data, tmp_path_factory):
    """Random link graphs, rules without draws (last-k with times, -1 without), random negatives of
    every kind (uniform and weighted, drawn with the same seed), per link, shared and by time, every
    subgraph type, from any rank of 1 to 3 parts: LinkNeighborLoader's batches, features and labels
    included."""
    rng = np.random.default_rng(seed)
    edge_times = edge_times and timed and not homogeneous
    graph, input_type, src, dst, link_time = random_graph(rng, homogeneous, timed_items, edge_times=edge_times)
    time_attr = "time" if timed else None
    neighbour_timed = timed and (homogeneous or edge_times or timed_items)
    # Hop 1 from users (timed) and items; a fan-out over untimed neighbours would draw.
    fan_outs = [2, 1] if neighbour_timed else [-1, -1]
    num_neighbors = fan_outs if homogeneous else {BUYS: [2, 1] if timed else [-1, -1],
                                                  ("item", "bought_by", "user"): fan_outs}
    neg = None
    if mode is not None:
        neg = dict(mode=mode, amount=int(math.ceil(amount)) if mode == "triplet" else amount)
        for name, node_type in (("dst_weight", input_type[2]), ("src_weight", input_type[0])):
            if name in weighted and (name == "dst_weight" or mode == "binary"):
                store = graph if homogeneous else graph[node_type]
                weights = rng.integers(0, 3, store.num_nodes).astype(float)
                earliest = int(store.time.argmin()) if timed and "time" in store else 0
                weights[earliest] = 1.0  # every link can draw this one
                neg[name] = weights
                if timed and "time" in store:  # links no earlier than it
                    link_time = np.maximum(link_time, int(store.time.min()))
    index = torch.from_numpy(np.stack([src, dst]))
    settings_ = dict(edge_label_index=index if homogeneous else (input_type, index),
                     edge_label_time=link_time if timed else None, neg_sampling=neg,
                     temporal_strategy="last", disjoint=sharing == "per link",
                     shared_by_time=timed and sharing == "by time", seed=seed, batch_size=batch_size,
                     shuffle=shuffle, subgraph_type=subgraph_type)
    if mode != "triplet" and data.draw(st.booleans()):  # PyG takes no labels with triplets
        settings_["edge_label"] = torch.from_numpy(rng.integers(0, 2, src.size)).float()
    parts = open_parts(graph, num_parts, tmp_path_factory.mktemp("parts"), time_attr)
    rank = data.draw(st.integers(0, num_parts - 1))
    dist = DistLinkNeighborLoader(parts[rank], num_neighbors, transport=quorvix.dist.InProcessTransport(parts),
                                  **settings_)
    whole = LinkNeighborLoader(graph, num_neighbors, time_attr=time_attr, **settings_)
    assert batches(dist, 5) == batches(whole, 5)


def test_negatives_exist_at_the_links_time_on_every_part(tmp_path):
    """Items 0, 1, 2 at times 1, 3, 5 fall in parts 0, 1, 0: a link at time 3 draws items 0 and 1
    only, from both parts, a link at time 1 item 0 only; the transform sees the features."""
    data = tiny_shop()
    parts = open_parts(data, 2, tmp_path, "time")
    links = (BUYS, torch.tensor([[0, 1] * 50, [1, 1] * 50]))
    seen = []
    loader = DistLinkNeighborLoader(parts[1], [0], edge_label_index=links, edge_label_time=[3, 1] * 50,
                                    neg_sampling_ratio=1, batch_size=100, seed=3,
                                    transport=quorvix.dist.InProcessTransport(parts),
                                    transform=lambda batch: seen.append(batch["item"].x.size(0)) or batch)
    (batch,) = list(loader)
    assert seen == [batch["item"].n_id.numel()]
    negative = batch["item"].n_id[batch[BUYS].edge_label_index[1, 100:]]
    assert set(negative[0::2].tolist()) == {0, 1} and set(negative[1::2].tolist()) == {0}
    assert batch["item"].x[:, 0].tolist() == batch["item"].n_id.float().tolist()


def test_what_the_link_loader_refuses(tmp_path):
    data = tiny_shop()
    parts = open_parts(data, 2, tmp_path, "time")
    transport = quorvix.dist.InProcessTransport(parts)
    links = (BUYS, torch.tensor([[0], [1]]))
    no_links = ("DistLinkNeighborLoader needs the seed links in 'edge_label_index' (a [2, num_links] tensor, with "
                "its edge type on a heterogeneous graph): no rank holds every edge of a type.")
    cases = [
        (dict(), no_links),
        (dict(edge_label_index=BUYS), no_links),
        (dict(edge_label_index=(BUYS, None)), no_links),
        (dict(edge_label_index=links), "Received conflicting 'edge_label_time' and 'time_attr' arguments: "
                                       "'edge_label_time' is not set while 'time_attr' is set. Both arguments "
                                       "must be provided for temporal sampling."),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError) as raised:
            DistLinkNeighborLoader(parts[0], [1], transport=transport, **kwargs)
        assert str(raised.value) == message


@pytest.mark.usefixtures("hang_limit")
def test_worker_processes_draw_the_whole_graph_loaders_negatives(tmp_path):
    """With two workers each, the negatives drawn across parts are LinkNeighborLoader's, draw for draw
    (each worker's stream is keyed by the seed, the epoch and its id)."""
    rng = np.random.default_rng(3)
    graph, input_type, src, dst, link_time = random_graph(rng, False, True)
    parts = open_parts(graph, 2, tmp_path, "time")
    settings_ = dict(edge_label_index=(input_type, torch.from_numpy(np.stack([src, dst]))), edge_label_time=link_time,
                     neg_sampling="binary", temporal_strategy="last", seed=11, batch_size=3, num_workers=2)
    num_neighbors = {BUYS: [2, 1], ("item", "bought_by", "user"): [2, 1]}
    dist = DistLinkNeighborLoader(parts[1], num_neighbors, transport=quorvix.dist.InProcessTransport(parts),
                                  **settings_)
    whole = LinkNeighborLoader(graph, num_neighbors, time_attr="time", **settings_)
    assert batches(dist, 5) == batches(whole, 5)
