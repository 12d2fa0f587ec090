#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer into build-tsan/ and runs the tests of calls on several
# threads against it (or the command given, as with tools/sanitize.sh). The first data race or lock
# misuse ends the process with a report.
#
# Needs pybind11 2.13, cmake, ninja and g++ with libtsan (pip install "pybind11>=2.13.6,<2.14" cmake ninja).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${QUORVIX_TSAN_BUILD_DIR:-build-tsan}

cmake -S . -B "$BUILD_DIR" -G Ninja \
  -DQUORVIX_TSAN=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -Dpybind11_DIR="${QUORVIX_PYBIND11_DIR:-$(python -m pybind11 --cmakedir)}" \
  -DPython_EXECUTABLE="$(python -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build "$BUILD_DIR"

QUORVIX_PYTHON=$(python -c 'import sys; print(sys.executable)')
export PYTHONPATH="$PWD/$BUILD_DIR/python${PYTHONPATH:+:$PYTHONPATH}"
# The interpreter is not instrumented, so the runtime is preloaded ahead of it. It still sees every
# lock and thread the interpreter and the extension use, which is what ordering is checked against.
export LD_PRELOAD="$(g++ -print-file-name=libtsan.so)"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export QUORVIX_SANITIZED=1

loaded=$("$QUORVIX_PYTHON" -c 'import quorvix._core; print(quorvix._core.__file__)')
case "$loaded" in
  "$PWD/$BUILD_DIR"/*) echo "thread sanitizer build: $loaded" ;;
  *) echo "thread sanitizer build not picked up: quorvix loads from $loaded" >&2; exit 1 ;;
esac

if [ $# -eq 0 ]; then
  # Forked children may not start threads under ThreadSanitizer, so the fork test stays out.
  set -- python -m pytest -p no:cacheprovider -q tests/test_sample_property.py \
    tests/test_hardening.py tests/test_sample_examples.py tests/test_graph.py \
    -k "(thread or failed or failure or model) and not fork"
fi
if [ "$1" = python ]; then
  shift
  set -- "$QUORVIX_PYTHON" "$@"
fi
exec "$@"
