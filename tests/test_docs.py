"""The documentation site builds without a warning, and its API pages name every public name."""

import importlib
import subprocess
import sys
import types
from pathlib import Path

import pytest

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
    assert packages == ["quorvix", "quorvix.dist", "quorvix.pyg", "quorvix.tables"]
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
