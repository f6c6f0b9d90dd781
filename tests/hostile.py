"""Arguments for the entry functions, ordinary and hostile, and what the frame must make of them.

Shared by the fuzzing, leak and concurrency tests:

- ``PARAMS``: each entry function's parameters (name, kind), and ``typical_args`` for a valid call;
- hostile argument objects: conversion methods that raise, return the wrong type, or mutate the
  call's arguments while they are being converted;
- ``expected_outcome``: an independent model of argument matching, conversion and site-array
  acquisition that predicts the exception type (and, where the frame words it, the message) of a
  call, or the number of sites when the call reaches the model;
- ``normalized``: the same call with plain floats, ints and contiguous float64 copies, whose
  result a successful call must reproduce bit for bit;
- ``check_result``: what every returned triple must satisfy.
"""

import array
import ctypes
import gc

import numpy as np

# ---------------------------------------------------------------------------------------------
# The entry functions

PARAMS = {
    "Tarvik": [
        ("IM", "int"), ("M", "double"), ("hypo_lat", "double"), ("hypo_lon", "double"),
        ("hypo_depth", "double"), ("R_rup", "sites"), ("Vs30", "sites"), ("fins", "int"),
        ("fint", "int"), ("fnm", "int"), ("frv", "int"),
    ],
    "Morrand": [
        ("M", "double"), ("fdip", "double"), ("fZtor", "double"), ("R_JB", "sites"),
        ("R_rup", "sites"), ("R_x", "sites"), ("Vs30", "sites"), ("Z1p0", "sites"),
        ("Z2p5", "sites"), ("fnm", "int"), ("frv", "int"), ("CAVgmType", "int"), ("PSVcheck", "int"),
    ],
    "Sellwyn": [
        ("IM", "int"), ("M", "double"), ("fwidth", "double"), ("fdip", "double"), ("Z_tor", "double"),
        ("Z_hyp", "double"), ("R_JB", "sites"), ("R_rup", "sites"), ("R_x", "sites"), ("Vs30", "sites"),
        ("Z2p5", "sites"), ("fnm", "int"), ("frv", "int"), ("region", "object"),
    ],
}
MODELS = tuple(PARAMS)
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

# Scalars of a valid call, by parameter name; site arrays are filled from SITE_VALUES.
TYPICAL_SCALARS = {
    "IM": 1, "M": 6.5, "hypo_lat": 40.0, "hypo_lon": 135.0, "hypo_depth": 50.0, "fins": 1,
    "fint": 0, "fnm": 0, "frv": 1, "fdip": 60.0, "fZtor": 2.0, "CAVgmType": 1, "PSVcheck": 1,
    "fwidth": 15.0, "Z_tor": 2.0, "Z_hyp": 8.0, "region": "global",
}
SITE_VALUES = {
    "R_rup": (12.0, 30.0, 75.0, 150.0), "R_JB": (10.0, 28.0, 74.0, 149.0), "R_x": (-5.0, 20.0, 60.0, 0.0),
    "Vs30": (180.0, 400.0, 760.0, 1100.0), "Z1p0": (0.3, 0.1, 0.05, 0.0), "Z2p5": (2.0, 1.0, 0.6, 0.3),
}


def entry(module):
    return getattr(module, module.__name__.rsplit(".", 1)[-1] + "_cy")


def typical_args(model, n_sites=4):
    """Positional arguments of a valid call with n_sites sites (fresh arrays every time)."""
    args = []
    for name, kind in PARAMS[model]:
        if kind == "sites":
            base = SITE_VALUES[name]
            args.append(np.array([base[i % len(base)] * (1 + i // len(base)) for i in range(n_sites)]))
        else:
            args.append(TYPICAL_SCALARS[name])
    return args


# ---------------------------------------------------------------------------------------------
# Hostile argument objects


class HostileError(Exception):
    """Raised by the test's own argument objects; must reach the caller unchanged."""


class Raises:
    """Every conversion method raises HostileError."""

    def __init__(self, tag="conversion"):
        self.tag = tag

    def _raise(self):
        raise HostileError(self.tag)

    __float__ = __int__ = __index__ = _raise

    def __repr__(self):
        return f"Raises({self.tag!r})"


def _returning(method, value):
    cls = type(f"Returns_{method}", (), {f"__{method}__": lambda self: value,
                                         "__repr__": lambda self: f"<__{method}__ -> {value!r}>"})
    return cls()


def float_returns(value):
    return _returning("float", value)


def int_returns(value):
    return _returning("int", value)


def index_returns(value):
    return _returning("index", value)


class FloatSub(float):
    """A float whose own conversions raise: the frame reads it directly as a float."""

    def __float__(self):
        raise HostileError("FloatSub.__float__")

    def __index__(self):
        raise HostileError("FloatSub.__index__")


class IntSub(int):
    """An int whose own conversions raise: the frame reads it directly as an int."""

    def __int__(self):
        raise HostileError("IntSub.__int__")

    def __float__(self):
        raise HostileError("IntSub.__float__")

    def __index__(self):
        raise HostileError("IntSub.__index__")


# What the call in progress is working on, for Mutator: set by the test before each call.
CURRENT = {"kwargs": None, "objects": (), "reenter": None}


class Mutator:
    """Converts to ``value``, after doing ``action`` to the call in progress.

    ``clear_kwargs`` empties the caller's keyword dict; ``write`` stores into every writable
    site array; ``shrink`` tries to shrink them and ``release`` to release memoryviews (both
    refused while the frame holds their buffers); ``reenter`` calls an entry function; ``gc``
    collects garbage. Refusals are swallowed: only the frame's behaviour is under test.
    """

    PREDICTABLE = {"clear_kwargs", "write", "reenter", "gc"}

    def __init__(self, action, value=1):
        self.action = action
        self.value = value

    def _act(self):
        objects = CURRENT["objects"]
        if self.action == "clear_kwargs" and CURRENT["kwargs"] is not None:
            CURRENT["kwargs"].clear()
        elif self.action == "write":
            for obj in objects:
                try:
                    if isinstance(obj, np.ndarray) and obj.ndim == 1 and obj.size and obj.dtype == np.float64:
                        obj[0] = 123.0
                    elif isinstance(obj, array.array) and obj.typecode == "d" and len(obj):
                        obj[0] = 123.0
                except (ValueError, TypeError):
                    pass
        elif self.action == "shrink":
            for obj in objects:
                try:
                    if isinstance(obj, array.array):
                        del obj[1:]
                    elif isinstance(obj, bytearray):
                        del obj[8:]
                    elif isinstance(obj, np.ndarray) and obj.ndim == 1:
                        obj.resize(min(obj.size, 1))
                except (BufferError, ValueError, TypeError):
                    pass
        elif self.action == "release":
            for obj in objects:
                if isinstance(obj, memoryview):
                    try:
                        obj.release()
                    except BufferError:
                        pass
        elif self.action == "reenter" and CURRENT["reenter"] is not None:
            CURRENT["reenter"]()
        elif self.action == "gc":
            gc.collect()

    def __float__(self):
        self._act()
        return float(self.value)

    def __int__(self):
        self._act()
        return int(self.value)

    def __index__(self):
        self._act()
        return int(self.value)

    def __repr__(self):
        return f"Mutator({self.action!r}, {self.value!r})"


class EvilKey:
    """A non-string keyword that hashes and compares like a parameter name."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return other == self.name

    def __repr__(self):
        return f"EvilKey({self.name!r})"


class StrKey(str):
    """A string subclass as a keyword."""


class LyingDict(dict):
    """A keyword dict whose Python-level view of itself is all wrong; the C API sees the truth."""

    def __getitem__(self, key):
        return "lie"

    def __iter__(self):
        return iter(["IM", "bogus"])

    def __len__(self):
        return 0

    def keys(self):
        return ["bogus"]

    def items(self):
        return [("bogus", 1)]


def plain_dict(mapping):
    """The dict as the C API sees it, whatever its class pretends."""
    return {key: dict.__getitem__(mapping, key) for key in dict.__iter__(mapping)}


def unpredictable(obj):
    return isinstance(obj, Mutator) and obj.action not in Mutator.PREDICTABLE


# ---------------------------------------------------------------------------------------------
# Predicting a call's outcome


class Expected(Exception):
    """A predicted failure: one of ``types``; ``message`` exact or ``prefix`` when known."""

    def __init__(self, types, message=None, prefix=None):
        super().__init__(types, message, prefix)
        self.types = types if isinstance(types, tuple) else (types,)
        self.message = message
        self.prefix = prefix

    def check(self, exc):
        assert isinstance(exc, self.types), f"expected {self.types}, got {type(exc).__name__}: {exc}"
        if self.message is not None:
            assert str(exc) == self.message
        if self.prefix is not None:
            assert str(exc).startswith(self.prefix), str(exc)


_PyFloat_AsDouble = ctypes.pythonapi.PyFloat_AsDouble
_PyFloat_AsDouble.restype = ctypes.c_double
_PyFloat_AsDouble.argtypes = [ctypes.py_object]

_PyObject_Call = ctypes.pythonapi.PyObject_Call
_PyObject_Call.restype = ctypes.py_object
_PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def call_raw(function, args, kwargs):
    """function(*args, **kwargs) through the C API, so that any dict (non-string keys too) arrives as is."""
    return _PyObject_Call(function, tuple(args), kwargs)


def _own_exception(exc):
    # An exception raised by an argument's own method: the frame must pass it on as it is.
    return Expected(type(exc), message=str(exc))


def expect_double(value):
    """The interpreter's float conversion, as the frame must apply it."""
    if type(value) is float:
        return value
    try:
        return _PyFloat_AsDouble(value)
    except Exception as exc:
        raise _own_exception(exc) from None


def expect_int(value):
    """32-bit int conversion: ints directly, anything else through its __int__."""
    if isinstance(value, int):
        result = value
    else:
        method = getattr(type(value), "__int__", None)
        if method is None:
            raise Expected(TypeError, message="an integer is required")
        try:
            result = method(value)
        except Exception as exc:
            raise _own_exception(exc) from None
        if not isinstance(result, int):
            raise Expected(TypeError, prefix="__int__ returned non-int (type ")
    if not INT32_MIN <= result <= INT32_MAX:
        raise Expected(OverflowError)
    return int.__int__(result)


# Buffer formats whose mismatch message is fixed.
_FOUND = {"f": "'float'", "q": "'long long'", "Zd": "'complex double'", "B": "'unsigned char'"}


def expect_sites(value):
    """Length of the view the frame must make of ``value``."""
    if value is None:
        return 0
    try:
        with memoryview(value) as view:
            readonly, ndim, fmt, suboffsets = view.readonly, view.ndim, view.format, view.suboffsets
            length = view.shape[0] if ndim == 1 else None
    except TypeError:
        raise Expected(TypeError) from None
    except (ValueError, BufferError):
        raise Expected((ValueError, BufferError)) from None
    if readonly or suboffsets:
        raise Expected((ValueError, BufferError))  # the exporter's own refusal
    if ndim != 1:
        raise Expected(ValueError, message=f"Buffer has wrong number of dimensions (expected 1, got {ndim})")
    if fmt[:1] in (">", "!"):
        raise Expected(ValueError, message="Big-endian buffer not supported on little-endian compiler")
    bare = fmt[1:] if fmt[:1] in ("@", "=", "<") else fmt
    if bare != "d":
        prefix = "Buffer dtype mismatch, expected 'double' but got "
        if bare in _FOUND:
            raise Expected(ValueError, message=prefix + _FOUND[bare])
        raise Expected(ValueError, prefix=prefix)
    return length


def _count_message(func, n_params, given):
    return f"{func}() takes exactly {n_params} positional arguments ({given} given)"


def expect_matched(func, names, args, kwargs):
    """Argument matching: the parameter values in order, or Expected."""
    n_params, p = len(names), len(args)
    if kwargs is None:
        if p != n_params:
            raise Expected(TypeError, message=_count_message(func, n_params, p))
        return list(args)
    if p > n_params:
        raise Expected(TypeError, message=_count_message(func, n_params, p))
    values = list(args)
    for k in range(p, n_params):
        try:
            values.append(kwargs[names[k]])
        except KeyError:
            raise Expected(TypeError, message=_count_message(func, n_params, k)) from None
    if len(kwargs) > n_params - p:
        for key in kwargs:
            if not isinstance(key, str):
                raise Expected(TypeError, message=f"{func}() keywords must be strings")
            text = str.__str__(key)
            k = names.index(text) if text in names else -1
            if k >= p:
                continue
            if k >= 0:
                raise Expected(TypeError, message=f"{func}() got multiple values for keyword argument '{text}'")
            raise Expected(TypeError, message=f"{func}() got an unexpected keyword argument '{text}'")
    return values


def expected_outcome(model, args, kwargs):
    """The number of sites of a call that must reach the model, or raises Expected.

    Also returns the converted arguments (floats, ints, site lengths, objects) in parameter order.
    """
    names = [name for name, _ in PARAMS[model]]
    values = expect_matched(model + "_cy", names, args, kwargs)
    converted = []
    for (name, kind), value in zip(PARAMS[model], values):
        if kind == "double":
            converted.append(expect_double(value))
        elif kind == "int":
            converted.append(expect_int(value))
        elif kind == "sites":
            converted.append(expect_sites(value))
        else:
            converted.append(value)
    site_params = [k for k, (_, kind) in enumerate(PARAMS[model]) if kind == "sites"]
    first = site_params[0]
    n_sites = converted[first]
    if n_sites > INT32_MAX:
        raise Expected(OverflowError)
    for k in site_params[1:]:
        if converted[k] < n_sites:
            raise Expected(TypeError if values[k] is None else ValueError)
    if model == "Sellwyn" and converted[0] not in (0, 1):
        raise Expected(ValueError)
    return n_sites, values, converted


def normalized(model, values, converted, n_sites):
    """The same call with plain Python numbers and contiguous float64 copies of what is read."""
    plain = []
    for (name, kind), value, conv in zip(PARAMS[model], values, converted):
        if kind == "sites":
            plain.append(None if value is None else np.array(np.asarray(value)[:n_sites], dtype=np.float64))
        else:
            plain.append(conv)
    return plain


def site_arrays_of(values):
    """Numpy views of the buffers among ``values`` (for the memory-sharing checks)."""
    views = []
    for value in values:
        if isinstance(value, np.ndarray):
            views.append(value)
        else:
            try:
                with memoryview(value):
                    pass
                views.append(np.asarray(value))
            except Exception:
                pass
    return views


def check_result(result, n_sites, inputs=()):
    """A result triple: three distinct, writable, one-dimensional float64 arrays of n_sites
    elements, sharing memory with nothing the caller passed in and with one another."""
    assert type(result) is tuple and len(result) == 3
    for array_ in result:
        assert type(array_) is np.ndarray
        assert array_.dtype == np.float64 and array_.shape == (n_sites,)
        assert array_.flags.writeable
    mean, phi, tau = result
    assert mean is not phi and phi is not tau and mean is not tau
    if n_sites:
        for a, b in ((mean, phi), (phi, tau), (mean, tau)):
            assert not np.may_share_memory(a, b)
        for array_ in result:
            for source in inputs:
                assert not np.may_share_memory(array_, source)


def same_outcome(first, second):
    """Two outcomes (a result triple or an exception) are the same, bit for bit."""
    if isinstance(first, BaseException) or isinstance(second, BaseException):
        assert type(first) is type(second), (first, second)
        assert str(first) == str(second)
        return
    for a, b in zip(first, second):
        assert a.tobytes() == b.tobytes(), (a, b)
