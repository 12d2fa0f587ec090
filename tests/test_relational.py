"""From a database file to training batches: the graph as the loaders' graph, features in
node-id order, and the entity example against the path through a HeteroData."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")
pytest.importorskip("pandas")

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))
import relational as shop  # noqa: E402
import relational_entity as example  # noqa: E402

FORMATS = [".duckdb", ".sqlite"]


@pytest.fixture(scope="module", params=FORMATS)
def database(request, tmp_path_factory):
    if request.param == ".duckdb":
        pytest.importorskip("duckdb")
    return str(shop.write_shop(tmp_path_factory.mktemp("shop") / f"shop{request.param}", customers=60))


def same(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and bool(
        torch.equal(a, b) if not a.is_floating_point() else torch.equal(a.nan_to_num(-7), b.nan_to_num(-7)))


def test_batches_equal_those_of_the_path_through_hetero_data(database, tmp_path):
    loader, graph, table_features, _ = example.make_loader(database, num_neighbors=shop.NUM_NEIGHBORS,
                                                           batch_size=16, cache=tmp_path)
    reference = shop.hetero_loader(database, batch_size=16)
    assert graph.node_types == sorted(graph.node_types)
    batches = []
    for ours, theirs in zip(loader, reference, strict=True):
        batches.append(ours)
        for t in graph.node_types:
            assert torch.equal(ours[t].n_id, theirs[t].n_id), t
            assert ours[t].num_sampled_nodes == theirs[t].num_sampled_nodes
            for column in table_features.arrays[t]:
                assert same(ours[t][column], theirs[t][column]), (t, column)
        for edge_type in graph.edge_types:
            key = "__".join(edge_type)
            assert torch.equal(ours[edge_type].edge_index, theirs[edge_type].edge_index), edge_type
            # Our edge ids are the graph's CSC positions: each names the sampled edge.
            row = torch.from_numpy(np.array(graph.row[key]))
            src = ours[edge_type[0]].n_id[ours[edge_type].edge_index[0]]
            assert torch.equal(row[ours[edge_type].e_id], src)
        assert torch.equal(ours["customers"].seed_time, theirs["customers"].seed_time)
        assert torch.equal(ours["customers"].input_id, theirs["customers"].input_id)
    assert len(batches) == 4
    # A second run reads the cached arrays, memory-mapped, and gives the same first batch.
    again, _, cached, _ = example.make_loader(database, num_neighbors=shop.NUM_NEIGHBORS, batch_size=16,
                                              cache=tmp_path)
    assert all(isinstance(a, np.memmap) for columns in cached.arrays.values() for a in columns.values())
    first, second = batches[0], next(iter(again))
    for t in graph.node_types:
        for column in table_features.arrays[t]:
            assert same(first[t][column], second[t][column])


def test_the_example_trains_from_a_database_file(database, tmp_path):
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / "relational_entity.py"), database,
                           "--epochs", "2", "--cache", str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "epoch 1: loss" in proc.stdout and "over 60 training rows" in proc.stdout
