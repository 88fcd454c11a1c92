#!/usr/bin/env bash
# Fetches the Debian packages of the Core's TLS stack that scripts/stack.versions
# pins, checks them and unpacks them into DEST (default: build/tls-stack/src),
# where scripts/tls_stack.sh builds them. Needs no root and writes nothing
# outside DEST's parent folder: apt runs on a configuration of its own
# (DEST/../apt) whose entries point at the system's own Debian mirror, so the
# system's sources, lists and caches stay as they are.
#
#   bash scripts/fetch_sources.sh [DEST]
#
# A package already unpacked for its pin is kept, and a run with nothing to
# fetch does not touch the network; remove DEST to take newer revisions.
#
# Trust: apt verifies the suite's signed InRelease against the archive keyring,
# and so the Sources and Packages indexes it lists. A source package: apt
# checks each downloaded file against the Sources index; before unpacking,
# every file is checked again against the Checksums-Sha256 its .dsc lists. The
# maintainer's own signature on the .dsc is not checked (that needs the Debian
# developers' keyring): the archive's signature already covers the .dsc. An
# upstream tarball alone (form orig) has no .dsc served to check it against:
# its size and SHA-256 are those the suite's Sources index lists for it. A
# binary package (form deb) is checked against the SHA-256 and size of the
# suite's Packages index, for each architecture.
set -euo pipefail
TOP=$(cd "$(dirname "$0")/.." && pwd)
DEST=${1:-$TOP/build/tls-stack/src}
mkdir -p "$DEST"
DEST=$(cd "$DEST" && pwd)
APT_DIR=$(dirname "$DEST")/apt
PINS=$TOP/scripts/stack.versions

log() { echo "[fetch] $*"; }
fail() { echo "[fetch] $*" >&2; exit 1; }

# Setups run side by side would otherwise fetch into one folder at once.
exec 9>"$DEST/.lock"
flock 9

# "package upstream suite form" lines, comments and blank lines dropped.
pins=()
while read -r pkg upstream suite form rest; do
  [ -z "$pkg" ] || [ "${pkg:0:1}" = "#" ] && continue
  [[ $form =~ ^(source|orig|deb)$ ]] && [ -z "$rest" ] ||
    fail "$PINS: expected 'package upstream suite source|orig|deb': $pkg $upstream $suite $form $rest"
  pins+=("$pkg $upstream $suite $form")
done <"$PINS"
# The binary packages' architectures: the two the Core is built for.
DEB_ARCHES=(amd64 i386)

# What the fetch records beside a package's unpacked tree: the pin and the
# Debian version it became.
fetched() { cat "$DEST/$1.fetched" 2>/dev/null || true; }
current() {  # package upstream suite form: true when unpacked for this pin
  local recorded
  recorded=$(fetched "$1")
  [ "${recorded% *}" = "$1 $2 $3 $4" ] && [ -d "$DEST/$1-$2" ]
}
todo=()
for pin in "${pins[@]}"; do
  # shellcheck disable=SC2086
  current $pin || todo+=("$pin")
done
((${#todo[@]})) || exit 0

# ---- a private apt configuration for the suites wanted ----------------------
# The system's Debian entries, one "uri suite signed-by" line per suite, from
# both the one-line and the deb822 formats. Only read: nothing under /etc is
# written.
system_entries() {
  local files=()
  [ -f /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  ((${#files[@]})) || return 0
  awk '
    function flush() {
      if (types ~ /(^|[ \t])deb(-src)?([ \t]|$)/ && enabled != "no")
        for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++) print uris[i], suites[j], key
      types = ""; enabled = ""; key = "-"; nu = 0; ns = 0
    }
    FNR == 1 { flush(); deb822 = FILENAME ~ /\.sources$/ }
    /^[ \t]*#/ { next }
    !deb822 && ($1 == "deb" || $1 == "deb-src") {
      key = "-"; n = 2
      if ($2 ~ /^\[/) {
        for (; n <= NF; n++) {
          if ($n ~ /^\[?signed-by=/) { key = $n; sub(/^\[?signed-by=/, "", key); sub(/\]$/, "", key) }
          if ($n ~ /\]$/) { n++; break }
        }
      }
      print $n, $(n + 1), key
      key = "-"
      next
    }
    !deb822 { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ { next }  # continuation lines: an inline key, for instance
    {
      field = tolower($1); sub(/:$/, "", field); $1 = ""; sub(/^[ \t]+/, "")
      if (field == "types") types = $0
      else if (field == "enabled") enabled = tolower($0)
      else if (field == "uris") nu = split($0, uris, /[ \t]+/)
      else if (field == "suites") ns = split($0, suites, /[ \t]+/)
      else if (field == "signed-by" && $0 ~ /^\//) key = $0
    }
    END { flush() }
  ' "${files[@]}"
}
entries=$(system_entries | awk '$1 ~ /\/debian(-security)?\/?$/' || true)
[ -n "$entries" ] || fail "no Debian mirror among the system's apt sources (/etc/apt)"

mkdir -p "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
LIST=$APT_DIR/sources.list
: >"$LIST"
declare -A listed=()
for pin in "${todo[@]}"; do
  read -r _ _ suite form <<<"$pin"
  kind=deb-src
  [ "$form" = deb ] && kind=deb
  [ -n "${listed[$kind $suite]:-}" ] && continue
  listed[$kind $suite]=1
  # The entry that names the suite, else the main archive's (/debian), which
  # carries every suite but the security ones.
  entry=$(awk -v s="$suite" '$2 == s { print; exit }' <<<"$entries")
  [ -n "$entry" ] || entry=$(awk -v s="$suite" '$1 ~ /\/debian\/?$/ { print $1, s, $3; exit }' <<<"$entries")
  [ -n "$entry" ] || fail "no Debian mirror entry to take suite $suite from"
  read -r uri _ key <<<"$entry"
  opts=
  [ "$kind" = deb ] && opts="arch=$(IFS=,; echo "${DEB_ARCHES[*]}")"
  [ "$key" = - ] || opts="${opts:+$opts }signed-by=$key"
  echo "$kind ${opts:+[$opts] }${uri} ${suite} main" >>"$LIST"
done

# The system's apt.conf.d still applies (a proxy, for instance); its sources,
# preferences, lists, caches and package state do not.
APT=(-o Dir::Etc::SourceList="$LIST" -o Dir::Etc::SourceParts=/dev/null
     -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
     -o Dir::State::Lists="$APT_DIR/lists" -o Dir::State::status=/dev/null
     -o Dir::Cache="$APT_DIR/cache"
     -o APT::Architectures::="${DEB_ARCHES[0]}" -o APT::Architectures::="${DEB_ARCHES[1]}"
     -o APT::Sandbox::User=root)  # as root: downloads land where _apt may not write
log "updating the package lists ($(awk '{ print $1, $(NF - 1) }' "$LIST" | paste -sd ' '))"
# A mirror in the middle of a sync serves index files that disagree with its
# Release file for a minute or so: try again before giving up.
for try in 1 2 3; do
  apt-get "${APT[@]}" -q -o APT::Update::Error-Mode=any update >"$APT_DIR/update.log" 2>&1 && break
  [ "$try" = 3 ] && { cat "$APT_DIR/update.log" >&2; fail "apt-get update failed (above)"; }
  log "the package lists did not arrive whole; again in $((try * 30)) s"
  sleep $((try * 30))
done

upstream_of() {  # Debian version -> upstream version
  local v=$1
  [[ $v == *:* ]] && v=${v#*:}
  [[ $v == *-* ]] && v=${v%-*}
  echo "$v"
}

# ---- fetch, check, unpack --------------------------------------------------------
# The newest Debian version of the pinned upstream version in the pinned suite,
# among the source (Sources) or binary (Packages) entries apt knows.
newest_version() {  # package upstream suite index
  local offered version= v
  offered=$(apt-cache "${APT[@]}" madison "$1" |
    awk -F'|' -v s="$3" -v idx="$4" '$3 ~ (" " idx "[ \t]*$") {
        v = $2; gsub(/[ \t]/, "", v); split($3, w, " "); split(w[2], sc, "/")
        if (sc[1] == s) print v }')
  for v in $offered; do
    [ "$(upstream_of "$v")" = "$2" ] || continue
    if [ -z "$version" ] || dpkg --compare-versions "$v" gt "$version"; then version=$v; fi
  done
  [ -n "$version" ] ||
    fail "$1: suite $3 offers no $2 (it offers: ${offered:-nothing}); see scripts/stack.versions"
  echo "$version"
}

check_file() {  # file size sha256 what-promised-it
  [ "$(stat -c %s "$1")" = "$2" ] || fail "$(basename "$1"): size differs from what $4 lists"
  [ "$(sha256sum <"$1" | cut -d' ' -f1)" = "$3" ] ||
    fail "$(basename "$1"): SHA-256 differs from what $4 lists"
}

# The source package's .dsc and files, each checked against the .dsc, unpacked
# with Debian's patches into WORK/tree.
fetch_source() {  # package version
  (cd "$WORK" && apt-get "${APT[@]}" -qq source --download-only "$1=$2" >/dev/null) ||
    fail "$1 $2: apt-get source failed"
  local dsc=$WORK/${1}_${2#*:}.dsc listed_files sum size name
  [ -f "$dsc" ] || fail "$1 $2: no $(basename "$dsc") downloaded"
  listed_files=$(awk '/^Checksums-Sha256:/ { on = 1; next } on && /^ / { print; next } { on = 0 }' "$dsc")
  [ -n "$listed_files" ] || fail "$(basename "$dsc"): no Checksums-Sha256"
  while read -r sum size name; do
    [[ $name != */* ]] && [ -f "$WORK/$name" ] || fail "$(basename "$dsc"): $name is missing"
    check_file "$WORK/$name" "$size" "$sum" "$(basename "$dsc")"
  done <<<"$listed_files"
  # Checked above, so dpkg-source need not check again (nor try the signature).
  dpkg-source -q --no-check -x "$dsc" "$WORK/tree" >"$WORK.log" 2>&1 ||
    { cat "$WORK.log" >&2; fail "$1 $2: dpkg-source -x failed"; }
}

# Only the upstream tarball of the source package, checked against the entry
# of the suite's Sources index (the .dsc is not served), unpacked into
# WORK/tree.
fetch_orig() {  # package version suite
  local record dir sum size name uri
  record=$(apt-cache "${APT[@]}" showsrc "$1" |
    awk -v v="$2" '/^Package:/ { on = 0 } /^Version:/ { on = ($2 == v) } on')
  dir=$(awk '/^Directory:/ { print $2; exit }' <<<"$record")
  read -r sum size name < <(awk '/^Checksums-Sha256:/ { on = 1; next } on && /^ / { print; next } { on = 0 }' \
    <<<"$record" | awk '$3 ~ /\.orig\.tar\.[a-z0-9]+$/ { print; exit }')
  [ -n "$dir" ] && [ -n "$name" ] || fail "$1 $2: the Sources index lists no upstream tarball"
  uri=$(awk -v s="$3" '$1 == "deb-src" && $(NF - 1) == s { print $(NF - 2); exit }' "$LIST")
  /usr/lib/apt/apt-helper "${APT[@]}" -qq download-file "${uri%/}/$dir/$name" "$WORK/$name" "SHA256:$sum" \
    >"$WORK.log" 2>&1 || { cat "$WORK.log" >&2; fail "$1 $2: downloading $name failed"; }
  check_file "$WORK/$name" "$size" "$sum" "the $3 Sources index"
  mkdir "$WORK/tree"
  tar -xf "$WORK/$name" -C "$WORK/tree" --strip-components=1
}

# The binary package for each architecture, checked against the suite's
# Packages index, unpacked into WORK/tree/ARCH.
fetch_deb() {  # package version suite
  local arch deb sum size
  for arch in "${DEB_ARCHES[@]}"; do
    (cd "$WORK" && apt-get "${APT[@]}" -qq download "$1:$arch=$2" >/dev/null) ||
      fail "$1:$arch $2: apt-get download failed"
    deb=$(ls "$WORK/${1}_${2#*:}_$arch.deb" 2>/dev/null) || fail "$1:$arch $2: no .deb downloaded"
    read -r sum size < <(apt-cache "${APT[@]}" show "$1:$arch=$2" |
      awk '/^SHA256:/ { s = $2 } /^Size:/ { n = $2 } /^$/ { if (s) { print s, n; exit } }
           END { if (s) print s, n }')
    [ -n "$sum" ] || fail "$1:$arch $2: the Packages index lists no SHA-256"
    check_file "$deb" "$size" "$sum" "the $3 Packages index"
    mkdir -p "$WORK/tree/$arch"
    dpkg-deb -x "$deb" "$WORK/tree/$arch"
  done
}

WORK=$DEST/.fetch
for pin in "${todo[@]}"; do
  read -r pkg upstream suite form <<<"$pin"
  index=Sources
  [ "$form" = deb ] && index=Packages
  version=$(newest_version "$pkg" "$upstream" "$suite" "$index")
  log "$pkg $version ($suite, $form)"
  rm -rf "$WORK"
  mkdir -p "$WORK"
  case $form in
    source) fetch_source "$pkg" "$version" ;;
    orig) fetch_orig "$pkg" "$version" "$suite" ;;
    deb) fetch_deb "$pkg" "$version" "$suite" ;;
  esac
  # The previous fetch of the package goes (its build copies are named apart).
  rm -rf "$DEST/$pkg"-[0-9]* "$DEST/${pkg}_"*
  mv "$WORK/tree" "$DEST/$pkg-$upstream"
  mv "$WORK"/* "$DEST/"
  echo "$pkg $upstream $suite $form $version" >"$DEST/$pkg.fetched"
done
rm -rf "$WORK" "$WORK.log"
log "sources ready in $DEST"
