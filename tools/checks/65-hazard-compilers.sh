#!/usr/bin/env bash
# The hazard kernel's bits do not depend on the compiler or the instruction set: gmms/_hazard.cpp
# built with g++ and with clang++-16 (Debian's clang-16; clang 14 cannot compile
# std::source_location with libstdc++ 12), at -O2 and -O3, each with and without -march=native
# (here: the vector width and instructions of this machine), must give byte-identical
# accumulators and tails on the same inputs (tools/checks/hazard_bits.py: near the truncation,
# tiny rates, steps, both truncation rules, rows carried more than once), and so must the CMake
# build. Nothing here runs MSVC or arm64 code; the kernels' arithmetic is the same there for the
# same reason it is the same here (IEEE operations only, no fused multiply-add).
set -euo pipefail
SECONDS=0
cd "$(dirname "$0")/../.."
source tools/checks/lib/background.sh

PYTHON=/usr/bin/python3
for compiler in g++ clang++-16; do
    command -v "$compiler" >/dev/null || {
        echo "hazard compilers: $compiler not found (Debian packages g++ and clang-16, in tools/packages.txt)" >&2
        exit 1
    }
done
include=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
suffix=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The flags that decide the bits are the build's (-ffp-contract=off above all); the rest varies.
variants=()
for compiler in g++ clang++-16; do
    for level in -O2 -O3; do
        for arch in "" -march=native; do
            variants+=("$compiler $level $arch")
        done
    done
done
build() {
    local index=$1 compiler level arch
    read -r compiler level arch <<<"${variants[$index]}"
    mkdir -p "$work/$index"
    # shellcheck disable=SC2086  # $arch: no flag or one
    "$compiler" -std=c++20 -ffp-contract=off -fPIC -shared -fvisibility=hidden $level $arch \
        -Igmms -I"$include" gmms/_hazard.cpp -o "$work/$index/_hazard$suffix"
}
failed=0
for first in $(seq 0 "$(nproc)" $((${#variants[@]} - 1))); do
    for index in $(seq "$first" $((first + $(nproc) - 1))); do
        ((index < ${#variants[@]})) || break
        started "hazard compilers: ${variants[$index]} does not build:" "$work/$index.log" build "$index"
    done
    finished || failed=1
done
((failed == 0)) || exit 1
echo "  [${SECONDS}s] built ${#variants[@]} variants" >&2

cmake_module=$(ls gmms/_hazard"$suffix")
reference=$("$PYTHON" tools/checks/hazard_bits.py "$cmake_module")
echo "  CMake build: $(tail -n 1 <<<"$reference")" >&2
status=0
for index in "${!variants[@]}"; do
    digest=$("$PYTHON" tools/checks/hazard_bits.py "$work/$index/_hazard$suffix")
    if [[ "$digest" == "$reference" ]]; then
        printf '  %-28s same bits\n' "${variants[$index]}" >&2
    else
        printf '  %-28s OTHER BITS:\n%s\n  CMake build:\n%s\n' "${variants[$index]}" "$digest" "$reference" >&2
        status=1
    fi
done
((status == 0)) || exit 1
echo "hazard compilers: g++ and clang++-16 at -O2 and -O3, with and without -march=native, and the CMake build: the same bits (${SECONDS}s)"
