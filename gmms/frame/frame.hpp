// The module frame shared by every ground-motion model module.
//
// A model module is one source file that declares a model type and names it to GMMS_MODULE:
//
//   struct Tarvik {
//       static constexpr const char* name = "Tarvik";            // module name
//       static constexpr const char* file = __FILE__;            // for traceback entries
//       static constexpr int entry_line = __LINE__;              // their line for errors outside run
//       static constexpr const char* doc = "...";                // module docstring
//       static constexpr const char* author = "...";             // __author__
//       static constexpr frame::EntryDoc entry_doc = {...};      // docstring of Tarvik_cy
//       static constexpr frame::Import imports[] = {...};        // bound in this order, numpy as np among them
//       static constexpr int n_scratch = 0;                      // working arrays made before mu, phi, tau
//       struct Args {...};                                       // the converted arguments
//       static constexpr frame::Param<Args> params[] = {...};    // name and member, in order; a site array
//                                                                // among them (the first gives N_sites)
//       static bool run(const Args&, frame::Work<n_scratch>&, frame::Failure&);  // fills the working arrays
//       // optional: static bool check(const Args&);            // refuses arguments before any work
//       // optional: static bool intern();                      // interns the model's own names at load
//   };
//   GMMS_MODULE(Tarvik)
//
// `Model` below states this contract as concepts; a type that misses a part of it fails to compile
// with a sentence naming that part. From the declaration the frame derives loading (multi-phase
// initialisation, the namespace, the one-interpreter rule), argument matching with the
// interpreter's messages, conversions, site-array views, working and result arrays, module-level
// name lookups and traceback entries.
//
// Conventions: every function that can fail returns false (or an empty Ref) with the
// interpreter's error indicator set. Owned references are `Ref`s and buffer views are
// `SiteArray`s, so an error path is a plain `return`. Nothing here throws, and nothing allocates
// from the C++ heap: the texts the frame derives are built at compile time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <source_location>
#include <type_traits>
#include <utility>

namespace gmms::frame {

// ---------------------------------------------------------------------------------------------
// Owned references

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* obj) noexcept {
        Ref r;
        r.obj_ = obj;
        return r;
    }
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return steal(obj);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject* obj = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }

private:
    PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Site arrays: a one-dimensional view of float64 elements through the buffer protocol

class SiteArray {
public:
    SiteArray() noexcept = default;
    SiteArray(const SiteArray&) = delete;
    SiteArray& operator=(const SiteArray&) = delete;
    SiteArray(SiteArray&& other) noexcept { take(other); }
    SiteArray& operator=(SiteArray&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~SiteArray() { release(); }

    // Acquires `obj` (None gives an empty view). On failure the view stays empty.
    bool acquire(PyObject* obj) noexcept;

    bool is_none() const noexcept { return none_; }
    Py_ssize_t size() const noexcept { return size_; }
    Py_ssize_t stride() const noexcept { return stride_; }
    char* data() const noexcept { return base_; }
    // The object whose buffer this is (null for None).
    PyObject* source() const noexcept { return held_ ? view_.obj : nullptr; }

    // Element i in view order. No bounds check: callers keep 0 <= i < size().
    // memcpy because a buffer may be unaligned; it compiles to a single load or store.
    double operator[](Py_ssize_t i) const noexcept {
        double v;
        std::memcpy(&v, base_ + i * stride_, sizeof v);
        return v;
    }
    void set(Py_ssize_t i, double v) const noexcept { std::memcpy(base_ + i * stride_, &v, sizeof v); }

private:
    void take(SiteArray& other) noexcept {
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
        none_ = other.none_;
        base_ = other.base_;
        size_ = other.size_;
        stride_ = other.stride_;
        other.view_.obj = nullptr;
    }
    void release() noexcept {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }

    Py_buffer view_{};
    bool held_ = false;
    bool none_ = true;
    char* base_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t stride_ = sizeof(double);
};

// ---------------------------------------------------------------------------------------------
// Parameter tables

enum class Kind { Double, Int, Sites, Object };

// One parameter of an entry function: its name and the member of the model's `Args` that
// receives the converted value. The member's type decides the kind.
template <class A>
struct Param {
    const char* name;
    Kind kind;
    double A::*as_double = nullptr;
    int A::*as_int = nullptr;
    SiteArray A::*as_sites = nullptr;
    PyObject* A::*as_object = nullptr;

    constexpr Param(const char* n, double A::*m) : name(n), kind(Kind::Double), as_double(m) {}
    constexpr Param(const char* n, int A::*m) : name(n), kind(Kind::Int), as_int(m) {}
    constexpr Param(const char* n, SiteArray A::*m) : name(n), kind(Kind::Sites), as_sites(m) {}
    constexpr Param(const char* n, PyObject* A::*m) : name(n), kind(Kind::Object), as_object(m) {}
};

// The docstring of an entry function. The frame lays it out: the parameter lines under a
// "Parameter" heading, the returns line under "Returns", every line indented by four spaces.
struct EntryDoc {
    const char* parameters;  // one line per parameter, each ending in "\n"
    const char* returns;     // ending in "\n"
};

// A name the module body binds at load: `import module as bind` or `from module import name`.
struct Import {
    const char* module;
    const char* from_name;  // nullptr for a plain import
    const char* bind;
};

// ---------------------------------------------------------------------------------------------
// Module-level names, read from the module namespace (then the builtins) at every use

// Up to CPython 3.11 every change of a dictionary gives it a new version tag, unique in the
// process. A lookup remembers the tag it saw, and the next one reuses its result for as long as
// the tag is the same: the dictionary is then unchanged, so a fresh lookup would find the same
// object, which the dictionary keeps alive. CPython 3.12 deprecates the tag; there every lookup
// is made afresh. The tag is read straight from the dictionary object (`ma_version_tag`, an
// internal field): safe because it is read only on 3.9 to 3.11, whose headers declare it with
// exactly this meaning (PEP 509), and tools/checks/50-portability.sh compiles against each.
#if PY_VERSION_HEX < 0x030C0000
#define GMMS_DICT_VERSIONS 1
#else
#define GMMS_DICT_VERSIONS 0
#endif

class LookupCache {
public:
#if GMMS_DICT_VERSIONS
    static uint64_t version(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
    // The value remembered for `dict`, if `dict` has not changed since; borrowed.
    PyObject* find(PyObject* dict) const noexcept {
        return (value_ && dict == dict_ && version(dict) == version_) ? value_ : nullptr;
    }
    // `version` must be read before the lookup that found `value`: a lookup can run code that
    // changes the dictionary (a key's __eq__), and the change must then invalidate the result.
    void remember(PyObject* dict, uint64_t version, PyObject* value) noexcept {
        dict_ = dict;
        version_ = version;
        value_ = value;
    }
#else
    static uint64_t version(PyObject*) noexcept { return 0; }
    PyObject* find(PyObject*) const noexcept { return nullptr; }
    void remember(PyObject*, uint64_t, PyObject*) noexcept {}
#endif

private:
    PyObject* dict_ = nullptr;
    uint64_t version_ = 0;
    PyObject* value_ = nullptr;
};

class Global {
public:
    explicit Global(const char* name) noexcept : text_(name) {}
    // Interns the name; called by the loader before the module body runs.
    bool intern() noexcept;
    PyObject* name() const noexcept { return name_; }
    // A new reference to the object currently bound to the name, or NameError.
    Ref lookup() const noexcept;

private:
    const char* text_;
    PyObject* name_ = nullptr;  // interned, kept for the life of the process
    mutable LookupCache cache_;  // a value found in the module namespace
};

// An attribute name interned once.
class Name {
public:
    explicit Name(const char* text) noexcept : text_(text) {}
    bool intern() noexcept;
    PyObject* get() const noexcept { return obj_; }
    // A new reference to attribute `owner.<name>`, or the interpreter's error.
    Ref of(PyObject* owner) const noexcept;

private:
    const char* text_;
    PyObject* obj_ = nullptr;
    bool plain_ = false;         // not a dunder name
    mutable LookupCache cache_;  // a value found in the namespace of a plain module `owner`
};

// Calls attribute `attr` of the object bound to `owner` with positional arguments.
Ref call_global_attr(const Global& owner, const Name& attr, PyObject* const* args, size_t nargs) noexcept;

// Reads an interpreter object as a double: a float directly, anything else through the
// interpreter's float conversion.
inline bool to_double(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// New interpreter numbers for the arguments of sibling calls.
inline Ref new_float(double v) noexcept { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref new_int(long v) noexcept { return Ref::steal(PyLong_FromLong(v)); }

// Calls `owner.attr(*args)` and reads the result as a double; false with the error set otherwise.
// Every argument must be non-null (a failed allocation): the call is then not made.
template <size_t N>
bool call_for_double(const Global& owner, const Name& attr, const Ref (&args)[N], double& out) noexcept {
    PyObject* argv[N];
    for (size_t k = 0; k < N; ++k) {
        if (!args[k]) return false;
        argv[k] = args[k].get();
    }
    Ref result = call_global_attr(owner, attr, argv, N);
    return result && to_double(result.get(), out);
}

// The positional arguments of one sibling function, kept from one of its calls to the next. A
// slot given the value it already holds (a float of the same bits, an int of the same value, the
// same object) keeps its object; any other value gets a new object. Floats and ints are
// immutable, so a sibling sees objects of the same type and value as if each call made new ones,
// while the scenario's values are made once per entry call and a site's once per site.
template <size_t N>
class SiblingArgs {
public:
    SiblingArgs() noexcept = default;
    SiblingArgs(const SiblingArgs&) = delete;
    SiblingArgs& operator=(const SiblingArgs&) = delete;

    // Sets all N slots, in order, from doubles (floats), ints or longs (ints) and objects (as they are).
    template <class... T>
    bool set(T... values) noexcept {
        static_assert(sizeof...(T) == N, "one value per argument");
        size_t k = 0;
        return (assign(k++, values) && ...);
    }
    PyObject* const* argv() const noexcept { return argv_; }

private:
    enum class Slot : unsigned char { Empty, Float, Int, Object };

    bool keep(size_t k, Slot kind, uint64_t bits) const noexcept { return kind_[k] == kind && bits_[k] == bits; }
    bool store(size_t k, Slot kind, uint64_t bits, Ref obj) noexcept {
        if (!obj) return false;
        argv_[k] = obj.get();
        objects_[k] = std::move(obj);
        kind_[k] = kind;
        bits_[k] = bits;
        return true;
    }
    bool assign(size_t k, double v) noexcept {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return keep(k, Slot::Float, bits) || store(k, Slot::Float, bits, new_float(v));
    }
    bool assign(size_t k, long v) noexcept {
        const auto bits = static_cast<uint64_t>(v);
        return keep(k, Slot::Int, bits) || store(k, Slot::Int, bits, new_int(v));
    }
    bool assign(size_t k, int v) noexcept { return assign(k, static_cast<long>(v)); }
    bool assign(size_t k, PyObject* v) noexcept {
        const auto bits = reinterpret_cast<uintptr_t>(v);
        return keep(k, Slot::Object, bits) || store(k, Slot::Object, bits, Ref::borrow(v));
    }

    Ref objects_[N];
    PyObject* argv_[N] = {};
    Slot kind_[N] = {};
    uint64_t bits_[N] = {};
};

// Calls `owner.attr(*args)` and reads the result as a double; false with the error set otherwise.
template <size_t N>
bool call_for_double(const Global& owner, const Name& attr, const SiblingArgs<N>& args, double& out) noexcept {
    Ref result = call_global_attr(owner, attr, args.argv(), N);
    return result && to_double(result.get(), out);
}

// Raises the interpreter's own TypeError for a missing value (None) where a float is needed.
bool raise_none_as_float() noexcept;

// ---------------------------------------------------------------------------------------------
// Traceback entries

// Adds an entry "<qualified_name>" in `file` at `line` to the pending exception's traceback.
void add_traceback(const char* qualified_name, const char* file, int line) noexcept;

// What model code returns on failure: records the failing line for the traceback entry.
struct Failure {
    const char* function = nullptr;  // model function that failed (added as its own entry)
    int line = 0;
};

// Records where model code failed and returns false, so that `return fail(f)` ends the call.
inline bool fail(Failure& f, const char* function = nullptr,
                 std::source_location loc = std::source_location::current()) noexcept {
    if (!f.line) {
        f.function = function;
        f.line = static_cast<int>(loc.line());
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Working arrays

// The arrays of one call: `scratch` (as many as the model declares) are made first, then the
// results mu, phi and tau, all zero-filled and N_sites long.
template <int NScratch>
struct Work {
    Py_ssize_t n_sites = 0;
    std::array<SiteArray, NScratch> scratch;
    SiteArray mu, phi, tau;
};

// ---------------------------------------------------------------------------------------------
// Non-template parts of the frame (frame.cpp)

namespace detail {

struct ModuleState {
    PyObject* module = nullptr;  // the module object once created (kept for re-imports)
    PyObject* dict = nullptr;    // its namespace (borrowed from `module`)
    bool ready = false;          // the module body has run successfully
};

// The one module of this extension. One module file serves one interpreter per process.
ModuleState& state() noexcept;

PyObject* create_module(PyObject* spec, PyModuleDef* def) noexcept;
bool import_into(PyObject* dict, const Import& imp) noexcept;
// Remembers numpy's array type, from the `np` the module body bound.
void find_array_type(PyObject* dict) noexcept;
bool intern_frame_names() noexcept;
void forget_module() noexcept;

// Matches `args`/`kwargs` against the parameters (their names as text and interned); fills
// `values` with new references.
bool match_arguments(const char* func, const char* const* names, PyObject* const* interned, Py_ssize_t n_params,
                     PyObject* args, PyObject* kwargs, Ref* values) noexcept;
bool convert_int(PyObject* obj, int& out) noexcept;
bool convert_double(PyObject* obj, double& out) noexcept;
// Site arrays after the first must hold n_sites elements; the first must fit in 32 bits.
bool check_first_sites(const char* func, const char* name, const SiteArray& sites) noexcept;
bool check_more_sites(const char* func, const char* name, const SiteArray& sites, const char* first_name,
                      Py_ssize_t n_sites) noexcept;
bool make_working_array(Py_ssize_t n_sites, SiteArray& out) noexcept;
Ref make_result(Py_ssize_t n_sites, SiteArray& mu, SiteArray& phi, SiteArray& tau) noexcept;

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// The contract of a model type
//
// Each requirement is one concept; `check_contract` names the one a model misses in a sentence.

template <class M>
constexpr Py_ssize_t n_params = static_cast<Py_ssize_t>(std::size(M::params));

// Position of the first site-array parameter (it gives N_sites), or -1.
template <class M>
constexpr int first_sites_index() noexcept {
    for (Py_ssize_t k = 0; k < n_params<M>; ++k)
        if (M::params[k].kind == Kind::Sites) return static_cast<int>(k);
    return -1;
}

constexpr bool same_text(const char* a, const char* b) noexcept {
    for (; *a != '\0' && *a == *b; ++a) ++b;
    return *a == *b;
}

template <class M>
constexpr bool binds_numpy() noexcept {
    for (const Import& imp : M::imports)
        if (!imp.from_name && same_text(imp.module, "numpy") && same_text(imp.bind, "np")) return true;
    return false;
}

namespace contract {

template <class T>
concept text = std::same_as<std::remove_cvref_t<T>, const char*>;

template <class M>
concept described = requires {
    { M::name } -> text;
    { M::file } -> text;
    { M::entry_line } -> std::same_as<const int&>;
    { M::doc } -> text;
    { M::author } -> text;
    { M::entry_doc } -> std::same_as<const EntryDoc&>;
};

template <class M>
concept imports_numpy = requires {
    { M::imports[0] } -> std::same_as<const Import&>;
} && binds_numpy<M>();

template <class M>
concept has_args = requires { typename M::Args; } && std::default_initializable<typename M::Args>;

template <class M>
concept has_params = has_args<M> && requires {
    { M::params[0] } -> std::same_as<const Param<typename M::Args>&>;
};

template <class M>
concept has_site_array = has_params<M> && (first_sites_index<M>() >= 0);

template <class M>
concept has_scratch = requires {
    { M::n_scratch } -> std::same_as<const int&>;
} && (M::n_scratch >= 0);

template <class M>
concept runs = has_args<M> && has_scratch<M> &&
               requires(const typename M::Args& a, Work<M::n_scratch>& w, Failure& f) {
                   { M::run(a, w, f) } -> std::same_as<bool>;
               };

// Optional hooks: absent, or of the one form the frame calls.
template <class M>
concept declares_check = requires { &M::check; };
template <class M>
concept checks = !declares_check<M> || requires(const typename M::Args& a) {
    { M::check(a) } -> std::same_as<bool>;
};
template <class M>
concept declares_intern = requires { &M::intern; };
template <class M>
concept interns = !declares_intern<M> || requires {
    { M::intern() } -> std::same_as<bool>;
};

}  // namespace contract

template <class M>
concept Model = contract::described<M> && contract::imports_numpy<M> && contract::has_args<M> &&
                contract::has_params<M> && contract::has_site_array<M> && contract::has_scratch<M> &&
                contract::runs<M> && contract::checks<M> && contract::interns<M>;

// The contract, checked where GMMS_MODULE names the model: each requirement a model misses
// stops the build with its sentence below.
template <class M>
constexpr bool check_contract() noexcept {
    using namespace contract;
    static_assert(described<M>, "a model declares static constexpr const char* name, file (__FILE__), doc and "
                                "author, static constexpr int entry_line (__LINE__) and static constexpr "
                                "frame::EntryDoc entry_doc");
    static_assert(imports_numpy<M>, "a model declares static constexpr frame::Import imports[], numpy as np among "
                                    "them: the frame makes its working arrays with np.zeros");
    static_assert(has_args<M>, "a model declares struct Args, default-constructible, to receive its arguments");
    static_assert(has_params<M>, "a model declares static constexpr frame::Param<Args> params[], one row per "
                                 "parameter of its entry function");
    static_assert(has_site_array<M>, "a model has a site-array parameter: the first one gives N_sites");
    static_assert(has_scratch<M>, "a model declares static constexpr int n_scratch, 0 or more working arrays "
                                  "made before mu, phi and tau");
    static_assert(runs<M>, "a model declares static bool run(const Args&, frame::Work<n_scratch>&, "
                           "frame::Failure&)");
    static_assert(checks<M>, "a model's optional check is static bool check(const Args&)");
    static_assert(interns<M>, "a model's optional intern is static bool intern()");
    return Model<M>;
}

// ---------------------------------------------------------------------------------------------
// Texts derived from a model's declaration, built at compile time: nothing to allocate at load

namespace text {

// Appends parts to `out`, or only counts them while `out` is null.
struct Writer {
    char* out = nullptr;
    size_t size = 0;
    constexpr Writer& operator<<(const char* s) noexcept {
        for (; *s != '\0'; ++s) put(*s);
        return *this;
    }
    // Appends `lines`, each indented by four spaces.
    constexpr Writer& indented(const char* lines) noexcept {
        for (bool line_start = true; *lines != '\0'; line_start = (*lines++ == '\n')) {
            if (line_start) *this << "    ";
            put(*lines);
        }
        return *this;
    }
    constexpr void put(char c) noexcept {
        if (out) out[size] = c;
        ++size;
    }
};

template <size_t N>
struct Fixed {
    char chars[N + 1] = {};
};

// The text `write` produces, in an array of exactly its size.
template <void (*write)(Writer&)>
constexpr auto build() noexcept {
    constexpr size_t n = [] {
        Writer counter;
        write(counter);
        return counter.size;
    }();
    Fixed<n> t;
    Writer writer{t.chars};
    write(writer);
    return t;
}

template <class M>
constexpr void entry_name(Writer& w) {
    w << M::name << "_cy";
}
template <class M>
constexpr void qualified_entry(Writer& w) {
    w << M::name << "." << M::name << "_cy";
}
template <class M>
constexpr void init_entry(Writer& w) {
    w << "init " << M::name;
}
// The text signature ("Tarvik_cy(IM, M, ...)\n--\n\n", read by inspect), then the docstring.
template <class M>
constexpr void entry_doc(Writer& w) {
    w << M::name << "_cy(";
    for (Py_ssize_t k = 0; k < n_params<M>; ++k) w << (k ? ", " : "") << M::params[k].name;
    w << ")\n--\n\n";
    w << "\n    Parameter\n    =========\n";
    w.indented(M::entry_doc.parameters);
    w << "\n    Returns\n    =======\n";
    w.indented(M::entry_doc.returns) << "    ";
}

// Traceback entries name the source file without its directories.
constexpr const char* base_name(const char* path) noexcept {
    const char* base = path;
    for (const char* c = path; *c != '\0'; ++c)
        if (*c == '/' || *c == '\\') base = c + 1;
    return base;
}

}  // namespace text

template <class M>
struct Texts {
    static constexpr auto entry_name = text::build<&text::entry_name<M>>();            // "Tarvik_cy"
    static constexpr auto qualified_entry = text::build<&text::qualified_entry<M>>();  // "Tarvik.Tarvik_cy"
    static constexpr auto init_entry = text::build<&text::init_entry<M>>();            // "init Tarvik"
    static constexpr auto entry_doc = text::build<&text::entry_doc<M>>();
    static constexpr const char* file = text::base_name(M::file);
    static constexpr auto param_names = [] {
        std::array<const char*, n_params<M>> names{};
        for (Py_ssize_t k = 0; k < n_params<M>; ++k) names[k] = M::params[k].name;
        return names;
    }();
};

// The parameter names interned at load, for the identity comparisons of keyword matching.
template <class M>
PyObject* interned_params[n_params<M>] = {};

// ---------------------------------------------------------------------------------------------
// The entry function and the module definition, generated from a model declaration

// Converts the matched argument objects into `a`, in parameter order; the first failure ends it.
template <class M>
bool convert_arguments(Ref* values, typename M::Args& a) noexcept {
    for (Py_ssize_t k = 0; k < n_params<M>; ++k) {
        const Param<typename M::Args>& p = M::params[k];
        PyObject* v = values[k].get();
        bool ok = true;
        switch (p.kind) {
            case Kind::Double: ok = detail::convert_double(v, a.*(p.as_double)); break;
            case Kind::Int: ok = detail::convert_int(v, a.*(p.as_int)); break;
            case Kind::Sites: ok = (a.*(p.as_sites)).acquire(v); break;
            case Kind::Object: a.*(p.as_object) = v; break;
        }
        if (!ok) return false;
    }
    return true;
}

// N_sites comes from the first site array; every later one must cover it.
template <class M>
bool check_site_lengths(const typename M::Args& a, Py_ssize_t& n_sites) noexcept {
    constexpr int first = first_sites_index<M>();
    const char* func = Texts<M>::entry_name.chars;
    const auto& params = M::params;
    const SiteArray& lead = a.*(params[first].as_sites);
    if (!detail::check_first_sites(func, params[first].name, lead)) return false;
    n_sites = lead.size();
    for (Py_ssize_t k = first + 1; k < n_params<M>; ++k) {
        if (params[k].kind != Kind::Sites) continue;
        if (!detail::check_more_sites(func, params[k].name, a.*(params[k].as_sites), params[first].name, n_sites))
            return false;
    }
    return true;
}

template <class M>
PyObject* entry(PyObject* /*self*/, PyObject* args, PyObject* kwargs) noexcept {
    using T = Texts<M>;
    Failure failure;
    Ref result = [&]() -> Ref {
        Ref values[n_params<M>];
        if (!detail::match_arguments(T::entry_name.chars, T::param_names.data(), interned_params<M>, n_params<M>,
                                     args, kwargs, values))
            return {};
        typename M::Args a{};
        if (!convert_arguments<M>(values, a)) return {};
        Work<M::n_scratch> work;
        if (!check_site_lengths<M>(a, work.n_sites)) return {};
        if constexpr (contract::declares_check<M>) {
            if (!M::check(a)) return {};
        }
        for (SiteArray& scratch : work.scratch)
            if (!detail::make_working_array(work.n_sites, scratch)) return {};
        if (!detail::make_working_array(work.n_sites, work.mu)) return {};
        if (!detail::make_working_array(work.n_sites, work.phi)) return {};
        if (!detail::make_working_array(work.n_sites, work.tau)) return {};
        if (!M::run(a, work, failure)) return {};
        return detail::make_result(work.n_sites, work.mu, work.phi, work.tau);
    }();
    if (!result) {
        if (failure.function) {
            // A fixed buffer: building this text must not fail while an error is pending.
            char qualified[128];
            PyOS_snprintf(qualified, sizeof qualified, "%s.%s", M::name, failure.function);
            add_traceback(qualified, T::file, failure.line);
        }
        add_traceback(T::qualified_entry.chars, T::file, failure.line ? failure.line : M::entry_line);
    }
    return result.release();
}

template <class M>
int exec_module(PyObject* module) noexcept {
    using T = Texts<M>;
    detail::ModuleState& st = detail::state();
    if (st.ready && module == st.module) return 0;  // re-import of the same module object
    static PyMethodDef entry_def = {T::entry_name.chars,
                                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<M>)),
                                    METH_VARARGS | METH_KEYWORDS, T::entry_doc.chars};
    const bool ok = [&] {
        PyObject* dict = PyModule_GetDict(module);
        if (!dict) return false;
        st.dict = dict;
        if (!detail::intern_frame_names()) return false;
        for (Py_ssize_t k = 0; k < n_params<M>; ++k) {
            PyObject*& name = interned_params<M>[k];
            if (!name && !(name = PyUnicode_InternFromString(M::params[k].name))) return false;
        }
        if constexpr (contract::declares_intern<M>) {
            if (!M::intern()) return false;
        }
        for (const Import& imp : M::imports)
            if (!detail::import_into(dict, imp)) return false;
        detail::find_array_type(dict);
        Ref author = Ref::steal(PyUnicode_FromString(M::author));
        if (!author || PyDict_SetItemString(dict, "__author__", author.get()) < 0) return false;
        Ref module_name = Ref::steal(PyUnicode_FromString(M::name));
        if (!module_name) return false;
        Ref function = Ref::steal(PyCFunction_NewEx(&entry_def, nullptr, module_name.get()));
        if (!function || PyDict_SetItemString(dict, T::entry_name.chars, function.get()) < 0) return false;
        Ref test = Ref::steal(PyDict_New());
        if (!test || PyDict_SetItemString(dict, "__test__", test.get()) < 0) return false;
        return true;
    }();
    if (!ok) {
        add_traceback(T::init_entry.chars, T::file, M::entry_line);
        detail::forget_module();
        return -1;
    }
    st.ready = true;
    return 0;
}

// The module definition; a model that breaks the contract stops at its sentence above, with
// nothing more instantiated from it.
template <class M>
PyObject* init() noexcept {
    if constexpr (check_contract<M>()) {
        static PyModuleDef_Slot slots[] = {
            {Py_mod_create, reinterpret_cast<void*>(&detail::create_module)},
            {Py_mod_exec, reinterpret_cast<void*>(&exec_module<M>)},
            {0, nullptr},
        };
        static PyModuleDef def = {
            PyModuleDef_HEAD_INIT, M::name, M::doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
        };
        return PyModuleDef_Init(&def);
    } else {
        return nullptr;
    }
}

}  // namespace gmms::frame

// Defines the module's one exported symbol, PyInit_<Model>.
#define GMMS_MODULE(Model) \
    PyMODINIT_FUNC PyInit_##Model(void) { return ::gmms::frame::init<Model>(); }
