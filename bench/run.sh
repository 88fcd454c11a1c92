#!/usr/bin/env bash
# Runs every benchmark against local servers and writes docs/benchmarks.md.
# Installs what it needs: Debian packages through scripts/setup.sh (compilers,
# the libcurl and OpenSSL headers that pycurl is built on, nginx), and the
# peers into build/bench-venv, where it also builds and installs our wheel.
#
#   bash bench/run.sh [--repeat N] [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/setup.sh

VENV=$ROOT/build/bench-venv
PY=$VENV/bin/python
[ -x "$PY" ] || "${PYTHON:-python3}" -m venv "$VENV"
export PATH=$VENV/bin:$PATH
echo "== peers"
"$PY" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.26" \
  ninja wheel trustme requests "httpx[http2]" aiohttp websockets
# pycurl from source, on the system's libcurl: the one our Core uses too.
"$PY" -m pip install -q --disable-pip-version-check --no-binary pycurl pycurl

echo "== wheel"
rm -rf build/bench-dist
"$PY" -m pip wheel . --no-build-isolation --no-deps -q -w build/bench-dist \
  -C build-dir=build/bench-wheel >build/bench-wheel.log 2>&1 ||
  { tail -40 build/bench-wheel.log; exit 1; }
"$PY" -m pip install --force-reinstall --no-deps -q build/bench-dist/strandel_native36-*.whl

echo "== benchmarks"
cd "$ROOT/build"  # import the installed wheel, never a source folder
exec "$PY" "$ROOT/bench/run.py" --command "bash bench/run.sh${*:+ $*}" "$@"
