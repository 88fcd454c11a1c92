#!/usr/bin/env bash
# Builds the wheel with the Python of VENV and installs it there, replacing
# whatever version was installed. The wheel goes to DIST (emptied first), the
# build's output to DIST.log, shown in part when the build fails. Further
# arguments go to `pip wheel` (e.g. -C build-dir=DIR to keep a build tree).
#
#   bash scripts/wheel.sh VENV DIST [pip wheel arguments...]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 VENV DIST [pip wheel arguments...]" >&2; exit 2; }
# Relative paths are taken from where the caller stands.
VENV=$(cd "$1" && pwd)
case $2 in /*) DIST=$2 ;; *) DIST=$PWD/$2 ;; esac
shift 2
cd "$(dirname "$0")/.."
PY=$VENV/bin/python

rm -rf "$DIST"
mkdir -p "$(dirname "$DIST")"
"$PY" -m pip wheel . --no-build-isolation --no-deps --disable-pip-version-check -q \
  -w "$DIST" "$@" >"$DIST.log" 2>&1 || { tail -40 "$DIST.log"; exit 1; }
"$PY" -m pip install --force-reinstall --no-deps --disable-pip-version-check -q \
  "$DIST"/strandel_native36-*.whl
