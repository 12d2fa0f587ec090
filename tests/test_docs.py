"""The documentation site builds without a warning, and its API pages name every public name."""

import importlib
import subprocess
import sys
import types
from pathlib import Path

import pytest

pytestmark = pytest.mark.python_only

ROOT = Path(__file__).resolve().parents[1]
for tool in ("sphinx", "myst_parser", "furo", "quorvix", "torch_geometric"):
    pytest.importorskip(tool)
sys.path.insert(0, str(ROOT / "docs" / "_ext"))

import api_pages  # noqa: E402


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    out = tmp_path_factory.mktemp("site")
    proc = subprocess.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html",
                           str(ROOT / "docs"), str(out)], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    return out


def public_names(module):
    names = getattr(module, "__all__", None)
    if names is None:
        names = [n for n in dir(module)
                 if not n.startswith("_") and not isinstance(getattr(module, n), types.ModuleType)]
    return sorted(names)


def test_api_pages_name_every_public_name_of_every_package(site):
    packages = api_pages.packages(ROOT)
    assert packages == ["quorvix", "quorvix.datasets", "quorvix.dist", "quorvix.pyg", "quorvix.pyg.datasets",
                        "quorvix.tables"]
    missing = []
    for package in packages:
        page = (site / "api" / f"{package}.html").read_text()
        missing += [f"{package}.{name}" for name in public_names(importlib.import_module(package))
                    if f'id="{package}.{name}"' not in page]
    assert not missing, "not in the API reference: " + ", ".join(missing)


def test_compiled_signatures_come_from_the_stubs(site):
    page = (site / "api" / "quorvix.html").read_text()
    assert 'id="quorvix.NeighborSampler.sample_groups"' in page
    assert "numpy.ndarray" not in page  # pybind11's own signature would say this
    assert "pybind11_object" not in page


def test_an_empty_api_page_fails_the_build(tmp_path):
    # A package whose names vanish from its page (here: one with no public name) stops the -W build.
    (tmp_path / "api").mkdir()
    (tmp_path / "empty_package.py").write_text('"""Nothing public."""\n__all__ = []\n')
    (tmp_path / "conf.py").write_text(
        f"import sys\nsys.path[:0] = [{str(tmp_path)!r}, {str(ROOT / 'docs' / '_ext')!r}]\n"
        "extensions = ['myst_parser', 'sphinx.ext.autodoc', 'api_pages']\n")
    (tmp_path / "index.md").write_text("# index\n\n```{toctree}\napi/empty_package\n```\n")
    (tmp_path / "api" / "empty_package.md").write_text(
        "# empty\n\n```{eval-rst}\n.. automodule:: empty_package\n   :members:\n```\n")
    proc = subprocess.run([sys.executable, "-m", "sphinx", "-W", "-q", "-b", "html", str(tmp_path),
                           str(tmp_path / "_build")], capture_output=True, text=True, timeout=300)
    assert proc.returncode != 0
    assert "the API page api/empty_package documents nothing" in proc.stderr


def documented_callables():
    """(qualified name, docstring, takes arguments, returns a value) of every public function,
    class and method; the compiled classes' texts are their stubs'."""
    import inspect

    import stub_api

    entries = stub_api.stub_entries(ROOT / "src" / "quorvix" / "_core.pyi", "quorvix")
    stubs = {name: entry[2] for name, entry in entries.items()}
    out = []
    for package in api_pages.packages(ROOT):
        module = importlib.import_module(package)
        for public in module.__all__:
            obj = getattr(module, public)
            name = f"{package}.{public}"
            members = [(name, obj)]
            if isinstance(obj, type):
                members += [(f"{name}.{m}", f) for m, f in vars(obj).items()
                            if not m.startswith("_") and (inspect.isfunction(f) or callable(f) and
                                                          type(f).__name__ in {"instancemethod", "builtin_function_or_method"})]
            for qualified, item in members:
                doc = stubs.get(qualified) or inspect.getdoc(item) or ""
                if isinstance(item, type) and issubclass(item, BaseException):
                    continue  # a warning or error class: its page says when it is raised
                if isinstance(item, type):
                    init = stubs.get(f"{qualified}.__init__") or ""
                    out.append((qualified, doc + init, True, False))
                elif qualified in entries:
                    out.append((qualified, doc, entries[qualified][0] != "()", True))
                else:
                    try:
                        params = [p for p in inspect.signature(item).parameters if p != "self"]
                    except (TypeError, ValueError):
                        params = ["?"]
                    out.append((qualified, doc, bool(params), True))
    return out


def test_every_public_name_has_parameters_and_returns():
    missing = []
    for name, doc, takes_arguments, returns in documented_callables():
        if takes_arguments and "Args:" not in doc and "Attributes:" not in doc:
            missing.append(f"{name}: no Args")
        if returns and "Returns:" not in doc and "Yields:" not in doc:
            missing.append(f"{name}: no Returns")
    assert not missing, "\n".join(missing)
