#!/usr/bin/env bash
# The modules built with AddressSanitizer and UndefinedBehaviorSanitizer, and the tests that reach
# C code run against that build. Any report fails the check: ASan and UBSan abort the process on
# their first finding, and any report they leave in a file or in the log fails it as well.
#
# The sanitized modules go to build-asan/pkg/gmms/ beside links to the package's Python files;
# the tests find them there through GMMS_MODULE_DIR (see tests/conftest.py), which also fails the
# run if a model module was loaded from anywhere else.
set -euo pipefail
cd "$(dirname "$0")/../.."

PYTHON=/usr/bin/python3
BUILD=build-asan
PKG="$PWD/$BUILD/pkg"

cmake -S . -B "$BUILD" -DPython3_EXECUTABLE="$PYTHON" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGMMS_SANITIZE=ON -DGMMS_WERROR=ON -DGMMS_OUTPUT_DIR="$PKG/gmms" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >/dev/null
# Everything of the package but its built modules, linked from the source tree.
for entry in gmms/*; do
    case "$entry" in *.so | *.pyd | */__pycache__) continue ;; esac
    ln -sfn "$PWD/$entry" "$PKG/gmms/"
done

ASAN_RUNTIME=$(g++ -print-file-name=libasan.so)
[[ -e "$ASAN_RUNTIME" ]] || { echo "libasan.so not found" >&2; exit 1; }
# ASan writes its reports to files (pytest's capture of the test process's stderr would lose one
# at an abort); UBSan writes to stderr, which --capture=sys leaves uncaptured at the file level,
# and the console log is searched for its reports.
REPORTS=$(mktemp -d)
trap 'rm -rf "$REPORTS"' EXIT

# The tests that reach C code: the frame, the models, the hazard kernels, leaks, threads, fuzzing
# and the rest, in this process or in a child that imports the build under test afresh (such a
# child is sanitized too: tests/conftest.py passes the sanitizer's environment on). Left out: Dask
# clusters, and children that run the command line, a script or the compiler (the markers, see
# pyproject.toml), where only Python or the source tree's own build runs; and the files of the
# Python layers (sources and sites, the catalogue, hazard, the command line), whose calls into C
# are the ordinary ones the model, kernel and geometry tests make. A new test file runs here
# unless it is left out below.
PYTHON_LAYERS=(test_catalogue.py test_catalogue_dask.py test_cli.py test_hazard.py test_hazard_job.py
                  test_peer.py test_ruptures_command.py test_sites.py test_sources.py
                  test_user_models.py)
SELECTION=(-m "not cluster and not subprocess" "${PYTHON_LAYERS[@]/#/--ignore=tests/}" tests)

# Without the cache provider, the shuffling plugin (tools/packages.txt) stops pytest: it reads the
# provider's options, so it is left out too.
PLUGINS=(-p no:cacheprovider -p no:random_order)

# detect_leaks=0: the interpreter itself keeps memory until exit by design; our own leaks are
# checked by tests/test_leaks.py. PYTHONMALLOC=malloc sends every interpreter allocation through
# ASan's allocator, so a stray read of an object's memory is seen too.
set +e
env LD_PRELOAD="$ASAN_RUNTIME" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:log_path=$REPORTS/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    GMMS_MODULE_DIR="$PKG" GMMS_SANITIZED=1 \
    "$PYTHON" -m pytest -q "${PLUGINS[@]}" --capture=sys "${SELECTION[@]}" 2>&1 | tee "$REPORTS/console.log"
status=${PIPESTATUS[0]}
set -e
if compgen -G "$REPORTS/asan*" >/dev/null; then
    cat "$REPORTS"/asan* >&2
    echo "AddressSanitizer reports above" >&2
    status=1
fi
if grep -q "runtime error:" "$REPORTS/console.log"; then
    echo "UndefinedBehaviorSanitizer reported (see 'runtime error:' above)" >&2
    status=1
fi
exit "$status"
