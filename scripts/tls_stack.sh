#!/usr/bin/env bash
# Builds the networked Core's own network stack, all static and position
# independent: AWS-LC (the BoringSSL API, with ML-KEM key shares, both ALPS
# code points and the QUIC API), ngtcp2 and its crypto library on it, Debian's
# static nghttp3, and libcurl on them (HTTP/1.1, HTTP/2 on the system's
# nghttp2, HTTP/3), plus our own small patches (libhalvane/patches/). The Core
# links them into libhalvane.so.2 and exports none of their symbols, so they
# never meet the interpreter's own OpenSSL in the process.
#
#   bash scripts/tls_stack.sh PREFIX
#
# PREFIX receives include/ and lib/ (libssl.a, libcrypto.a, libngtcp2.a,
# libngtcp2_crypto_boringssl.a, libnghttp3.a, libcurl.a) and a stamp naming
# what was built; a PREFIX whose stamp matches is left alone. The sources are
# those scripts/stack.versions pins, which scripts/fetch_sources.sh (run by
# scripts/setup.sh) has unpacked into PREFIX/../src: this script builds only
# from there and fetches nothing. Compiles go through ccache when there is
# one. Environment: JOBS (default: nproc); CMAKE, the cmake that builds AWS-LC
# (default: the one on PATH; CMake's configure passes its own); for a 32-bit
# x86 build on an x86_64 host, TLS_STACK_ARCH=i386 and TLS_STACK_ROOT, a
# folder of Debian's unpacked i386 packages holding the libraries libcurl
# links to (scripts/i386/setup.sh makes one).
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
HERE=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
PREFIX=$(cd "$1" && pwd)
SRC=$(dirname "$PREFIX")/src
JOBS=${JOBS:-$(nproc)}
CMAKE=${CMAKE:-cmake}

PINS=$HERE/scripts/stack.versions
AWSLC_PKG=rust-aws-lc-sys
NGTCP2_PKG=ngtcp2
NGHTTP3_PKG=libnghttp3-dev
CURL_PKG=curl
# The unpacked tree of a pinned package; fails, naming the command that
# fetches it, when it is not there or was fetched for another pin.
source_tree() {  # package
  local pin recorded
  pin=$(awk -v p="$1" '$1 == p { print $1, $2, $3, $4; exit }' "$PINS")
  [ -n "$pin" ] || { echo "scripts/stack.versions pins no $1" >&2; return 1; }
  recorded=$(cat "$SRC/$1.fetched" 2>/dev/null || true)
  if [ "${recorded% *}" != "$pin" ] || [ ! -d "$SRC/$1-$(cut -d' ' -f2 <<<"$pin")" ]; then
    echo "the TLS stack's sources ($pin) are not fetched into $SRC;" \
      "fetch them with: bash $HERE/scripts/fetch_sources.sh $SRC" >&2
    return 1
  fi
  echo "$SRC/$1-$(cut -d' ' -f2 <<<"$pin")"
}
# AWS-LC is the aws-lc/ folder of the Rust crate's source package.
AWSLC_SRC=$(source_tree "$AWSLC_PKG")/aws-lc
NGTCP2_SRC=$(source_tree "$NGTCP2_PKG")
NGHTTP3_DEB=$(source_tree "$NGHTTP3_PKG")
CURL_SRC=$(source_tree "$CURL_PKG")
shopt -s nullglob
PATCHES=("$HERE"/libhalvane/patches/*.patch)
shopt -u nullglob

ARCH=${TLS_STACK_ARCH:-$(dpkg-architecture -qDEB_HOST_ARCH)}
# What the stamp records: this script, the patches, the Debian versions built,
# the compiler and the target.
STAMP=$( (cat "$0" "${PATCHES[@]}"
  for pkg in "$AWSLC_PKG" "$NGTCP2_PKG" "$NGHTTP3_PKG" "$CURL_PKG"; do cat "$SRC/$pkg.fetched"; done
  gcc --version | head -1; echo "$ARCH") | sha256sum | cut -c1-16)
if [ "$(cat "$PREFIX/stamp" 2>/dev/null)" = "$STAMP" ]; then
  exit 0
fi
echo "building the network stack (AWS-LC, ngtcp2, nghttp3, libcurl) into $PREFIX"
started=$SECONDS
rm -rf "$PREFIX"/{include,lib,stamp}
mkdir -p "$PREFIX/include" "$PREFIX/lib/pkgconfig" "$SRC"

CC=gcc
CURL_HOST=()
CURL_LIBS=()
AWSLC_CROSS=()
NGHTTP3_MULTIARCH=x86_64-linux-gnu
if [ "$ARCH" = i386 ] && [ "$(dpkg-architecture -qDEB_HOST_ARCH)" != i386 ]; then
  [ -d "${TLS_STACK_ROOT:-}/usr/lib/i386-linux-gnu" ] || { echo "TLS_STACK_ROOT: no i386 root"; exit 1; }
  CC="gcc -m32"
  CURL_HOST=(--host=i686-pc-linux-gnu)
  AWSLC_CROSS=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=i686
               -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_ASM_FLAGS=-m32)
  NGHTTP3_MULTIARCH=i386-linux-gnu
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
LAUNCHER=()
if command -v ccache >/dev/null; then
  CC="ccache $CC"
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
export CCACHE_BASEDIR=$SRC CCACHE_NOHASHDIR=1

# Builds happen in patched copies; the unpacked sources stay as Debian made them.
patched_copy() {  # source, destination, patch prefix
  rm -rf "$2"
  mkdir -p "$(dirname "$2")"
  cp -a "$1" "$2"
  for p in "${PATCHES[@]}"; do
    case $(basename "$p") in
      "$3"-*) patch -s -p1 -d "$2" <"$p" ;;
    esac
  done
}

# AWS-LC with its pre-generated assembly (no Go, no Perl), libcrypto and
# libssl only, every symbol hidden.
AWSLC=$SRC/aws-lc-build-$ARCH
patched_copy "$AWSLC_SRC" "$AWSLC/src" aws-lc
"$CMAKE" -S "$AWSLC/src" -B "$AWSLC/build" -G Ninja "${LAUNCHER[@]}" "${AWSLC_CROSS[@]}" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib \
  -DDISABLE_GO=ON -DDISABLE_PERL=ON -DBUILD_TESTING=OFF -DBUILD_TOOL=OFF -DBUILD_SHARED_LIBS=OFF \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_C_VISIBILITY_PRESET=hidden \
  -DCMAKE_CXX_VISIBILITY_PRESET=hidden >"$AWSLC/configure.log" 2>&1 ||
  { tail -40 "$AWSLC/configure.log"; exit 1; }
"$CMAKE" --build "$AWSLC/build" -j "$JOBS" --target install >"$AWSLC/build.log" 2>&1 ||
  { tail -40 "$AWSLC/build.log"; exit 1; }
rm -rf "$PREFIX/bin" "$PREFIX/share" "$PREFIX/lib/crypto" "$PREFIX/lib/ssl" "$PREFIX/lib/cmake"
echo "  AWS-LC: $((SECONDS - started)) s"

# nghttp3: Debian's static library and headers, as built for the target (its
# sources are not served). The library is not position independent in one
# place: its debug printers, which nothing calls, read libc's stderr directly,
# which a shared object cannot; they read a hidden copy of it instead.
cp -r "$NGHTTP3_DEB/$ARCH/usr/include/nghttp3" "$PREFIX/include/"
NGHTTP3=$SRC/nghttp3-build-$ARCH
rm -rf "$NGHTTP3"
mkdir -p "$NGHTTP3"
objcopy --redefine-sym stderr=hv_nghttp3_stderr \
  "$NGHTTP3_DEB/$ARCH/usr/lib/$NGHTTP3_MULTIARCH/libnghttp3.a" "$PREFIX/lib/libnghttp3.a"
cat >"$NGHTTP3/stderr.c" <<'EOF'
#include <stdio.h>
__attribute__((visibility("hidden"))) FILE *hv_nghttp3_stderr;
__attribute__((constructor)) static void hv_nghttp3_stderr_init(void) { hv_nghttp3_stderr = stderr; }
EOF
$CC -O2 -fPIC -c "$NGHTTP3/stderr.c" -o "$NGHTTP3/hv_nghttp3_stderr.o"
ar rcs "$PREFIX/lib/libnghttp3.a" "$NGHTTP3/hv_nghttp3_stderr.o"
sed -e "s|^prefix=.*|prefix=$PREFIX|" -e "s|^libdir=.*|libdir=\${prefix}/lib|" \
  "$NGHTTP3_DEB/$ARCH/usr/lib/$NGHTTP3_MULTIARCH/pkgconfig/libnghttp3.pc" >"$PREFIX/lib/pkgconfig/libnghttp3.pc"

# ngtcp2 and its crypto library for the BoringSSL API, on AWS-LC.
NGTCP2=$SRC/ngtcp2-build-$ARCH
patched_copy "$NGTCP2_SRC" "$NGTCP2" ngtcp2
(cd "$NGTCP2" && env CC="$CC" CXX="${CC/gcc/g++}" CFLAGS="-O2 -fvisibility=hidden" \
  CXXFLAGS="-O2 -fvisibility=hidden" ./configure "${CURL_HOST[@]}" --prefix="$PREFIX" --libdir="$PREFIX/lib" \
  --enable-lib-only --disable-shared --enable-static --with-pic --without-openssl --without-gnutls \
  --without-wolfssl --without-libbrotlienc --without-libbrotlidec --with-boringssl \
  BORINGSSL_CFLAGS="-I$PREFIX/include" BORINGSSL_LIBS="-L$PREFIX/lib -lssl -lcrypto -lstdc++ -lpthread" \
  >"$NGTCP2.configure.log" 2>&1) || { tail -40 "$NGTCP2.configure.log"; exit 1; }
make -s -C "$NGTCP2" -j "$JOBS" install >"$NGTCP2.make.log" 2>&1 || { tail -40 "$NGTCP2.make.log"; exit 1; }
echo "  with ngtcp2 and nghttp3: $((SECONDS - started)) s"

# libcurl: HTTP(S) only, the system's nghttp2, zlib, libidn2 and libpsl, and
# HTTP/3 on ngtcp2 and nghttp3; content decoding is the Core's own, so no
# brotli or zstd here.
BUILD=$SRC/curl-build-$ARCH
LOG=$SRC/curl-$ARCH
patched_copy "$CURL_SRC" "$BUILD" curl
(cd "$BUILD" && env CC="$CC" CPPFLAGS="-I$PREFIX/include" LDFLAGS="-L$PREFIX/lib" \
  LIBS="-lstdc++ -lpthread" "${CURL_LIBS[@]}" ./configure "${CURL_HOST[@]}" --prefix="$PREFIX" \
  --with-openssl="$PREFIX" --enable-static --disable-shared --with-pic \
  --with-nghttp2 --with-ngtcp2="$PREFIX" --with-nghttp3="$PREFIX" --with-zlib --with-libidn2 \
  --with-libpsl --without-brotli --without-zstd \
  --without-libssh2 --without-libssh --without-librtmp --without-gssapi --disable-ldap \
  --disable-ldaps --disable-ftp --disable-file --disable-dict --disable-gopher --disable-imap \
  --disable-pop3 --disable-smtp --disable-rtsp --disable-telnet --disable-tftp --disable-mqtt \
  --disable-smb --disable-manual --enable-threaded-resolver \
  --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt --with-ca-path=/etc/ssl/certs \
  >"$LOG-configure.log" 2>&1) || { tail -40 "$LOG-configure.log"; exit 1; }
for feature in "SSL:.*AWS-LC" "HTTP2:.*enabled" "HTTP3:.*enabled (ngtcp2 + nghttp3)" "IDN:.*enabled" \
  "PSL:.*enabled"; do
  grep -q "$feature" "$LOG-configure.log" ||
    { echo "libcurl's configure did not find ${feature%%:*}"; tail -30 "$LOG-configure.log"; exit 1; }
done
make -s -C "$BUILD/lib" -j "$JOBS" >"$LOG-make.log" 2>&1 || { tail -40 "$LOG-make.log"; exit 1; }
make -s -C "$BUILD/lib" install >/dev/null
make -s -C "$BUILD/include" install >/dev/null
echo "  with libcurl: $((SECONDS - started)) s"
echo "$STAMP" >"$PREFIX/stamp"
