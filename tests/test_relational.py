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
    if not isinstance(a, torch.Tensor):
        return a == b
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


@pytest.mark.python_only  # a training script
def test_the_example_trains_from_a_database_file(database, tmp_path):
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / "relational_entity.py"), database,
                           "--epochs", "2", "--cache", str(tmp_path)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "epoch 1: loss" in proc.stdout and "over 60 training rows" in proc.stdout


def data_forms(loader, graph, keys):
    """Every way of handing the loaders a graph built from tables, with the same features."""
    import torch_geometric.loader

    from quorvix.pyg import GraphStore, NeighborLoader, NeighborSampler

    features = loader.data[0] if isinstance(loader.data, tuple) else loader.data
    common = dict(input_nodes=("customers", loader.input_data.node), input_time=loader.input_data.time,
                  batch_size=16)
    sampler = dict(temporal_strategy="last", seed=0)
    store = GraphStore(graph, keys)
    yield "graph=", NeighborLoader(features, list(shop.NUM_NEIGHBORS), graph=(graph, keys), **sampler, **common)
    yield "(features, graph)", NeighborLoader((features, graph), list(shop.NUM_NEIGHBORS), **sampler, **common)
    yield "(features, store)", NeighborLoader((features, store), list(shop.NUM_NEIGHBORS), **sampler, **common)
    # PyG's loader wants a time attribute name with seed times; the graph holds the times.
    yield "PyG's loader", torch_geometric.loader.NeighborLoader(
        (features, store), list(shop.NUM_NEIGHBORS), time_attr="time",
        neighbor_sampler=NeighborSampler((features, store), list(shop.NUM_NEIGHBORS), **sampler), **common)
    yield "(graph, keys)", NeighborLoader((graph, keys), list(shop.NUM_NEIGHBORS), **sampler, **common)


def test_every_form_of_the_graph_gives_the_same_batches(database):
    from quorvix.tables import from_database

    reference, *_ = example.make_loader(database, num_neighbors=shop.NUM_NEIGHBORS, batch_size=16)
    graph, keys = from_database(example.connect(database), sorted(set(example.table_names(
        example.connect(database))) - {"churn"}), time_columns=shop.TIME_COLUMNS)
    expected = list(reference)
    for name, loader in data_forms(reference, graph, keys):
        for ours, theirs in zip(loader, expected, strict=True):
            for t in graph.node_types:
                assert torch.equal(ours[t].n_id, theirs[t].n_id), (name, t)
                if name != "(graph, keys)":  # the graph alone carries no features
                    assert set(ours[t].keys()) == set(theirs[t].keys()), name
                    for column in theirs[t].keys():
                        assert same(ours[t][column], theirs[t][column]), (name, t, column)
            for e in graph.edge_types:
                assert torch.equal(ours[e].edge_index, theirs[e].edge_index), (name, e)
                assert torch.equal(ours[e].e_id, theirs[e].e_id), (name, e)


def test_graph_store_serves_the_graph_read_only():
    from torch_geometric.data import EdgeAttr

    import quorvix
    from quorvix.pyg import GraphStore

    tables = {"customers": {"id": np.array([7, 3])},
              "orders": {"oid": np.array([1, 2, 3]), "customer": np.array([3, 7, 3]), "time": np.array([5, 1, 2])},
              "notes": {"text": np.array(["a"])}}  # no key, no edges: the graph alone cannot count it
    graph, keys = quorvix.Graph.from_tables(tables, {"customers": "id", "orders": "oid"},
                                            [("orders", "customer", "customers")], {"orders": "time"})
    store = GraphStore(graph, keys)
    down = ("orders", "f2p_customer", "customers")
    row, colptr, perm = store.csc()[0][down], store.csc()[1][down], store.csc()[2][down]
    # customer 3 (node 1) has orders 3 (t=2) then 1 (t=5), customer 7 (node 0) order 2.
    assert colptr.tolist() == [0, 1, 3] and row.tolist() == [1, 2, 0] and perm is None
    assert [(a.edge_type, tuple(a.size)) for a in store.get_all_edge_attrs()] == [
        (down, (3, 2)), (("customers", "rev_f2p_customer", "orders"), (2, 3))]
    src, dst, _ = store.coo([down])
    assert src[down].tolist() == [1, 2, 0] and dst[down].tolist() == [0, 1, 1]
    with pytest.raises(TypeError) as info:
        store.put_edge_index((row, colptr), EdgeAttr(down, "csc", size=(3, 2)))
    assert str(info.value) == "A quorvix GraphStore is read-only: its graph is an immutable value."
    with pytest.raises(ValueError) as info:
        GraphStore(graph)
    assert str(info.value) == ("Node type 'notes' has no known number of nodes; give it in 'num_nodes' "
                               "(the keys from from_tables know it).")
    with pytest.raises(ValueError) as info:
        GraphStore(graph, {"notes": 1, "orders": 2})
    assert str(info.value) == "'num_nodes' gives 2 nodes of type 'orders', but the graph has 3."


def test_link_loaders_take_the_graph_from_tables():
    import torch_geometric.loader
    from torch_geometric.data import HeteroData

    import quorvix
    from quorvix.pyg import GraphStore, LinkNeighborLoader, NeighborSampler

    tables = {"customers": {"id": np.arange(5)}, "products": {"id": np.arange(4)},
              "orders": {"oid": np.arange(12), "c": np.arange(12) % 5, "p": np.arange(12) % 4,
                         "t": np.arange(12)}}
    graph, keys = quorvix.Graph.from_tables(tables, {"customers": "id", "products": "id", "orders": "oid"},
                                            [("orders", "c", "customers"), ("orders", "p", "products")],
                                            {"orders": "t"})
    feats = HeteroData()
    for t, n in keys.num_nodes.items():
        feats[t].x = torch.arange(n, dtype=torch.float).view(-1, 1)
    store = GraphStore(graph, keys)
    links = dict(edge_label_index=(("customers", "buys", "products"), torch.tensor([[0, 1, 2], [1, 2, 3]])),
                 edge_label_time=torch.tensor([5, 8, 11]), batch_size=2)
    ours = LinkNeighborLoader(feats, [2, 2], graph=(graph, keys), temporal_strategy="last", **links)
    theirs = torch_geometric.loader.LinkLoader(
        (feats, store), link_sampler=NeighborSampler((feats, store), [2, 2], temporal_strategy="last"), **links)
    for a, b in zip(ours, theirs, strict=True):
        for t in graph.node_types:
            assert torch.equal(a[t].n_id, b[t].n_id) and torch.equal(a[t].x, b[t].x)
        for e in graph.edge_types:
            assert torch.equal(a[e].edge_index, b[e].edge_index)
        # Nothing later than a link's time: an order's time is its id.
        link_time = a["customers", "buys", "products"].edge_label_time
        assert bool((a["orders"].n_id <= link_time[a["orders"].batch]).all())
        assert torch.equal(a["customers", "buys", "products"].edge_label_index,
                           b["customers", "buys", "products"].edge_label_index)


def test_schema_order_does_not_depend_on_the_backend_or_the_declaration_order():
    import sqlite3

    from quorvix.tables import from_database

    graphs = []
    for order in (1, -1):
        # Tables created, and each table's foreign keys declared, in one order and in the other.
        con = sqlite3.connect(":memory:")
        for statement in shop.SCHEMA[:-1][::order]:
            con.execute(statement.replace("BIGINT", "INTEGER"))
        graphs.append(from_database(con)[0])
        duckdb = pytest.importorskip("duckdb")
        con = duckdb.connect()
        for statement in shop.SCHEMA[:-1][::order] if order == 1 else _parents_first(shop.SCHEMA[:-1]):
            con.execute(statement)
        graphs.append(from_database(con)[0])
    expected = [("order_items", "f2p_order_id", "orders"), ("orders", "rev_f2p_order_id", "order_items"),
                ("order_items", "f2p_product_id", "products"), ("products", "rev_f2p_product_id", "order_items"),
                ("orders", "f2p_customer_id", "customers"), ("customers", "rev_f2p_customer_id", "orders"),
                ("reviews", "f2p_customer_id", "customers"), ("customers", "rev_f2p_customer_id", "reviews"),
                ("reviews", "f2p_product_id", "products"), ("products", "rev_f2p_product_id", "reviews")]
    for graph in graphs:
        assert graph.node_types == ["customers", "order_items", "orders", "products", "reviews"]
        assert graph.edge_types == expected


def _parents_first(schema):
    """Another order DuckDB accepts (a referenced table must exist first): products,
    customers, orders, reviews, order_items."""
    return [schema[i] for i in (1, 0, 2, 4, 3)]
