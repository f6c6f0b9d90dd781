#!/usr/bin/env bash
# Static analysis of the C++ sources: clang-tidy (configuration in .clang-tidy) and cppcheck
# (suppressions, each with its reason, in tools/checks/cppcheck-suppressions.txt). Any finding
# fails the check.
set -euo pipefail
cd "$(dirname "$0")/../.."

PYTHON=/usr/bin/python3
BUILD=build-tidy
# Every frame, model and plain module source listed in sources.txt.
mapfile -t SOURCES < <(sed -nE 's/^(frame|model|module) +//p' sources.txt)

# The compile commands of a normal build, so that clang-tidy sees the flags the compiler sees.
cmake -S . -B "$BUILD" -DPython3_EXECUTABLE="$PYTHON" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

status=0
# -Wno-unknown-warning-option: the commands carry GCC-only warning flags.
# The shim gives clang < 15 the std::source_location that libstdc++ cannot provide it.
printf '%s\n' "${SOURCES[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy -p "$BUILD" --quiet \
    --extra-arg=-Wno-unknown-warning-option \
    --extra-arg=-include --extra-arg="$PWD/tools/checks/clang-tidy-shim.hpp" 2>/dev/null || status=1

cppcheck --std=c++20 --language=c++ --enable=warning,style,performance,portability \
    --inline-suppr --suppressions-list=tools/checks/cppcheck-suppressions.txt \
    --error-exitcode=1 --quiet -I gmms -I gmms/frame "${SOURCES[@]}" || status=1

exit "$status"
