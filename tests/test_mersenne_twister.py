"""The sampler's own Mersenne Twister, compiled on its own and compared with std::mt19937."""

import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("optimisation", ["-O0", "-O3"])
def test_the_stream_is_the_standard_one_value_for_value(tmp_path, optimisation):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    binary = tmp_path / "mersenne_twister_cases"
    subprocess.run([compiler, "-std=c++17", optimisation, "-I", str(ROOT / "src"),
                    str(ROOT / "tests/native/mersenne_twister_cases.cpp"),
                    str(ROOT / "src/sampling/mersenne_twister.cpp"), "-o", str(binary)], check=True, timeout=300)
    cases = subprocess.run([str(binary)], check=True, capture_output=True, text=True, timeout=60)
    assert cases.stdout.split() == ["0"]
