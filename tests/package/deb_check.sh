#!/usr/bin/env bash
# Builds the Debian packages from this build's objects with CPack and inspects them: the files
# each one holds, the fields of its control file, a stripped binary, and lintian.
# Usage: deb_check.sh <build dir> <version> <application id>
# Exits 77 (skipped) when lintian is missing, after every other check.
set -euo pipefail
build=$1 version=$2 id=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp" >/dev/null
client="$tmp/tarvo_${version}_amd64.deb"
server="$tmp/tarvo-server_${version}_amd64.deb"
[[ -f "$client" && -f "$server" ]] || fail "packages not built: $(ls "$tmp")"

has() { dpkg-deb -c "$1" | awk '{print $6}' | grep -qx "./$2" || fail "$(basename "$1") lacks $2"; }
for f in usr/bin/tarvo "usr/share/applications/$id.desktop" "usr/share/metainfo/$id.metainfo.xml" \
         usr/share/man/man1/tarvo.1.gz "usr/share/icons/hicolor/scalable/apps/$id.svg" \
         "usr/share/icons/hicolor/256x256/apps/$id.png" "usr/share/icons/hicolor/22x22/status/$id-busy.png" \
         usr/share/doc/tarvo/copyright usr/share/doc/tarvo/changelog.gz; do
  has "$client" "$f"
done
for f in usr/bin/tarvo-server usr/share/man/man1/tarvo-server.1.gz \
         usr/share/tarvo-server/site/tray-menu.png usr/share/doc/tarvo-server/copyright; do
  has "$server" "$f"
done
# Each file in exactly one package.
dups=$(for p in "$client" "$server"; do dpkg-deb -c "$p" | awk '$1 !~ /^d/ {print $6}'; done | sort | uniq -d)
[[ -z "$dups" ]] || fail "in both packages: $dups"

[[ "$(dpkg-deb -f "$client" Section)" == graphics ]] || fail "client section"
depends=$(dpkg-deb -f "$client" Depends)
for lib in libqt6widgets6 libcurl4 libasound2 libc6 libwayland-client0 qt6-qpa-plugins qt6-wayland; do
  grep -q "$lib" <<<"$depends" || fail "client Depends lacks $lib: $depends"
done
grep -q libmicrohttpd <<<"$(dpkg-deb -f "$server" Depends)" || fail "server Depends"
[[ -n "$(dpkg-deb -f "$client" Description | sed -n 2p)" ]] || fail "no long description"

dpkg-deb --fsys-tarfile "$client" | tar -xO ./usr/bin/tarvo >"$tmp/tarvo.bin"
file -b "$tmp/tarvo.bin" | grep -q ', stripped' || fail "usr/bin/tarvo is not stripped"
ls "$tmp"/tarvo-dbgsym_*.ddeb >/dev/null 2>&1 || fail "no tarvo-dbgsym package"

if ! command -v lintian >/dev/null; then
  echo "SKIPPED: lintian is not installed (scripts/deps.sh --tests installs it)"
  exit 77
fi
report=$(lintian --tag-display-limit 0 "$client" "$server" 2>&1 | grep -v 'running with root privileges' || true)
echo "$report"
! grep -q '^E: ' <<<"$report" || fail "lintian reports errors"
echo "packages checked: $(basename "$client") $(basename "$server")"
