#!/usr/bin/env bash
# Runs every benchmark against local servers and writes docs/benchmarks.md.
# Installs what it needs: Debian packages through scripts/setup.sh (compilers,
# the libcurl and OpenSSL headers that pycurl is built on, nginx), and the
# peers into build/bench-venv, where it also builds and installs our wheel, and
# an nginx that speaks HTTP/3 into build/bench-nginx (bench/nginx_h3.sh).
#
#   bash bench/run.sh [--repeat N] [--quick] [--only SECTION,...]   (e.g. --only h3)
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
# curl_cffi: the peer of the HTTP/3 rows, whose wheel carries a libcurl with
# HTTP/3. Optional too.
"$PY" -m pip install -q --disable-pip-version-check curl_cffi \
  || echo "curl_cffi did not install: its HTTP/3 rows will show an error" >&2
# pycurl twice. In the venv: as pip installs it, the wheel with a libcurl of
# its own (client "pycurl"). A build from source on the system's libcurl
# (client "pycurl_system") cannot share the venv: it goes into a folder of its
# own, which bench/measure.py puts first on sys.path for that client alone.
# A venv that still holds a source build gets the wheel instead; the wheel
# carries its libraries in pycurl.libs.
site=$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
if ! compgen -G "$site/pycurl.libs/*" >/dev/null; then
  "$PY" -m pip install -q --disable-pip-version-check --only-binary pycurl --force-reinstall \
    --no-deps pycurl
fi
PYCURL_SYSTEM=$ROOT/build/bench-pycurl-system
if ! PYTHONPATH=$PYCURL_SYSTEM "$PY" -c "
import pycurl, sys
sys.exit(not pycurl.__file__.startswith('$PYCURL_SYSTEM/'))" 2>/dev/null; then
  rm -rf "$PYCURL_SYSTEM"
  "$PY" -m pip install -q --disable-pip-version-check --no-binary pycurl --no-deps \
    --target "$PYCURL_SYSTEM" pycurl
fi

echo "== nginx with HTTP/3"
bash bench/nginx_h3.sh || echo "no nginx with HTTP/3: the HTTP/3 rows will show an error" >&2

echo "== wheel"
# A build tree of its own, kept between runs: later builds are incremental.
bash scripts/wheel.sh "$VENV" build/bench-dist -C build-dir=build/bench-wheel

echo "== benchmarks"
cd "$ROOT/build"  # import the installed wheel, never a source folder
exec "$PY" "$ROOT/bench/run.py" --command "bash bench/run.sh${*:+ $*}" "$@"
