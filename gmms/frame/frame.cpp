// The non-template half of the module frame: loading, argument matching and conversion,
// site-array views, working and result arrays, name lookups and traceback entries.
// Every model module links its own copy, so the state below belongs to one module. It is kept
// process-wide on purpose: a module file serves one interpreter per process (a second one is
// refused at creation), so nothing here needs to be per interpreter or per module object.
#include "frame.hpp"

#include <frameobject.h>

#include <climits>

namespace gmms::frame {

namespace {

// ---------------------------------------------------------------------------------------------
// Constants built once at load

PyObject* g_builtins = nullptr;          // the builtins namespace, for names the module lacks
PyObject* g_float64 = nullptr;           // "float64"
PyObject* g_dtype_kwnames = nullptr;     // ("dtype",)
PyObject* g_exporter_type = nullptr;     // type of the objects handed to np.asarray
PyObject* g_ndarray_type = nullptr;      // numpy's ndarray, once numpy is imported
Global g_np("np");
Name g_zeros("zeros");
Name g_asarray("asarray");

}  // namespace

namespace detail {

ModuleState& state() noexcept {
    static ModuleState st;
    return st;
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Module-level names

bool Global::intern() noexcept {
    if (!name_) name_ = PyUnicode_InternFromString(text_);
    return name_ != nullptr;
}

Ref Global::lookup() const noexcept {
    PyObject* dict = detail::state().dict;
    if (dict) {
        if (PyObject* cached = cache_.find(dict)) return Ref::borrow(cached);
        const uint64_t version = LookupCache::version(dict);
        if (PyObject* value = PyDict_GetItemWithError(dict, name_)) {
            cache_.remember(dict, version, value);
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) return {};
    }
    // Builtins are not cached: a name found there stays uncached until the module binds it.
    if (PyObject* value = PyDict_GetItemWithError(g_builtins, name_)) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_);
    return {};
}

bool Name::intern() noexcept {
    if (!obj_) obj_ = PyUnicode_InternFromString(text_);
    plain_ = std::strncmp(text_, "__", 2) != 0;
    return obj_ != nullptr;
}

Ref Name::of(PyObject* owner) const noexcept {
    // For an object of exactly the module type, getattr finds a name held in the module's
    // namespace there, as long as the module type itself defines no attribute of that name; it
    // defines only dunder names. So for other names a cached namespace lookup serves. Anything
    // else, or a name the namespace lacks (module __getattr__), takes the full getattr.
    if (GMMS_DICT_VERSIONS && plain_ && PyModule_CheckExact(owner)) {
        PyObject* dict = PyModule_GetDict(owner);
        if (PyObject* cached = cache_.find(dict)) return Ref::borrow(cached);
        const uint64_t version = LookupCache::version(dict);
        if (PyObject* value = PyDict_GetItemWithError(dict, obj_)) {
            cache_.remember(dict, version, value);
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) return {};
    }
    return Ref::steal(PyObject_GetAttr(owner, obj_));
}

Ref call_global_attr(const Global& owner, const Name& attr, PyObject* const* args, size_t nargs) noexcept {
    Ref module = owner.lookup();
    if (!module) return {};
    Ref function = attr.of(module.get());
    if (!function) return {};
    return Ref::steal(PyObject_Vectorcall(function.get(), args, nargs, nullptr));
}

bool raise_none_as_float() noexcept {
    // The interpreter's own words for None where a float is needed.
    (void)PyFloat_AsDouble(Py_None);
    return false;
}

// ---------------------------------------------------------------------------------------------
// Traceback entries

void add_traceback(const char* qualified_name, const char* file, int line) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* pending = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    // A code object whose first line is the failing line: the traceback shows that line on
    // every interpreter version without touching the frame's internals.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, qualified_name, line)));
    Ref globals;
    if (detail::state().dict)
        globals = Ref::borrow(detail::state().dict);
    else
        globals = Ref::steal(PyDict_New());
    Ref frame;
    if (code && globals)
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
    PyErr_Clear();  // a failure to build the entry must not replace the real error
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

// ---------------------------------------------------------------------------------------------
// Site arrays

namespace {

// Describes a buffer element format the way the dtype-mismatch message quotes it, in `out`: a
// fixed buffer, so that describing it cannot fail while the error is being raised.
template <size_t N>
void describe_format(const char* fmt, char (&out)[N]) noexcept {
    auto say = [&out](const char* text) { PyOS_snprintf(out, N, "%s", text); };
    if (!fmt) return say("'unsigned char'");  // no format means unsigned bytes
    const char* c = fmt;
    if (*c == '@' || *c == '=' || *c == '<' || *c == '>' || *c == '!') ++c;
    const bool complex = (*c == 'Z');
    if (complex) ++c;
    const char* name = nullptr;
    switch (*c) {
        case 'c': name = "char"; break;
        case 'b': name = "signed char"; break;
        case 'B': name = "unsigned char"; break;
        case '?': name = "bool"; break;
        case 'h': name = "short"; break;
        case 'H': name = "unsigned short"; break;
        case 'i': name = "int"; break;
        case 'I': name = "unsigned int"; break;
        case 'l': name = "long"; break;
        case 'L': name = "unsigned long"; break;
        case 'q': name = "long long"; break;
        case 'Q': name = "unsigned long long"; break;
        case 'n': name = "Py_ssize_t"; break;
        case 'N': name = "size_t"; break;
        case 'e': name = "half float"; break;
        case 'f': name = "float"; break;
        case 'd': name = "double"; break;
        case 'g': name = "long double"; break;
        case 'T': return say("a struct");
        case 'O': return say("Python object");
        case 'P': return say("a pointer");
        case 's':
        case 'p': return say("a string");
        case '\0': return say("end");
        default: return say("unparseable format string");
    }
    if (c[1] != '\0') return say("unparseable format string");  // counts, several fields
    PyOS_snprintf(out, N, "'%s%s'", complex ? "complex " : "", name);
}

}  // namespace

bool SiteArray::acquire(PyObject* obj) noexcept {
    release();
    none_ = (obj == Py_None);
    base_ = nullptr;
    size_ = 0;
    stride_ = sizeof(double);
    if (none_) return true;

    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES | PyBUF_WRITABLE) < 0) return false;
    held_ = true;
    auto refuse = [this]() {
        release();
        return false;
    };
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected 1, got %d)", view_.ndim);
        return refuse();
    }
    const char* fmt = view_.format;
    const char order = fmt ? fmt[0] : '\0';
    if (order == '>' || order == '!') {
        PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        return refuse();
    }
    const char* type = (order == '@' || order == '=' || order == '<') ? fmt + 1 : fmt;
    if (!type || std::strcmp(type, "d") != 0) {
        char found[40];
        describe_format(fmt, found);
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'double' but got %s", found);
        return refuse();
    }
    // ctypes before CPython 3.11 exports an empty array of doubles (c_double * 0) with item size 0;
    // the format says double, and no element is read: taken as the empty array it is.
    const bool empty = view_.len == 0 && view_.shape && view_.shape[0] == 0;
    if (view_.itemsize != static_cast<Py_ssize_t>(sizeof(double)) && !(empty && view_.itemsize == 0)) {
        const auto item_bytes = static_cast<size_t>(view_.itemsize);
        static_assert(sizeof(double) == 8, "the message below names 8 bytes");
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zu byte%s) does not match size of 'double' (8 bytes)",
                     item_bytes, item_bytes == 1 ? "" : "s");
        return refuse();
    }
    if (view_.suboffsets) {
        if (!view_.strides) {
            PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
            return refuse();
        }
        if (view_.suboffsets[0] >= 0) {
            PyErr_SetString(PyExc_ValueError, "Buffer not compatible with direct access in dimension 0.");
            return refuse();
        }
    }
    base_ = static_cast<char*>(view_.buf);
    if (empty) return true;  // size 0, stride one double (the item size may be 0, see above)
    size_ = view_.shape ? view_.shape[0] : view_.len / view_.itemsize;
    stride_ = view_.strides ? view_.strides[0] : view_.itemsize;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Result arrays: np.asarray over a small object that owns the working array's view

namespace {

struct Exporter {
    PyObject_HEAD
    SiteArray sites;
    Py_ssize_t shape;
    Py_ssize_t stride;
};

// numpy sees the view through __array_interface__ rather than the buffer protocol: an array
// made from an interface keeps the object itself as its base, while one made from a buffer keeps
// a memoryview, and releasing that memoryview from Python would free the memory under the result.
double g_no_sites = 0.0;  // the address given for an empty view without memory

PyObject* exporter_array_interface(PyObject* self, void* /*closure*/) {
    auto* e = reinterpret_cast<Exporter*>(self);
    void* data = e->sites.data() ? static_cast<void*>(e->sites.data()) : &g_no_sites;
    return Py_BuildValue("{s:(NO),s:(n),s:(n),s:s,s:i}", "data", PyLong_FromVoidPtr(data), Py_False, "shape",
                         e->shape, "strides", e->stride, "typestr", PY_LITTLE_ENDIAN ? "<f8" : ">f8", "version", 3);
}

void exporter_dealloc(PyObject* self) {
    auto* e = reinterpret_cast<Exporter*>(self);
    PyTypeObject* type = Py_TYPE(self);
    e->sites.~SiteArray();
    type->tp_free(self);
    Py_DECREF(type);
}

bool make_exporter_type() noexcept {
    if (g_exporter_type) return true;
    static PyGetSetDef getset[] = {
        {"__array_interface__", &exporter_array_interface, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_getset, getset},
        {Py_tp_dealloc, reinterpret_cast<void*>(&exporter_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"gmms.frame.SiteArrayView", sizeof(Exporter), 0, Py_TPFLAGS_DEFAULT, slots};
    g_exporter_type = PyType_FromSpec(&spec);
    // Only the frame makes these: one made from Python would have no view behind it.
    if (g_exporter_type) reinterpret_cast<PyTypeObject*>(g_exporter_type)->tp_new = nullptr;
    return g_exporter_type != nullptr;
}

Ref export_sites(SiteArray&& sites, Py_ssize_t n_sites) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(g_exporter_type);
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return {};
    auto* e = reinterpret_cast<Exporter*>(obj);
    new (&e->sites) SiteArray(std::move(sites));
    e->shape = n_sites;
    e->stride = e->sites.stride();
    return Ref::steal(obj);
}

}  // namespace

namespace detail {

bool make_working_array(Py_ssize_t n_sites, SiteArray& out) noexcept {
    Ref np = g_np.lookup();
    if (!np) return false;
    Ref zeros = g_zeros.of(np.get());
    if (!zeros) return false;
    Ref length = Ref::steal(PyLong_FromSsize_t(n_sites));
    if (!length) return false;
    PyObject* argv[] = {length.get(), g_float64};
    Ref array = Ref::steal(PyObject_Vectorcall(zeros.get(), argv, 1, g_dtype_kwnames));
    if (!array || !out.acquire(array.get())) return false;
    if (out.size() < n_sites) {
        // Only a rebound np can do this; writing the sites would run past its end.
        PyErr_Format(PyExc_ValueError, "np.zeros(%zd) returned a buffer of %zd elements", n_sites, out.size());
        return false;
    }
    return true;
}

Ref make_result(Py_ssize_t n_sites, SiteArray& mu, SiteArray& phi, SiteArray& tau) noexcept {
    Ref np = g_np.lookup();
    if (!np) return {};
    Ref asarray = g_asarray.of(np.get());
    if (!asarray) return {};
    Ref arrays[3];
    SiteArray* views[3] = {&mu, &phi, &tau};
    for (int k = 0; k < 3; ++k) {
        // A numpy array of exactly N_sites elements goes to asarray itself, which hands it back
        // at no cost; any other working array (from a rebound np) is exported as its view.
        Ref exporter;
        PyObject* source = views[k]->source();
        if (!source || !g_ndarray_type || Py_TYPE(source) != reinterpret_cast<PyTypeObject*>(g_ndarray_type) ||
            views[k]->size() != n_sites) {
            exporter = export_sites(std::move(*views[k]), n_sites);
            if (!exporter) return {};
            source = exporter.get();
        }
        PyObject* argv[] = {source};
        arrays[k] = Ref::steal(PyObject_Vectorcall(asarray.get(), argv, 1, nullptr));
        if (!arrays[k]) return {};
    }
    return Ref::steal(PyTuple_Pack(3, arrays[0].get(), arrays[1].get(), arrays[2].get()));
}

// ---------------------------------------------------------------------------------------------
// Loading

namespace {

bool check_interpreter() noexcept {
    static int64_t main_id = -1;
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    if (main_id == -1) {
        main_id = current;
    } else if (main_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

bool copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (value.get() == Py_None && !allow_none) return true;
    return PyObject_SetAttrString(module, to, value.get()) == 0;
}

}  // namespace

PyObject* create_module(PyObject* spec, PyModuleDef* /*def*/) noexcept {
    if (!check_interpreter()) return nullptr;
    ModuleState& st = state();
    if (st.module) {
        Py_INCREF(st.module);
        return st.module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (!copy_spec_attribute(spec, module.get(), "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, module.get(), "origin", "__file__", true) ||
        !copy_spec_attribute(spec, module.get(), "parent", "__package__", true) ||
        !copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", false))
        return nullptr;
    Py_INCREF(module.get());
    st.module = module.get();  // kept: a re-import yields this same object
    return module.release();
}

void forget_module() noexcept {
    ModuleState& st = state();
    st.ready = false;
    st.dict = nullptr;
    Py_CLEAR(st.module);
}

bool intern_frame_names() noexcept {
    if (!g_builtins) {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins) return false;
        PyObject* dict = PyModule_GetDict(builtins.get());
        Py_INCREF(dict);
        g_builtins = dict;
    }
    if (!g_float64 && !(g_float64 = PyUnicode_InternFromString("float64"))) return false;
    if (!g_dtype_kwnames && !(g_dtype_kwnames = Py_BuildValue("(s)", "dtype"))) return false;
    return g_np.intern() && g_zeros.intern() && g_asarray.intern() && make_exporter_type();
}

void find_array_type(PyObject* dict) noexcept {
    if (g_ndarray_type) return;
    PyObject* np = PyDict_GetItemWithError(dict, g_np.name());
    Ref type = np ? Ref::steal(PyObject_GetAttrString(np, "ndarray")) : Ref();
    if (type && PyType_Check(type.get()))
        g_ndarray_type = type.release();  // kept for the life of the process
    PyErr_Clear();  // without it, every working array is exported as its view
}

bool import_into(PyObject* dict, const Import& imp) noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString(imp.module));
    if (!module_name) return false;
    Ref value;
    if (imp.from_name) {
        Ref name = Ref::steal(PyUnicode_FromString(imp.from_name));
        Ref fromlist = Ref::steal(PyList_New(1));
        if (!name || !fromlist) return false;
        Py_INCREF(name.get());
        PyList_SET_ITEM(fromlist.get(), 0, name.get());
        Ref module = Ref::steal(PyImport_ImportModuleLevelObject(module_name.get(), dict, nullptr, fromlist.get(), 0));
        if (!module) return false;
        value = Ref::steal(PyObject_GetAttr(module.get(), name.get()));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError))
                PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
            return false;
        }
    } else {
        value = Ref::steal(PyImport_ImportModuleLevelObject(module_name.get(), dict, nullptr, nullptr, 0));
        if (!value) return false;
    }
    return PyDict_SetItemString(dict, imp.bind, value.get()) == 0;
}

// ---------------------------------------------------------------------------------------------
// Argument matching and conversion

namespace {

bool count_error(const char* func, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly %zd positional arguments (%zd given)", func, expected,
                 given);
    return false;
}

// Position of the parameter named `key`, or -1.
Py_ssize_t find_parameter(PyObject* key, const char* const* names, PyObject* const* interned, Py_ssize_t n_params) {
    for (Py_ssize_t k = 0; k < n_params; ++k)
        if (key == interned[k]) return k;
    for (Py_ssize_t k = 0; k < n_params; ++k)
        if (PyUnicode_CompareWithASCIIString(key, names[k]) == 0) return k;
    return -1;
}

}  // namespace

bool match_arguments(const char* func, const char* const* names, PyObject* const* interned, Py_ssize_t n_params,
                     PyObject* args, PyObject* kwargs, Ref* values) noexcept {
    const Py_ssize_t p = PyTuple_GET_SIZE(args);
    if (!kwargs) {
        if (p != n_params) return count_error(func, n_params, p);
        for (Py_ssize_t k = 0; k < n_params; ++k) values[k] = Ref::borrow(PyTuple_GET_ITEM(args, k));
        return true;
    }
    if (p > n_params) return count_error(func, n_params, p);
    for (Py_ssize_t k = 0; k < p; ++k) values[k] = Ref::borrow(PyTuple_GET_ITEM(args, k));
    for (Py_ssize_t k = p; k < n_params; ++k) {
        PyObject* value = PyDict_GetItemWithError(kwargs, interned[k]);
        if (!value) {
            if (PyErr_Occurred()) return false;
            return count_error(func, n_params, k);
        }
        values[k] = Ref::borrow(value);
    }
    if (PyDict_GET_SIZE(kwargs) > n_params - p) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
                return false;
            }
            const Py_ssize_t k = find_parameter(key, names, interned, n_params);
            if (k >= p) continue;
            if (k >= 0)
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
            else
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
            return false;
        }
    }
    return true;
}

bool convert_double(PyObject* obj, double& out) noexcept { return to_double(obj, out); }

namespace {

// Read through long long, 64 bits everywhere: with long, 32 bits on Windows, a value just past the
// int range would meet the "C long" message there instead of the "C int" one.
bool long_to_int(PyObject* number, int& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return false;
    }
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

}  // namespace

bool convert_int(PyObject* obj, int& out) noexcept {
    if (PyLong_Check(obj)) return long_to_int(obj, out);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref converted = Ref::steal(number->nb_int(obj));
    if (!converted) return false;
    if (!PyLong_Check(converted.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(converted.get())->tp_name);
        return false;
    }
    return long_to_int(converted.get(), out);
}

bool check_first_sites(const char* func, const char* name, const SiteArray& sites) noexcept {
    if (sites.size() > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' has %zd elements; at most %d sites are supported",
                     func, name, sites.size(), INT_MAX);
        return false;
    }
    return true;
}

bool check_more_sites(const char* func, const char* name, const SiteArray& sites, const char* first_name,
                      Py_ssize_t n_sites) noexcept {
    if (sites.size() >= n_sites) return true;
    if (sites.is_none())
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' is None, but '%s' has %zd sites", func, name, first_name,
                     n_sites);
    else
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' has %zd elements, fewer than the %zd sites of '%s'",
                     func, name, sites.size(), n_sites, first_name);
    return false;
}

}  // namespace detail
}  // namespace gmms::frame
