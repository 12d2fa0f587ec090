"""The import-time interpreter check, compiled on its own and driven with version strings."""

import json
import shutil
from importlib import metadata
import subprocess
import sys
from pathlib import Path

import pytest

import quorvix

ROOT = Path(__file__).resolve().parents[1]

CASES = [
    # (built for, running interpreter's version string, accepted)
    ("3.11", "3.11.7 (main, Dec  1 2023, 12:00:00) [GCC 12.2.0]", True),
    ("3.11", "3.11", True),
    ("3.11", "3.1.4 (default)", False),
    ("3.11", "3.110.0", False),
    ("3.11", "3.12.1", False),
    ("3.9", "3.9.18", True),
    ("3.9", "3.90.0", False),
    ("3.9", "3.10.0", False),
    ("3.1", "3.11.7", False),
    ("3.1", "3.1.0", True),
    ("3.11", "", False),
]


@pytest.fixture(scope="module")
def guard_binary(tmp_path_factory):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    binary = tmp_path_factory.mktemp("guard") / "version_guard_cases"
    subprocess.run(
        [compiler, "-std=c++17", "-I", str(ROOT / "src"), str(ROOT / "tests/native/version_guard_cases.cpp"),
         str(ROOT / "src/module/version_guard.cpp"), "-o", str(binary)],
        check=True,
        timeout=300,
    )
    return binary


def test_version_guard_decisions(guard_binary):
    args = [item for built, running, _ in CASES for item in (built, running)]
    out = subprocess.run([str(guard_binary), *args], check=True, capture_output=True, text=True,
                         timeout=60).stdout.split()
    assert [line == "1" for line in out] == [accepted for _, _, accepted in CASES]


def test_module_imports_on_the_interpreter_it_was_built_for():
    assert sys.version.startswith(f"{sys.version_info.major}.{sys.version_info.minor}.")
    assert [name for name in vars(quorvix._core) if not name.startswith("__")] == [
        "Graph", "gather_rows", "NeighborSampler", "induced_edges", "reverse_edges", "GivenRuns", "NodeRecorder"]


@pytest.fixture
def installed():
    try:
        return metadata.distribution("quorvix")
    except metadata.PackageNotFoundError:
        pytest.skip("quorvix is not installed as a distribution")


def test_installed_tags_name_this_interpreter_only(installed):
    # The module refuses any other major.minor, so a wheel must not claim one (no abi3, no py3).
    this = f"cp{sys.version_info.major}{sys.version_info.minor}"
    tags = [line.split(":", 1)[1].strip() for line in installed.read_text("WHEEL").splitlines()
            if line.startswith("Tag:")]
    assert tags and all(tag.split("-")[:2] == [this, this] for tag in tags), tags


def test_installation_carries_the_stubs_and_the_bridge(installed):
    direct_url = json.loads(installed.read_text("direct_url.json") or "{}")
    if direct_url.get("dir_info", {}).get("editable"):
        pytest.skip("an editable install maps the build directory instead of copying files")
    files = {f.as_posix() for f in installed.files or ()}
    assert {"quorvix/__init__.py", "quorvix/_core.pyi", "quorvix/py.typed", "quorvix/pyg/__init__.py",
            "quorvix/dist/__init__.py", "quorvix/tables/__init__.py", "quorvix/_graph_files.py"} <= files
    assert any(f.startswith("quorvix/_core.") and f.endswith((".so", ".pyd")) for f in files), sorted(files)


def test_version_is_the_distributions(installed):
    assert quorvix.__version__ == installed.version
