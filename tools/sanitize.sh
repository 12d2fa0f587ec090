#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (no recovery: the first
# report ends the process) into build-asan/, then runs a command against that build: by default the
# whole test suite, e.g. `tools/sanitize.sh`, `tools/sanitize.sh python -m pytest tests -k window`.
#
# Needs pybind11 2.13, cmake, ninja and g++ with libasan (pip install "pybind11>=2.13.6,<2.14" cmake ninja).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${QUORVIX_SANITIZE_BUILD_DIR:-build-asan}

# RelWithDebInfo keeps NDEBUG defined, so error texts are those of the release build, with line
# numbers in the reports; -O1, the sanitizer's own advice, compiles in well under the time of -O2.
# Two units rather than one: in CI this build outlasts the others, and its tail then uses both cores.
cmake -S . -B "$BUILD_DIR" -G Ninja \
  -DQUORVIX_SANITIZE=ON \
  -DQUORVIX_UNITY_BATCH_SIZE="${QUORVIX_SANITIZE_UNITY_BATCH_SIZE:-28}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g -DNDEBUG" \
  -Dpybind11_DIR="${QUORVIX_PYBIND11_DIR:-$(python -m pybind11 --cmakedir)}" \
  -DPython_EXECUTABLE="$(python -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build "$BUILD_DIR"

source tools/sanitizer_env.sh
echo "sanitizer build: $loaded"

if [ $# -eq 0 ]; then
  set -- python -m pytest tests -p no:cacheprovider
fi
if [ "$1" = python ]; then
  shift
  set -- "$QUORVIX_PYTHON" "$@"
fi
exec "$@"
