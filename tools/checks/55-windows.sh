#!/usr/bin/env bash
# Cross-builds every model module and plain module (sources.txt) for 64-bit Windows, as
# NAME.cp39-win_amd64.pyd for CPython 3.9,
# with Debian's MinGW-w64 and the build's own warning flags (-Werror included), and checks from
# the PE headers that each exports PyInit_NAME and nothing else and imports only python39.dll
# and Windows system DLLs: no libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll.
#
# Headers: CPython 3.9's from pyenv (as the portability check finds them) with the Windows
# configuration header PC/pyconfig.h, which an installed CPython does not carry. That one comes
# from the source of Debian's package python3.9 (bullseye, CPython 3.9.2), fetched once by apt
# from the Debian archive the machine's apt configuration names, with a private sources list and
# state, so the machine's apt configuration stays untouched (tools/checks/lib/debian-archive.sh),
# and cached outside the source tree ($XDG_CACHE_HOME or ~/.cache, gmms-win/). The import library of
# python39.dll is made here from the interpreter symbols the objects use.
#
# The modules go to build-win/gmms/. Nothing here runs them: that needs Windows.
set -euo pipefail
SECONDS=0
cd "$(dirname "$0")/../.."

TARGET=x86_64-w64-mingw32
# The POSIX-threads flavour of Debian's two: the complete C++ runtime (std::thread and friends),
# its thread library linked in statically like the rest.
CXX=$TARGET-g++-posix
for tool in "$CXX" "$TARGET-dlltool" "$TARGET-nm" "$TARGET-objdump"; do
    command -v "$tool" >/dev/null || {
        echo "windows: $tool not found (Debian package g++-mingw-w64-x86-64, in tools/packages.txt)" >&2
        exit 1
    }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# ---------------------------------------------------------------------------------------------
# PC/pyconfig.h (and Include/, used when pyenv has no CPython 3.9) from Debian's python3.9 source

cache=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/gmms-win
source_dir=$cache/python3.9
source tools/checks/lib/debian-archive.sh
source tools/checks/lib/background.sh

fetch_source() {
    local apt=$work/apt
    # The Debian archive the machine's apt configuration names (tools/checks/lib/debian-archive.sh).
    debian_apt_setup "$apt" bullseye deb-src
    mkdir -p "$apt/src" "$cache"
    # The signed index authenticates the files apt-get source downloads.
    if apt-get "${APT_OPTS[@]}" update >>"$apt/log" 2>&1 \
        && (cd "$apt/src" && apt-get "${APT_OPTS[@]}" source --download-only python3.9) >>"$apt/log" 2>&1; then
        local tarball=("$apt"/src/python3.9_*.orig.tar.xz) extract=$work/extract
        mkdir "$extract"
        tar -xJf "${tarball[0]}" -C "$extract" --strip-components=1 --wildcards \
            'Python-*/PC/pyconfig.h' 'Python-*/Include/*'
        [[ -f "$extract/PC/pyconfig.h" && -f "$extract/Include/Python.h" ]] || {
            echo "windows: ${tarball[0]##*/} holds no PC/pyconfig.h or Include/Python.h" >&2
            return 1
        }
        sed -n 's/^#define PY_VERSION *"\(.*\)"/\1/p' "$extract/Include/patchlevel.h" >"$extract/VERSION"
        rm -rf "$source_dir"
        mv "$extract" "$source_dir"
        return 0
    fi
    cat "$apt/log" >&2
    echo "windows: could not fetch Debian's source package python3.9 (bullseye) with $(tr '\n' ' ' <"$apt/sources.list")" >&2
    echo "windows: it provides CPython 3.9's PC/pyconfig.h; this check needs the network once" >&2
    return 1
}

if [[ ! -f "$source_dir/PC/pyconfig.h" || ! -f "$source_dir/VERSION" ]]; then
    fetch_source
    echo "  [${SECONDS}s] fetched CPython $(cat "$source_dir/VERSION") source into $source_dir" >&2
fi

headers=$source_dir/Include headers_from="CPython $(cat "$source_dir/VERSION") source"
version=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.9\.[0-9]+$' | sort -V | tail -n 1 || true)
if [[ -n "$version" && -f "$(pyenv prefix "$version")/include/python3.9/Python.h" ]]; then
    headers=$(pyenv prefix "$version")/include/python3.9 headers_from="CPython $version (pyenv)"
fi
# Python.h includes "pyconfig.h" from its own directory first: a copy of the headers (as links)
# with the Windows one in place of the installation's.
mkdir "$work/include"
cp -rs "$headers/." "$work/include/"
rm -f "$work/include/pyconfig.h"
cp "$source_dir/PC/pyconfig.h" "$work/include/pyconfig.h"

# ---------------------------------------------------------------------------------------------
# Compile: the flags the CMake build gives each source, but for the host-only ones

mapfile -t frames < <(sed -nE 's/^frame +//p' sources.txt)
mapfile -t models < <(sed -nE 's/^model +//p' sources.txt)
mapfile -t plain < <(sed -nE 's/^module +//p' sources.txt)  # plain modules: their own object alone
sources=("${frames[@]}" "${models[@]}" "${plain[@]}")  # object i is built from sources[i]
cmake -S . -B "$work/cmake" -DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=Release -DGMMS_WERROR=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
mkdir "$work/flags" "$work/obj" "$work/log"
/usr/bin/python3 - "$work/cmake/compile_commands.json" "$work/flags" "${sources[@]}" <<'PY'
import json, os, pathlib, shlex, sys
commands, out, sources = sys.argv[1], pathlib.Path(sys.argv[2]), sys.argv[3:]
by_file = {os.path.realpath(e["file"]): shlex.split(e["command"]) for e in json.load(open(commands))}
for index, source in enumerate(sources):
    argv = by_file[os.path.realpath(source)][1:]
    flags, skip = [], False
    for arg in argv:
        if skip:
            skip = False
        elif arg in ("-o", "-c", "-isystem", "-I"):
            skip = True  # the option and its value
        elif arg.startswith(("-I", "-fPIC", "-fvisibility")) or arg.endswith("_EXPORTS"):
            pass  # the host's interpreter headers, and ELF-only options
        else:
            flags.append(arg)
    assert "-Werror" in flags and "-ffp-contract=off" in flags, (source, flags)
    (out / str(index)).write_text("\n".join(flags) + "\n")
PY

# MS_WIN64: PC/pyconfig.h sets it for MSVC only, and without it Py_ssize_t is 32 bits wide.
target_flags=(-DMS_WIN64 -isystem "$work/include")
cat >"$work/abi.cpp" <<'CPP'
#include <Python.h>
static_assert(PY_MAJOR_VERSION == 3 && PY_MINOR_VERSION == 9, "CPython 3.9 headers");
static_assert(sizeof(void*) == 8 && SIZEOF_VOID_P == 8 && SIZEOF_SIZE_T == 8 && sizeof(Py_ssize_t) == 8,
              "64-bit pointers, sizes and Py_ssize_t");
static_assert(SIZEOF_LONG == sizeof(long) && sizeof(long) == 4, "long is 32 bits (LLP64)");
CPP
"$CXX" -std=c++20 -fsyntax-only "${target_flags[@]}" "$work/abi.cpp"

for i in "${!sources[@]}"; do
    mapfile -t flags <"$work/flags/$i"
    started "windows: ${sources[$i]} does not compile for x86-64 Windows:" "$work/log/$i" \
        "$CXX" "${flags[@]}" "${target_flags[@]}" -Igmms -c "${sources[$i]}" -o "$work/obj/$i.o"
done
finished || exit 1
echo "  [${SECONDS}s] compiled ${#sources[@]} sources against $headers_from with PC/pyconfig.h" >&2

# ---------------------------------------------------------------------------------------------
# Link against python39.dll through an import library of exactly the symbols used

frame_objects=()
for i in "${!frames[@]}"; do frame_objects+=("$work/obj/$i.o"); done
# The interpreter's API is declared dllimport, so the objects refer to it as __imp_Py* / __imp__Py*.
{
    echo "LIBRARY python39.dll"
    echo "EXPORTS"
    "$TARGET-nm" -u "$work"/obj/*.o | sed -nE 's/^ *U __imp_(_?Py[A-Za-z0-9_]*)$/\1/p' | sort -u
} >"$work/python39.def"
"$TARGET-dlltool" -d "$work/python39.def" -D python39.dll -l "$work/libpython39.a"

out=build-win/gmms
mkdir -p "$out"
for j in "${!models[@]}"; do
    name=$(basename "${models[$j]}" .cpp)
    "$CXX" -shared -static -static-libgcc -static-libstdc++ -Wl,--no-undefined -s \
        -o "$out/$name.cp39-win_amd64.pyd" "$work/obj/$((${#frames[@]} + j)).o" "${frame_objects[@]}" \
        "$work/libpython39.a"
done
for j in "${!plain[@]}"; do
    name=$(basename "${plain[$j]}" .cpp)
    "$CXX" -shared -static -static-libgcc -static-libstdc++ -Wl,--no-undefined -s \
        -o "$out/$name.cp39-win_amd64.pyd" "$work/obj/$((${#frames[@]} + ${#models[@]} + j)).o" "$work/libpython39.a"
done
echo "  [${SECONDS}s] linked against python39.dll ($(($(wc -l <"$work/python39.def") - 2)) symbols)" >&2

# ---------------------------------------------------------------------------------------------
# The PE headers: the one export, and what the loader has to find

status=0
for source in "${models[@]}" "${plain[@]}"; do
    name=$(basename "$source" .cpp)
    pyd=$out/$name.cp39-win_amd64.pyd
    "$TARGET-objdump" -p "$pyd" >"$work/pe.txt"
    grep -q "file format pei-x86-64" "$work/pe.txt" || { echo "windows: $pyd is not a PE32+ x86-64 file" >&2; status=1; }
    exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' "$work/pe.txt" | tr '\n' ' ')
    if [[ "$exports" != "PyInit_$name " ]]; then
        echo "windows: $pyd exports '${exports% }', expected PyInit_$name alone" >&2
        status=1
    fi
    imports=$(sed -n 's/^\s*DLL Name: //p' "$work/pe.txt" | tr '\n' ' ')
    for dll in $imports; do
        case "${dll,,}" in
            python39.dll | kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | advapi32.dll | \
                shell32.dll | user32.dll) ;;
            *)
                echo "windows: $pyd imports $dll, which is neither python39.dll nor a Windows system DLL" >&2
                status=1
                ;;
        esac
    done
    [[ " ${imports,,}" == *" python39.dll "* ]] || { echo "windows: $pyd does not import python39.dll" >&2; status=1; }
    echo "  $pyd: exports ${exports% }; imports ${imports% }" >&2
done
((status == 0)) || exit 1
echo "windows: $((${#models[@]} + ${#plain[@]})) modules cross-built for CPython 3.9 on x86-64 Windows in ${SECONDS}s: exports and imports ok"
