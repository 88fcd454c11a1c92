#!/usr/bin/env bash
# Puts an nginx that serves HTTP/3 into DEST (default build/bench-nginx) for the
# HTTP/3 rows of the benchmarks, and prints the path of its binary. bookworm's
# nginx (1.22) has no HTTP/3; trixie's (1.26) is built with it and runs on
# bookworm's libraries (its QUIC layer works on OpenSSL 3.0). Only its binary
# package is fetched and unpacked into DEST: nothing is installed, and the
# system's apt sources, lists and caches stay as they are (apt runs on a
# configuration of its own under DEST/apt, on the system's Debian mirror).
# A binary already unpacked is kept.
#
#   bash bench/nginx_h3.sh [DEST]
set -euo pipefail
TOP=$(cd "$(dirname "$0")/.." && pwd)
DEST=${1:-$TOP/build/bench-nginx}
SUITE=trixie
BINARY=$DEST/root/usr/sbin/nginx

has_http3() { "$1" -V 2>&1 | grep -q -- --with-http_v3_module; }
if [ -x "$BINARY" ] && has_http3 "$BINARY"; then
  echo "$BINARY"
  exit 0
fi

# The system's Debian mirror (the main archive's, not the security one's),
# from either apt sources format.
MIRROR=$({ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
  2>/dev/null || true; } | grep -o -E '(https?|file)://[^ ]*/debian/?( |$)' | head -1 | tr -d ' ')
[ -n "$MIRROR" ] || { echo "no Debian mirror among the system's apt sources" >&2; exit 1; }
KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

APT_DIR=$DEST/apt
rm -rf "$APT_DIR" "$DEST/root"
mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial" "$DEST/root"
echo "deb [signed-by=$KEYRING] $MIRROR $SUITE main" >"$APT_DIR/sources.list"
APT=(-o Dir::Etc::SourceList="$APT_DIR/sources.list" -o Dir::Etc::SourceParts=/dev/null
     -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
     -o Dir::State::Lists="$APT_DIR/lists" -o Dir::State::status=/dev/null
     -o Dir::Cache="$APT_DIR/cache" -o APT::Sandbox::User=root)
apt-get "${APT[@]}" -q update >"$APT_DIR/update.log" 2>&1 ||
  { cat "$APT_DIR/update.log" >&2; exit 1; }
# apt checks the download against the signed suite's Packages index.
(cd "$APT_DIR" && apt-get "${APT[@]}" -qq download nginx >/dev/null)
dpkg-deb -x "$APT_DIR"/nginx_*.deb "$DEST/root"
has_http3 "$BINARY" || { echo "$SUITE's nginx has no HTTP/3 module" >&2; exit 1; }
echo "$BINARY"
