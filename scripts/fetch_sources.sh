#!/usr/bin/env bash
# Fetches the Debian source packages of the Core's TLS stack that
# scripts/stack.versions pins, checks them and unpacks them into DEST (default:
# build/tls-stack/src), where scripts/tls_stack.sh builds them. Needs no root
# and writes nothing outside DEST's parent folder: apt runs on a configuration
# of its own (DEST/../apt) whose deb-src entries point at the system's own
# Debian mirror, so the system's sources, lists and caches stay as they are.
#
#   bash scripts/fetch_sources.sh [DEST]
#
# A package already unpacked for its pin is kept, and a run with nothing to
# fetch does not touch the network; remove DEST to take newer revisions.
#
# Trust: apt verifies the suite's signed InRelease against the archive keyring
# and each downloaded file against the signed Sources index; before unpacking,
# every file is checked again against the Checksums-Sha256 its .dsc lists. The
# maintainer's own signature on the .dsc is not checked (that needs the Debian
# developers' keyring): the archive's signature already covers the .dsc.
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

# "package upstream suite" lines, comments and blank lines dropped.
pins=()
while read -r pkg upstream suite rest; do
  [ -z "$pkg" ] || [ "${pkg:0:1}" = "#" ] && continue
  [ -n "$suite" ] && [ -z "$rest" ] ||
    fail "$PINS: expected 'package upstream suite': $pkg $upstream $suite $rest"
  pins+=("$pkg $upstream $suite")
done <"$PINS"

# What the fetch records beside a package's unpacked tree: the pin and the
# Debian version it became.
fetched() { cat "$DEST/$1.fetched" 2>/dev/null || true; }
current() {  # package upstream suite: true when unpacked for this pin
  local recorded
  recorded=$(fetched "$1")
  [ "${recorded% *}" = "$1 $2 $3" ] && [ -d "$DEST/$1-$2" ]
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
  read -r _ _ suite <<<"$pin"
  [ -n "${listed[$suite]:-}" ] && continue
  listed[$suite]=1
  # The entry that names the suite, else the main archive's (/debian), which
  # carries every suite but the security ones.
  entry=$(awk -v s="$suite" '$2 == s { print; exit }' <<<"$entries")
  [ -n "$entry" ] || entry=$(awk -v s="$suite" '$1 ~ /\/debian\/?$/ { print $1, s, $3; exit }' <<<"$entries")
  [ -n "$entry" ] || fail "no Debian mirror entry to take suite $suite from"
  read -r uri _ key <<<"$entry"
  opts=
  [ "$key" = - ] || opts="[signed-by=$key] "
  echo "deb-src ${opts}${uri} ${suite} main" >>"$LIST"
done

# The system's apt.conf.d still applies (a proxy, for instance); its sources,
# preferences, lists, caches and package state do not.
APT=(-o Dir::Etc::SourceList="$LIST" -o Dir::Etc::SourceParts=/dev/null
     -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null
     -o Dir::State::Lists="$APT_DIR/lists" -o Dir::State::status=/dev/null
     -o Dir::Cache="$APT_DIR/cache"
     -o APT::Sandbox::User=root)  # as root: downloads land where _apt may not write
log "updating the source lists ($(awk '{ print $(NF - 1) }' "$LIST" | paste -sd ' '))"
apt-get "${APT[@]}" -q -o APT::Update::Error-Mode=any update >"$APT_DIR/update.log" 2>&1 ||
  { cat "$APT_DIR/update.log" >&2; fail "apt-get update failed (above)"; }

upstream_of() {  # Debian version -> upstream version
  local v=$1
  [[ $v == *:* ]] && v=${v#*:}
  [[ $v == *-* ]] && v=${v%-*}
  echo "$v"
}

# ---- fetch, check, unpack --------------------------------------------------------
WORK=$DEST/.fetch
for pin in "${todo[@]}"; do
  read -r pkg upstream suite <<<"$pin"
  # The newest revision of the pinned upstream version in the pinned suite.
  offered=$(apt-cache "${APT[@]}" madison "$pkg" |
    awk -F'|' -v s="$suite" '$3 ~ / Sources[ \t]*$/ {
        v = $2; gsub(/[ \t]/, "", v); split($3, w, " "); split(w[2], sc, "/")
        if (sc[1] == s) print v }')
  version=
  for v in $offered; do
    [ "$(upstream_of "$v")" = "$upstream" ] || continue
    if [ -z "$version" ] || dpkg --compare-versions "$v" gt "$version"; then version=$v; fi
  done
  [ -n "$version" ] ||
    fail "$pkg: suite $suite offers no $upstream (it offers: ${offered:-nothing}); see scripts/stack.versions"
  log "$pkg $version ($suite)"

  rm -rf "$WORK"
  mkdir -p "$WORK"
  (cd "$WORK" && apt-get "${APT[@]}" -qq source --download-only "$pkg=$version" >/dev/null) ||
    fail "$pkg $version: apt-get source failed"

  # Every file the .dsc lists, with the size and SHA-256 it promises.
  dsc=$WORK/${pkg}_${version#*:}.dsc
  [ -f "$dsc" ] || fail "$pkg $version: no $(basename "$dsc") downloaded"
  listed_files=$(awk '/^Checksums-Sha256:/ { on = 1; next } on && /^ / { print; next } { on = 0 }' "$dsc")
  [ -n "$listed_files" ] || fail "$(basename "$dsc"): no Checksums-Sha256"
  while read -r sum size name; do
    f=$WORK/$name
    [[ $name != */* ]] && [ -f "$f" ] || fail "$(basename "$dsc"): $name is missing"
    [ "$(stat -c %s "$f")" = "$size" ] || fail "$name: size differs from what $(basename "$dsc") lists"
    [ "$(sha256sum <"$f" | cut -d' ' -f1)" = "$sum" ] ||
      fail "$name: SHA-256 differs from what $(basename "$dsc") lists"
  done <<<"$listed_files"

  # Checked above, so dpkg-source need not check again (nor try the signature).
  dpkg-source -q --no-check -x "$dsc" "$WORK/tree" >"$WORK.log" 2>&1 ||
    { cat "$WORK.log" >&2; fail "$pkg $version: dpkg-source -x failed"; }
  # The previous fetch of the package goes (its build copies are named apart).
  rm -rf "$DEST/$pkg"-[0-9]* "$DEST/${pkg}_"*
  mv "$WORK/tree" "$DEST/$pkg-$upstream"
  mv "$WORK"/* "$DEST/"
  echo "$pkg $upstream $suite $version" >"$DEST/$pkg.fetched"
done
rm -rf "$WORK" "$WORK.log"
log "sources ready in $DEST"
