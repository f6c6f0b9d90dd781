#!/usr/bin/env bash
# Regression guard for the cost of a call, counted in instructions by valgrind's callgrind, which
# gives nearly the same count run after run (within a few per cent, as the allocators' paths vary
# with the process's environment) where wall-clock time on a shared machine does not:
#   Tarvik_cy with one site (the fixed cost of a call), and Morrand_cy and Sellwyn_cy per site
#   with siblings that return constants (the cost of our side of the sibling calls).
# Only the instructions run inside the entry functions are counted. A count above its budget fails
# the check; the budgets leave about 20% over the counts measured when they were set, for other
# CPUs (the C library picks routines by CPU) and library versions. bench/parts.py shows the parts.
set -euo pipefail
cd "$(dirname "$0")/../.."

PYTHON=/usr/bin/python3
# name, sites per call, calls, budget in instructions per call (Tarvik) or per site
BUDGETS="Tarvik 1 200 15500
Morrand 100 20 3450
Sellwyn 100 20 4700"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cat > "$tmp/child.py" <<'PY'
import sys
root, budgets = sys.argv[1], sys.argv[2]
sys.path[:0] = [root + "/bench", root + "/siblings", root]
import numpy as np
import comparators, run
from gmms import Morrand, Sellwyn, Tarvik
Morrand.Dovecar, Sellwyn.Brisquell = comparators.constant_siblings()
rng = np.random.default_rng(1)
entries = {"Tarvik": (Tarvik.Tarvik_cy, run.tarvik_args), "Morrand": (Morrand.Morrand_cy, run.morrand_args),
           "Sellwyn": (Sellwyn.Sellwyn_cy, run.sellwyn_args)}
for line in budgets.splitlines():
    name, sites, calls, _ = line.split()
    f, make = entries[name]
    args = make(int(sites), rng)
    for _ in range(int(calls)):
        f(*args)
PY

valgrind --tool=callgrind --callgrind-out-file="$tmp/cg" '--toggle-collect=*frame::entry<*' \
    "$PYTHON" "$tmp/child.py" "$PWD" "$BUDGETS" 2> "$tmp/valgrind.log" || { cat "$tmp/valgrind.log" >&2; exit 1; }
callgrind_annotate --inclusive=yes --threshold=100 "$tmp/cg" > "$tmp/annotate.txt"

status=0
while read -r name sites calls budget; do
    total=$(grep -E "frame::entry<\(anonymous namespace\)::${name}>" "$tmp/annotate.txt" | head -1 | awk '{gsub(",", "", $1); print $1}')
    if [[ -z "$total" ]]; then
        echo "instruction budget: no count for ${name}_cy" >&2
        status=1
        continue
    fi
    per=$(( total / calls ))
    unit="call"
    if (( sites > 1 )); then per=$(( per / sites )); unit="site"; fi
    verdict="ok"
    if (( per > budget )); then verdict="OVER BUDGET"; status=1; fi
    printf '%-8s %7d instructions per %s (budget %d): %s\n' "${name}_cy" "$per" "$unit" "$budget" "$verdict"
done <<< "$BUDGETS"
exit $status
