"""Leak checks: many calls through every success and error path leave memory and references flat.

After a warm-up, CALLS calls of one path may change neither the reference count of any argument
object (nor of the sibling module and numpy), nor the interpreter's allocated blocks by more than
BLOCKS_BOUND, nor the C heap in use by more than HEAP_BOUND bytes, nor the resident set by more
than RSS_BOUND bytes. One leaked object, buffer or working array per call would exceed each bound
many times over. The heap and block counts mean nothing under the sanitizers (their allocator
replaces the interpreter's and the C library's), so only the reference counts are checked there.
"""

import ctypes
import ctypes.util
import gc
import importlib
import os
import sys
import types

import _testbuffer
import numpy as np
import pytest

import hostile
from hostile import PARAMS, HostileError

MODULES = {name: importlib.import_module("gmms." + name) for name in PARAMS}
SIBLINGS = {"Morrand": ("Dovecar", ("get_mu_cy", "get_alpha_cy")),
            "Sellwyn": ("Brisquell", ("get_mu_cy", "get_phi_cy", "get_tau_cy"))}
WORKING_ARRAYS = {"Tarvik": 3, "Morrand": 5, "Sellwyn": 3}

WARMUP = 50
CALLS = 50 if os.environ.get("GMMS_SANITIZED") else 1000
BLOCKS_BOUND = 32  # interpreter memory blocks: one object leaked a call gives 1000
HEAP_BOUND = 16 * 1024  # bytes of C heap in use: under 16 bytes a call
RSS_BOUND = 1024 * 1024  # bytes resident
N_SITES = 20  # a leaked working array is then 160 bytes and one object

SANITIZED = bool(os.environ.get("GMMS_SANITIZED"))


# ---------------------------------------------------------------------------------------------
# Measures


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_in_use():
    """Bytes the C library's malloc has handed out (glibc), or None where that cannot be read."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallinfo2 = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    mallinfo2.restype = _Mallinfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def _rss():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


def _flat(call, objects):
    """Runs call() WARMUP + CALLS times; returns what exceeded its bound, or an empty list."""
    # Small ints and None are shared across the interpreter: others change their counts.
    objects = [obj for obj in objects if not isinstance(obj, (int, type(None)))]
    for _ in range(WARMUP):
        call()
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in objects]
    blocks, heap, rss = sys.getallocatedblocks(), _heap_in_use(), _rss()
    for _ in range(CALLS):
        call()
    gc.collect()
    excess = []
    changed = [(obj, after - before) for obj, before, after in
               zip(objects, refs, [sys.getrefcount(obj) for obj in objects]) if after != before]
    if changed:
        excess.append(f"reference counts changed: {changed}")
    if not SANITIZED:
        if sys.getallocatedblocks() - blocks > BLOCKS_BOUND:
            excess.append(f"allocated blocks +{sys.getallocatedblocks() - blocks}")
        if heap is not None and _heap_in_use() - heap > HEAP_BOUND:
            excess.append(f"C heap +{_heap_in_use() - heap} bytes")
        if rss is not None and _rss() - rss > RSS_BOUND:
            excess.append(f"resident set +{_rss() - rss} bytes")
    return excess


def _flat_again(call, objects, attempts=3):
    """_flat, measured again when it finds an excess: a leak exceeds its bound every time, while
    a thread an earlier test left behind (Dask's event loop, tqdm's monitor) allocates now and
    then, and in a whole run it did so during one measurement of a path once in a few runs."""
    for _ in range(attempts):
        excess = _flat(call, objects)
        if not excess:
            break
    return excess


def assert_paths_flat(paths):
    """paths: name -> (call, objects). All paths run together; if that leaks, each is run alone
    to name the ones that do."""
    calls = [call for call, _ in paths.values()]

    def all_paths():
        for call in calls:
            call()

    if not _flat_again(all_paths, [obj for _, objects in paths.values() for obj in objects]):
        return
    leaking = {name: excess for name, (call, objects) in paths.items()
               if (excess := _flat_again(call, objects))}
    assert not leaking, leaking or "the paths leak together but not alone"


def fresh(text):
    """An equal string that is not the interned one, so that a reference leaked on it shows."""
    return "".join(list(text))


def calling(function, args, kwargs=None, raises=None, raw=False):
    """A zero-argument call of function that must succeed, or raise `raises`."""

    def call():
        try:
            if raw:
                result = hostile.call_raw(function, args, kwargs)
            else:
                result = function(*args, **(kwargs or {}))
        except Exception as exc:  # noqa: BLE001
            if raises is None or not isinstance(exc, raises):
                raise
            return
        if raises is not None:
            raise AssertionError(f"expected {raises.__name__}, got a result")
        assert len(result) == 3

    return call


def args_of(model, **changes):
    """Positional arguments of a valid call of N_SITES sites, with some parameters replaced."""
    names = [name for name, _ in PARAMS[model]]
    # Strings are fresh copies: the interned constants are shared with the rest of the interpreter,
    # whose own references come and go (a thread of an earlier test, a cache) and would be counted.
    args = [fresh(arg) if isinstance(arg, str) else arg for arg in hostile.typical_args(model, N_SITES)]
    for name, value in changes.items():
        args[names.index(name)] = value
    return args


def last_of(model, kind):
    return [name for name, k in PARAMS[model] if k == kind][-1]


# ---------------------------------------------------------------------------------------------
# Success paths


def _success_paths(model):
    function = hostile.entry(MODULES[model])
    names = [name for name, _ in PARAMS[model]]
    site_names = [name for name, k in PARAMS[model] if k == "sites"]
    variants = {
        "positional": (args_of(model), None),
        "keywords": ([], dict(zip([fresh(n) for n in names], args_of(model)))),
        "no sites": (args_of(model, **{site_names[0]: np.zeros(0)}), None),
        "None sites": (args_of(model, **{name: None for name in site_names}), None),
        "strided": ([np.repeat(a, 2)[::-2] if isinstance(a, np.ndarray) else a for a in args_of(model)], None),
    }
    return {name: (calling(function, args, kwargs), [*args, *(kwargs or {}), *(kwargs or {}).values(), function])
            for name, (args, kwargs) in variants.items()}


@pytest.mark.parametrize("model", PARAMS)
def test_success_paths_leak_nothing(model):
    assert_paths_flat(_success_paths(model))


# ---------------------------------------------------------------------------------------------
# Argument errors: each at the last parameter of its kind, so that every site array before it
# has been acquired and must be released again.


def _argument_error_paths(model):
    names = [fresh(name) for name, _ in PARAMS[model]]
    function = hostile.entry(MODULES[model])
    double, integer, sites = last_of(model, "double"), last_of(model, "int"), last_of(model, "sites")
    first_sites = [name for name, k in PARAMS[model] if k == "sites"][0]
    full = args_of(model)
    readonly = np.ones(N_SITES)
    readonly.flags.writeable = False
    pil = _testbuffer.ndarray([1.0] * N_SITES, shape=[N_SITES], format="d",
                              flags=_testbuffer.ND_WRITABLE | _testbuffer.ND_PIL)
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**31,), strides=(0,))
    cases = {
        "too many positional": (full + [1], None, TypeError, False),
        "too few positional": (full[:-1], None, TypeError, False),
        "missing keyword": (full[:2], dict(zip(names[2:-1], full[2:-1])), TypeError, False),
        "multiple values": (full, {names[0]: full[0]}, TypeError, False),
        "unexpected keyword": (full[:-1], {names[-1]: full[-1], fresh("bogus"): 1}, TypeError, False),
        "non-string keyword": (full[:-1], {names[-1]: full[-1], 7: 1}, TypeError, True),
        "double None": (args_of(model, **{double: None}), None, TypeError, False),
        "double huge int": (args_of(model, **{double: 10**400}), None, OverflowError, False),
        "double raises": (args_of(model, **{double: hostile.Raises()}), None, HostileError, False),
        "int from str": (args_of(model, **{integer: "1"}), None, TypeError, False),
        "int returns str": (args_of(model, **{integer: hostile.int_returns("1")}), None, TypeError, False),
        "int raises": (args_of(model, **{integer: hostile.Raises()}), None, HostileError, False),
        "int overflow": (args_of(model, **{integer: 2**31}), None, OverflowError, False),
        "sites list": (args_of(model, **{sites: [1.0] * N_SITES}), None, TypeError, False),
        "sites read-only": (args_of(model, **{sites: readonly}), None, ValueError, False),
        "sites 2-D": (args_of(model, **{sites: np.ones((N_SITES, 1))}), None, ValueError, False),
        "sites big-endian": (args_of(model, **{sites: np.ones(N_SITES, ">f8")}), None, ValueError, False),
        "sites float32": (args_of(model, **{sites: np.ones(N_SITES, "f4")}), None, ValueError, False),
        "sites indirect": (args_of(model, **{sites: pil}), None, BufferError, False),
        "sites short": (args_of(model, **{sites: np.ones(N_SITES - 1)}), None, ValueError, False),
        "sites None": (args_of(model, **{sites: None}), None, TypeError, False),
        "sites too many": (args_of(model, **{first_sites: huge}), None, OverflowError, False),
    }
    selector = "CAVgmType" if model == "Morrand" else "IM"
    cases["selector out of range"] = (args_of(model, **{selector: 2}), None,
                                      ValueError if model == "Sellwyn" else TypeError, False)
    return {name: (calling(function, args, kwargs, raises, raw),
                   [*args, *(kwargs or {}), *(kwargs or {}).values(), function])
            for name, (args, kwargs, raises, raw) in cases.items()}


@pytest.mark.parametrize("model", PARAMS)
def test_argument_errors_leak_nothing(model):
    assert_paths_flat(_argument_error_paths(model))


# ---------------------------------------------------------------------------------------------
# Errors mid-call: a sibling, or numpy, failing after some sites or working arrays


def _failing_module(name, functions, real, fail_at, junk):
    """A stand-in sibling that delegates to the real one, and fails its `fail_at`-th call (counted
    from 0 across its functions) by raising, or by returning junk when junk is given."""
    counter = [0]

    def make(fname):
        def function(*args):
            step = counter[0]
            counter[0] += 1
            if step == fail_at:
                if junk is None:
                    raise HostileError(f"{fname} failed at call {step}")
                return junk
            return getattr(real, fname)(*args)

        return function

    module = types.ModuleType(fresh(name))  # its __name__ is counted: not the interned one
    for fname in functions:
        setattr(module, fname, make(fname))
    return module, counter


def _sibling_failure_paths(model):
    """The sibling fails at site k (first, second, last), at each of its calls for that site,
    by raising or by returning a string; then the sibling name unbound, and a function missing."""
    module = MODULES[model]
    function = hostile.entry(module)
    sibling, functions = SIBLINGS[model]
    calls_per_site = 3 if model == "Morrand" else 4
    args = args_of(model)
    paths = {}
    for site in (0, 1, N_SITES - 1):
        for nth in range(calls_per_site):
            for failure in ("raise", "junk"):
                fake, counter = _failing_module(sibling, functions, sys.modules[sibling], site * calls_per_site + nth,
                                                None if failure == "raise" else "junk")
                call = calling(function, args, None, HostileError if failure == "raise" else TypeError)

                def bound(fake=fake, counter=counter, call=call):
                    counter[0] = 0
                    module.__dict__[sibling] = fake
                    call()

                paths[f"{failure} at site {site}, call {nth}"] = (bound, [*args, fake, *fake.__dict__.values()])
    empty = types.ModuleType(sibling)

    def unbound(call=calling(function, args, None, NameError)):
        module.__dict__.pop(sibling, None)
        call()

    def missing(call=calling(function, args, None, AttributeError)):
        module.__dict__[sibling] = empty
        call()

    paths["sibling unbound"] = (unbound, args)
    paths["function missing"] = (missing, [*args, empty])
    return paths




@pytest.mark.parametrize("model", ["Morrand", "Sellwyn"])
def test_sibling_failures_leak_nothing(model, model_namespaces_kept):
    sibling = SIBLINGS[model][0]
    MODULES[model].__dict__[sibling] = sys.modules[sibling]
    assert_paths_flat(_sibling_failure_paths(model))


class FailingNumpy:
    """numpy with zeros failing at its `zeros_at`-th call and asarray at its `asarray_at`-th call
    (counted from 0 within one entry call), or zeros returning a short array."""

    def __init__(self, zeros_at=-1, asarray_at=-1, short=False):
        self.zeros_at, self.asarray_at, self.short = zeros_at, asarray_at, short
        self.zeros_calls = self.asarray_calls = 0

    def zeros(self, n, dtype=None):
        self.zeros_calls += 1
        if self.zeros_calls - 1 == self.zeros_at:
            raise MemoryError("zeros failed for the test")
        return np.zeros(n - 1 if self.short else n, dtype=dtype)

    def asarray(self, obj):
        self.asarray_calls += 1
        if self.asarray_calls - 1 == self.asarray_at:
            raise MemoryError("asarray failed for the test")
        return np.asarray(obj)


def _numpy_failure_paths(model):
    module = MODULES[model]
    function = hostile.entry(module)
    args = args_of(model)
    failures = {f"zeros #{k}": (dict(zeros_at=k), MemoryError) for k in range(WORKING_ARRAYS[model])}
    failures.update({f"asarray #{k}": (dict(asarray_at=k), MemoryError) for k in range(3)})
    failures["zeros short"] = (dict(short=True), ValueError)
    paths = {}
    for name, (how, raises) in failures.items():
        call = calling(function, args, None, raises)

        def bound(how=how, call=call):
            bad = FailingNumpy(**how)
            module.np = bad
            call()

        paths[name] = (bound, args)

    def unbound(call=calling(function, args, None, NameError)):
        module.__dict__.pop("np", None)
        call()

    paths["np unbound"] = (unbound, args)
    return paths


@pytest.mark.parametrize("model", PARAMS)
def test_numpy_failures_leak_nothing(model, model_namespaces_kept):
    MODULES[model].np = np
    assert_paths_flat(_numpy_failure_paths(model))
