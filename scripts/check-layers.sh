#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own. The order, lowest
# first, is the one the README's layout gives: a layer may include itself and those below.
#   protocol < platform < settings < net < imaging < capture < app < (src/main.cpp)
# The service (server/) stands beside the client: it may include only protocol/ and itself.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rank=([protocol]=0 [platform]=1 [settings]=2 [net]=3 [imaging]=4 [capture]=5 [app]=6)
status=0

check() { # file, the layers it may include
    local file=$1 allowed=$2 line layer n=0
    while IFS= read -r line; do
        n=$((n + 1))
        [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([a-z_]+)/ ]] || continue
        layer=${BASH_REMATCH[1]}
        if [[ " $allowed " != *" $layer "* ]]; then
            echo "$file:$n: includes $layer/, which is not below it" >&2
            status=1
        fi
    done <"$file"
}

for dir in src/*/; do
    own=$(basename "$dir")
    [[ -n ${rank[$own]+x} ]] || { echo "$dir: a layer the check does not know" >&2; status=1; continue; }
    allowed=""
    for layer in "${!rank[@]}"; do
        if [[ $own == protocol ]]; then
            [[ $layer == protocol ]] && allowed+=" $layer"
        elif ((rank[$layer] <= rank[$own])); then
            allowed+=" $layer"
        fi
    done
    while IFS= read -r -d '' f; do check "$f" "$allowed"; done \
        < <(find "$dir" \( -name '*.cpp' -o -name '*.h' \) -print0)
done
check src/main.cpp "${!rank[*]}"
while IFS= read -r -d '' f; do check "$f" "protocol server"; done \
    < <(find server \( -name '*.cpp' -o -name '*.h' \) -print0)

if ((status == 0)); then echo "layers: no include runs upwards"; fi
exit $status
