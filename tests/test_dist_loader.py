"""quorvix.pyg.DistNeighborLoader against NeighborLoader over the whole graph, with every part
opened in this process; the 2-process RPC world is in test_dist_world.py."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

import quorvix.dist  # noqa: E402
from dist_worker import flat_batch as flat  # noqa: E402
from quorvix.pyg import DistNeighborLoader, NeighborLoader, partition_data  # noqa: E402
from quorvix.pyg.output import reverse_edge_types  # noqa: E402
from test_pyg import hetero_requests, shop  # noqa: E402
from sanitized import examples


def open_parts(data, num_parts, path, time_attr):
    partition_data(data, num_parts, path, time_attr)
    return {k: quorvix.dist.open_part(path, k) for k in range(num_parts)}


def batches(loader, shuffle_seed):
    torch.manual_seed(shuffle_seed)  # both loaders shuffle with the same permutation
    return [flat(batch) for batch in loader]


@settings(max_examples=examples(60), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=hetero_requests(), data=st.data())
def test_batches_are_the_whole_graph_loaders(case, data, tmp_path_factory):
    """Random heterogeneous graphs, rules without draws (last-k with times, windows, -1), per seed
    and shared, shuffled or not, every subgraph type, from any rank of 1 to 3 parts:
    NeighborLoader's batches, node features, labels and edge attributes included."""
    graph, num_neighbors, options, requests = case
    timed = set(t for t in graph.node_types if "time" in graph[t])
    for t in graph.node_types:
        n = graph[t].num_nodes
        graph[t].x = torch.arange(2 * n, dtype=torch.float32).reshape(n, 2) + (100 if t == "b" else 0)
        graph[t].y = torch.arange(n) % 3
    for e in graph.edge_types:  # an edge attribute that names the edge, one that is 2-D
        m = graph[e].edge_index.size(1)
        graph[e].w = torch.arange(m) * 10 + len(e[1])
        graph[e].edge_attr = torch.stack([torch.arange(m, dtype=torch.float64)] * 2, 1) / 4
    fixed = {e: [-1 if k > 0 and e[0] not in timed else k for k in hops] for e, hops in num_neighbors.items()}
    settings_ = dict(temporal_strategy="last", time_windows=options["time_windows"],
                     disjoint=data.draw(st.booleans()), batch_size=data.draw(st.integers(1, 3)),
                     shuffle=data.draw(st.booleans()))
    if timed and not settings_["disjoint"]:
        settings_["shared_by_time"] = data.draw(st.booleans())
    if timed:  # batches of one seed time each, the seeds' own times read from their owners
        settings_["batch_by_time"] = data.draw(st.booleans())
    has_reverses = None not in reverse_edge_types(graph.edge_types).values()
    settings_["subgraph_type"] = data.draw(st.sampled_from(["directional", "induced"]
                                                           + ["bidirectional"] * has_reverses))
    num_parts = data.draw(st.integers(1, 3))
    parts = open_parts(graph, num_parts, tmp_path_factory.mktemp("parts"), options["time_attr"])
    rank = data.draw(st.integers(0, num_parts - 1))
    transport = quorvix.dist.InProcessTransport(parts)
    for input_type, seeds, time in requests:
        input_nodes = (input_type, torch.tensor(seeds))
        whole = NeighborLoader(graph, fixed, input_nodes, time, time_attr=options["time_attr"], **settings_)
        dist = DistNeighborLoader(parts[rank], fixed, input_nodes, time, transport=transport, **settings_)
        assert batches(dist, 5) == batches(whole, 5)


def test_a_data_gives_data_batches(tmp_path):
    """A homogeneous graph: Data batches, worked by hand. Nodes 0..3 at times 0..3, edges j -> j + 1
    and 0 -> 3; seeds 3 and 2 at their own times, one latest neighbour per hop."""
    from torch_geometric.data import Data

    data = Data(edge_index=torch.tensor([[0, 1, 2, 0], [1, 2, 3, 3]]), time=torch.arange(4),
                x=torch.arange(4.0)[:, None], edge_weight=torch.tensor([0.5, 1.5, 2.5, 3.5]))
    parts = open_parts(data, 2, tmp_path, "time")
    seen = []
    loader = DistNeighborLoader(parts[0], [1, 1], torch.tensor([3, 2]), temporal_strategy="last", batch_size=2,
                                transport=quorvix.dist.InProcessTransport(parts),
                                transform=lambda batch: seen.append(batch.x.tolist()) or batch)
    (batch,) = list(loader)
    assert type(batch) is Data
    assert seen == [batch.x.tolist()]  # the transform ran once, on the batch with its features
    # Seed 3's latest in-neighbour is 2 (time 2; 0 -> 3 is listed later but older), then 1; seed 2's is 1, then 0.
    assert batch.n_id.tolist() == [3, 2, 2, 1, 1, 0]
    assert batch.x[:, 0].tolist() == [3.0, 2.0, 2.0, 1.0, 1.0, 0.0]
    assert batch.e_id.tolist() == [2, 1, 1, 0]
    assert batch.edge_weight.tolist() == [2.5, 1.5, 1.5, 0.5]
    assert batch.batch.tolist() == [0, 1, 0, 1, 0, 1]
    assert flat(batch) == flat(next(iter(NeighborLoader(data, [1, 1], torch.tensor([3, 2]), time_attr="time",
                                                        temporal_strategy="last", batch_size=2))))


def test_what_the_loader_refuses(tmp_path):
    import quorvix

    data = shop()
    parts = open_parts(data, 2, tmp_path / "pyg", "time")
    transport = quorvix.dist.InProcessTransport(parts)
    with pytest.raises(ValueError) as raised:
        DistNeighborLoader(parts[0], [1], ("user", torch.tensor([0])), transport=transport, subgraph_type="both")
    assert str(raised.value) == "'subgraph_type' must be 'directional', 'bidirectional' or 'induced', got 'both'."
    key = "a__to__a"
    graph = quorvix.Graph(["a"], [("a", "to", "a")], {key: np.array([0, 0])}, {key: np.array([], int)}, {})
    quorvix.partition(graph, 1, tmp_path / "plain")
    plain = quorvix.dist.open_part(tmp_path / "plain", 0)
    with pytest.raises(ValueError) as raised:
        DistNeighborLoader(plain, [1], ("a", torch.tensor([0])))
    assert str(raised.value) == (f"Part directory '{plain.directory}' has no pyg.json: write the parts with "
                                 "quorvix.pyg.partition_data.")


@pytest.mark.usefixtures("hang_limit")
def test_worker_processes_give_the_batches_of_none(tmp_path):
    """Workers sample in their own processes over the parts this one opened (in RPC worlds they
    reach the owners straight: test_dist_world.py)."""
    parts = open_parts(shop(), 2, tmp_path, "time")
    transport = quorvix.dist.InProcessTransport(parts)
    settings_ = dict(num_neighbors=[2, 2], input_nodes=("user", torch.tensor([0, 1, 1, 0, 1])),
                     temporal_strategy="last", batch_size=2, transport=transport)
    expected = [flat(b) for b in DistNeighborLoader(parts[1], **settings_)]
    assert [flat(b) for b in DistNeighborLoader(parts[1], num_workers=2, **settings_)] == expected


def test_a_part_pickles_as_the_same_files(tmp_path):
    """A spawned worker gets the part by pickle: mapped again, a file changed since refused."""
    import os
    import pickle

    parts = open_parts(shop(), 2, tmp_path, "time")
    copy = pickle.loads(pickle.dumps(parts[0]))
    ids = np.array([0, 2], dtype=np.int64)
    assert np.array_equal(copy.node_feature("order", "x", ids), parts[0].node_feature("order", "x", ids))
    path = os.path.join(parts[0].directory, "feature.1.x.npy")
    os.utime(path, ns=(0, 0))
    with pytest.raises(RuntimeError) as raised:
        pickle.loads(pickle.dumps(parts[0]))
    assert str(raised.value) == (f"Part file '{path}' changed while served (size, modification time or identity): "
                                 "part files must not change while served.")
