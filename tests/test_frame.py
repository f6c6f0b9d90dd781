"""The module frame, seen through Tarvik: loading, argument matching, conversions, site arrays,
results and errors; and the contract a model type must meet, checked by the compiler."""

import array
import ctypes
import inspect
import math
import os
import pathlib
import subprocess
import sys
import sysconfig
import traceback

import numpy as np
import pytest

from gmms import Tarvik

NAMES = ["IM", "M", "hypo_lat", "hypo_lon", "hypo_depth", "R_rup", "Vs30", "fins", "fint", "fnm", "frv"]


def args(**over):
    base = dict(IM=0, M=7.0, hypo_lat=40.0, hypo_lon=135.0, hypo_depth=50.0,
                R_rup=np.array([10.0, 50.0, 120.0]), Vs30=np.array([760.0, 400.0, 250.0]),
                fins=1, fint=0, fnm=0, frv=1)
    base.update(over)
    return [base[n] for n in NAMES]


def call(*a, **k):
    return Tarvik.Tarvik_cy(*a, **k)


def error_of(*a, **k):
    with pytest.raises(Exception) as info:
        call(*a, **k)
    return info.value


def same(r1, r2):
    return all(np.array_equal(x, y) for x, y in zip(r1, r2))


# ---- loading and the namespace -------------------------------------------------------------

def test_namespace_order_and_values():
    names = list(vars(Tarvik))
    bound = [n for n in names if n in {"Point", "Polygon", "np", "__author__", "Tarvik_cy", "__test__"}]
    assert bound == ["Point", "Polygon", "np", "__author__", "Tarvik_cy", "__test__"]
    import shapely.geometry
    assert Tarvik.Point is shapely.geometry.Point and Tarvik.Polygon is shapely.geometry.Polygon
    assert Tarvik.np is np and Tarvik.__test__ == {}
    assert isinstance(Tarvik.__author__, str) and Tarvik.__author__


def test_module_docstring():
    doc = Tarvik.__doc__
    assert doc.startswith(" Ground motion model by") and doc.endswith(" for Ia and CAV. \n")
    assert "\n" not in doc[:-1]


def test_entry_function_is_builtin_without_self():
    f = Tarvik.Tarvik_cy
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__self__ is None and f.__name__ == "Tarvik_cy" and f.__module__ == "Tarvik"
    assert not hasattr(Tarvik, "get_mu_cy") and not hasattr(Tarvik, "get_arc_loc_cy")


def test_signature_and_docstring():
    assert list(inspect.signature(Tarvik.Tarvik_cy).parameters) == NAMES
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in inspect.signature(Tarvik.Tarvik_cy).parameters.values())
    lines = ["Parameter", "=========", "IM: 0 for Ia, and 1 for CAV.", "M: Earthquake magnitude.",
             "hypo_lat: Hypocenter latitude", "hypo_lon: Hypocenter longitude",
             "hypo_depth: Hypocentral depth", "R_rup: Rupture distance in km.", "Vs30: Site Vs30.",
             "fins: 1 if inslab event, else 0.", "fint: 0 if interface or crustal \tevent, else 1.",
             "fnm: '1' for normal/normal-oblique fault, '0' otherwise.",
             "frv: '1' for reverse/reverse-oblique fault, '0' otherwise."]
    expected = "\n" + "".join(f"    {l}\n" for l in lines) + "\n" + "".join(
        f"    {l}\n" for l in ["Returns", "=======", "mean, phi, tau for the selected IM."]) + "    "
    assert Tarvik.Tarvik_cy.__doc__ == expected


def test_reimport_after_removal_gives_the_same_module():
    import importlib
    test_dict = Tarvik.__test__
    saved = sys.modules.pop("gmms.Tarvik")
    try:
        again = importlib.import_module("gmms.Tarvik")
        assert again is saved and again.__test__ is test_dict
    finally:
        sys.modules["gmms.Tarvik"] = saved


def run_python(code, path):
    """Runs ``code`` in a fresh interpreter from ``path``, with it on the search path: the build in
    there is the one imported (under the sanitizers, the sanitized build, not the source tree's)."""
    env = {"PYTHONPATH": path, "PATH": "/usr/bin:/bin"}
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd=path,
                          timeout=60)


def test_importable_as_top_level_module():
    gmms_dir = str(Tarvik.__file__).rsplit("/", 1)[0]
    out = run_python("import Tarvik, numpy as np; print(Tarvik.__name__, Tarvik.Tarvik_cy.__module__,"
                     " Tarvik.Tarvik_cy(1, 6.0, 0.0, 0.0, 10.0, np.ones(2), np.ones(2) * 760, 0, 0, 0, 0)[1])",
                     gmms_dir)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[:2] == ["Tarvik", "Tarvik"]


def test_failed_load_leaves_nothing_and_later_import_works():
    # The first import fails inside the module body (numpy's 'zeros' is irrelevant here: numpy
    # itself cannot be imported); the second, with numpy back, succeeds afresh.
    code = (
        "import sys, builtins\n"
        "real = builtins.__import__\n"
        "def fake(name, *a, **k):\n"
        "    if name == 'numpy': raise ImportError('numpy blocked')\n"
        "    return real(name, *a, **k)\n"
        "builtins.__import__ = fake\n"
        "try:\n"
        "    import gmms.Tarvik\n"
        "except ImportError as e:\n"
        "    import traceback; print('first:', e, [f.name for f in traceback.extract_tb(e.__traceback__)])\n"
        "builtins.__import__ = real\n"
        "assert 'gmms.Tarvik' not in sys.modules\n"
        "import gmms.Tarvik\n"
        "print('second:', sorted(k for k in vars(gmms.Tarvik) if not k.startswith('__')))\n"
        "print(gmms.Tarvik.__file__)\n"
    )
    root = str(Tarvik.__file__).rsplit("/", 2)[0]
    out = run_python(code, root)
    assert out.returncode == 0, out.stderr
    first, second, loaded = out.stdout.splitlines()
    assert os.path.samefile(loaded, Tarvik.__file__)  # the build under test
    assert "numpy blocked" in first and "init Tarvik" in first
    assert second == "second: ['Point', 'Polygon', 'Tarvik_cy', 'np']"


# ---- argument matching ----------------------------------------------------------------------

def test_keywords_in_any_order_equal_positional():
    positional = call(*args())
    kw = dict(zip(NAMES, args()))
    assert same(call(**dict(reversed(list(kw.items())))), positional)
    assert same(call(*args()[:4], **dict(list(kw.items())[4:])), positional)


@pytest.mark.parametrize("n", [0, 1, 10, 12, 20])
def test_wrong_positional_count(n):
    a = (args() * 2)[:n]
    e = error_of(*a)
    assert type(e) is TypeError
    assert str(e) == f"Tarvik_cy() takes exactly 11 positional arguments ({n} given)"


def test_too_many_positional_with_keywords():
    e = error_of(*args(), 1, frv=1)
    assert str(e) == "Tarvik_cy() takes exactly 11 positional arguments (12 given)"


@pytest.mark.parametrize("missing", range(11))
def test_missing_keyword_reports_its_position(missing):
    kw = dict(zip(NAMES, args()))
    del kw[NAMES[missing]]
    e = error_of(**kw)
    assert str(e) == f"Tarvik_cy() takes exactly 11 positional arguments ({missing} given)"


def test_empty_keyword_dict_with_short_positional():
    assert str(error_of(*args()[:3], **{})) == "Tarvik_cy() takes exactly 11 positional arguments (3 given)"


def test_multiple_values():
    e = error_of(*args(), IM=0)
    assert type(e) is TypeError and str(e) == "Tarvik_cy() got multiple values for keyword argument 'IM'"


def test_unexpected_keyword_when_all_present():
    e = error_of(*args(), Vs3O=1.0)
    assert str(e) == "Tarvik_cy() got an unexpected keyword argument 'Vs3O'"


def test_misspelt_keyword_leaving_a_parameter_unfilled_gives_count():
    kw = dict(zip(NAMES, args()))
    kw["vs30"] = kw.pop("Vs30")
    assert str(error_of(**kw)) == "Tarvik_cy() takes exactly 11 positional arguments (6 given)"


def test_first_offending_keyword_in_dict_order():
    e = error_of(*args()[:5], R_rup=args()[5], Vs30=args()[6], fins=1, fint=0, fnm=0, frv=1, zz=1, M=2.0)
    assert str(e) == "Tarvik_cy() got an unexpected keyword argument 'zz'"


def test_non_string_keyword_through_the_c_api():
    PyObject_Call = ctypes.pythonapi.PyObject_Call
    PyObject_Call.restype = ctypes.py_object
    PyObject_Call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError) as info:
        PyObject_Call(Tarvik.Tarvik_cy, tuple(args()), {1: 2})
    assert str(info.value) == "Tarvik_cy() keywords must be strings"


# ---- conversions ------------------------------------------------------------------------------

class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class Raises:
    def __int__(self):
        raise ZeroDivisionError("from __int__")

    def __float__(self):
        raise ZeroDivisionError("from __float__")


@pytest.mark.parametrize("given, received", [(1.9, 1), (-1.9, -1), (True, 1), (np.int64(1), 1),
                                             (np.float64(1.7), 1), (IntLike(1), 1)])
def test_int_conversion(given, received):
    assert same(call(*args(fins=given)), call(*args(fins=received)))


@pytest.mark.parametrize("given, kind, text", [
    ("1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IntLike(1.5), TypeError, "__int__ returned non-int (type float)"),
    (2 ** 31, OverflowError, "Python int too large to convert to C int"),
    (-2 ** 31 - 1, OverflowError, "Python int too large to convert to C int"),
    (2 ** 70, OverflowError, "Python int too large to convert to C long"),
    (Raises(), ZeroDivisionError, "from __int__"),
])
def test_int_conversion_errors(given, kind, text):
    e = error_of(*args(fint=given))
    assert type(e) is kind
    if text:
        assert str(e) == text


def test_int_limits_accepted():
    call(*args(fnm=2 ** 31 - 1))
    call(*args(fnm=-2 ** 31))


@pytest.mark.parametrize("given, received", [(7, 7.0), (True, 1.0), (np.float32(7.5), 7.5),
                                             (np.int16(7), 7.0)])
def test_double_conversion(given, received):
    assert same(call(*args(M=given)), call(*args(M=received)))


@pytest.mark.parametrize("given, kind", [(None, TypeError), ("7", TypeError), (10 ** 400, OverflowError),
                                         (Raises(), ZeroDivisionError)])
def test_double_conversion_errors(given, kind):
    assert type(error_of(*args(M=given))) is kind


def test_conversion_stops_at_the_first_failure_in_parameter_order():
    e = error_of(*args(M="x", R_rup=[1.0], frv="y"))
    assert type(e) is TypeError and "real number" in str(e)


# ---- site arrays ------------------------------------------------------------------------------

def test_strided_and_reversed_views_read_in_view_order():
    base = np.arange(1.0, 21.0) * 7.0
    vs = np.full(20, 500.0)
    for view in (base[::2], base[::-1], base[3:17:3]):
        expected = call(*args(R_rup=view.copy(), Vs30=vs[: len(view)].copy()))
        assert same(call(*args(R_rup=view, Vs30=vs[::-1][: len(view)])), expected)


def test_standard_library_buffers_are_accepted():
    r = array.array("d", [10.0, 50.0, 120.0])
    v = memoryview(bytearray(np.array([760.0, 400.0, 250.0]).tobytes())).cast("d")
    assert same(call(*args(R_rup=r, Vs30=v)), call(*args()))


def test_unaligned_buffer_is_read_correctly():
    raw = bytearray(8 * 3 + 1)
    view = memoryview(raw)[1:].cast("d")
    view[0], view[1], view[2] = 10.0, 50.0, 120.0
    assert same(call(*args(R_rup=view)), call(*args()))


def read_only():
    a = np.ones(3)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("bad, kind, text", [
    (np.ones(3, np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.ones(3, np.int64), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (np.ones(3, np.complex128), ValueError, "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    (bytearray(24), ValueError, "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    (np.ones((3, 1)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array(1.0), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (np.ones(3, ">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    ([1.0, 2.0, 3.0], TypeError, None),
    (3.0, TypeError, None),
    ("abc", TypeError, None),
    (read_only(), ValueError, None),
    (b"\0" * 24, BufferError, None),
])
@pytest.mark.parametrize("position", ["R_rup", "Vs30"])
def test_refused_site_arrays(bad, kind, text, position):
    e = error_of(*args(**{position: bad}))
    assert isinstance(e, kind)
    if text:
        assert str(e) == text


@pytest.mark.parametrize("empty", [np.array([]), None, array.array("d"), (ctypes.c_double * 0)(),
                                   memoryview(bytearray()).cast("d")], ids=["numpy", "None", "array", "ctypes", "memoryview"])
def test_empty_or_none_first_array_gives_three_empty_arrays(empty):
    # ctypes before CPython 3.11 exports its empty array with item size 0.
    for vs30 in (None, empty):
        out = call(*args(R_rup=empty, Vs30=vs30))
        assert len(out) == 3 and all(a.dtype == np.float64 and a.shape == (0,) for a in out)


def test_empty_buffer_of_another_type_is_still_refused():
    e = error_of(*args(R_rup=(ctypes.c_float * 0)(), Vs30=None))
    assert type(e) is ValueError and str(e) == "Buffer dtype mismatch, expected 'double' but got 'float'"


def test_longer_second_array_is_fine_and_shorter_or_none_is_refused():
    out = call(*args(Vs30=np.full(10, 760.0)))
    assert out[0].shape == (3,)
    e = error_of(*args(Vs30=np.full(2, 760.0)))
    assert type(e) is ValueError
    assert str(e) == "Tarvik_cy() argument 'Vs30' has 2 elements, fewer than the 3 sites of 'R_rup'"
    e = error_of(*args(Vs30=None))
    assert type(e) is TypeError
    assert str(e) == "Tarvik_cy() argument 'Vs30' is None, but 'R_rup' has 3 sites"


def test_length_check_comes_after_every_conversion():
    assert type(error_of(*args(Vs30=np.ones(1), frv="x"))) is TypeError


def test_first_array_of_2_31_elements_is_refused():
    # 2**31 elements of stride 0 over one double: no memory behind them, and never read.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2 ** 31,), strides=(0,), writeable=True)
    e = error_of(*args(R_rup=huge, Vs30=huge))
    assert type(e) is OverflowError and "2147483648" in str(e)


# ---- results ----------------------------------------------------------------------------------

def test_results_are_new_distinct_writable_arrays():
    r, v = np.array([10.0, 20.0]), np.array([300.0, 600.0])
    keep_r, keep_v = r.copy(), v.copy()
    out = call(*args(R_rup=r, Vs30=v))
    assert type(out) is tuple and len(out) == 3
    assert all(type(a) is np.ndarray and a.dtype == np.float64 and a.flags.writeable for a in out)
    again = call(*args(R_rup=r, Vs30=v))
    assert same(out, again)
    for a in out:
        for b in list(out) + list(again) + [r, v]:
            assert a is b or not np.shares_memory(a, b)
    out[0][:] = 0.0
    out[1][:] = 0.0
    assert out[2][0] == 0.9015 and (r == keep_r).all() and (v == keep_v).all()


# ---- errors from numpy and the namespace ------------------------------------------------------

class FakeNumpy:
    def __init__(self, fail_on_zeros=None, asarray_error=None):
        self.calls = []
        self.fail_on_zeros = fail_on_zeros
        self.asarray_error = asarray_error

    def zeros(self, *a, **k):
        self.calls.append(("zeros", a, k))
        if len([c for c in self.calls if c[0] == "zeros"]) == self.fail_on_zeros:
            raise MemoryError("no memory for you")
        return np.zeros(*a, **k)

    def asarray(self, obj):
        self.calls.append(("asarray", type(obj).__name__))
        if self.asarray_error:
            raise self.asarray_error
        return np.asarray(obj)


def test_working_arrays_made_with_zeros_then_asarray(monkeypatch):
    fake = FakeNumpy()
    monkeypatch.setattr(Tarvik, "np", fake)
    out = call(*args())
    assert [c[0] for c in fake.calls] == ["zeros"] * 3 + ["asarray"] * 3
    zeros_call = fake.calls[0]
    assert zeros_call[1] == (3,) and type(zeros_call[1][0]) is int and zeros_call[2] == {"dtype": "float64"}
    assert same(out, (np.asarray(a) for a in out))


@pytest.mark.parametrize("k", [1, 2, 3])
def test_zeros_failing_propagates(monkeypatch, k):
    monkeypatch.setattr(Tarvik, "np", FakeNumpy(fail_on_zeros=k))
    e = error_of(*args())
    assert type(e) is MemoryError
    names = [f.name for f in traceback.extract_tb(e.__traceback__)]
    assert names[-2:] == ["Tarvik.Tarvik_cy", "zeros"]


def test_asarray_failing_propagates(monkeypatch):
    monkeypatch.setattr(Tarvik, "np", FakeNumpy(asarray_error=KeyError("asarray")))
    assert type(error_of(*args())) is KeyError


def test_short_array_from_a_rebound_zeros_is_refused(monkeypatch):
    class Short(FakeNumpy):
        def zeros(self, n, dtype):
            return np.zeros(max(n - 1, 0), dtype)
    monkeypatch.setattr(Tarvik, "np", Short())
    assert type(error_of(*args())) is ValueError


def test_deleted_np_raises_name_error(model_namespaces_kept):
    del Tarvik.np
    e = error_of(*args())
    assert type(e) is NameError and str(e) == "name 'np' is not defined"


def test_np_falls_back_to_builtins(model_namespaces_kept, monkeypatch):
    import builtins
    del Tarvik.np
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert same(call(*args()), Tarvik.Tarvik_cy(*args()))


def test_traceback_entry_names_the_entry_function():
    e = error_of(*args(IM=2))
    frames = traceback.extract_tb(e.__traceback__)
    assert frames[-1].name == "Tarvik.Tarvik_cy" and frames[-1].filename.endswith("Tarvik.cpp")


# ---- the model contract, checked by the compiler ----------------------------------------------

PROBE = """
#include "frame/frame.hpp"
namespace {
namespace frame = gmms::frame;
struct Probe {
    static constexpr const char* name = "Probe";
    static constexpr const char* file = __FILE__;
    static constexpr int entry_line = __LINE__;
    static constexpr const char* doc = "";
    static constexpr const char* author = "";
    static constexpr frame::EntryDoc entry_doc = {.parameters = "", .returns = ""};
    static constexpr frame::Import imports[] = {{"numpy", nullptr, "np"}};
    static constexpr int n_scratch = 3;
    struct Args {
        double M;
        frame::SiteArray R;
    };
    static constexpr frame::Param<Args> params[] = {{"M", &Args::M}, {"R", &Args::R}};
    static bool run(const Args& a, frame::Work<n_scratch>& w, frame::Failure&) {
        w.scratch[2].set(0, a.R[0]);
        return true;
    }
};
}  // namespace
GMMS_MODULE(Probe)
"""


@pytest.mark.subprocess
@pytest.mark.skipif(bool(os.environ.get("GMMS_SANITIZED")), reason="a verdict of the compiler: nothing runs")
@pytest.mark.parametrize("old, new, sentence", [
    ("", "", None),  # three scratch arrays just work
    ('{"M", &Args::M}, {"R", &Args::R}', '{"M", &Args::M}', "a model has a site-array parameter"),
    ("frame::Work<n_scratch>& w, frame::Failure&)", "frame::Work<n_scratch>& w)",
     "static bool run(const Args&, frame::Work<n_scratch>&, frame::Failure&)"),
    ('"np"}', '"numpy"}', "numpy as np among them"),
    ("static bool run(", "static int check(const Args&);\n    static bool run(", "optional check is static bool check"),
    ("static constexpr int entry_line = __LINE__;", "", "static constexpr int entry_line"),
], ids=["three-scratch-arrays", "no-site-array", "run-without-failure", "no-numpy", "check-not-bool",
        "no-entry-line"])
def test_model_contract_is_checked_by_the_compiler(tmp_path, old, new, sentence):
    source = tmp_path / "probe.cpp"
    source.write_text(PROBE.replace(old, new) if old else PROBE)
    root = pathlib.Path(__file__).resolve().parent.parent
    # CXXFLAGS as the build takes them (the CPython 3.9 check names the directory of Debian's
    # multi-arch pyconfig.h there).
    compiled = subprocess.run([os.environ.get("CXX", "c++"), "-std=c++20", "-fsyntax-only", f"-I{root / 'gmms'}",
                               f"-I{sysconfig.get_paths()['include']}", *os.environ.get("CXXFLAGS", "").split(),
                               str(source)], capture_output=True, text=True)
    if sentence is None:
        assert compiled.returncode == 0, compiled.stderr
        return
    # Refused with the sentence and nothing else: no error from deeper inside the frame.
    errors = [line for line in compiled.stderr.splitlines() if " error: " in line]
    assert compiled.returncode != 0 and errors, compiled.stderr
    assert sentence in errors[0] and all("static assertion failed: a model" in e for e in errors), compiled.stderr
