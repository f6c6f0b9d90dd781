#!/usr/bin/python3
"""Where the cost of a call goes, in instructions counted by valgrind's callgrind.

    /usr/bin/python3 bench/parts.py                  # Tarvik_cy with 1 site
    /usr/bin/python3 bench/parts.py Morrand 100      # Morrand_cy, 100 sites, constant siblings
    /usr/bin/python3 bench/parts.py --total Tarvik 1 # only the whole cost of one call

Instruction counts do not depend on the machine's load, so they show what a change saves where
wall-clock times on a shared machine cannot. Two figures:

- the whole cost of one call, from the caller's side (building the argument tuple, the call,
  dropping the result): the difference between a process making 2N calls and one making N;
- the parts of the time spent inside the entry function: callgrind collects only while the
  entry function runs, and its call tree gives each callee's inclusive count.

Needs valgrind (Debian package valgrind).
"""

import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

CHILD = r"""
import sys
sys.path[:0] = [{bench!r}, {siblings!r}, {root!r}]
import numpy as np
import comparators, run
model, n, calls = {model!r}, {n}, {calls}
rng = np.random.default_rng(3)
if model == "Tarvik":
    from gmms import Tarvik as m
    f, args = m.Tarvik_cy, run.tarvik_args(n, rng)
elif model == "Morrand":
    from gmms import Morrand as m
    f, args = m.Morrand_cy, run.morrand_args(n, rng)
    m.Dovecar = comparators.constant_siblings()[0]
else:
    from gmms import Sellwyn as m
    f, args = m.Sellwyn_cy, run.sellwyn_args(n, rng)
    m.Brisquell = comparators.constant_siblings()[1]
for _ in range({warmup}):
    f(*args)
for _ in range(calls):
    f(*args)
"""

# Parts of a call: (label, callee, caller): the inclusive count of every function whose name
# matches `callee` when called from a function whose name matches `caller`. What is left of the
# entry function's count is the model's own work and everything inlined into it.
ENTRY = r"frame::entry<"
PARTS = [
    ("argument matching", r"match_arguments", ENTRY),
    ("site-array views of the inputs", r"SiteArray::acquire", ENTRY),
    ("np.zeros calls", r"^PyObject_Vectorcall", r"make_working_array"),
    ("views of the working arrays", r"SiteArray::acquire", r"make_working_array"),
    ("np.asarray calls", r"^PyObject_Vectorcall", r"make_result"),
    ("lookups of np, zeros, asarray", r"Global::lookup|Name::of|^PyObject_GetAttr$", r"make_working_array|make_result"),
    ("result tuple, exporters", r"PyTuple_Pack|export_sites", r"make_result"),
    ("sibling functions (the calls and their bodies)", r"^PyObject_Vectorcall", r"call_global_attr"),
    ("sibling lookups (module name, attribute)", r"Global::lookup|Name::of|^PyObject_GetAttr$", r"call_global_attr"),
    ("sibling argument objects (new floats, ints)", r"^PyFloat_FromDouble$|^PyLong_FromLong$", r"."),
    ("releasing the views", r"^PyBuffer_Release$", ENTRY),
]
WARMUP = 20


def child_script(model, n, calls):
    return CHILD.format(bench=str(ROOT / "bench"), siblings=str(ROOT / "siblings"), root=str(ROOT),
                        model=model, n=n, calls=calls, warmup=WARMUP)


def callgrind(script, out, toggle=None):
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"]
    if toggle:
        cmd.append(f"--toggle-collect={toggle}")
    cmd += [sys.executable, "-c", script]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(proc.stderr[-2000:])
    match = re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr)
    return int(match.group(1).replace(",", ""))


def whole_call(model, n, calls):
    """Instructions of one call from the caller's side: (cost of 2N calls - cost of N calls) / N."""
    with tempfile.TemporaryDirectory() as tmp:
        one = callgrind(child_script(model, n, calls), f"{tmp}/a")
        two = callgrind(child_script(model, n, 2 * calls), f"{tmp}/b")
    return (two - one) / calls


def caller_tree(path):
    """{callee: {caller: inclusive count}} from callgrind_annotate's caller tree."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", "--tree=caller", path],
                          capture_output=True, text=True, check=True).stdout
    tree = {}
    for block in text.split("\n\n"):
        callers, callee = {}, None
        for line in block.splitlines():
            m = re.match(r"\s*([\d,]+) \([^)]*\)\s+([<*])\s+(.*)$", line)
            if not m:
                continue
            count, kind, name = int(m.group(1).replace(",", "")), m.group(2), m.group(3)
            name = re.sub(r"^\?\?\?:|^[^:]*:", "", name.split(" [")[0]).strip()
            name = re.sub(r" \(\d[\d,]*x\)$", "", name)
            if kind == "<":
                callers[name] = count
            else:
                callee = name
        if callee:
            tree[callee] = callers
    return tree


def entry_parts(model, n, calls):
    """(instructions per call inside the entry function, [(part, instructions per call)])."""
    with tempfile.TemporaryDirectory() as tmp:
        out = f"{tmp}/cg"
        total = callgrind(child_script(model, n, calls), out, toggle="*frame::entry<*") / (calls + WARMUP)
        tree = caller_tree(out)
    rows, counted = [], 0.0
    for label, callee, caller in PARTS:
        count = sum(cost for name, callers in tree.items() if re.search(callee, name)
                    for who, cost in callers.items() if re.search(caller, who))
        if count:
            rows.append((label, count / (calls + WARMUP)))
            counted += count / (calls + WARMUP)
    rows.append(("the rest: the model's own work and all that is inlined", total - counted))
    return total, rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("model", nargs="?", default="Tarvik", choices=["Tarvik", "Morrand", "Sellwyn"])
    parser.add_argument("sites", nargs="?", type=int, default=1)
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--total", action="store_true", help="print only the whole cost of one call")
    opts = parser.parse_args()

    whole = whole_call(opts.model, opts.sites, opts.calls)
    if opts.total:
        print(f"{whole:.0f}")
        return
    inside, rows = entry_parts(opts.model, opts.sites, opts.calls)
    siblings = "" if opts.model == "Tarvik" else ", constant siblings"
    print(f"{opts.model}_cy, {opts.sites:,} site(s){siblings}: {whole:,.0f} instructions per call, "
          f"{inside:,.0f} of them inside the entry function")
    if opts.sites > 1:
        print(f"  ({whole / opts.sites:,.0f} per site)")
    width = max(len(label) for label, _ in rows)
    for label, count in rows:
        print(f"  {label:<{width}}  {count:>9,.0f}  {count / inside:6.1%}")


if __name__ == "__main__":
    main()
