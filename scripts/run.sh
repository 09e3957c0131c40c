#!/usr/bin/env bash
# Installs what is missing, builds Tarvo and its web service (release), starts the service in
# the background on 127.0.0.1:8931 unless something already listens there, then starts Tarvo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_BUILD_TESTS=OFF >/dev/null
cmake --build build/release

runtime="${XDG_RUNTIME_DIR:-/tmp}"
state="${XDG_STATE_HOME:-$HOME/.local/state}/tarvo-server"
pidfile="$runtime/tarvo-server.pid"
if (exec 3<>/dev/tcp/127.0.0.1/8931) 2>/dev/null; then
  echo "Something already listens on 127.0.0.1:8931; using it as the web service."
else
  mkdir -p "$state"
  nohup build/release/tarvo-server --listen 127.0.0.1:8931 --site-dir res/site \
    >>"$state/server.log" 2>&1 </dev/null &
  echo $! >"$pidfile"
  for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/8931) 2>/dev/null && break
    sleep 0.1
  done
  echo "tarvo-server runs on http://127.0.0.1:8931/ (PID $(cat "$pidfile"), log $state/server.log)."
  echo "Stop it with: kill \$(cat $pidfile)"
fi
exec build/release/tarvo
