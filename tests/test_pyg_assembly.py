"""The node loaders' own batch assembly against PyG's generic one, and the native row copy."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

from torch.utils.data import DataLoader  # noqa: E402
from torch_geometric.data import Data, HeteroData  # noqa: E402
from torch_geometric.loader import LinkLoader, NodeLoader  # noqa: E402

import quorvix  # noqa: E402
from quorvix.datasets import ratings  # noqa: E402
from quorvix.pyg.batching import SeedBatches  # noqa: E402
from quorvix.pyg import LinkNeighborLoader, NeighborLoader, graph_from_hetero_data  # noqa: E402
from sanitized import examples  # noqa: E402

EDGE_TYPES = [("a", "to", "b"), ("b", "back", "a"), ("a", "self", "a")]


def assert_same_batch(got, expected):
    """Stores in one order, keys in one order, values equal (NaN equal to NaN), dtypes equal."""
    assert type(got) is type(expected)
    assert [getattr(s, "_key", None) for s in got.stores] == [getattr(s, "_key", None) for s in expected.stores]
    for mine, theirs in zip(got.stores, expected.stores):
        assert list(mine.keys()) == list(theirs.keys()), getattr(mine, "_key", None)
        for key in theirs.keys():
            a, b = mine[key], theirs[key]
            if isinstance(b, torch.Tensor):
                assert a.dtype == b.dtype and a.shape == b.shape, key
                assert torch.equal(a.view(torch.uint8) if a.dtype == torch.bfloat16 else a, b.view(torch.uint8)
                                   if b.dtype == torch.bfloat16 else b) or bool(
                    ((a == b) | (a.isnan() & b.isnan())).all()), key
            else:
                assert type(a) is type(b) and a == b, key


def attributes(draw, n):
    """Tensors of one row per item in the dtypes and layouts a user's data holds, and others."""
    out = {}
    for name in draw(st.lists(st.sampled_from(["f32", "i64", "f16", "bf16", "bool", "u8", "strided", "nan"]),
                              unique=True, max_size=4)):
        if name == "f32":
            out[name] = torch.randn(n, 3)
        elif name == "i64":
            out[name] = torch.arange(n) * 7
        elif name == "f16":
            out[name] = torch.randn(n).half()
        elif name == "bf16":  # NumPy has no bfloat16: torch copies it
            out[name] = torch.randn(n, 2).bfloat16()
        elif name == "bool":
            out[name] = torch.arange(n) % 2 == 0
        elif name == "u8":
            out[name] = torch.randint(0, 255, (n, 2, 2), dtype=torch.uint8)
        elif name == "strided":  # not contiguous: torch copies it
            out[name] = torch.randn(3, n).t()
        else:
            out[name] = torch.where(torch.arange(n) % 3 == 0, float("nan"), 1.0)
    return out


@st.composite
def loaders(draw):
    torch.manual_seed(draw(st.integers(0, 2**16)))
    form = draw(st.sampled_from(["hetero", "features", "data"]))
    timed = draw(st.booleans())
    options = dict(time_attr="time" if timed else None, disjoint=draw(st.booleans()),
                   subgraph_type=draw(st.sampled_from(["directional", "bidirectional", "induced"])),
                   num_threads=draw(st.sampled_from([1, 2])), temporal_strategy="last")
    links = draw(st.booleans())

    def loader(data, seeds, seed_edges):
        if not links:
            return NeighborLoader(data, [2, 2], input_nodes=seeds, batch_size=3, shuffle=True, **options)
        count = seed_edges[1].shape[1] if isinstance(seed_edges, tuple) else seed_edges.shape[1]
        negatives = draw(st.sampled_from([None, "binary", "triplet"]))
        return LinkNeighborLoader(
            data, [2, 1], edge_label_index=seed_edges, batch_size=3, shuffle=True, neg_sampling=negatives,
            edge_label=None if negatives == "triplet" else draw(st.sampled_from([None, torch.ones(count)])),
            edge_label_time=torch.randint(4, 8, (count,)) if timed else None, **options)
    if form == "data":
        n = draw(st.integers(1, 12))
        m = draw(st.integers(1, 30))
        data = Data(edge_index=torch.randint(0, n, (2, m)), num_nodes=n, label="graph", y=3)
        for key, value in {**attributes(draw, n), **{f"e_{k}": v for k, v in attributes(draw, m).items()}}.items():
            if value.shape[0] != n or value.shape[0] != m:  # unambiguous node or edge attributes
                data[key] = value
        if timed:
            data.time = torch.randint(0, 5, (n,))
        return loader(data, None, data.edge_index)
    sizes = {"a": draw(st.integers(1, 8)), "b": draw(st.integers(1, 8))}
    data = HeteroData()
    data.note = "global"
    for t, n in sizes.items():
        data[t].num_nodes = n
        for key, value in attributes(draw, n).items():
            data[t][key] = value
        if timed:
            data[t].time = torch.randint(0, 5, (n,))
    for src, rel, dst in EDGE_TYPES:
        m = draw(st.integers(1, 20))
        store = data[src, rel, dst]
        store.edge_index = torch.stack([torch.randint(0, sizes[src], (m,)), torch.randint(0, sizes[dst], (m,))])
        if form == "hetero":
            for key, value in attributes(draw, m).items():
                store[key] = value
    seeds = ("a", torch.arange(sizes["a"]))
    if form == "features":  # node features beside the graph as a quorvix.Graph
        graph = graph_from_hetero_data(data, time_attr="time" if timed else None).native_graph()
        features = HeteroData()
        for t in sizes:
            for key, value in data[t].items():
                features[t][key] = value
        edges = data[EDGE_TYPES[0]].edge_index
        data = (features, graph)
    else:
        edges = data[EDGE_TYPES[0]].edge_index
    return loader(data, seeds, (EDGE_TYPES[0], edges))


@settings(max_examples=examples(80), deadline=None)
@given(loaders())
def test_loader_batches_equal_pygs_generic_assembly(loader):
    assert loader.assembler is not None
    for index in loader.batch_sampler:
        if isinstance(loader, LinkNeighborLoader):
            out = loader.link_sampler.sample_from_edges(loader.input_data[index], loader.neg_sampling)
            expected = LinkLoader.filter_fn(loader, out)
        else:
            out = loader.node_sampler.sample_from_nodes(loader.input_data[index])
            expected = NodeLoader.filter_fn(loader, out)
        got = loader.assembler(out)
        assert got is not None  # made here, not handed back to PyG's code
        assert_same_batch(got, expected)


@pytest.mark.parametrize("seeds", [23, 20])  # a last batch short, or none
@pytest.mark.parametrize("chunk", [1 << 16, 7, 10])  # read at once; in chunks of 5 seeds, of 10
@pytest.mark.parametrize("shuffle, drop_last", [(False, False), (True, False), (True, True)])
def test_seed_batches_are_those_of_pytorchs_batch_sampler(shuffle, drop_last, chunk, seeds, monkeypatch):
    monkeypatch.setattr(SeedBatches, "CHUNK_SEEDS", chunk)
    data = HeteroData()
    data["a"].x = torch.arange(float(seeds))[:, None]
    data["a", "to", "a"].edge_index = torch.tensor([[0, 1], [1, 2]])
    loader = NeighborLoader(data, [1], input_nodes="a", batch_size=5, shuffle=shuffle, drop_last=drop_last)
    plain = DataLoader(range(seeds), batch_size=5, shuffle=shuffle, drop_last=drop_last)
    torch.manual_seed(7)
    got = [batch["a"].input_id.tolist() for batch in loader]
    torch.manual_seed(7)
    assert got == [batch.tolist() for batch in plain]
    assert (loader.batch_size, len(loader), type(loader.sampler)) == (plain.batch_size, len(plain), type(plain.sampler))


def test_gather_rows_copies_rows_and_refuses_what_it_cannot_copy():
    sampler = quorvix.NeighborSampler(ratings())
    source = np.arange(12, dtype=np.float32).reshape(4, 3)
    index = np.array([3, 0, 3], dtype=np.int64)
    out = np.empty((3, 3), np.float32)
    wide = np.arange(8 * 5, dtype=np.uint8).reshape(8, 5)  # rows of 5 bytes: copied whole
    wide_out = np.empty((2, 5), np.uint8)
    sampler.gather_rows([source, wide], [index, np.array([7, 1], np.int64)], [out, wide_out])
    assert out.tolist() == [[9, 10, 11], [0, 1, 2], [9, 10, 11]]
    assert wide_out.tolist() == [wide[7].tolist(), wide[1].tolist()]
    refused = [
        (([source], [], []), ValueError, "gather_rows takes lists of one length: 1 sources, 0 indices, 0 outputs."),
        (([source], [[0]], [out]), TypeError, "Gather 0: sources, indices and outputs must be NumPy arrays."),
        (([source.T], [index], [out]), ValueError,
         "Gather 0: the source must be a C-contiguous array of at least one dimension."),
        (([source], [index], [out.T]), ValueError, "Gather 0: the output must be a writable C-contiguous array."),
        (([source], [index.astype(np.int32)], [out]), ValueError,
         "Gather 0: the index must be a C-contiguous one-dimensional int64 array."),
        (([source], [index], [out.astype(np.float64)]), ValueError,
         "Gather 0: the output's dtype or row shape differs from the source's."),
        (([source], [index[:2]], [out]), ValueError, "Gather 0: the output has 3 rows for 2 indices."),
        (([source, source], [index, np.array([1, 4, -1], np.int64)], [out, out.copy()]), IndexError,
         "Gather 1: the index 4 is outside [0, 4)."),
    ]
    for arguments, error, message in refused:
        with pytest.raises(error) as raised:
            sampler.gather_rows(*arguments)
        assert str(raised.value) == message


def test_an_attribute_changed_in_place_is_read_where_it_now_lives():
    data = HeteroData()
    data["a"].x = torch.arange(6.0)[:, None]
    data["a", "to", "a"].edge_index = torch.tensor([[0, 1, 2, 3, 4, 5], [1, 2, 3, 4, 5, 0]])
    loader = NeighborLoader(data, [2], input_nodes="a", batch_size=6)
    index = next(iter(loader.batch_sampler))
    out = loader.node_sampler.sample_from_nodes(loader.input_data[index])
    assert_same_batch(loader.assembler(out), NodeLoader.filter_fn(loader, out))
    data["a"].x.resize_(6, 3).copy_(torch.arange(18.0).reshape(6, 3))  # new, larger storage
    data["a"].x.mul_(-1)
    assert_same_batch(loader.assembler(out), NodeLoader.filter_fn(loader, out))
