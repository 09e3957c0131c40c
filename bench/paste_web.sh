#!/bin/bash
# paste_web.sh - release -> the clipboard answers a paste with the picture, and release -> the
# web link on the clipboard (upload to a tarvo-server on 127.0.0.1), for resident Tarvo builds
# under Xvfb with the peer harness's desktop (scene, openbox, tint2, a private D-Bus).
#
# Usage: bench/paste_web.sh [-n RUNS] [-s SIZES] [-d DISPLAY] [-o DIR] [-S SERVER] NAME=TARVO ...
#   defaults: 10 runs, 1920x1080, display 98, build/bench-peers/paste-<time>,
#   SERVER = the tarvo-server beside the first TARVO (../server/tarvo-server)
# Each run is one capture driven by bench/paste_probe (built here with gcc): the capture key, a
# drag over 15.6%,18.5% -> 57.3%,64.8% of the screen (800x500 at 1080p), then the clipboard is
# asked until it answers. Results go to DIR/raw.csv (test,name,size,run,metric,value), in the
# harness's format, so peers_table.py reads them beside the peers' figures.
# Nothing is shortened: the web route has no wait before the upload, and the link goes on the
# clipboard as soon as the service answers.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
RUNS=10 SIZES=1920x1080 DNUM=98 OUT= SERVER=
while getopts "n:s:d:o:S:" o; do
  case $o in
    n) RUNS=$OPTARG ;; s) SIZES=$OPTARG ;; d) DNUM=$OPTARG ;; o) OUT=$OPTARG ;; S) SERVER=$OPTARG ;;
    *) sed -n '2,14p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- "tarvo=$ROOT/build/bench/tarvo"
[ -n "$OUT" ] || OUT=$ROOT/build/bench-peers/paste-$(date +%Y%m%d-%H%M%S)
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
SRC=${TARVO_PEERS:-$ROOT/../shared/peers}
[ -d "$SRC" ] || SRC=/work/shared/peers
[ -d "$OUT/harness" ] || { cp -r "$SRC" "$OUT/harness" && chmod -R u+w "$OUT/harness"; }
first=${1#*=}
[ -n "$SERVER" ] || SERVER=$(dirname "$first")/server/tarvo-server
[ -x "$SERVER" ] || { echo "no tarvo-server at $SERVER (-S)" >&2; exit 2; }
PROBE=$OUT/paste_probe
gcc -O2 -Wall -o "$PROBE" "$HERE/paste_probe.c" -lX11 -lXtst
RAW=$OUT/raw.csv
PIDS=()
log() { echo "[$(date +%T)] $*" >&2; }
start() { "$@" >>"$OUT/logs.txt" 2>&1 & PIDS+=($!); }
stop_all() {   # newest first, only what this script started
  local i
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
  for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do wait "${PIDS[i]}" 2>/dev/null || true; done
  PIDS=()
}
trap stop_all EXIT

scene_pids() {   # the scene's clients, as the harness records them ("PID STARTTIME" lines)
  local p _
  while read -r p _; do PIDS+=("$p"); done <"$1"
}

run_case() {   # NAME BIN SIZE DEST(1 clipboard, 0 web)
  local name=$1 bin=$2 size=$3 dest=$4 W=${3%x*} H=${3#*x} run line metric
  local home=$OUT/home-$name-$dest-$size
  rm -rf "$home"; mkdir -p "$home/.config/tarvo" "$home/run" "$home/shots"
  chmod 700 "$home/run"
  printf '%s\n' 'Windows Registry Editor Version 5.00' '' '[HKEY_CURRENT_USER\Software\Tarvo]' \
    "\"Destination\"=\"$dest\"" '"Sounds"="0"' "\"Target Folder\"=\"$home/shots\"" \
    >"$home/.config/tarvo/tarvo.reg"
  export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache
  export XDG_DATA_HOME=$home/.local/share XDG_RUNTIME_DIR=$home/run XDG_SESSION_TYPE=x11
  export DISPLAY=:$DNUM
  [ ! -e "/tmp/.X${DNUM}-lock" ] || { echo "display :$DNUM is in use (-d)" >&2; exit 3; }
  start Xvfb ":$DNUM" -screen 0 "${size}x24" -nolisten tcp
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
  : >"$OUT/scene.pids"
  "$OUT/harness/scene.sh" "$DISPLAY" "$size" "$OUT/scene.pids"
  scene_pids "$OUT/scene.pids"
  start dbus-daemon --session --nofork --address="unix:path=$XDG_RUNTIME_DIR/bus"
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
  for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/bus" ] && break; sleep 0.05; done
  start openbox --sm-disable --config-file "$OUT/harness/openbox-rc.xml"
  start tint2
  local metric=paste_after_release_ms mode=png envs=()
  if [ "$dest" = 0 ]; then
    metric=link_after_release_ms mode=link
    local port=$((20000 + RANDOM % 20000))
    mkdir -p "$home/server"
    start "$SERVER" --listen "127.0.0.1:$port" --data "$home/server"
    for _ in $(seq 50); do (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
    envs=(TARVO_SERVICE_URL="http://127.0.0.1:$port/db/")
  fi
  start env "${envs[@]}" "$bin"
  sleep 4
  log "$name $mode @ $size"
  local rect="$((W*156/1000)),$((H*185/1000)),$((W*573/1000)),$((H*648/1000))"
  for run in $(seq 0 "$RUNS"); do   # run 0: the first capture after start, apart
    line=$("$PROBE" -m "$mode" -x "$rect" || true)
    echo "$name $size $run $line" >>"$OUT/probe.log"
    local t; t=$(sed -n 's/.*paste_after_release_ms=\([^ ]*\).*/\1/p' <<<"$line")
    echo "paste,$name,$size,$run,$metric,${t:--1}" >>"$RAW"
    [ "${t:--1}" != "-1.000" ] || log "no answer: $line"
    sleep 1
  done
  stop_all
  for _ in $(seq 50); do [ -e "/tmp/.X${DNUM}-lock" ] || break; sleep 0.1; done
}

for entry in "$@"; do
  name=${entry%%=*} bin=${entry#*=}
  [ -x "$bin" ] || { echo "not a program: $bin" >&2; exit 2; }
  IFS=, read -ra SZ <<<"$SIZES"
  for size in "${SZ[@]}"; do
    run_case "$name" "$bin" "$size" 1
    [ -n "${PASTE_ONLY:-}" ] || run_case "$name" "$bin" "$size" 0
  done
done
python3 - "$RAW" <<'EOF'
import csv, statistics, sys
rows = {}
for t, name, size, run, metric, v in csv.reader(open(sys.argv[1])):
    if int(run) > 0 and float(v) >= 0:
        rows.setdefault((metric, name, size), []).append(float(v))
for (metric, name, size), vs in sorted(rows.items()):
    print(f"{metric} {name} {size}: {statistics.median(vs):.1f} ms [{min(vs):.1f}-{max(vs):.1f}] n={len(vs)}")
EOF
echo "results: $OUT" >&2
