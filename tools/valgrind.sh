#!/usr/bin/env bash
# Runs tools/valgrind_workload.py under valgrind memcheck against a RelWithDebInfo build of the
# extension in build-valgrind/, and fails when memcheck reports a definite leak or a memory error
# with a frame in the extension. The interpreter's own findings are counted but not held against it.
# Takes a minute or two; the full log is left in build-valgrind/valgrind.log.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=build-valgrind
PY=$(python -c 'import sys; print(sys.executable)')
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD_DIR"

LOG="$BUILD_DIR/valgrind.log"
# Python's small-object allocator would hide the extension's blocks inside its arenas.
PYTHONPATH="$PWD/$BUILD_DIR/python" PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite --num-callers=50 \
  --log-file="$LOG" "$PY" -c "
import quorvix, runpy, sys
assert quorvix.__file__.startswith('$PWD/$BUILD_DIR/'), quorvix.__file__
runpy.run_path('tools/valgrind_workload.py', run_name='__main__')
"

"$PY" - "$LOG" <<'PY'
import re
import sys

text = open(sys.argv[1]).read()
# A report is a run of '==pid== ' lines between blank ones.
records = [block for block in re.split(r"\n==\d+== \n", text) if block.strip()]
ours, theirs = [], []
for record in records:
    first = re.sub(r"^==\d+== ", "", record.strip().splitlines()[0])
    if "definitely lost" in first or re.match(r"(Invalid|Conditional|Use of uninit|Mismatched|Syscall)", first):
        (ours if "quorvix" in record else theirs).append(record)
summary = re.findall(r"(definitely lost|indirectly lost|possibly lost): ([\d,]+) bytes in ([\d,]+) blocks", text)
print("memcheck summary:", "; ".join(f"{kind} {size} bytes in {blocks} blocks" for kind, size, blocks in summary))
print(f"reports with a frame in the extension: {len(ours)}; elsewhere (interpreter, numpy): {len(theirs)}")
for record in ours:
    print(record)
sys.exit(1 if ours else 0)
PY
