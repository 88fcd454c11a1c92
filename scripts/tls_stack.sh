#!/usr/bin/env bash
# Builds the networked Core's own TLS stack: BoringSSL and libcurl on it, both
# static and position independent, from Debian's source packages (with
# Debian's patches) plus our own small patches (libhalvane/patches/). The Core
# links them into libhalvane.so.2 and exports none of their symbols, so they
# never meet the interpreter's own OpenSSL in the process.
#
#   bash scripts/tls_stack.sh PREFIX
#
# PREFIX receives include/ and lib/ (libssl.a, libcrypto.a, libcurl.a) and a
# stamp naming what was built; a PREFIX whose stamp matches is left alone.
# The sources are those scripts/stack.versions pins, which
# scripts/fetch_sources.sh (run by scripts/setup.sh) has unpacked into
# PREFIX/../src: this script builds only from there and fetches nothing.
# Compiles go through ccache when there is one. Environment: JOBS (default:
# nproc); for a 32-bit x86 build on an x86_64 host, TLS_STACK_ARCH=i386 and
# TLS_STACK_ROOT, a folder of Debian's unpacked i386 packages holding the
# libraries libcurl links to (scripts/i386/setup.sh makes one).
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
HERE=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
PREFIX=$(cd "$1" && pwd)
SRC=$(dirname "$PREFIX")/src
JOBS=${JOBS:-$(nproc)}

PINS=$HERE/scripts/stack.versions
BSSL_PKG=android-platform-external-boringssl
CURL_PKG=curl
# The unpacked tree of a pinned package; fails, naming the command that
# fetches it, when it is not there or was fetched for another pin.
source_tree() {  # package
  local pin recorded
  pin=$(awk -v p="$1" '$1 == p { print $1, $2, $3; exit }' "$PINS")
  [ -n "$pin" ] || { echo "scripts/stack.versions pins no $1" >&2; return 1; }
  recorded=$(cat "$SRC/$1.fetched" 2>/dev/null || true)
  if [ "${recorded% *}" != "$pin" ] || [ ! -d "$SRC/$1-$(cut -d' ' -f2 <<<"$pin")" ]; then
    echo "the TLS stack's sources ($pin) are not fetched into $SRC;" \
      "fetch them with: bash $HERE/scripts/fetch_sources.sh $SRC" >&2
    return 1
  fi
  echo "$SRC/$1-$(cut -d' ' -f2 <<<"$pin")"
}
BSSL_SRC=$(source_tree "$BSSL_PKG")
CURL_SRC=$(source_tree "$CURL_PKG")
shopt -s nullglob
PATCHES=("$HERE"/libhalvane/patches/*.patch)
shopt -u nullglob

ARCH=${TLS_STACK_ARCH:-$(dpkg-architecture -qDEB_HOST_ARCH)}
# What the stamp records: this script, the patches, the Debian versions built,
# the compiler and the target.
STAMP=$( (cat "$0" "${PATCHES[@]}" "$SRC/$BSSL_PKG.fetched" "$SRC/$CURL_PKG.fetched"
  gcc --version | head -1; echo "$ARCH") | sha256sum | cut -c1-16)
if [ "$(cat "$PREFIX/stamp" 2>/dev/null)" = "$STAMP" ]; then
  exit 0
fi
echo "building the TLS stack (BoringSSL and libcurl) into $PREFIX"
started=$SECONDS
rm -rf "$PREFIX"/{include,lib,stamp}
mkdir -p "$PREFIX/include" "$PREFIX/lib" "$SRC"

CC=gcc
CURL_HOST=()
CURL_LIBS=()
if [ "$ARCH" = i386 ] && [ "$(dpkg-architecture -qDEB_HOST_ARCH)" != i386 ]; then
  [ -d "${TLS_STACK_ROOT:-}/usr/lib/i386-linux-gnu" ] || { echo "TLS_STACK_ROOT: no i386 root"; exit 1; }
  CC="gcc -m32"
  CURL_HOST=(--host=i686-pc-linux-gnu)
  # The root holds runtime libraries only: link names of our own point at
  # them, and the host's (architecture-independent) headers serve.
  LIBDIR=$(dirname "$PREFIX")/i386-link
  mkdir -p "$LIBDIR"
  for lib in nghttp2 idn2 psl z; do
    ln -sf "$(ls "$TLS_STACK_ROOT"/usr/lib/i386-linux-gnu/lib$lib.so.* "$TLS_STACK_ROOT"/lib/i386-linux-gnu/lib$lib.so.* 2>/dev/null | head -1)" \
      "$LIBDIR/lib$lib.so"
  done
  CURL_LIBS=("LDFLAGS=-L$PREFIX/lib -L$LIBDIR -Wl,-rpath-link,$TLS_STACK_ROOT/usr/lib/i386-linux-gnu -Wl,-rpath-link,$TLS_STACK_ROOT/lib/i386-linux-gnu"
             "PKG_CONFIG_LIBDIR=$LIBDIR")
fi
command -v ccache >/dev/null && CC="ccache $CC"
export CCACHE_BASEDIR=$SRC CCACHE_NOHASHDIR=1

# Builds happen in patched copies; the unpacked sources stay as Debian made them.
patched_copy() {  # source, destination, patch prefix
  rm -rf "$2"
  cp -r "$1" "$2"
  for p in "${PATCHES[@]}"; do
    case $(basename "$p") in
      "$3"-*) patch -s -p1 -d "$2" <"$p" ;;
    esac
  done
}

# BoringSSL with Debian's generated source lists (no Go, no CMake), every
# symbol hidden, archived instead of linked into its shared libraries.
# Flags go in through the environment: the makefiles append their own
# (-fvisibility=hidden among them), which a command-line value would drop.
BSSL=$SRC/boringssl-build-$ARCH
patched_copy "$BSSL_SRC" "$BSSL" boringssl
for lib in crypto ssl; do
  CC="$CC" CXX="${CC/gcc/g++}" CFLAGS="-O2 -fPIC" CXXFLAGS="-O2 -fPIC -fno-exceptions" \
    CPPFLAGS="-DNDEBUG -DBORINGSSL_IMPLEMENTATION -fno-strict-aliasing" \
    make -s -C "$BSSL" -f debian/lib$lib.mk -j "$JOBS" DEB_HOST_ARCH="$ARCH" build >/dev/null
done
(cd "$BSSL" && find src/ssl -name '*.o' | sort | xargs ar rcs "$PREFIX/lib/libssl.a")
(cd "$BSSL" && find err_data.o src/crypto linux-* -name '*.o' -not -path 'src/crypto/test/*' |
  sort | xargs ar rcs "$PREFIX/lib/libcrypto.a")
cp -r "$BSSL/src/include/openssl" "$PREFIX/include/"
echo "  BoringSSL: $((SECONDS - started)) s"

# libcurl: HTTP(S) only, the system's nghttp2, zlib, libidn2 and libpsl;
# content decoding is the Core's own, so no brotli or zstd here.
BUILD=$SRC/curl-build-$ARCH
LOG=$SRC/curl-$ARCH
patched_copy "$CURL_SRC" "$BUILD" curl
(cd "$BUILD" && env CC="$CC" CPPFLAGS="-I$PREFIX/include" LDFLAGS="-L$PREFIX/lib" \
  LIBS="-lstdc++ -lpthread" "${CURL_LIBS[@]}" ./configure "${CURL_HOST[@]}" --prefix="$PREFIX" \
  --with-openssl="$PREFIX" --enable-static --disable-shared --with-pic \
  --with-nghttp2 --with-zlib --with-libidn2 --with-libpsl --without-brotli --without-zstd \
  --without-libssh2 --without-libssh --without-librtmp --without-gssapi --disable-ldap \
  --disable-ldaps --disable-ftp --disable-file --disable-dict --disable-gopher --disable-imap \
  --disable-pop3 --disable-smtp --disable-rtsp --disable-telnet --disable-tftp --disable-mqtt \
  --disable-smb --disable-manual --enable-threaded-resolver \
  --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt --with-ca-path=/etc/ssl/certs \
  >"$LOG-configure.log" 2>&1) || { tail -40 "$LOG-configure.log"; exit 1; }
for feature in "SSL:.*BoringSSL" "HTTP2:.*enabled" "IDN:.*enabled" "PSL:.*enabled"; do
  grep -q "$feature" "$LOG-configure.log" ||
    { echo "libcurl's configure did not find ${feature%%:*}"; tail -30 "$LOG-configure.log"; exit 1; }
done
make -s -C "$BUILD/lib" -j "$JOBS" >"$LOG-make.log" 2>&1 || { tail -40 "$LOG-make.log"; exit 1; }
make -s -C "$BUILD/lib" install >/dev/null
make -s -C "$BUILD/include" install >/dev/null
echo "  with libcurl: $((SECONDS - started)) s"
echo "$STAMP" >"$PREFIX/stamp"
