#!/usr/bin/env bash
# Fuzzes the sanitizer build of the extension with malformed constructor and sample arguments for a
# bounded time (QUORVIX_FUZZ_SECONDS, default 120). Extra arguments go to tests/fuzz/run.py, e.g.
# `tools/fuzz.sh --seed 7`. Fails on a crash, a sanitizer report, a SystemError or an inconsistent
# result; after a crash it prints the input that caused it.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${QUORVIX_SANITIZE_BUILD_DIR:-build-asan}
export QUORVIX_FUZZ_LAST_INPUT="$PWD/$BUILD_DIR/fuzz-last-input.txt"
rm -f "$QUORVIX_FUZZ_LAST_INPUT"

tools/sanitize.sh python tests/fuzz/run.py --seconds "${QUORVIX_FUZZ_SECONDS:-120}" "$@"
status=$?
if [ $status -ne 0 ] && [ -s "$QUORVIX_FUZZ_LAST_INPUT" ]; then
  echo "fuzzing failed (exit $status); the last input, as passed to the call:" >&2
  cat "$QUORVIX_FUZZ_LAST_INPUT" >&2
fi
exit $status
