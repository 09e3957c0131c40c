#!/bin/bash
# peers.sh - Tarvo side by side with the capture tools users would pick instead, in one run,
# driven the way a person uses them (a key, a drag, the file), under Xvfb with a busy desktop.
#
# Usage: bench/peers.sh [-n RUNS] [-s SIZES] [-d DISPLAY] [-o DIR] [-P] [NAME=TARVO_BINARY ...]
#   NAME=BINARY  a built tarvo to measure under that name (default: tarvo=build/rel/tarvo);
#                give two to compare builds, e.g. before=/tmp/old/tarvo after=build/rel/tarvo.
#                NAME=BINARY@ENV=VALUE runs it with one extra variable (TARVO_OVERLAY=image).
#   -P           skip the peers (ksnip, flameshot, scrot)
#   -n RUNS      runs per case (default 10; run 0, the first press or a warm-up, is apart)
#   -s SIZES     default 1920x1080,3840x2160
#   -o DIR       results (default build/bench-peers/<time>); the table is DIR/table.md
# The harness is the shared one (../shared/peers, copied to DIR/harness since it writes beside
# itself). The peers come from Debian:
#   apt-get install ksnip flameshot scrot openbox tint2 xdotool imagemagick dbus-x11 \
#     libx11-dev libxfixes-dev libxtst-dev
# Build Tarvo for it without sanitizers:
#   cmake -S . -B build/rel -G Ninja -DCMAKE_BUILD_TYPE=Release && ninja -C build/rel tarvo
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
RUNS=10 SIZES=1920x1080,3840x2160 DNUM=97 OUT= PEERS=1
while getopts "n:s:d:o:P" o; do
  case $o in
    n) RUNS=$OPTARG ;; s) SIZES=$OPTARG ;; d) DNUM=$OPTARG ;; o) OUT=$OPTARG ;; P) PEERS=0 ;;
    *) sed -n '2,20p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- "tarvo=$ROOT/build/rel/tarvo"
[ -n "$OUT" ] || OUT=$ROOT/build/bench-peers/$(date +%Y%m%d-%H%M%S)
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
SRC=${TARVO_PEERS:-$ROOT/../shared/peers}
[ -d "$SRC" ] || SRC=/work/shared/peers
rm -rf "$OUT/harness" && cp -r "$SRC" "$OUT/harness" && chmod -R u+w "$OUT/harness"
M=$OUT/harness/measure.sh
RES=$OUT/results
common=(-n "$RUNS" -s "$SIZES" -d "$DNUM" -r "$RES")

for tool in Xvfb xdotool identify openbox tint2; do
  command -v "$tool" >/dev/null || { echo "missing $tool (see the header)" >&2; exit 2; }
done

# Peak memory of a resident program: VmHWM only grows, so the last sample before it is
# stopped is its peak. Reads /proc only; finds the process by its exact command line.
sample_peak() {   # FILE PGREP-ARGS...
  local file=$1 pid hwm; shift
  echo 0 >"$file"
  while :; do
    for pid in $(pgrep "$@" || true); do
      hwm=$(awk '/^VmHWM/{print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
      [ "${hwm:-0}" -gt "$(cat "$file")" ] && echo "$hwm" >"$file"
    done
    sleep 0.1
  done
}

shots() { echo "$OUT/shots-$(tr -c 'A-Za-z0-9_\n-' _ <<<"$1")"; }   # NAME -> numbered files' folder
tarvo_seed() {   # NAME MODE -> seed dir whose settings save numbered files in shots NAME
  local name=$1 mode=$2 dir=$OUT/seed-$1-$2
  mkdir -p "$dir/.config/tarvo"
  printf '%s\n' 'Windows Registry Editor Version 5.00' '' '[HKEY_CURRENT_USER\Software\Tarvo]' \
    '"Destination"="2"' '"Sounds"="0"' "\"Target Folder\"=\"$(shots "$name")\"" \
    >"$dir/.config/tarvo/tarvo.reg"
  echo "$dir"
}

# The harness times a file by its first bytes; the last write, when the picture is whole, is
# noted beside it for every output (outside the homes, which the harness makes anew).
gcc -O2 -Wall -o "$OUT/write_watch" "$HERE/write_watch.c"
mkdir -p "$RES/out"
dirs=("$RES/out")
for entry in "$@"; do dirs+=("$(shots "${entry%%=*}")"); mkdir -p "${dirs[-1]}"; done
"$OUT/write_watch" "${dirs[@]}" >"$OUT/writes.txt" &
watcher=$!

sampler=
trap '[ -n "$sampler" ] && kill "$sampler" 2>/dev/null; kill "$watcher" 2>/dev/null' EXIT
for entry in "$@"; do
  name=${entry%%=*} rest=${entry#*=} bin=${rest%%@*} envs=
  [ "$rest" != "$bin" ] && envs=${rest#*@}
  [ -x "$bin" ] || { echo "not a program: $bin" >&2; exit 2; }
  bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")
  cmd=("$bin"); [ -n "$envs" ] && cmd=(env "$envs" "$bin")
  sample_peak "$OUT/peak-$name.kb" -xf "$bin" &
  sampler=$!
  # Ready once the overlay is mapped and has asked for the pointer. "paint" is recorded when
  # the pixel poll sees one; an overlay that the server paints from the frozen screen during
  # the map itself changes no pixel, so there the map is the paint (see peers_table.py).
  "$M" "${common[@]}" -H "$(tarvo_seed "$name" hotkey)" -t -b hotkey "$name" fullmap,pgrab Print "${cmd[@]}"
  seed=$(tarvo_seed "$name" hotfile)
  # The captures start 20 s after start, once the version check (15 s) has loaded the HTTP
  # stack for good, so "after captures" compares with the idle row of the same moment.
  "$M" "${common[@]}" -S 20 -H "$seed" -t -b hotfile "$name" fullmap,pgrab Print \
    "$(shots "$name")/screenshot_%05d.png" "${cmd[@]}"
  kill "$sampler"; wait "$sampler" 2>/dev/null || true; sampler=
  "$M" "${common[@]}" -n 3 -I 5 -H "$(tarvo_seed "$name" idle)" -t -b idle "$name" "${cmd[@]}"
  "$M" "${common[@]}" -s 1920x1080 -n 3 -S 20 -I 5 -H "$(tarvo_seed "$name" idle20)" -t -b \
    idle "$name@20s" "${cmd[@]}"
done

if [ "$PEERS" = 1 ]; then
  seed=$OUT/harness/seed
  if command -v ksnip >/dev/null; then
    sample_peak "$OUT/peak-ksnip.kb" -x ksnip &
    sampler=$!
    "$M" "${common[@]}" -H "$seed/ksnip-tray" -t -b hotkey ksnip-tray fullmap,paint ctrl+shift+r ksnip
    kill "$sampler"; wait "$sampler" 2>/dev/null || true; sampler=
    "$M" "${common[@]}" -H "$seed/default" select ksnip-r fullmap,paint ksnip -r -p '{out}'
    "$M" "${common[@]}" -n 3 -I 5 -H "$seed/ksnip-tray" -t -b idle ksnip-tray ksnip
  fi
  if command -v flameshot >/dev/null; then
    "$M" "${common[@]}" -H "$seed/default" select flameshot-gui fullmap,paint flameshot gui -s -p '{out}'
  fi
  if command -v scrot >/dev/null; then
    "$M" "${common[@]}" select scrot-s pgrab scrot -s -o '{out}'
  fi
fi

kill "$watcher"; wait "$watcher" 2>/dev/null || true
"$OUT/harness/stats.py" "$RES/raw.csv" >"$OUT/summary.md" 2>/dev/null || true
python3 "$HERE/peers_table.py" "$RES/raw.csv" "$OUT" >"$OUT/table.md"
cat "$OUT/table.md"
echo "results: $OUT" >&2
