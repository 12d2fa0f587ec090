"""The type stubs agree with the built module and serve a type checker."""

import ast
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytestmark = pytest.mark.python_only

quorvix = pytest.importorskip("quorvix")

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "quorvix" / "_core.pyi"
ALLOWLIST = Path(__file__).with_name("stubtest_allowlist.txt")


def run_mypy(args, cwd, mypypath=None):
    pytest.importorskip("mypy")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if mypypath:
        env["MYPYPATH"] = str(mypypath)
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy_cache")


def parameters(fn):
    """[(parameter, default source or None), ...] of a stub function; "*" marks keyword-only ones."""
    args = fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + fn.args.defaults
    out = [(a.arg, None if d is None else ast.unparse(d)) for a, d in zip(args, defaults)]
    if fn.args.kwonlyargs:  # keyword-only parameters follow a bare *
        out.append(("*", None))
        out += [(a.arg, None if d is None else ast.unparse(d)) for a, d in zip(fn.args.kwonlyargs, fn.args.kw_defaults)]
    return out


def stub_signatures(class_name):
    """{method: [signature, ...]} from the stub file, one signature per overload; properties aside."""
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name)
    out = {}
    for fn in cls.body:
        decorators = {ast.unparse(d) for d in getattr(fn, "decorator_list", [])}
        if isinstance(fn, ast.FunctionDef) and decorators <= {"overload", "staticmethod"} and not fn.args.vararg:
            out.setdefault(fn.name, []).append(parameters(fn))
    return out


def runtime_signature(method):
    """[(parameter, default or None), ...] from the signature line the binding writes."""
    line = method.__doc__.strip().splitlines()[0]
    params = re.fullmatch(r"\w+\((.*)\) -> .*", line).group(1)
    out = []
    for part in re.split(r", (?=\w+:)", params):
        name, _, rest = part.partition(":")
        keyword_only_next = rest.endswith(", *")
        _, _, default = rest.removesuffix(", *").partition(" = ")
        out.append((name.strip(), default or None))
        if keyword_only_next:
            out.append(("*", None))
    return out


def test_stub_parameters_match_the_binding():
    # stubtest cannot read a pybind11 signature, so names, order and defaults are compared
    # here against the signature line of each docstring.
    stubs = stub_signatures("NeighborSampler")
    assert set(stubs) == {"__init__", "sample", "sample_with_edge_ids", "sample_groups", "gather_rows", "check"}
    # The constructor over a graph is a function of its own behind __init__, whose docstring is
    # the specified constructor's.
    over_graph, specified = stubs.pop("__init__")
    assert over_graph == [("self", None), ("graph", None), ("seed", "123")]
    stubs["__init__"] = [specified]
    for name, [params] in stubs.items():
        assert params == runtime_signature(getattr(quorvix.NeighborSampler, name)), name
    for name in ("temporal_strategy", "num_threads", "disjoint", "graph"):
        assert isinstance(getattr(quorvix.NeighborSampler, name), property), name
    graph_stubs = stub_signatures("Graph")
    assert set(graph_stubs) == {"__init__", "check", "save", "load", "__getstate__", "__setstate__"}
    for name, [params] in graph_stubs.items():
        if name in ("__getstate__", "__setstate__"):  # the binding library names their parameters
            continue
        assert params == runtime_signature(getattr(quorvix.Graph, name)), name
    for name in ("node_types", "edge_types", "num_nodes", "num_edges", "colptr", "row", "node_time", "edge_time",
                 "edge_weight"):
        assert isinstance(getattr(quorvix.Graph, name), property), name


def test_stubtest_finds_no_difference(tmp_path, mypy_cache):
    # The stubs of this checkout, not an installed copy that may be older.
    (tmp_path / "stubs" / "quorvix").mkdir(parents=True)
    (tmp_path / "stubs" / "quorvix" / "__init__.pyi").write_text("")
    (tmp_path / "stubs" / "quorvix" / "_core.pyi").write_text(STUB.read_text())
    proc = run_mypy(["mypy.stubtest", "quorvix._core", "--allowlist", str(ALLOWLIST)],
                    cwd=tmp_path, mypypath=tmp_path / "stubs")
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_installed_stub_package_is_this_one():
    installed = Path(quorvix.__file__).with_name("_core.pyi")
    assert installed.is_file(), "the stubs are not installed beside the module"
    assert installed.read_text() == STUB.read_text(), "stale stubs: reinstall"


USER_CODE = """
    from pathlib import Path

    import numpy as np
    import numpy.typing as npt
    import quorvix

    colptr: dict[str, npt.NDArray[np.int64]] = {"a__r__a": np.array([0, 1, 1], dtype=np.int64)}
    row = {"a__r__a": np.zeros(1, dtype=np.int64)}
    times = {"a": np.arange(2)}
    sampler = quorvix.NeighborSampler(["a"], [("a", "r", "a")], colptr, row, times, seed=5)
    quorvix.NeighborSampler(("a",), [["a", "r", "a"]], {"a__r__a": [0, 1, 1]}, row, [("a", [3, 4])])
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = sampler.sample(
        {"a__r__a": [2, -1]}, {}, "a", np.array([0]), np.array([1], dtype=np.int64))
    no_lower_bound = np.array([[None, 0]], dtype=object)
    sampler.sample({}, {"a__r__a": no_lower_bound}, "a", np.arange(1), np.zeros(0, dtype=np.int64))
    sampler.sample({}, {"a__r__a": [[None, 0]]}, "a", np.arange(1), np.zeros(0, dtype=np.int64))
    ids: npt.NDArray[np.int64] = out_node["a"]
    graph = quorvix.Graph(["a"], [("a", "r", "a")], colptr, row, times, edge_weight={"a__r__a": [0.5]})
    shared = quorvix.NeighborSampler(graph, seed=2)
    counts: dict[str, int | None] = shared.graph.num_nodes
    quorvix.Graph.load(Path("saved"), mmap=False).save("copy")
    sampler.temporal_strategy = "uniform"
    sampler.num_threads = 2
    edge_ids = sampler.sample_with_edge_ids({"a__r__a": [1]}, {}, "a", np.arange(1), np.arange(1))[6]
    threads: int = sampler.num_threads
    reveal_type(num_edges)
"""

MISUSE = """
    import numpy as np
    import quorvix

    row = {"a__r__a": np.zeros(1, dtype=np.int64)}
    quorvix.NeighborSampler(["a"], [("a", "r", "a")], row, row, None)  # error
    sampler = quorvix.NeighborSampler(["a"], [("a", "r", "a")], row, row, {})
    sampler.sample({}, {}, "a", [0], np.zeros(0, dtype=np.int64))  # error
    count: int = sampler.sample({}, {}, "a", np.arange(1), np.arange(1))[4]["a"]  # error
    sampler.sample({}, {}, "a", np.arange(1))  # error
    sampler.sample({}, {}, "a", np.arange(1), np.arange(1), 3)  # error
    sampler.temporal_strategy = "latest"  # error
    sampler.num_threads = 1.5  # error
    quorvix.NeighborSampler(sampler.graph, 5, edge_time=None)  # error
    quorvix.Graph.load(3)  # error
"""


def test_user_code_type_checks_with_the_installed_stubs(tmp_path, mypy_cache):
    (tmp_path / "good.py").write_text(textwrap.dedent(USER_CODE))
    proc = run_mypy(["mypy", "--strict", "--cache-dir", str(mypy_cache), "good.py"], cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert 'Revealed type is "dict[str, numpy.ndarray[' in proc.stdout
    assert "signedinteger[numpy._typing._nbit_base._64Bit]" in proc.stdout


def test_misuse_is_reported_where_it_happens(tmp_path, mypy_cache):
    code = textwrap.dedent(MISUSE)
    (tmp_path / "bad.py").write_text(code)
    expected = {n for n, line in enumerate(code.splitlines(), 1) if line.endswith("# error")}
    proc = run_mypy(["mypy", "--strict", "--cache-dir", str(mypy_cache), "bad.py"], cwd=tmp_path)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    lines = {int(m) for m in re.findall(r"^bad\.py:(\d+): error", proc.stdout, re.M)}
    assert lines == expected, proc.stdout
