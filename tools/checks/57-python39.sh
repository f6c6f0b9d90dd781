#!/usr/bin/env bash
# The modules on a real CPython 3.9 interpreter, as a user of Debian 11 (bullseye) has it:
# python3.9 with numpy 1.19, shapely 1.7, pandas 1.1, h5py 2.10, Dask's distributed 2021.01,
# tqdm and matplotlib 3.3, all Debian 11's binary packages.
#
# The interpreter and its packages are fetched once by apt, with a private sources list and private
# state (the archive is the one the machine's apt configuration names; tools/checks/lib/
# debian-archive.sh), unpacked with dpkg -x into a private root and cached outside the source tree
# ($XDG_CACHE_HOME or ~/.cache, gmms-py39/). Of the libraries those packages need, only the ones
# this machine lacks are fetched (libssl1.1, libffi7, libmpdec3, ...): the machine's own are newer
# builds of the same sonames. The interpreter runs with LD_LIBRARY_PATH naming the root's.
#
# The modules, gmms._hazard and gmms._geometry are built for that interpreter with CMake (build
# directory build-py39/) into gmms/, beside the main build's, and the project's own tests run on
# it. The last line names the interpreter and the count: "CPython 3.9.2: N passed".
set -euo pipefail
SECONDS=0
lap() { echo "  [${SECONDS}s] $*" >&2; }
cd "$(dirname "$0")/../.."
source tools/checks/lib/debian-archive.sh

# What is asked of the archive; the resolver adds what these depend on. python3-tornado: Debian 11's
# python3-distributed needs it but does not say so. _testcapi and _testbuffer, which the tests use,
# are in libpython3.9-testsuite.
PACKAGES=(python3.9 libpython3.9-dev libpython3.9-testsuite python3-numpy python3-shapely python3-pytest
          python3-hypothesis python3-mpmath python3-scipy python3-pandas python3-h5py python3-distributed
          python3-tornado python3-tqdm python3-matplotlib)
SUITE=bullseye

cache=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/gmms-py39
root=$cache/root
request="2 $SUITE ${PACKAGES[*]}"  # the first field: the layout of the root, changed with fetch_root

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ---------------------------------------------------------------------------------------------
# The root: Debian 11's packages unpacked

fetch_root() {
    local apt=$work/apt pkg keep=() new=$cache/root.new
    debian_apt_setup "$apt" "$SUITE" deb
    apt-get "${APT_OPTS[@]}" update >"$work/apt.log" 2>&1 || {
        cat "$work/apt.log" >&2
        echo "python39: apt-get update failed for $(tr '\n' ' ' <"$apt/sources.list")" >&2
        return 1
    }
    # The resolver's choice for an empty system (first alternatives, no recommends), less what
    # the machine has: every Python package comes from Debian 11, of the rest only libraries that
    # are not installed here (the interpreter's data and tools, perl and the like, stay out).
    apt-get "${APT_OPTS[@]}" -s install --no-install-recommends "${PACKAGES[@]}" >"$work/resolve.log" 2>&1 || {
        cat "$work/resolve.log" >&2
        return 1
    }
    while read -r pkg; do
        case "$pkg" in
            python* | libpython*) keep+=("$pkg") ;;
            # h5py warns when the HDF5 it runs on is not the one it was built for.
            libhdf5*) keep+=("$pkg") ;;
            libperl* | gcc-*-base) ;;
            lib*) dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || keep+=("$pkg") ;;
        esac
    done < <(awk '/^Inst /{print $2}' "$work/resolve.log")
    mkdir -p "$work/debs"
    (cd "$work/debs" && apt-get "${APT_OPTS[@]}" download "${keep[@]}") >"$work/download.log" 2>&1 || {
        cat "$work/download.log" >&2
        echo "python39: could not download ${keep[*]}" >&2
        return 1
    }
    rm -rf "$new"
    mkdir -p "$new"
    for deb in "$work"/debs/*.deb; do
        dpkg -x "$deb" "$new"
    done
    # Not needed here: the static library, documentation, and the test suite less its two modules.
    # Debian's matplotlib looks for its data beside the package before /usr/share/matplotlib.
    ln -s ../../../../share/matplotlib/mpl-data "$new/usr/lib/python3/dist-packages/matplotlib/mpl-data"
    rm -rf "$new"/usr/share/doc "$new"/usr/share/man "$new"/usr/lib/python3.9/config-3.9-*/libpython3.9*.a \
        "$new"/usr/lib/python3.9/test
    (cd "$work/debs" && ls) >"$new/.debs"
    printf '%s\n' "$request" >"$new/.request"
    rm -rf "$root"
    mv "$new" "$root"
}

if [[ ! -f "$root/.request" || "$(cat "$root/.request")" != "$request" ]]; then
    fetch_root
    lap "fetched $(wc -l <"$root/.debs") packages of Debian $SUITE into $root ($(du -sh "$root" | cut -f1))"
fi
PY39=$root/usr/bin/python3.9
export LD_LIBRARY_PATH=$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
export PYTHONNOUSERSITE=1
unset PYTHONPATH PYTHONHOME
version=$("$PY39" -c 'import platform; print(platform.python_version())')
[[ "$version" == 3.9.* ]] || { echo "python39: $PY39 is CPython $version, not 3.9" >&2; exit 1; }

# ---------------------------------------------------------------------------------------------
# The modules built for it

BUILD=build-py39
# Into gmms/ beside the main build's: each carries its interpreter's suffix (.cpython-39-...), so
# that each interpreter finds its own, and the tests that run the command line or a script in a
# child process from the source tree find them as they find the main build.
# Debian's pyconfig.h includes the multi-arch one as <x86_64-linux-gnu/python3.9/pyconfig.h>. The
# frame's compiler test reads CXXFLAGS too.
export CXXFLAGS="-isystem $root/usr/include"
cmake -S . -B "$BUILD" -DPython3_EXECUTABLE="$PY39" -DPython3_INCLUDE_DIR="$root/usr/include/python3.9" \
    -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DCMAKE_BUILD_TYPE=Release -DGMMS_WERROR=ON \
    -DGMMS_OUTPUT_DIR="$PWD/gmms" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; exit 1; }
cmake --build "$BUILD" -j"$(nproc)" --target Tarvik Morrand Sellwyn _hazard _geometry >"$work/build.log" 2>&1 \
    || { cat "$work/build.log" >&2; exit 1; }
for name in Tarvik Morrand Sellwyn _hazard _geometry; do
    [[ -f "gmms/$name.cpython-39-x86_64-linux-gnu.so" ]] \
        || { echo "python39: no gmms/$name.cpython-39-x86_64-linux-gnu.so" >&2; exit 1; }
done
lap "built the modules for CPython $version into gmms/"

# ---------------------------------------------------------------------------------------------
# The tests: the frame, the three models with their siblings, leaks, threads, interpreters, the
# fuzz properties at the CI profile, the hazard kernel and the geometry; then the Python layers on
# Debian 11's pandas, h5py, tqdm and matplotlib: sources and sites, the catalogue, hazard, ruptures,
# the command line, run serially and on an embedded (in-process) Dask cluster.
#
# Left out: the bench comparators (they load build/bench's libraries, made for the main build's
# interpreter), and the clusters of separate dask-scheduler and dask-worker processes (plain and
# TLS), which test Dask's own command line and take minutes more.

MODULE_TESTS=(test_frame.py test_tarvik_model.py test_tarvik_arc.py test_morrand.py test_sellwyn.py
              test_sibling_calls.py test_sibling_arguments.py test_name_lookups.py test_leaks.py
              test_concurrency.py test_interpreters.py test_fuzz.py test_hazard_kernel.py test_geometry.py)
LAYER_TESTS=(test_sites.py test_sources.py test_catalogue.py test_catalogue_dask.py test_hazard.py
             test_hazard_job.py test_user_models.py test_cli.py test_ruptures_command.py
             test_missing_packages.py test_map_plots.py)
SEPARATE_PROCESSES="not scheduler_and_two_workers and not on_a_scheduler and not worker_killed and not tls"
# The cache provider writes into the source tree; the shuffling plugin is not in the root.
set +e
"$PY39" -m pytest -q -p no:cacheprovider -k "$SEPARATE_PROCESSES" "${MODULE_TESTS[@]/#/tests/}" \
    "${LAYER_TESTS[@]/#/tests/}" 2>&1 \
    | tee "$work/pytest.log"
status=${PIPESTATUS[0]}
set -e
summary=$(tail -n 1 "$work/pytest.log")
passed=$(grep -oE '(^|[^0-9])[0-9]+ passed' <<<"$summary" | grep -oE '[0-9]+' || true)
if ((status != 0)) || [[ -z "$passed" ]] || grep -qE '[0-9]+ (failed|error|errors|skipped)' <<<"$summary"; then
    echo "python39: the tests on CPython $version did not all pass: $summary" >&2
    exit 1
fi
lap "tests run"
echo "CPython $version: $passed passed"
