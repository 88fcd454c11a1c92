#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test:
# the C++ suites (plain, AddressSanitizer+UBSan, ThreadSanitizer), the
# Python suites against the installed wheel (stand-in Core, then the networked
# Core with local servers), the same Python suites against the module built
# with AddressSanitizer+UBSan, then both suites again for 32-bit x86 under
# qemu-i386 (scripts/i386/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

bash scripts/setup.sh

VENV=$ROOT/build/venv
PY=$VENV/bin/python
export PATH=$VENV/bin:$PATH
# Every CMake build below (sanitizers, wheel, i386) compiles through ccache.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  # Checkouts in other folders share the cache.
  export CCACHE_BASEDIR=$ROOT CCACHE_NOHASHDIR=1
fi

# Profile namespaces keep their state under XDG_STATE_HOME: a fresh folder of
# the build tree for every run, never the user's own.
export XDG_STATE_HOME=$ROOT/build/test-state
rm -rf "$XDG_STATE_HOME"

configure_and_test() {  # name, extra cmake args...
  local dir=$ROOT/build/$1
  shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DSTRANDEL_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$PY" -Wno-dev "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$JOBS" >"$dir.build.log" 2>&1 || { tail -60 "$dir.build.log"; return 1; }
  # The whole log on failure; the summary otherwise.
  if ${CTEST_WRAP:-} ctest --test-dir "$dir" --output-on-failure -j "$JOBS" >"$dir.test.log" 2>&1; then
    tail -n 4 "$dir.test.log"
  else
    cat "$dir.test.log"
    return 1
  fi
}

echo "== C++ tests"
mkdir -p build
configure_and_test cpp
echo "== C++ tests under AddressSanitizer + UBSan"
# The module is built here too: the Python suites run against it further on.
configure_and_test asan -DSTRANDEL_SANITIZER=address
echo "== C++ tests under ThreadSanitizer"
# Kernels with high mmap randomisation break TSan's shadow memory layout;
# running without address randomisation avoids that.
CTEST_WRAP="setarch $(uname -m) -R" configure_and_test tsan -DSTRANDEL_SANITIZER=thread \
  -DSTRANDEL_MODULE=OFF

echo "== wheel"
bash scripts/wheel.sh "$VENV" build/dist

echo "== Python tests"
export HALVANE_FAKE_CORE=$ROOT/build/cpp/fake_core/libhalvane.so.2
export LD_LIBRARY_PATH=$ROOT/build/cpp/fake_core${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
cd "$ROOT/tests/python"  # import the installed wheel, not a source folder
"$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests/python"

echo "== the benchmark report's arithmetic"
"$PY" -m pytest -q -p no:cacheprovider --confcutdir="$ROOT/bench" "$ROOT/bench/test_report.py"

echo "== Python tests against the networked Core and local servers"
env -u HALVANE_FAKE_CORE -u LD_LIBRARY_PATH "$PY" -m pytest -q -p no:cacheprovider \
  --confcutdir="$ROOT/tests/python/net" "$ROOT/tests/python/net"

echo "== Python tests against the module built with AddressSanitizer + UBSan"
# The interpreter is not instrumented, so the sanitizer runtimes come first.
# Python's own allocations outlive the run: leaks are not checked here.
ASAN=$ROOT/build/asan
SANITIZED=(env -u HALVANE_FAKE_CORE -u LD_LIBRARY_PATH
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
  ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  STRANDEL_MODULE_DIR="$ASAN" STRANDEL_SANITIZED=1)
"${SANITIZED[@]}" HALVANE_FAKE_CORE="$ASAN/fake_core/libhalvane.so.2" \
  LD_LIBRARY_PATH="$ASAN/fake_core" "$PY" -m pytest -q -p no:cacheprovider "$ROOT/tests/python"
"${SANITIZED[@]}" "$PY" -m pytest -q -p no:cacheprovider --confcutdir="$ROOT/tests/python/net" \
  "$ROOT/tests/python/net"

echo "== i386: build and tests under qemu-i386"
JOBS=$JOBS bash "$ROOT/scripts/i386/test.sh"
