"""The examples and the code in the README and docs/ run, and what they show holds."""

import doctest
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"

pytest.importorskip("quorvix")
sys.path.insert(0, str(EXAMPLES))  # the examples import each other as plain modules

import from_tables  # noqa: E402


def run_example(*args, code=None, cwd=ROOT):
    cmd = [sys.executable, *(["-c", code] if code else []), *map(str, args)]
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=120)


# Every page with an interactive example; each page runs on its own, top to bottom.
DOC_PAGES = [p.relative_to(ROOT).as_posix()
             for p in [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))] if ">>> " in p.read_text()]


def test_the_readme_and_the_guide_have_examples():
    assert {"README.md", "docs/guide/edge-times-weights.md", "docs/guide/building-the-graph.md"} <= set(DOC_PAGES)


@pytest.mark.parametrize("page", DOC_PAGES)
def test_doc_examples_run_as_shown(page):
    result = doctest.testfile(str(ROOT / page), module_relative=False,
                              optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0
    assert result.failed == 0


CODE_BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def code_blocks(page):
    """The page's Python blocks that are not interactive sessions (those run as doctests)."""
    return [b for b in CODE_BLOCK.findall((ROOT / page).read_text()) if ">>> " not in b]


CODE_PAGES = [p for p in [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))] if code_blocks(p)]


@pytest.mark.parametrize("page", [p.relative_to(ROOT).as_posix() for p in CODE_PAGES])
def test_doc_code_blocks_run_as_printed(page):
    # A page's blocks run top to bottom in one fresh namespace: what a block uses, the page defines.
    blocks = code_blocks(page)
    if any("quorvix.pyg" in b for b in blocks):
        pytest.importorskip("torch_geometric")
    names = {"__name__": "__doc_page__"}
    for block in blocks:
        exec(compile(block, page, "exec"), names)
    if "loader" in names:  # the loaders' loops ran over real batches
        assert names["batch"] is not None


def test_quickstart_prints_both_batches_per_hop_and_type():
    proc = run_example(EXAMPLES / "quickstart.py")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "Batch 1" in out and "Batch 2" in out
    assert out.count("no sampled node is later than its seed's time: yes") == 2
    assert "NO" not in out
    # The fan-out batch runs three hops, the window batch two; each has a row per hop.
    fanout, window = out.split("Batch 2")
    assert "hop 3" in fanout and "hop 3" not in window
    for text in (fanout, window):
        assert "seed 0 (user 0, day 20)" in text and "seed 1 (user 2, day 30)" in text
        totals = [line for line in text.splitlines() if line.strip().startswith("total:")]
        assert len(totals) == 1 and " 0 nodes" not in totals[0]


def test_quickstart_plot_writes_a_picture(tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "seed.png"
    proc = run_example(EXAMPLES / "quickstart.py", "--plot", png)
    assert proc.returncode == 0, proc.stderr
    data = png.read_bytes()
    assert data.startswith(b"\x89PNG") and len(data) > 10_000
    import matplotlib.image

    pixels = matplotlib.image.imread(png)
    assert pixels.shape[0] > 200 and pixels.shape[1] > 300
    assert pixels[..., :3].std() > 0.05  # more than a blank canvas


def test_quickstart_plot_without_matplotlib_says_what_is_missing(tmp_path):
    code = ("import runpy, sys; sys.modules['matplotlib'] = None; "
            "sys.argv = sys.argv[1:]; "
            "runpy.run_path(sys.argv[0], run_name='__main__')")
    proc = run_example(EXAMPLES / "quickstart.py", "--plot", tmp_path / "x.png", code=code)
    assert proc.returncode != 0
    assert "needs matplotlib" in proc.stderr
    assert not (tmp_path / "x.png").exists()


def test_from_tables_runs():
    proc = run_example(EXAMPLES / "from_tables.py")
    assert proc.returncode == 0, proc.stderr
    assert "transactions__customer_id__customers" in proc.stdout
    assert "items bought in the sampled transactions" in proc.stdout


def test_from_tables_graph_holds_every_foreign_key_both_ways_sorted_by_time():
    tables = from_tables.make_tables(num_customers=40, num_products=9, num_transactions=400)
    node_types, edge_types, colptr, row, node_time = from_tables.build_graph(tables)
    assert len(edge_types) == 2 * len(from_tables.FOREIGN_KEYS)
    for child, column, parent in from_tables.FOREIGN_KEYS:
        fk = tables[child][column]
        down, up = f"{child}__{column}__{parent}", f"{parent}__rev_{column}__{child}"
        for v in range(len(node_time[parent])):  # a parent's run: its children, oldest first
            run = row[down][colptr[down][v]:colptr[down][v + 1]]
            assert sorted(run.tolist()) == np.flatnonzero(fk == v).tolist()
            assert (np.diff(node_time[child][run]) >= 0).all()
        for i in range(len(fk)):  # a child's run: its parent, or nothing when missing
            run = row[up][colptr[up][i]:colptr[up][i + 1]]
            assert run.tolist() == ([fk[i]] if fk[i] >= 0 else [])
    # The order check that build_graph relies on notices a run out of order.
    time, colptr = np.array([5, 1, 3, 2]), np.array([0, 2, 4])
    assert from_tables.runs_are_time_sorted(colptr, np.array([1, 0, 3, 2]), time)
    assert not from_tables.runs_are_time_sorted(colptr, np.array([1, 0, 2, 3]), time)


def test_from_tables_batch_respects_the_seed_times_and_the_window():
    tables = from_tables.make_tables(num_customers=40, num_products=9, num_transactions=400)
    node_types, edge_types, colptr, row, node_time = from_tables.build_graph(tables)
    import quorvix

    sampler = quorvix.NeighborSampler(node_types, edge_types, colptr, row, node_time)
    seed_node = np.arange(5, dtype=np.int64)
    seed_time = node_time["customers"][seed_node] + 60 * from_tables.DAY
    _, _, out_node, out_batch, _, _ = result = from_tables.sample_batch(sampler, seed_node, seed_time)
    batch = from_tables.to_batch(result, from_tables.feature_matrices(tables))
    for t in node_types:
        assert len(batch["x"][t]) == len(out_node[t])
        assert (node_time[t][out_node[t]] <= seed_time[out_batch[t]]).all()
    bought, customer = batch["edge_index"]["transactions__customer_id__customers"]
    assert len(bought) > 0
    age = seed_time[out_batch["customers"][customer]] - node_time["transactions"][out_node["transactions"][bought]]
    assert (age < 30 * from_tables.DAY).all()


def test_torch_workers_sample_what_a_single_process_samples(tmp_path):
    torch = pytest.importorskip("torch")
    import torch_loader

    dataset = torch_loader.example_dataset(tmp_path, batch_size=8, num_seeds=40)
    assert dataset._sampler is None  # nothing is built before the first batch
    single = [dataset[i] for i in range(len(dataset))]
    assert len(single) == 5 and len(single[-1]["seed_node"]) == 8

    from_workers = list(torch_loader.make_loader(dataset, num_workers=2))

    assert len(from_workers) == len(single)
    for got, want in zip(from_workers, single):
        assert got.keys() == want.keys()
        for field in want:
            if isinstance(want[field], dict):
                assert list(got[field]) == list(want[field])
                for key in want[field]:
                    assert torch.equal(got[field][key], want[field][key]), (field, key)
            else:
                assert torch.equal(got[field], want[field]), field
    assert all(b["edge_index"]["customers__rev_customer_id__transactions"].shape[0] == 2
               for b in from_workers)
    # The graph is read through memory maps, not loaded.
    assert all(isinstance(a, np.memmap) for a in dataset._graph[2].values())


def test_torch_dataset_pickles_without_its_sampler(tmp_path):
    pytest.importorskip("torch")
    import pickle

    import torch_loader

    dataset = torch_loader.example_dataset(tmp_path, batch_size=8, num_seeds=16)
    first = dataset[0]
    clone = pickle.loads(pickle.dumps(dataset))  # what a spawned worker receives
    assert clone._sampler is None
    again = clone[0]
    assert all((again["node"][t] == first["node"][t]).all() for t in first["node"])


@pytest.mark.python_only
def test_pyg_training_example_reports_an_auroc_without_leakage():
    pytest.importorskip("torch")
    pytest.importorskip("torch_geometric")
    proc = run_example(EXAMPLES / "pyg_train.py", "--scale", "0.1", "--epochs", "2", "--num-workers", "1")
    assert proc.returncode == 0, proc.stderr
    epochs = [line for line in proc.stdout.splitlines() if line.startswith("epoch ")]
    assert len(epochs) == 2 and all("validation AUROC 0." in line for line in epochs)
    assert "no sampled node was later than its seed" in proc.stdout.splitlines()[-1]


def test_torch_workers_draw_their_own_random_fan_outs_each_epoch(tmp_path):
    torch = pytest.importorskip("torch")
    import torch_loader

    node_types, edge_types, colptr, row, _ = from_tables.build_graph(from_tables.make_tables())
    torch_loader.save_graph(tmp_path, node_types, edge_types, colptr, row, {})  # no times: random fan-outs
    fanout = {"__".join(e): [3] for e in edge_types}
    dataset = torch_loader.SubgraphBatches(tmp_path, "customers", np.zeros(16, np.int64), np.zeros(16, np.int64),
                                           4, fanout)
    torch.manual_seed(0)
    loader = torch_loader.make_loader(dataset, num_workers=2)
    epochs = [[b["node"]["transactions"].tolist() for b in loader] for _ in range(2)]
    assert epochs[0][0::2] != epochs[0][1::2]  # worker 0 sampled the even batches, worker 1 the odd
    assert epochs[0] != epochs[1]


@pytest.mark.python_only
def test_pyg_homogeneous_example_trains_on_a_temporal_data_without_leakage():
    pytest.importorskip("torch")
    pytest.importorskip("torch_geometric")
    proc = run_example(EXAMPLES / "pyg_homogeneous.py", "--scale", "0.05", "--epochs", "2", "--num-workers", "1")
    assert proc.returncode == 0, proc.stderr
    epochs = [line for line in proc.stdout.splitlines() if line.startswith("epoch ")]
    assert len(epochs) == 2 and all("held-out accuracy 0." in line for line in epochs)
    assert "no sampled paper was later than its seed" in proc.stdout.splitlines()[-1]


@pytest.mark.python_only
def test_pyg_link_example_reports_an_mrr_without_leakage():
    pytest.importorskip("torch")
    pytest.importorskip("torch_geometric")
    proc = run_example(EXAMPLES / "pyg_link_train.py", "--scale", "0.1", "--epochs", "2", "--num-workers", "1")
    assert proc.returncode == 0, proc.stderr
    epochs = [line for line in proc.stdout.splitlines() if line.startswith("epoch ")]
    assert len(epochs) == 2 and all("validation MRR 0." in line for line in epochs)
    assert "no sampled node and no negative was later than its link" in proc.stdout.splitlines()[-1]


def test_the_api_examples_run_as_printed_in_page_order():
    # The examples of the compiled classes' reference pages come from the stubs, in file order, each
    # building on the names the ones above it made.
    import ast

    tree = ast.parse((ROOT / "src" / "quorvix" / "_core.pyi").read_text())
    nodes = sorted((n for n in ast.walk(tree) if isinstance(n, (ast.ClassDef, ast.FunctionDef))),
                   key=lambda n: n.lineno)
    parser, globs = doctest.DocTestParser(), {}
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for node in nodes:
        text = ast.get_docstring(node)
        if text and ">>> " in text:
            test = parser.get_doctest(text, globs, node.name, "_core.pyi", node.lineno)
            runner.run(test, clear_globs=False)
            globs = test.globs
    result = runner.summarize(verbose=False)
    assert result.attempted >= 3 and result.failed == 0


# The public names of these packages whose docstrings carry an example; each runs on its own.
DOCSTRING_PACKAGES = ["quorvix.tables", "quorvix.pyg", "quorvix.dist", "quorvix.datasets", "quorvix.pyg.datasets"]


def docstring_examples():
    import importlib
    import warnings

    found = []
    for package in DOCSTRING_PACKAGES:
        try:
            with warnings.catch_warnings():  # as pytest.importorskip: PyG's own import warnings
                warnings.simplefilter("ignore")
                module = importlib.import_module(package)
        except ImportError:  # quorvix.pyg without PyTorch Geometric: its examples cannot run
            continue
        found += [f"{package}.{name}" for name in module.__all__
                  if ">>> " in (getattr(module, name).__doc__ or "")]
    return found


@pytest.mark.python_only
@pytest.mark.parametrize("name", docstring_examples())
def test_docstring_examples_run_as_printed(name):
    import importlib

    package, _, public = name.rpartition(".")
    obj = getattr(importlib.import_module(package), public)
    # A fresh namespace per docstring: an example imports what it uses.
    tests = doctest.DocTestFinder(recurse=False).find(obj, name, globs={})
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for test in tests:
        runner.run(test)
    result = runner.summarize(verbose=False)
    assert result.attempted > 0 and result.failed == 0
