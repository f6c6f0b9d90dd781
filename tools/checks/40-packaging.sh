#!/usr/bin/env bash
# pip install into a fresh virtual environment (Debian's interpreter and site packages, no build
# isolation, nothing fetched), from a copy of the source tree as a fresh clone has it; then, from
# outside the source tree: import the three modules, gmms._hazard and gmms._geometry, run the command line, compare
# the results bit for bit with the CMake build, and check the installed stubs against the built modules.
set -euo pipefail
SECONDS=0
lap() { echo "  [${SECONDS}s] $*" >&2; }
cd "$(dirname "$0")/../.."
repo=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH

mkdir "$work/src"
git ls-files -z --cached --others --exclude-standard \
    | while IFS= read -r -d '' f; do [[ -e "$f" ]] && printf '%s\0' "$f"; done \
    | xargs -0 cp --parents -t "$work/src"

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
py=$work/venv/bin/python
"$py" -m pip install --quiet --no-build-isolation --no-index "$work/src" >"$work/pip.log" 2>&1 \
    || { cat "$work/pip.log" >&2; exit 1; }
lap installed
site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')

cd "$work"
"$py" - "$site" "$repo" <<'PY'
import importlib, pathlib, subprocess, sys
site, repo = map(pathlib.Path, sys.argv[1:])
tracked = subprocess.run(["git", "-C", repo, "ls-files", "gmms/*.py"], capture_output=True, text=True,
                         check=True).stdout.split()
missing = [name for name in tracked if not (site / name).is_file()]
assert not missing, f"not installed: {missing}"
import gmms, gmms.siblings
assert pathlib.Path(gmms.__file__).parent == site / "gmms", gmms.__file__
assert gmms.siblings.STANDIN_DIR == site / "gmms_standins", gmms.siblings.STANDIN_DIR
gmms.siblings.use_siblings()
from gmms.models import MODELS
for name in (*MODELS, "_hazard", "_geometry"):  # every model of the registry, the plain modules, with their stubs
    module = importlib.import_module(f"gmms.{name}")
    assert pathlib.Path(module.__file__).parent == site / "gmms", module.__file__
for name in ("py.typed", *(f"{name}.pyi" for name in (*MODELS, "_hazard", "_geometry"))):
    assert (site / "gmms" / name).is_file(), name
assert not list((site / "gmms").glob("*.cpp")), "sources installed"
PY

"$py" -m gmms evaluate Morrand "$repo/examples/crustal_sites.csv" --M 6.5 --fdip 45 --fZtor 3 \
    --fnm 0 --frv 1 --CAVgmType 1 --PSVcheck 1 >"$work/evaluate.txt" 2>"$work/evaluate.err" \
    || { cat "$work/evaluate.err" >&2; exit 1; }
grep -q "mean_ln_CAVdp" "$work/evaluate.txt"

lap imports and command line
"$py" "$repo/tools/checks/results_digest.py" >"$work/installed.txt"
PYTHONPATH=$repo /usr/bin/python3 "$repo/tools/checks/results_digest.py" >"$work/cmake.txt"
diff -u "$work/cmake.txt" "$work/installed.txt" \
    || { echo "pip-built modules compute other bits than the CMake build" >&2; exit 1; }

lap results compared
PYTHONPATH=$site/gmms_standins "$py" -m mypy.stubtest \
    $("$py" -c 'from gmms.models import MODELS; print(*(f"gmms.{name}" for name in (*MODELS, "_hazard", "_geometry")))')
cp "$repo/tools/checks/stub_usage.py" "$work/"
"$py" -m mypy --strict --warn-unused-ignores --no-error-summary "$work/stub_usage.py"
# The pure-Python source-model package is typed inline (its imports outside it are not checked here).
(cd "$repo" && "$py" -m mypy --strict --warn-unused-ignores --follow-imports=silent --no-error-summary \
    --cache-dir "$work/mypy-cache" gmms/sources)
echo "packaging: pip install, imports, command line, identical results, stubs, types: ok"
