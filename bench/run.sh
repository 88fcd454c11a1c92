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
# hishel: an HTTP cache on httpx, the peer of the cache rows. Optional: without
# it those rows say why.
"$PY" -m pip install -q --disable-pip-version-check "hishel[httpx]" \
  || echo "hishel did not install: its cache rows will show an error" >&2
# pycurl from source, on the system's libcurl: the same version (7.88) as the
# Core's own.
"$PY" -m pip install -q --disable-pip-version-check --no-binary pycurl pycurl

echo "== wheel"
# A build tree of its own, kept between runs: later builds are incremental.
bash scripts/wheel.sh "$VENV" build/bench-dist -C build-dir=build/bench-wheel

echo "== benchmarks"
cd "$ROOT/build"  # import the installed wheel, never a source folder
exec "$PY" "$ROOT/bench/run.py" --command "bash bench/run.sh${*:+ $*}" "$@"
