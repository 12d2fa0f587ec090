"""Saved graphs under concurrent use and damage: a save never changes files a reader mapped, saves
to one directory do not mix, and every file is checked against graph.json before it is mapped."""

import json
import os
import pickle
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import quorvix
from graph_file_worker import KEY, draw, graph
from graphs import BOUGHT, i64, shop_graph

Graph = quorvix.Graph
WORKER = str(Path(__file__).with_name("graph_file_worker.py"))
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}


def worker(*args):
    return subprocess.Popen([sys.executable, WORKER, *map(str, args)], stdout=subprocess.PIPE, text=True, env=ENV)


def test_a_reader_keeps_its_graph_while_the_directory_is_saved_over(tmp_path):
    graphs = [graph(0), graph(1)]
    graphs[0].save(tmp_path)
    saves = 0
    with worker("sample", tmp_path, 300) as reader:
        assert reader.stdout.readline() == "ready\n"
        while reader.poll() is None and saves < 40:
            graphs[(saves + 1) % 2].save(tmp_path, overwrite=True)
            saves += 1
        assert reader.wait(timeout=600) == 0  # not -7 (SIGBUS), and every result as the first
    assert saves > 1
    # The directory holds one whole graph, the last one saved, and nothing left over.
    assert draw(Graph.load(tmp_path)) == draw(graphs[saves % 2])
    assert sorted(os.listdir(tmp_path)) == ["colptr.0.npy", "graph.json", "node_time.0.npy", "row.0.npy"]


def test_concurrent_saves_to_one_directory_do_not_mix(tmp_path):
    for attempt in range(6):
        directory, go = tmp_path / str(attempt), tmp_path / f"go{attempt}"
        savers = [worker("save", directory, which, go) for which in (0, 1)]
        go.touch()
        lines = [saver.communicate(timeout=600)[0].strip() for saver in savers]
        winners = [which for which, line in enumerate(lines) if line == "saved"]
        assert len(winners) == 1, lines
        loser = lines[1 - winners[0]]
        assert loser in (f"FileExistsError '{directory}' already holds a saved graph (graph.json).",
                         f"FileExistsError '{directory}' is being written by another save; it holds that save's "
                         f"graph once it is done.")
        assert draw(Graph.load(directory)) == draw(graph(winners[0]))


def test_saves_on_threads_take_turns(tmp_path):
    outcomes = []
    graphs = [Graph(**shop_graph()) for _ in range(4)]

    def save(g):
        try:
            g.save(tmp_path)
            outcomes.append("saved")
        except FileExistsError:
            outcomes.append("refused")

    threads = [threading.Thread(target=save, args=(g,)) for g in graphs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sorted(outcomes) == ["refused"] * 3 + ["saved"]


def test_unpickling_refuses_a_replaced_directory(tmp_path):
    first = Graph(**shop_graph())
    changed = shop_graph()
    changed["row"] = {**changed["row"], BOUGHT: i64(2, 1, 0)}
    first.save(tmp_path)
    loaded = Graph.load(tmp_path)
    state = loaded.__getstate__()
    assert state[:3] == ("directory", str(tmp_path), True) and len(state[3]) == 32
    pickled = pickle.dumps(loaded)
    assert pickle.loads(pickled).row[BOUGHT].tolist() == [0, 1, 2]
    recorded = json.loads((tmp_path / "graph.json").read_text())["id"]
    for replace in ("remove and save", "overwrite"):
        if replace == "remove and save":
            shutil.rmtree(tmp_path)
            Graph(**changed).save(tmp_path)
        else:
            Graph(**changed).save(tmp_path, overwrite=True)
        now = json.loads((tmp_path / "graph.json").read_text())["id"]
        with pytest.raises(ValueError) as info:
            pickle.loads(pickled)
        assert str(info.value) == (
            f"'{tmp_path}' holds another saved graph than the one that was pickled (graph.json records save "
            f"{now}, not {recorded}): the directory was replaced after the graph was opened.")
    assert loaded.row[BOUGHT].tolist() == [0, 1, 2]  # the open graph keeps the files it mapped


def test_a_graph_saved_without_sizes_and_fingerprints_still_loads(tmp_path):
    Graph(**shop_graph()).save(tmp_path)
    schema_file = tmp_path / "graph.json"
    schema = json.loads(schema_file.read_text())
    for entry in ("id", "files", "runs_sorted"):
        del schema[entry]
    schema_file.write_text(json.dumps(schema))
    loaded = Graph.load(tmp_path)
    assert loaded.__getstate__() == ("directory", str(tmp_path), True)
    assert pickle.loads(pickle.dumps(loaded)).row[BOUGHT].tolist() == [0, 1, 2]


def test_runs_recorded_sorted_are_not_scanned_again(tmp_path):
    unsorted = shop_graph()
    unsorted["row"] = {**unsorted["row"], BOUGHT: i64(1, 0, 2)}
    for directory, arrays, sorted_runs in ((tmp_path / "s", shop_graph(), True), (tmp_path / "u", unsorted, False)):
        Graph(**arrays).save(directory)
        assert json.loads((directory / "graph.json").read_text())["runs_sorted"] is sorted_runs
        assert Graph.load(directory).unsorted_runs[BOUGHT].tolist() == ([] if sorted_runs else [0])


# -- damaged files and graph.json ---------------------------------------------------------------------------


@pytest.fixture
def saved(tmp_path):
    Graph(**shop_graph()).save(tmp_path)
    return tmp_path


def refusal(directory, error=ValueError, **load):
    with pytest.raises(error) as info:
        Graph.load(directory, **load)
    return str(info.value)


def edit_schema(directory, change):
    schema_file = directory / "graph.json"
    schema = json.loads(schema_file.read_text())
    change(schema)
    schema_file.write_text(json.dumps(schema))


def test_files_that_differ_from_graph_json_are_refused(saved):
    d = saved
    where = f"row.0.npy in '{d}' (arrays['row'] of graph.json, edge type ('item', 'bought', 'user'))"
    data = (d / "row.0.npy").read_bytes()
    (d / "row.0.npy").write_bytes(data[:-8])
    for mmap in (True, False):
        assert refusal(d, mmap=mmap) == (f"{where} has {len(data) - 8} bytes, not the {len(data)} its graph.json "
                                         f"records: the file was changed or replaced after the graph was saved.")
    (d / "row.0.npy").write_bytes(data[:-8] + i64(1).tobytes())
    assert refusal(d) == (f"{where} does not match the fingerprint its graph.json records: the file was changed "
                          f"or replaced after the graph was saved.")
    # Pickles check as loads do.
    (d / "row.0.npy").write_bytes(data)
    pickled = pickle.dumps(Graph.load(d))
    (d / "row.0.npy").write_bytes(data[:-8] + i64(1).tobytes())
    with pytest.raises(ValueError, match="does not match the fingerprint"):
        pickle.loads(pickled)


def test_damaged_files_of_a_graph_without_fingerprints_are_refused(saved):
    d = saved
    edit_schema(d, lambda schema: schema.pop("files"))
    where = f"row.0.npy in '{d}' (arrays['row'] of graph.json, edge type ('item', 'bought', 'user'))"
    data = (d / "row.0.npy").read_bytes()
    header = len(data) - 24
    cases = [
        (data[:-8], f"{where} has {len(data) - 8} bytes where its header describes {len(data)} (3 values after a "
                    f"{header}-byte header): the file is damaged."),
        (data + b"\0" * 8, f"{where} has {len(data) + 8} bytes where its header describes {len(data)} (3 values "
                           f"after a {header}-byte header): the file is damaged."),
        (b"", f"{where} is not a .npy file: it does not start as one does."),
        (b"garbage that is no header" * 4, f"{where} is not a .npy file: it does not start as one does."),
        (data[:8], f"{where} has a damaged .npy header."),
        (data[:6] + b"\x03\x00" + data[8:], f"{where} has .npy format version 3.0, which this quorvix does not read."),
        (data[:12] + b"?" * (header - 13) + b"\n" + data[header:], f"{where} has a damaged .npy header."),
    ]
    for content, message in cases:
        (d / "row.0.npy").write_bytes(content)
        for mmap in (True, False):
            assert refusal(d, mmap=mmap) == message, content
    # Known messages keep their text; the entry comes as a note.
    np.save(d / "row.0.npy", np.zeros(3, dtype=np.int32))
    with pytest.raises(ValueError) as info:
        Graph.load(d)
    assert str(info.value) == (f"row.0.npy in '{d}' holds an array of dtype int32 and shape (3,), not a "
                               f"one-dimensional int64 array.")
    assert info.value.__notes__ == ["The entry: arrays['row'] of graph.json, edge type ('item', 'bought', 'user')."]
    os.remove(d / "row.0.npy")
    with pytest.raises(FileNotFoundError) as info:
        Graph.load(d)
    assert str(info.value) == f"'{d}' lacks row.0.npy, which its graph.json lists."
    assert info.value.__notes__ == ["The entry: arrays['row'] of graph.json, edge type ('item', 'bought', 'user')."]


BAD_SCHEMAS = [
    (lambda s: s.update(version=True), "has format version True; this quorvix reads version 1."),
    (lambda s: s.update(version=1.0), "has format version 1.0; this quorvix reads version 1."),
    (lambda s: s.update(node_types="user"), "has an invalid entry 'node_types': 'user' is not a list of names."),
    (lambda s: s["node_types"].__setitem__(1, 7), "has an invalid entry 'node_types'[1]: 7 is not a str."),
    (lambda s: s.update(edge_types={}), "has an invalid entry 'edge_types': {} is not a list of edge types."),
    (lambda s: s["edge_types"].__setitem__(0, ["item", "bought"]),
     "has an invalid entry 'edge_types'[0]: ['item', 'bought'] is not a list of three str."),
    (lambda s: s.update(arrays=[]), "has an invalid entry 'arrays': [] is not an object."),
    (lambda s: s["arrays"].update(weights=[0]),
     "has an invalid entry 'arrays'['weights']: 'weights' is not one of colptr, row, node_time, edge_time, "
     "edge_weight."),
    (lambda s: s["arrays"].update(row=0), "has an invalid entry 'arrays'['row']: 0 is not a list of indices."),
    (lambda s: s["arrays"].update(row=[0, -1]),
     "has an invalid entry 'arrays'['row'][1]: -1 is not an index of 'edge_types' (0 to 1)."),
    (lambda s: s["arrays"].update(node_time=[2]),
     "has an invalid entry 'arrays'['node_time'][0]: 2 is not an index of 'node_types' (0 to 1)."),
    (lambda s: s["arrays"].update(row=[0, True]),
     "has an invalid entry 'arrays'['row'][1]: True is not an index of 'edge_types' (0 to 1)."),
    (lambda s: s["arrays"].update(row=[0, 0]), "has an invalid entry 'arrays'['row'][1]: 0 is listed twice."),
    (lambda s: s["arrays"].update(colptr=[1]),
     "has an invalid entry 'arrays'['colptr']: edge type 0 (('item', 'bought', 'user')) has no colptr."),
    (lambda s: s.update(id=5), "has an invalid entry 'id': 5 is not a str."),
    (lambda s: s.update(runs_sorted="yes"), "has an invalid entry 'runs_sorted': 'yes' is not true or false."),
    (lambda s: s.update(files=[]), "has an invalid entry 'files': [] is not an object."),
    (lambda s: s["files"].pop("row.1.npy"),
     "has an invalid entry 'files'['row.1.npy']: None is not an object with the file's size and fingerprint."),
    (lambda s: s["files"]["row.1.npy"].update(size="24"),
     "has an invalid entry 'files'['row.1.npy']: size '24' is not a byte count."),
    (lambda s: s["files"]["row.1.npy"].update(fingerprint=None),
     "has an invalid entry 'files'['row.1.npy']: fingerprint None is not a str."),
]


@pytest.mark.parametrize("change, message", BAD_SCHEMAS)
def test_bad_graph_json_entries_are_refused(saved, change, message):
    edit_schema(saved, change)
    assert refusal(saved) == f"graph.json in '{saved}' {message}"


def test_a_graph_json_whose_arrays_make_no_graph_is_refused(saved):
    edit_schema(saved, lambda s: s.update(node_types=["user", "user"]))
    assert refusal(saved) == (f"graph.json in '{saved}' describes arrays that make no graph: Node type 'user' "
                              f"appears twice in 'node_types'.")
