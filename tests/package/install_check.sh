#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks the tree as a distribution would:
# every file present, the desktop entry and the AppStream metadata valid, the manual pages
# rendering without warnings, the icons of the size their folders say; then moves the tree to
# another prefix and runs the installed programs from there.
# Usage: install_check.sh <build dir> <version> <application id>
set -euo pipefail
build=$1 version=$2 id=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$tmp/stage" cmake --install "$build" --prefix /usr >/dev/null
root="$tmp/stage/usr"

expected=(
  bin/tarvo bin/tarvo-server
  "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml"
  share/man/man1/tarvo.1.gz share/man/man1/tarvo-server.1.gz
  "share/icons/hicolor/scalable/apps/$id.svg"
  share/doc/tarvo/copyright share/doc/tarvo/changelog.gz
  share/doc/tarvo-server/copyright share/tarvo-server/site/tray-menu.png
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("share/icons/hicolor/${size}x${size}/apps/$id.png")
done
for size in 16 22 24 32 48; do
  expected+=("share/icons/hicolor/${size}x${size}/status/$id-idle.png"
             "share/icons/hicolor/${size}x${size}/status/$id-busy.png")
done
for f in "${expected[@]}"; do
  [[ -f "$root/$f" ]] || fail "missing $f"
done
echo "all ${#expected[@]} files present"

# Hints (such as two main categories, which the menu entry has on purpose) are not warnings.
out=$(desktop-file-validate "$root/share/applications/$id.desktop" 2>&1 | grep -v ': hint: ' || true)
[[ -z "$out" ]] || fail "desktop-file-validate: $out"
grep -q '^Exec=tarvo --capture$' "$root/share/applications/$id.desktop" || fail "no Capture action"

appstreamcli validate --no-net --explain "$root/share/metainfo/$id.metainfo.xml" ||
  fail "appstreamcli validate"
grep -q "<release version=\"$version\"" "$root/share/metainfo/$id.metainfo.xml" ||
  fail "metainfo does not name version $version"

for page in tarvo tarvo-server; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$root/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [[ -z "$warnings" ]] || fail "man $page: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$root/share/man/man1/$page.1.gz" 2>/dev/null)
  for section in OPTIONS ENVIRONMENT FILES "EXIT STATUS"; do
    grep -q "^$section" <<<"$text" || fail "man $page has no $section"
  done
done

for png in "$root"/share/icons/hicolor/*x*/*/*.png; do
  folder=$(basename "$(dirname "$(dirname "$png")")")
  got=$(identify -format '%wx%h' "$png")
  [[ "$got" == "$folder" ]] || fail "$png is $got"
done
identify "$root/share/icons/hicolor/scalable/apps/$id.svg" >/dev/null 2>&1 ||
  grep -q '<svg ' "$root/share/icons/hicolor/scalable/apps/$id.svg" || fail "SVG icon unreadable"

# Another prefix: nothing in the programs may point back to where they were installed.
mkdir -p "$tmp/elsewhere/opt"
mv "$root" "$tmp/elsewhere/opt/tarvo"
moved="$tmp/elsewhere/opt/tarvo"
[[ "$(env -u DISPLAY "$moved/bin/tarvo" --version)" == "tarvo $version" ]] || fail "tarvo --version"
[[ "$("$moved/bin/tarvo-server" --version)" == "tarvo-server $version" ]] ||
  fail "tarvo-server --version"
env -u DISPLAY "$moved/bin/tarvo" --help | grep -q -- '--capture' || fail "tarvo --help"
echo "installed tree checked and runs from $moved"
