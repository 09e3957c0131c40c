#!/usr/bin/env bash
# Installs what is missing, builds Tarvo (release) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_BUILD_TESTS=OFF >/dev/null
cmake --build build/release
exec build/release/tarvo
