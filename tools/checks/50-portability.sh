#!/usr/bin/env bash
# Compiles every module source (the frame, each model and each plain module) against the headers of each CPython
# from 3.9 to 3.13 that pyenv holds, with the build's warnings as errors: compile only, no link.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/checks/lib/background.sh

if ! command -v pyenv >/dev/null; then
    echo "portability: SKIPPED, pyenv not found (it provides the CPython 3.9-3.13 headers)" >&2
    exit 0
fi

mapfile -t sources < <(sed -n 's/^\(frame\|model\|module\) \+//p' sources.txt)
flags=(-std=c++20 -fsyntax-only -ffp-contract=off -Werror -Wall -Wextra -Wpedantic -Wshadow -Wconversion
       -Wno-sign-conversion -Igmms)
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT

failed=0
for minor in 9 10 11 12 13; do
    version=$(pyenv versions --bare | grep -E "^3\.$minor\.[0-9]+$" | sort -V | tail -n 1 || true)
    include=${version:+$(pyenv prefix "$version")/include/python3.$minor}
    if [[ -z "$version" || ! -f "$include/Python.h" ]]; then
        echo "portability: no CPython 3.$minor headers in pyenv" >&2
        exit 1
    fi
    for i in "${!sources[@]}"; do
        started "portability: ${sources[$i]} does not compile against CPython $version:" "$log/$i" \
            g++ "${flags[@]}" -I"$include" "${sources[$i]}"
    done
    finished || failed=1
done
((failed == 0)) || exit 1
echo "portability: ${#sources[@]} sources compile against CPython 3.9 to 3.13"
