# Environment that runs Python against the sanitizer build of the extension. Sourced by the tools
# scripts after the build; expects BUILD_DIR to name the build directory.
#
# The interpreter itself is not instrumented, so the ASan runtime has to be preloaded ahead of it,
# Python's own small-object allocator is switched off (its pools would hide heap errors from ASan),
# and leak detection is off: the interpreter keeps memory until exit that ASan would report.
QUORVIX_PYTHON=$(python -c 'import sys; print(sys.executable)')
# tools/sanitizer_site makes every interpreter start its worker processes by forkserver (see there).
export PYTHONPATH="$PWD/$BUILD_DIR/python:$PWD/tools/sanitizer_site${PYTHONPATH:+:$PYTHONPATH}"
# libstdc++ is preloaded too: the interpreter does not link it, and ASan resolves the real __cxa_throw
# at start-up, before the extension would bring it in (every C++ throw would otherwise abort).
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:strict_init_order=1${QUORVIX_ASAN_OPTIONS:+:$QUORVIX_ASAN_OPTIONS}
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# With QUORVIX_SANITIZER_LOGS set (a path prefix), every process writes its reports to
# <prefix>.<pid> instead of stderr: a test runner that captures stderr loses it with a process that
# the sanitizer ends, and the run then shows only a worker that crashed.
if [ -n "${QUORVIX_SANITIZER_LOGS:-}" ]; then
  ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$QUORVIX_SANITIZER_LOGS"
  UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$QUORVIX_SANITIZER_LOGS"
fi
# Lets tests skip what the instrumented allocator cannot do (throw on exhaustion, keep RSS flat).
export QUORVIX_SANITIZED=1

loaded=$("$QUORVIX_PYTHON" -c 'import quorvix._core; print(quorvix._core.__file__)')
case "$loaded" in
  "$PWD/$BUILD_DIR"/*) ;;
  *) echo "sanitizer build not picked up: quorvix loads from $loaded" >&2; exit 1 ;;
esac
