#!/usr/bin/env bash
# The 32-bit x86 pass: builds the module, the stand-in Core and the networked
# Core for i386 into build/i386 (cmake/toolchain-i386.cmake), then runs the C++
# tests and the Python suite (tests/python, without tests/python/net) under
# qemu-i386 with the i386 Python 3.11 of build/i386-root, and its HTTP/3 tests
# (tests/python/external) against a server the host runs.
#
# Environment: JOBS (default: nproc), BUILD_TYPE (default: RelWithDebInfo).
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$PWD
BUILD=$TOP/build/i386
ROOT=$TOP/build/i386-root
JOBS=${JOBS:-$(nproc)}
# Emulated steps that run past these are hung, not slow.
CTEST_LIMIT=${CTEST_LIMIT:-600}
PYTEST_LIMIT=${PYTEST_LIMIT:-600}

# The project's venv brings a recent enough cmake and ninja, when it exists.
[ -x "$TOP/build/venv/bin/cmake" ] && export PATH=$TOP/build/venv/bin:$PATH

stage_start=$SECONDS
stage() {  # name: announces the next stage with the time spent so far
  echo "[i386] $1 ($((SECONDS - stage_start)) s so far)"
}

stage "setup"
bash scripts/i386/setup.sh
# The i386 TLS stack builds from the same sources as the host's.
bash scripts/fetch_sources.sh

stage "configure and build"
cmake -S "$TOP" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOP/cmake/toolchain-i386.cmake" \
  -DSTRANDEL_I386_ROOT="$ROOT" -DSTRANDEL_TESTS=ON -DSTRANDEL_MODULE=ON \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -Wno-dev >"$BUILD.configure.log" 2>&1 ||
  { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" -j "$JOBS" >"$BUILD.build.log" 2>&1 || { tail -60 "$BUILD.build.log"; exit 1; }
# What was built must really be 32-bit x86: a host library picked up by
# mistake would otherwise only show as a puzzling load failure.
for f in "$BUILD"/strandel_native36*.so "$BUILD"/fake_core/libhalvane.so.2 \
         "$BUILD"/libhalvane/libhalvane.so.2; do
  [ -f "$f" ] || { echo "missing $f"; exit 1; }
  readelf -h "$f" | grep -q "Machine:.*Intel 80386" || { echo "$f is not i386"; exit 1; }
done

stage "C++ tests under qemu-i386"
# The build folder's CTest runs every test through CMAKE_CROSSCOMPILING_EMULATOR.
timeout -k 10 "$CTEST_LIMIT" ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS"

stage "Python tests with the i386 Python under qemu-i386"
export HALVANE_FAKE_CORE=$BUILD/fake_core/libhalvane.so.2
export STRANDEL_MODULE_DIR=$BUILD
# A test that starts an interpreter of its own starts it this way: the i386
# one runs only under the emulator, with the i386 root as its library prefix.
export STRANDEL_PYTHON=$TOP/scripts/i386/python.sh
cd "$TOP/tests/python"
timeout -k 10 "$PYTEST_LIMIT" "$TOP/scripts/i386/python.sh" -m pytest -q -p no:cacheprovider \
  --ignore="$TOP/tests/python/net" "$TOP/tests/python"

stage "HTTP/3 tests with the i386 Python, against a server the host's Python runs"
# The i386 interpreter has pytest only; the server (hypercorn with aioquic)
# runs on the project's venv.
H3_DIR=$BUILD/h3-server
rm -rf "$H3_DIR"
"$TOP/build/venv/bin/python" "$TOP/tests/python/net/h3_serve.py" "$H3_DIR" >"$BUILD.h3-server.log" 2>&1 &
H3_PID=$!
trap 'kill "$H3_PID" 2>/dev/null; wait "$H3_PID" 2>/dev/null || true' EXIT
for _ in $(seq 300); do
  [ -f "$H3_DIR/server.json" ] && break
  kill -0 "$H3_PID" 2>/dev/null || { cat "$BUILD.h3-server.log"; exit 1; }
  sleep 0.1
done
[ -f "$H3_DIR/server.json" ] || { echo "the HTTP/3 server did not start"; exit 1; }
(unset HALVANE_FAKE_CORE
 STRANDEL_H3_SERVER=$H3_DIR/server.json XDG_STATE_HOME=$BUILD/h3-state \
   timeout -k 10 "$PYTEST_LIMIT" "$TOP/scripts/i386/python.sh" -m pytest -q -p no:cacheprovider \
   --confcutdir="$TOP/tests/python/external" "$TOP/tests/python/external")

stage "done"
