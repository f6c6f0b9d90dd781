"""Property-based fuzzing of the three entry functions.

Every call, whatever its arguments, must return a valid result triple or raise; never crash, never
raise SystemError (a result with an exception set, or the reverse). Beyond that, an independent
model of matching, conversion and site-array acquisition (tests/hostile.py) predicts which
exception a call raises, and a call that reaches the model must give, bit for bit, what the same
call with plain numbers and contiguous copies gives.

The budget comes from the hypothesis profile (tests/conftest.py): 300 examples per property in
CI, a million over the eight properties with GMMS_HYPOTHESIS_PROFILE=soak.
"""

import array
import contextlib
import ctypes
import gc
import importlib
import sys
import types
import warnings

import _testbuffer
import numpy as np
import pytest
from hypothesis import given, note
from hypothesis import strategies as st

import hostile
from conftest import namespaces_kept
from hostile import PARAMS, HostileError, Mutator

MODULES = {name: importlib.import_module("gmms." + name) for name in PARAMS}

# ---------------------------------------------------------------------------------------------
# Scalars

FLOATS = st.floats(allow_nan=True, allow_infinity=True)
PLAIN_FLOATS = st.one_of(st.floats(-20.0, 2000.0), FLOATS)
HUGE_INTS = st.sampled_from([2**31, -(2**31) - 1, 2**63, -(2**63), 2**64, 10**400, -(10**400)])

hostile_scalars = st.one_of(
    st.builds(hostile.Raises),
    st.builds(hostile.float_returns, st.sampled_from(["1.5", 1, None, True, hostile.FloatSub(2.0), 1j])),
    st.builds(hostile.int_returns, st.sampled_from(["1", 1.5, None, 2**40, True, hostile.IntSub(3)])),
    st.builds(hostile.index_returns, st.sampled_from([1.5, "2", None, 2**80, 7])),
    st.builds(hostile.FloatSub, FLOATS),
    st.builds(hostile.IntSub, st.integers(-(2**33), 2**33)),
    st.builds(Mutator, st.sampled_from(["clear_kwargs", "write", "shrink", "release", "reenter", "gc"]),
              st.sampled_from([0, 1])),
)

wild_scalars = st.one_of(
    st.none(), st.booleans(), FLOATS, st.integers(), HUGE_INTS, st.text(max_size=3), st.binary(max_size=3),
    st.complex_numbers(), st.just([1.0, 2.0]), st.just((1.0,)), st.just({}), st.just(object()),
    st.builds(np.float64, FLOATS), st.builds(np.float32, st.floats(width=32)),
    st.builds(np.int64, st.integers(-(2**63), 2**63 - 1)), st.builds(np.int8, st.integers(-128, 127)),
    st.builds(np.bool_, st.booleans()), st.just(np.array(2.5)), st.just(np.array([1.5])),
    st.just(np.array([1.5, 2.5])),
)


def good_double():
    return st.one_of(
        PLAIN_FLOATS, st.integers(-1000, 1000), st.booleans(), st.builds(np.float64, PLAIN_FLOATS),
        st.builds(np.float32, st.floats(-100.0, 100.0, width=32)), st.builds(np.int64, st.integers(-99, 99)),
        st.builds(hostile.index_returns, st.integers(-99, 99)),
        st.builds(hostile.float_returns, st.floats(-100.0, 100.0)),
    )


def good_int(name):
    selector = st.sampled_from([0, 1]) if name in ("IM", "CAVgmType", "fins", "fint", "fnm", "frv") else None
    anything = st.one_of(
        st.integers(hostile.INT32_MIN, hostile.INT32_MAX), st.booleans(), st.floats(-3.0, 3.0),
        st.builds(np.int32, st.integers(-5, 5)), st.builds(np.float64, st.floats(-5.0, 5.0)),
        st.builds(hostile.int_returns, st.integers(-5, 5)),
    )
    return st.one_of(selector, selector, anything) if selector is not None else anything


# ---------------------------------------------------------------------------------------------
# Site arrays


def _as_layout(layout, values):
    """A writable one-dimensional buffer of doubles holding ``values``, laid out as named."""
    n = len(values)
    if layout == "contiguous":
        return np.array(values, dtype=np.float64)
    if layout == "reversed":
        return np.array(values[::-1], dtype=np.float64)[::-1]
    if layout == "every_other":
        big = np.zeros(2 * n + 1)
        big[1::2] = values
        return big[1::2]
    if layout == "unaligned":
        view = np.frombuffer(bytearray(8 * n + 1), dtype=np.float64, offset=1, count=n)
        view[:] = values
        return view
    if layout == "little_endian":
        return np.array(values, dtype="<f8")
    if layout == "array":
        return array.array("d", values)
    if layout == "memoryview":
        return memoryview(array.array("d", values))
    if layout == "memoryview_reversed":
        return memoryview(array.array("d", values[::-1]))[::-1]
    if layout == "cast":
        return memoryview(bytearray(np.array(values, dtype=np.float64).tobytes())).cast("d")
    if layout == "ctypes":
        return (ctypes.c_double * n)(*values)
    if layout == "testbuffer" and n:
        return _testbuffer.ndarray(list(values), shape=[n], format="=d", flags=_testbuffer.ND_WRITABLE)
    if layout == "testbuffer_strided" and n:
        padded = [v for x in values for v in (x, -1.0)]
        return _testbuffer.ndarray(padded, shape=[n], strides=[-16], offset=16 * (n - 1), format="d",
                                   flags=_testbuffer.ND_WRITABLE)
    return np.array(values, dtype=np.float64)


LAYOUTS = ["contiguous", "reversed", "every_other", "unaligned", "little_endian", "array", "memoryview",
           "memoryview_reversed", "cast", "ctypes", "testbuffer", "testbuffer_strided"]


@st.composite
def good_sites(draw, n_sites):
    extra = draw(st.sampled_from([0, 0, 0, 1, 3]))
    values = draw(st.lists(PLAIN_FLOATS if draw(st.booleans()) else st.floats(1.0, 1500.0),
                           min_size=n_sites + extra, max_size=n_sites + extra))
    if n_sites + extra == 0 and draw(st.booleans()):
        return None
    return _as_layout(draw(st.sampled_from(LAYOUTS)), values)


DTYPES = ["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "e", "f", "d", "g", "F", "D", "G", "?", "O",
          "U3", "S3", "V8", "M8[s]", "m8[s]", [("a", "f8")], [("a", "f4"), ("b", "f4")]]


@st.composite
def numpy_buffers(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    if draw(st.booleans()):
        dtype = dtype.newbyteorder(">")
    shape = tuple(draw(st.lists(st.integers(0, 3), max_size=3)))
    arr = np.zeros(shape, dtype=dtype, order=draw(st.sampled_from("CF")))
    if arr.ndim and draw(st.booleans()):
        arr = arr[::draw(st.sampled_from([-1, 2, -2]))]
    if draw(st.booleans()):
        arr.flags.writeable = False
    return arr


@st.composite
def other_buffers(draw):
    kind = draw(st.integers(0, 7))
    if kind == 0:
        code = draw(st.sampled_from("bBuhHiIlLqQfd"))
        init = "ab" if code == "u" else [1, 2]
        return array.array(code, init)
    if kind == 1:
        return draw(st.sampled_from([b"12345678", bytearray(8), bytearray(16), memoryview(b"12345678")]))
    if kind == 2:
        base = memoryview(bytearray(48))
        fmt = draw(st.sampled_from(["d", "B", "f", "q", "l", "?", "c"]))
        view = base.cast(fmt)
        if fmt == "d" and draw(st.booleans()):
            view = base.cast("d", shape=[2, 3])
        if view.ndim == 1 and draw(st.booleans()):
            view = view[::-2]
        if draw(st.booleans()):
            view = view.toreadonly()
        return view
    if kind == 3:
        ctype = draw(st.sampled_from([ctypes.c_double, ctypes.c_float, ctypes.c_int64, ctypes.c_char]))
        if draw(st.booleans()):
            return (ctype * 2 * 2)()
        return draw(st.sampled_from([(ctype * 3)(), ctype()]))
    if kind == 4:
        fmt = draw(st.sampled_from(["d", "<d", "=d", "@d", ">d", "!d", "f", "q", "dd", "1d", "2d", "B"]))
        flags = draw(st.sampled_from([
            _testbuffer.ND_WRITABLE, 0, _testbuffer.ND_WRITABLE | _testbuffer.ND_PIL,
            _testbuffer.ND_WRITABLE | _testbuffer.ND_FORTRAN,
            _testbuffer.ND_WRITABLE | _testbuffer.ND_GETBUF_FAIL,
            _testbuffer.ND_GETBUF_FAIL | _testbuffer.ND_GETBUF_UNDEFINED,
            _testbuffer.ND_WRITABLE | _testbuffer.ND_REDIRECT, _testbuffer.ND_WRITABLE | _testbuffer.ND_VAREXPORT,
        ]))
        shape = draw(st.sampled_from([[2], [2, 2], [1, 2, 1], [1]]))
        count = 1
        for extent in shape:
            count *= extent
        item = 1 if fmt in ("q", "B") else (1.0, 2.0) if fmt in ("dd", "2d") else 1.0
        return _testbuffer.ndarray([item] * count, shape=shape, format=fmt, flags=flags)
    if kind == 5:
        # Huge, but eight bytes of memory: a stride of 0.
        length = draw(st.sampled_from([2**31, 2**40]))
        return np.lib.stride_tricks.as_strided(np.zeros(1), shape=(length,), strides=(0,))
    if kind == 6:
        released = memoryview(np.zeros(2))
        released.release()
        return released
    return np.zeros(2)[None, :] if draw(st.booleans()) else np.float64(1.0)


wild = st.one_of(wild_scalars, hostile_scalars, numpy_buffers(), other_buffers())


# ---------------------------------------------------------------------------------------------
# Calls


@st.composite
def calls(draw, model):
    """(args, kwargs or None, use the C API directly) for one call of the model's entry function."""
    params = PARAMS[model]
    n_sites = draw(st.integers(0, 4))
    n_wild = draw(st.sampled_from([0, 0, 0, 1, 1, 2, 4]))
    wild_at = set(draw(st.lists(st.integers(0, len(params) - 1), min_size=n_wild, max_size=n_wild)))
    values = []
    for k, (name, kind) in enumerate(params):
        if k in wild_at:
            values.append(draw(wild))
        elif kind == "double":
            values.append(draw(good_double()))
        elif kind == "int":
            values.append(draw(good_int(name)))
        elif kind == "sites":
            values.append(draw(good_sites(n_sites)))
        else:
            values.append(draw(st.one_of(wild_scalars, st.just("global"))))

    names = [name for name, _ in params]
    form = draw(st.sampled_from(["positional", "positional", "keywords", "mixed", "mixed"]))
    if form == "positional":
        args, kwargs = list(values), None
    else:
        p = 0 if form == "keywords" else draw(st.integers(0, len(params)))
        order = draw(st.permutations(range(p, len(params))))
        args, kwargs = list(values[:p]), {names[k]: values[k] for k in order}
    raw = lying = False
    for change in draw(st.lists(st.integers(0, 9), max_size=2)):
        if change == 0:
            args.append(1.0)  # one too many
        elif change == 1 and args:
            args.pop()
        elif change == 2 and kwargs:
            kwargs.pop(draw(st.sampled_from(list(kwargs))))
        elif change == 3 and args:
            kwargs = dict(kwargs or {})
            kwargs[names[draw(st.integers(0, min(len(args), len(names)) - 1))]] = 0.0  # repeats a positional one
        elif change == 4:
            kwargs = dict(kwargs or {})
            kwargs[draw(st.sampled_from(["IM ", "m", "Vs_30", "", "é", "region2"]))] = 1
        elif change == 5:
            kwargs = dict(kwargs or {})
            kwargs[draw(st.sampled_from([1, None, b"M", (1, 2), 2.5]))] = 1
            raw = True
        elif change == 6 and kwargs:
            key = draw(st.sampled_from(list(kwargs)))
            replacement = draw(st.sampled_from([hostile.StrKey, hostile.EvilKey]))(key)
            kwargs = {(replacement if k == key else k): v for k, v in kwargs.items()}
            raw = raw or isinstance(replacement, hostile.EvilKey)
        elif change == 7 and kwargs is None:
            kwargs = {}
        elif change == 8:
            raw = kwargs is not None
        elif change == 9:
            lying = True
    if lying and kwargs is not None:
        kwargs, raw = hostile.LyingDict(kwargs), True
    return args, kwargs, raw


def invoke(function, args, kwargs, raw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if raw:
                return hostile.call_raw(function, args, kwargs)
            if kwargs is None:
                return function(*args)
            return function(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome under test
            return exc


ALLOWED = (TypeError, ValueError, OverflowError, BufferError, HostileError)


def run_and_check(model, args, kwargs, raw):
    function = hostile.entry(MODULES[model])
    kwargs_copy = None if kwargs is None else hostile.plain_dict(kwargs)
    objects = list(args) + list((kwargs_copy or {}).values())
    hostile.CURRENT.update(kwargs=kwargs, objects=objects,
                           reenter=lambda: function(*hostile.typical_args(model, 2)))
    try:
        outcome = invoke(function, args, kwargs, raw)
        note(f"outcome: {outcome!r}")
        assert not isinstance(outcome, SystemError), outcome
        if isinstance(outcome, BaseException):
            assert isinstance(outcome, ALLOWED), repr(outcome)

        if any(hostile.unpredictable(obj) for obj in objects):
            if not isinstance(outcome, BaseException):
                assert type(outcome) is tuple and len(outcome) == 3
            return outcome
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                n_sites, values, converted = hostile.expected_outcome(model, args, kwargs_copy)
        except hostile.Expected as expected:
            expected.check(outcome)
            return outcome
        if not isinstance(outcome, BaseException):
            hostile.check_result(outcome, n_sites, hostile.site_arrays_of(objects))
        plain = hostile.normalized(model, values, converted, n_sites)
        hostile.same_outcome(outcome, invoke(function, plain, None, False))
        return outcome
    finally:
        hostile.CURRENT.update(kwargs=None, objects=(), reenter=None)


@pytest.mark.parametrize("model", PARAMS)
@given(data=st.data())
def test_any_arguments(model, data):
    args, kwargs, raw = data.draw(calls(model))
    run_and_check(model, args, kwargs, raw)


@pytest.mark.parametrize("model", PARAMS)
@given(data=st.data())
def test_valid_arguments_in_any_layout(model, data):
    # Only well-formed arguments: most calls reach the model, and the result must not depend on
    # the layout of the site arrays or on how the arguments were passed.
    n_sites = data.draw(st.integers(1, 5))
    values = []
    for name, kind in PARAMS[model]:
        if kind == "sites":
            values.append(data.draw(good_sites(n_sites)))
        elif kind == "double":
            values.append(data.draw(good_double()))
        elif kind == "int":
            values.append(data.draw(good_int(name)))
        else:
            values.append(data.draw(st.one_of(wild_scalars, st.just("global"))))
    run_and_check(model, values, None, False)


# ---------------------------------------------------------------------------------------------
# Siblings and numpy that misbehave mid-call

JUNK = st.one_of(
    st.floats(allow_nan=True), st.integers(-5, 5), st.just(-1.0), HUGE_INTS, st.none(), st.text(max_size=2),
    st.builds(np.float64, st.floats()), st.just(np.array([0.5])), st.just(np.array([0.5, 0.5])),
    st.builds(hostile.Raises), st.builds(hostile.float_returns, st.sampled_from(["x", None, 2])),
    st.builds(hostile.FloatSub, st.floats()),
)
SIBLING_ACTIONS = ["value", "value", "value", "raise", "delete_sibling", "delete_function", "rebind_np",
                   "delete_np", "reenter", "sleep"]
SIBLING_FUNCTIONS = {"Morrand": ("Dovecar", ("get_mu_cy", "get_alpha_cy")),
                     "Sellwyn": ("Brisquell", ("get_mu_cy", "get_phi_cy", "get_tau_cy"))}


class BadNumpy:
    """Stands in for numpy in a module's namespace; zeros and asarray misbehave as told."""

    def __init__(self, zeros_mode, asarray_mode):
        self.zeros_mode, self.asarray_mode = zeros_mode, asarray_mode
        self.shared = None

    def zeros(self, n, dtype=None):
        mode = self.zeros_mode
        if mode == "raise":
            raise MemoryError("no memory for the test")
        if mode == "short":
            return np.zeros(max(n - 1, 0), dtype=dtype)
        if mode == "float32":
            return np.zeros(n, dtype=np.float32)
        if mode == "readonly":
            out = np.zeros(n)
            out.flags.writeable = False
            return out
        if mode == "list":
            return [0.0] * n
        if mode == "same":
            if self.shared is None:
                self.shared = np.zeros(n)
            return self.shared
        if mode == "strided":
            return np.zeros(3 * n + 1)[::-3][:n] if n else np.zeros(0)
        return np.zeros(n, dtype=dtype)

    def asarray(self, obj):
        mode = self.asarray_mode
        if mode == "raise":
            raise HostileError("asarray")
        if mode == "identity":
            return obj
        if mode == "bytes":
            return bytes(memoryview(obj))
        return np.asarray(obj)


@contextlib.contextmanager
def patched_namespace(module, bindings):
    """Binds names in a module's namespace for the duration; restores the namespace after, order
    included (an example may unbind the sibling or numpy)."""
    with namespaces_kept(module):
        module.__dict__.update(bindings)
        yield


@pytest.mark.parametrize("model", ["Morrand", "Sellwyn"])
@given(data=st.data())
def test_misbehaving_siblings_and_numpy(model, data):
    module = MODULES[model]
    sibling_name, functions = SIBLING_FUNCTIONS[model]
    real = sys.modules[sibling_name]
    function = hostile.entry(module)
    plan = data.draw(st.lists(st.tuples(st.sampled_from(SIBLING_ACTIONS), JUNK), min_size=1, max_size=12))
    calls_made = []

    def make(fname):
        def sibling_function(*args):
            step = len(calls_made)
            calls_made.append(fname)
            action, junk = plan[step % len(plan)]
            if action == "raise":
                raise HostileError(f"{fname} at call {step}")
            if action == "delete_sibling":
                module.__dict__.pop(sibling_name, None)
            elif action == "delete_function":
                fake.__dict__.pop(data.draw(st.sampled_from(functions)), None)
            elif action == "rebind_np":
                module.np = BadNumpy(data.draw(st.sampled_from(["ok", "short", "raise"])), "ok")
            elif action == "delete_np":
                module.__dict__.pop("np", None)
            elif action == "reenter" and len(calls_made) < 40:
                function(*hostile.typical_args(model, 1))
            elif action == "sleep":
                import time

                time.sleep(0)
            if action == "value":
                return junk
            return getattr(real, fname)(*args)

        return sibling_function

    fake = types.ModuleType(sibling_name)
    for fname in functions:
        setattr(fake, fname, make(fname))
    bad_numpy = BadNumpy(
        data.draw(st.sampled_from(["ok", "ok", "ok", "raise", "short", "float32", "readonly", "list", "same",
                                   "strided"])),
        data.draw(st.sampled_from(["ok", "ok", "raise", "identity", "bytes"])))
    n_sites = data.draw(st.integers(0, 3))
    with patched_namespace(module, {sibling_name: fake, "np": bad_numpy}):
        outcome = invoke(function, hostile.typical_args(model, n_sites), None, False)
    note(f"outcome: {outcome!r}")
    if isinstance(outcome, BaseException):
        assert isinstance(outcome, ALLOWED + (NameError, AttributeError, MemoryError)), repr(outcome)
        assert not isinstance(outcome, SystemError)
    else:
        assert type(outcome) is tuple and len(outcome) == 3


class DropsEverything:
    """Converts to `value` after emptying the call's keyword dict and collecting garbage: the
    other arguments then live only as long as the frame keeps its own references to them."""

    def __init__(self, kwargs, value):
        self.kwargs, self.value = kwargs, value

    def __int__(self):
        self.kwargs.clear()
        gc.collect()
        return self.value


@pytest.mark.parametrize("model", PARAMS)
def test_arguments_whose_last_reference_is_dropped_during_conversion(model):
    function = hostile.entry(MODULES[model])
    names = [name for name, _ in PARAMS[model]]
    last_int = [name for name, kind in PARAMS[model] if kind == "int"][-1]
    expected = function(*hostile.typical_args(model, 3))
    kwargs = dict(zip(names, hostile.typical_args(model, 3)))  # the dict holds the only references
    kwargs[last_int] = DropsEverything(kwargs, kwargs[last_int])
    if "region" in kwargs:
        kwargs["region"] = "".join(["glo", "bal"])  # a fresh string, not the interned constant
    hostile.same_outcome(hostile.call_raw(function, (), kwargs), expected)
    assert kwargs == {}


LONGER_ZEROS = types.SimpleNamespace(zeros=lambda n, dtype: np.zeros(n + 1, dtype), asarray=np.asarray)


@pytest.mark.parametrize("model", PARAMS)
@pytest.mark.parametrize("numpy_", [np, LONGER_ZEROS], ids=["numpy", "zeros one longer"])
def test_results_survive_releasing_any_memoryview_behind_them(model, numpy_):
    # With a rebound np whose zeros gives more elements than asked, the frame must make the
    # results of N_sites elements itself; they must own their memory all the same.
    with patched_namespace(MODULES[model], {"np": numpy_}):
        results = hostile.entry(MODULES[model])(*hostile.typical_args(model, 500))
    copies = [array_.copy() for array_ in results]
    for array_ in results:
        owner = array_.base
        while owner is not None:
            if isinstance(owner, memoryview):
                owner.release()
                break
            owner = getattr(owner, "base", None)
    gc.collect()
    scribble = [np.full(500, -7.0) for _ in range(20)]  # would land in freed memory
    for array_, copy in zip(results, copies):
        assert array_.tobytes() == copy.tobytes()
    del scribble
