#!/usr/bin/env bash
# Prepares the 32-bit x86 build and test environment. Safe to run again; a run
# with nothing to do takes well under a second.
#
# Host: qemu-user (qemu-i386) and gcc/g++ multilib for -m32.
# build/i386-root: Debian's i386 packages (Python 3.11 with its headers,
# libcurl, OpenSSL, Boost headers and their dependencies) unpacked with
# dpkg -x, plus pytest as pure-Python wheels. Nothing i386 is installed into the
# host system: the package lists and downloads live in a private apt state under
# build/i386-apt, which leaves the host's architectures and lists untouched.
set -euo pipefail
cd "$(dirname "$0")/../.."
TOP=$PWD
ROOT=$TOP/build/i386-root
APT_DIR=$TOP/build/i386-apt
WHEELS=$TOP/build/i386-wheels
# The root takes the host's own release (its Python and libraries match the host's).
SUITE=$(. /etc/os-release && echo "$VERSION_CODENAME")

HOST_PACKAGES=(qemu-user gcc-multilib g++-multilib)
# The closure of these, less SKIP, makes the root.
ROOT_PACKAGES=(libc6 libstdc++6 libgcc-s1 python3.11 libpython3.11-dev
               libcurl4-openssl-dev libssl-dev zlib1g-dev libbrotli-dev libzstd-dev libsqlite3-dev)
# Headers only; fetched without dependencies (they would drag in a compiler).
NODEP_PACKAGES=(libboost1.74-dev)
# The host's multilib gcc brings its own 32-bit libc and kernel headers; i386
# copies of them on an include path beside curl's or Python's would only shadow
# the compiler's, and dpkg/tar are pulled in for maintainer scripts never run.
SKIP=(libc6-dev libc-dev-bin linux-libc-dev libcrypt-dev libnsl-dev libtirpc-dev
      rpcsvc-proto dpkg tar)
# Pure-Python wheels for the i386 interpreter (pytest and what it needs on 3.11).
WHEEL_PINS=(pytest==9.0.3 pluggy==1.6.0 iniconfig==2.3.0 packaging==26.2 pygments==2.19.2)

log() { echo "[i386 setup] $*"; }

# ---- host tools --------------------------------------------------------------
missing=()
for p in "${HOST_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
  log "installing ${missing[*]}"
  # A mirror in the middle of a sync can refuse an index for a minute or so (and
  # some for days): the install fails by itself if a package is out of reach.
  $SUDO apt-get update -qq || { sleep 30; $SUDO apt-get update -qq; } ||
    log "some package lists did not arrive; installing from those that did"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# ---- is the root current? --------------------------------------------------------
# The root is rebuilt whenever this script (and so any list above) changes.
want_stamp=$(sha256sum <"$TOP/scripts/i386/setup.sh" | cut -c1-16)
if [ -f "$ROOT/.stamp" ] && [ "$(cat "$ROOT/.stamp")" = "$want_stamp" ]; then
  exit 0
fi

# ---- private apt state for i386 -------------------------------------------------
mkdir -p "$APT_DIR"/state/lists/partial "$APT_DIR"/cache/archives/partial \
  "$APT_DIR"/etc/sources.list.d "$APT_DIR"/etc/preferences.d
: >>"$APT_DIR/state/status"  # empty: apt resolves the whole closure
rm -f "$APT_DIR"/etc/sources.list.d/*
# Debian's own archives only: other repositories rarely carry i386.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  grep -qE 'debian-archive-keyring|/debian(-security)?/?([[:space:]]|$)' "$f" || continue
  cp "$f" "$APT_DIR/etc/sources.list.d/"
done
[ -n "$(ls "$APT_DIR/etc/sources.list.d")" ] || { echo "no Debian package sources found" >&2; exit 1; }
APT=(-o APT::Architecture=i386 -o APT::Architectures::=i386
     -o Dir::State="$APT_DIR/state" -o Dir::State::status="$APT_DIR/state/status"
     -o Dir::Cache="$APT_DIR/cache" -o Dir::Etc::SourceList=/dev/null
     -o Dir::Etc::SourceParts="$APT_DIR/etc/sources.list.d"
     -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$APT_DIR/etc/preferences.d"
     -o pkgCacheGen::Essential=none -o APT::Install-Recommends=0 -o APT::Get::AllowUnauthenticated=0
     -o APT::Sandbox::User=root)  # downloads land in a folder the sandbox user may not write

# A mirror in the middle of a sync serves index files that disagree with its
# Release file for a minute or so ("File has unexpected size"): try again. Some
# mirrors stay that way for days on one index (the security suite's i386 list,
# say); the root is one suite's mutually consistent packages, so once the main
# suite's list is here the others are a nicety and apt goes on without them.
apt_update() {
  local try
  for try in 1 2 3; do
    log "updating the i386 package lists"
    apt-get "${APT[@]}" -qq update && return 0
    [ "$try" = 3 ] || { log "the lists did not arrive whole; again in $((try * 20)) s"; sleep $((try * 20)); }
  done
  if ls "$APT_DIR"/state/lists/*_dists_"$SUITE"_main_binary-i386_Packages* >/dev/null 2>&1; then
    log "going on with the lists that arrived ($SUITE's main list among them)"
    return 0
  fi
  return 1
}
[ -n "$(ls "$APT_DIR/state/lists" 2>/dev/null | grep -v -e partial -e lock)" ] || apt_update

# Prints "name version" for every package of the closure.
closure() {
  apt-get "${APT[@]}" -s -y install "${ROOT_PACKAGES[@]}" |
    awk '$1 == "Inst" { v = $3; gsub(/[()]/, "", v); print $2, v }'
}
fetch() {
  apt-get "${APT[@]}" -qq -y -d install "${ROOT_PACKAGES[@]}" >/dev/null &&
    (cd "$APT_DIR/cache/archives" && apt-get "${APT[@]}" -qq download "${NODEP_PACKAGES[@]}")
}
# A failed fetch usually means lists older than the archive: refresh once.
fetch || { apt_update && fetch; }

# Finds the cached .deb of "name version" (epochs are %3a in file names).
deb_of() {
  local f
  for f in "$APT_DIR/cache/archives/${1}_${2//:/%3a}_"*.deb; do
    [ -f "$f" ] && { echo "$f"; return; }
  done
  echo "no downloaded package for $1 $2" >&2
  return 1
}

# ---- unpack into a fresh root ------------------------------------------------------
log "unpacking into $ROOT"
rm -rf "$ROOT.new"
mkdir -p "$ROOT.new"
count=0
while read -r name version; do
  [[ " ${SKIP[*]} " == *" $name "* ]] && continue
  dpkg -x "$(deb_of "$name" "$version")" "$ROOT.new"
  count=$((count + 1))
done < <(closure; for p in "${NODEP_PACKAGES[@]}"; do
  apt-cache "${APT[@]}" policy "$p" | awk -v p="$p" '/Candidate:/ { print p, $2 }'
done)
log "$count packages unpacked"

# The i386 loader reads ROOT/etc/ld.so.cache (qemu -L maps /etc there), so give
# it one that lists only the root's libraries, never the host's /usr/lib32.
mkdir -p "$ROOT.new/etc"
echo 'include /etc/ld.so.conf.d/*.conf' >"$ROOT.new/etc/ld.so.conf"
ldconfig -r "$ROOT.new"

# pytest for the i386 Python: wheels are zip files of the installed tree.
mkdir -p "$WHEELS"
PYTHON=${PYTHON:-python3}
[ -x "$TOP/build/venv/bin/python" ] && PYTHON=$TOP/build/venv/bin/python
"$PYTHON" -m pip download -q --disable-pip-version-check --no-deps --only-binary=:all: \
  -d "$WHEELS" "${WHEEL_PINS[@]}" >"$WHEELS.log" 2>&1 || { cat "$WHEELS.log"; exit 1; }
SITE=$ROOT.new/usr/lib/python3/dist-packages
mkdir -p "$SITE"
for pin in "${WHEEL_PINS[@]}"; do
  name=${pin%%==*} version=${pin#*==}
  "$PYTHON" -m zipfile -e "$(ls "$WHEELS/${name}-${version}-"*.whl)" "$SITE"
done

rm -rf "$ROOT"
mv "$ROOT.new" "$ROOT"
echo "$want_stamp" >"$ROOT/.stamp"
log "ready: $("$TOP/scripts/i386/python.sh" -c 'import platform, struct, pytest;
print(platform.python_version(), 8 * struct.calcsize("P"), "bit, pytest", pytest.__version__)')"
