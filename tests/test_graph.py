"""quorvix.Graph: one checked graph shared by samplers, its files and its pickles."""

import doctest
import gc
import json
import os
import pickle
import re
import sys
import tempfile
import threading
from pathlib import Path

import numpy as np
import pytest

import quorvix
from graphs import BOUGHT, BOUGHT_BY, PAPER, as_lists, i64, outcome, paper_graph, shop_graph

NS = quorvix.NeighborSampler
Graph = quorvix.Graph
NONE = i64()


def timed_weighted_graph():
    """The shop graph with edge times on 'bought' and weights on 'bought_by'."""
    return dict(**shop_graph(), edge_time={BOUGHT: i64(5, 6, 1)}, edge_weight={BOUGHT_BY: np.array([0.5, 2.0, 1.0])})


def draws(sampler):
    """Three calls that use the generator, the times and the weights."""
    calls = [({BOUGHT: i64(-1), BOUGHT_BY: i64(1)}, {}, "user", i64(0, 1, 0), i64(6, 6, 3)),
             ({BOUGHT_BY: i64(2)}, {}, "item", i64(0, 1, 2, 2), NONE),
             ({}, {BOUGHT: np.array([[None, 0]], dtype=object)}, "user", i64(1, 0), i64(3, 5))]
    return [outcome(sampler.sample_with_edge_ids, *call) for call in calls]


@pytest.mark.parametrize(
    "changes",
    [
        dict(colptr={"x": i64(0)}),
        dict(row={PAPER: np.zeros(3, dtype=np.int32)}),
        dict(row={}),
        dict(node_types=["paper", "paper"]),
        dict(edge_types=[("venue", "cites", "paper")], colptr={"venue__cites__paper": i64(0, 1)},
             row={"venue__cites__paper": i64(0)}),
        dict(node_time={"paper": np.zeros((3, 1), dtype=np.int64)}),
        dict(edge_time={PAPER: i64(1, 2)}),
        dict(edge_weight={PAPER: i64(1, 2, 3)}),
        dict(edge_time={PAPER: i64(1, 2, 3)}, node_types=["paper", "p\0"]),
    ],
)
def test_refusals_are_the_samplers(changes):
    graph = {**paper_graph(), **changes}
    expected = outcome(NS, **graph)
    assert expected[0] in (RuntimeError, KeyError)
    assert outcome(Graph, **graph) == expected


def test_counts_names_and_views():
    graph = timed_weighted_graph()
    g = Graph(**graph)
    assert g.node_types == ["user", "item"]
    assert g.edge_types == [("item", "bought", "user"), ("user", "bought_by", "item")]
    assert g.num_nodes == {"user": 2, "item": 3}
    assert g.num_edges == {BOUGHT: 3, BOUGHT_BY: 3}
    # No timestamps and no colptr with the type as frontier: nothing tells the count.
    lone = Graph(["a", "b"], [("b", "r", "a")], {"b__r__a": i64(1, 1, 3)}, {"b__r__a": i64(7, 7, 9)}, {})
    assert lone.num_nodes == {"a": 2, "b": None} and lone.num_edges == {"b__r__a": 2}
    views = {name: getattr(g, name) for name in ("colptr", "row", "node_time", "edge_time", "edge_weight")}
    for name, given in views.items():
        assert list(given) == list(graph[name])
        for key, view in given.items():
            assert view.tolist() == list(graph[name][key]) and not view.flags.writeable
    # int64 arrays are borrowed, not copied; other integer widths are converted once.
    assert np.shares_memory(views["row"][BOUGHT], graph["row"][BOUGHT])
    narrow = Graph(**{**paper_graph(), "row": {PAPER: np.array([1, 2, 2], dtype=np.int64).astype(">i8")}})
    assert narrow.row[PAPER].dtype == np.int64 and narrow.row[PAPER].tolist() == [1, 2, 2]
    with pytest.raises(ValueError):
        views["colptr"][BOUGHT][0] = 1
    assert outcome(Graph(**{**paper_graph(), "row": {PAPER: i64(1, 2, 9)}}).check) == (
        RuntimeError, "Node 9 of type 'paper' at position 2 of 'row' for 'paper__cites__paper' (a neighbour of node 1) "
        "is not below the type's node count 3.")


def test_samplers_share_one_graph_and_draw_as_the_specified_constructor():
    graph = timed_weighted_graph()
    g = Graph(**graph)
    one, two, by_keyword = NS(g, 9), NS(g, seed=9), NS(graph=g)
    assert one.graph is two.graph is by_keyword.graph is g
    assert draws(one) == draws(NS(**graph, seed=9)) == draws(two)
    assert draws(by_keyword) == draws(NS(**graph))  # seed 123 either way
    two.num_threads = 4  # settings are the sampler's, not the graph's
    assert one.num_threads == 1
    # The specified constructor builds a graph of its own, shown as one.
    built = NS(**graph)
    assert isinstance(built.graph, Graph) and built.graph is built.graph and built.graph.num_edges == g.num_edges
    with pytest.raises(TypeError):
        NS(g, seed=1.5)
    with pytest.raises(TypeError, match="^NeighborSampler.__init__\\(\\) was called on a sampler that is already built.$"):
        one.__init__(g)


def test_graph_outlives_the_callers_arrays_and_its_python_object():
    graph = timed_weighted_graph()
    expected = draws(NS(**graph, seed=4))
    sampler = NS(Graph(**graph), seed=4)
    del graph
    gc.collect()
    litter = [np.full(3, -7, dtype=np.int64) for _ in range(100)]  # would take the freed arrays' place
    assert draws(sampler) == expected and len(litter) == 100


def test_samplers_on_threads_share_one_graph():
    # Calls on several threads release the interpreter lock, so these calls read the graph at once.
    rng = np.random.default_rng(0)
    n, key = 3000, "a__r__a"
    graph = dict(node_types=["a"], edge_types=[("a", "r", "a")], colptr={key: np.arange(0, 10 * n + 1, 10)},
                 row={key: rng.integers(0, n, 10 * n)}, node_time={}, edge_weight={key: rng.random(10 * n)})
    requests = [({key: i64(5, 3)}, {}, "a", rng.integers(0, n, 400), NONE) for _ in range(6)]

    def run(sampler, results):
        sampler.num_threads = 2
        results.extend(as_lists(sampler.sample(*request)) for request in requests)

    expected = [[] for _ in range(4)]
    for seed, results in enumerate(expected):
        run(NS(**graph, seed=seed), results)
    shared = Graph(**graph)
    got = [[] for _ in range(4)]
    threads = [threading.Thread(target=run, args=(NS(shared, seed), got[seed])) for seed in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert got == expected


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(os.environ.get("QUORVIX_SANITIZED") == "1", reason="the sanitizer's allocator keeps freed memory")
def test_a_second_sampler_adds_no_graph_sized_memory():
    n = 4_000_000  # 32 MB of weights, and as much again of their cumulative sums
    key = "item__r__user"
    graph = dict(node_types=["user", "item"], edge_types=[("item", "r", "user")], colptr={key: i64(0, n // 2, n)},
                 row={key: np.arange(n, dtype=np.int64)}, node_time={}, edge_weight={key: np.ones(n)})
    g = Graph(**graph)
    first = NS(g)
    before = resident_bytes()
    second = NS(g)
    added_by_sampler = resident_bytes() - before
    before = resident_bytes()
    another_graph = Graph(**graph)  # the measure does see a graph's own structures
    added_by_graph = resident_bytes() - before
    assert added_by_graph > 24 * 2**20
    assert added_by_sampler < 2 * 2**20
    assert second.graph is first.graph is not another_graph


# -- files and pickles ----------------------------------------------------------------


def test_save_and_load_round_trip(tmp_path):
    graph = timed_weighted_graph()
    graph["node_types"] = ["user", "item/ä"]  # names need not be file names
    graph["edge_types"] = [("item/ä", "bought", "user"), ("user", "bought_by", "item/ä")]
    graph["colptr"] = {"item/ä__bought__user": graph["colptr"][BOUGHT], "user__bought_by__item/ä": graph["colptr"][BOUGHT_BY]}
    graph["row"] = {"item/ä__bought__user": graph["row"][BOUGHT], "user__bought_by__item/ä": graph["row"][BOUGHT_BY]}
    graph["node_time"] = {"item/ä": graph["node_time"]["item"]}
    graph["edge_time"] = {"item/ä__bought__user": i64(5, 6, 1)}
    graph["edge_weight"] = {"user__bought_by__item/ä": np.array([0.5, 2.0, 1.0], dtype=np.float32)}
    g = Graph(**graph)
    g.save(tmp_path / "g")
    assert sorted(os.listdir(tmp_path / "g")) == [
        "colptr.0.npy", "colptr.1.npy", "edge_time.0.npy", "edge_weight.1.npy", "graph.json", "node_time.1.npy",
        "row.0.npy", "row.1.npy"]
    for mmap in (True, False):
        loaded = Graph.load(str(tmp_path / "g"), mmap=mmap)
        assert (loaded.node_types, loaded.edge_types) == (g.node_types, g.edge_types)
        for name in ("colptr", "row", "node_time", "edge_time", "edge_weight"):
            got, want = getattr(loaded, name), getattr(g, name)
            assert {k: v.tolist() for k, v in got.items()} == {k: v.tolist() for k, v in want.items()}
        assert draws(NS(loaded, 3)) == draws(NS(g, 3))


def test_load_maps_the_files_and_pickles_by_directory(tmp_path):
    g = Graph(**timed_weighted_graph())
    g.save(tmp_path)
    mapped, read = Graph.load(tmp_path), Graph.load(tmp_path, mmap=False)
    # Mapped, not copied: a write through another mapping of the file shows in the graph.
    other = np.load(tmp_path / "row.0.npy", mmap_mode="r+")
    other[0] = 2
    other.flush()
    assert mapped.row[BOUGHT].tolist() == [2, 1, 2] and read.row[BOUGHT].tolist() == [0, 1, 2]
    state = mapped.__getstate__()
    assert state[:3] == ("directory", str(tmp_path), True)
    # The file no longer matches graph.json: unpickled, the graph would be another one.
    with pytest.raises(ValueError, match=r"^row.0.npy in '.*' \(arrays\['row'\] of graph.json, edge type "
                                         r"\('item', 'bought', 'user'\)\) does not match the fingerprint"):
        pickle.loads(pickle.dumps(mapped))
    other[0] = 0
    other.flush()
    again = pickle.loads(pickle.dumps(mapped))
    assert again.row[BOUGHT].tolist() == [0, 1, 2]
    other[0] = 1
    other.flush()
    assert again.row[BOUGHT].tolist() == [1, 1, 2]  # reopened, memory-mapped
    assert read.__getstate__() == ("directory", str(tmp_path), False, state[3])
    # An in-memory graph pickles its arrays.
    assert g.__getstate__()[0] == "arrays"
    assert draws(NS(pickle.loads(pickle.dumps(g)), 2)) == draws(NS(g, 2))


def test_bad_directories_are_refused(tmp_path):
    g = Graph(**timed_weighted_graph())
    with pytest.raises(FileNotFoundError, match=f"^'{tmp_path}' holds no saved graph: graph.json is missing.$"):
        Graph.load(tmp_path)
    g.save(tmp_path)
    with pytest.raises(FileExistsError, match=f"^'{tmp_path}' already holds a saved graph \\(graph.json\\).$"):
        g.save(tmp_path)
    schema_file = tmp_path / "graph.json"
    schema = json.loads(schema_file.read_text())

    def refused(error, message, schema_text):
        schema_file.write_text(schema_text)
        with pytest.raises(error) as info:
            Graph.load(tmp_path)
        assert str(info.value) == message

    refused(ValueError, f"graph.json in '{tmp_path}' has format version 2; this quorvix reads version 1.",
            json.dumps({**schema, "version": 2}))
    refused(ValueError, f"graph.json in '{tmp_path}' does not describe a quorvix.Graph.", json.dumps([1]))
    refused(ValueError, f"graph.json in '{tmp_path}' is not valid JSON: Expecting value: line 1 column 1 (char 0).",
            "")
    # Written before sizes and fingerprints were recorded: the files' own checks still hold.
    del schema["files"]
    schema_file.write_text(json.dumps(schema))
    os.rename(tmp_path / "row.1.npy", tmp_path / "moved.npy")
    with pytest.raises(FileNotFoundError) as info:
        Graph.load(tmp_path)
    assert str(info.value) == f"'{tmp_path}' lacks row.1.npy, which its graph.json lists."
    np.save(tmp_path / "row.1.npy", np.zeros((3, 1), dtype=np.int64))
    with pytest.raises(ValueError) as info:
        Graph.load(tmp_path)
    assert str(info.value) == (f"row.1.npy in '{tmp_path}' holds an array of dtype int64 and shape (3, 1), "
                               f"not a one-dimensional int64 array.")
    np.save(tmp_path / "row.1.npy", np.zeros(3, dtype=np.int32))
    with pytest.raises(ValueError, match="dtype int32 and shape \\(3,\\), not a one-dimensional int64 array"):
        Graph.load(tmp_path, mmap=False)


def test_table_constructors_forward(monkeypatch):
    tables = pytest.importorskip("quorvix.tables")
    calls = []
    for name in ("from_tables", "from_database"):
        monkeypatch.setattr(tables, name, lambda *args, _name=name, **kwargs: calls.append((_name, args, kwargs)) or 7)
    assert Graph.from_tables(1, b=2) == 7 and Graph.from_database("db", time_columns={}) == 7
    assert calls == [("from_tables", (1,), {"b": 2}), ("from_database", ("db",), {"time_columns": {}})]


def test_the_guide_runs(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "mkdtemp", lambda: str(tmp_path))  # the guide's directory
    guide = (Path(__file__).resolve().parents[1] / "docs" / "guide" / "graph.md").read_text()
    blocks = re.findall(r"^```python\n(.*?)^```", guide, re.S | re.M)
    assert len(blocks) == 3
    # One session: later blocks use what earlier ones made.
    test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "graph.md", "graph.md", 0)
    assert doctest.DocTestRunner().run(test).failed == 0


def test_an_instance_without_init_holds_no_graph(tmp_path):
    bare = Graph.__new__(Graph)
    message = "^Graph.__init__\\(\\) has not been called on this instance.$"
    for name in ("node_types", "edge_types", "num_nodes", "num_edges", "colptr", "row", "node_time", "edge_time",
                 "edge_weight"):
        with pytest.raises(TypeError, match=message):
            getattr(bare, name)
    for call in (bare.check, lambda: bare.save(tmp_path), lambda: pickle.dumps(bare)):
        with pytest.raises(TypeError, match=message):
            call()
    assert not os.listdir(tmp_path)
    with pytest.raises(RuntimeError):
        NS(bare)
