#!/usr/bin/env bash
# The main-job demo. Installs what it needs (scripts/setup.sh: Debian packages,
# and Python packages into build/venv), builds the wheel, installs it into
# build/venv and runs the example tour against local servers it starts.
#
#   bash scripts/demo.sh         # the tour
#   bash scripts/demo.sh URL     # fetch URL instead and show what came back
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

echo "== dependencies (the first run installs packages and takes a while)"
bash scripts/setup.sh

VENV=$ROOT/build/venv
PY=$VENV/bin/python
export PATH=$VENV/bin:$PATH

echo "== building and installing the wheel"
bash scripts/wheel.sh "$VENV" build/demo-dist

echo "== the tour"
cd "$ROOT/build"  # import the installed wheel, never a source folder
exec "$PY" "$ROOT/examples/tour.py" "$@"
