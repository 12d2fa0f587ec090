"""The import-time interpreter check, compiled on its own and driven with version strings."""

import shutil
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
    )
    return binary


def test_version_guard_decisions(guard_binary):
    args = [item for built, running, _ in CASES for item in (built, running)]
    out = subprocess.run([str(guard_binary), *args], check=True, capture_output=True, text=True).stdout.split()
    assert [line == "1" for line in out] == [accepted for _, _, accepted in CASES]


def test_module_imports_on_the_interpreter_it_was_built_for():
    assert sys.version.startswith(f"{sys.version_info.major}.{sys.version_info.minor}.")
    assert quorvix.__doc__ is None
    assert [name for name in vars(quorvix) if not name.startswith("__")] == ["NeighborSampler"]
