#!/usr/bin/env bash
# The source checks of the test command: no include runs up the layers, every C++ file is
# formatted, and clang-tidy finds nothing in src/ and server/ with the checks in .clang-tidy.
# In CI (CI=true) every file is checked; elsewhere only the files changed against HEAD (and
# new ones), so a local run stays quick. Argument: the build folder with compile_commands.json.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/test}

bash scripts/check-layers.sh

if [[ ${CI:-} == true ]]; then
    mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
    mapfile -t files < <({ git diff --name-only HEAD -- '*.cpp' '*.h'
                           git ls-files --others --exclude-standard -- '*.cpp' '*.h'; } | sort -u)
fi
existing=()
for f in "${files[@]}"; do [[ -f $f ]] && existing+=("$f"); done
if ((${#existing[@]} == 0)); then
    echo "format and tidy: no changed C++ files"
    exit 0
fi

clang-format --dry-run --Werror "${existing[@]}"
echo "format: ${#existing[@]} files as .clang-format wants them"

tidy=()
for f in "${existing[@]}"; do
    [[ $f == *.cpp && ( $f == src/* || $f == server/* ) ]] && tidy+=("$f")
done
if ((${#tidy[@]} > 0)); then
    # One process per file on every core; a finding is an error.
    # Findings go to standard output; standard error only counts the system headers' warnings.
    printf '%s\n' "${tidy[@]}" |
        xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet --warnings-as-errors='*' 2>/dev/null
    echo "tidy: ${#tidy[@]} files without a finding"
fi
