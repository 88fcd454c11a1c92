#!/usr/bin/env bash
# Installs the Debian and Python packages that building and testing need, into
# build/venv for the Python side, and fetches the sources of the Core's TLS
# stack into build/tls-stack/src. Safe to run again. Root (or sudo) is used for
# apt-get install only, and only when a package is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(g++ make ninja-build ccache libgtest-dev python3-venv libcurl4-openssl-dev libssl-dev dpkg-dev libnghttp2-dev libidn2-dev libpsl-dev zlib1g-dev libbrotli-dev libzstd-dev libsqlite3-dev libboost-dev nginx tinyproxy)
missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
  # A mirror in the middle of a sync can refuse an index for a minute or so, and
  # some keep refusing one for days: the install then takes what did arrive and
  # fails by itself only if a package is truly out of reach.
  $SUDO apt-get update -qq || { sleep 30; $SUDO apt-get update -qq; } ||
    echo "setup: some package lists did not arrive; installing from those that did" >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON=${PYTHON:-python3}
VENV=build/venv
if [ ! -x "$VENV/bin/python" ]; then
  mkdir -p build
  "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.26" ninja pytest wheel hypercorn aioquic trustme websockets \
  hypothesis h2 brotli zstandard uvloop mypy typing_extensions tqdm "clang-format==14.*" py-spy
# The venv's cmake and ninja come first for everything that follows.
export PATH=$PWD/$VENV/bin:$PATH

# The first configure builds the TLS stack from these; configures never fetch.
bash scripts/fetch_sources.sh
