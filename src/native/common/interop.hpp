// The one place that talks to the CPython C API for both extension modules.
//
// Everything a Python implementation would resolve at run time is resolved here at
// every call (module globals, attributes of other modules, methods of `self`), so
// hosts and tests can substitute them. Conversions are the host's own operations,
// never C++ look-alikes: `str()` is PyObject_Str, `float()` is PyNumber_Float, and so on.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>
#include <utility>

namespace qorva::interop {

namespace py = pybind11;

// --- Names ----------------------------------------------------------------------
// An interned text constant (an attribute, global or key name), made on first use and kept for the
// life of the process, as compiled Python code keeps its names: hot paths then neither decode nor
// hash the text again. First use happens under the GIL, which serialises it.
class Name {
public:
    explicit constexpr Name(const char *text) : text_(text) {}
    py::handle get() const;
    operator py::handle() const { return get(); }  // NOLINT: used wherever a name object is expected

private:
    const char *text_;
    mutable PyObject *obj_ = nullptr;
};

// --- Module globals -------------------------------------------------------------
// The dictionary of an extension module, kept so that functions can read the module's
// globals (`np`, `logger`, `_EXTS`, `runner`, ...) at call time, exactly as Python
// code reads its globals. The reference is deliberately never released: module
// dictionaries live until interpreter shutdown, and releasing at static destruction
// would touch a finalised interpreter.
class Globals {
public:
    void bind(py::module_ &m);
    // globals()[name]; a missing name raises the host's NameError.
    py::object get(const char *name) const;
    py::object get(py::handle name) const;
    // globals()[module].<name>, e.g. attr("np", "fromfile").
    py::object attr(const char *module, const char *name) const;
    py::object attr(py::handle module, py::handle name) const;

private:
    PyObject *dict_ = nullptr;
};

// sys.modules-aware import followed by getattr, resolved on every call.
py::object lookup(const char *module, const char *name);
py::object import(const char *module);
// `from <level dots><module> import <name>`, resolved relative to `package`; a missing
// name raises ImportError as the statement does.
py::object import_from(const char *module, const char *name, const char *package, int level);
// builtins.<name>, read from the running frame's builtins on every call (cheaper than an import).
py::object builtin(py::handle name);

// --- Calls --------------------------------------------------------------------------
// fn(*args) and fn(*args, **dict(kwargs)) through vectorcall, without building a tuple or a dict.
py::object call(py::handle fn, std::initializer_list<py::handle> args);
py::object call_kw(py::handle fn, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<py::handle, py::handle>> kwargs);

// --- Conversions that are the Python operation ----------------------------------
py::str to_pystr(py::handle o);      // str(o)
std::string to_str(py::handle o);    // str(o) as UTF-8 (surrogates escaped as by "surrogatepass")
py::str lower(py::handle s);         // s.lower()
double to_float(py::handle o);       // float(o): numbers and numeric text
py::object to_pyfloat(py::handle o); // float(o), kept as a Python float
py::object to_int(py::handle o);     // int(o): numbers and integer text, truncating floats
bool truth(py::handle o);            // bool(o)
bool lt(py::handle a, py::handle b);  // a < b
bool gt(py::handle a, py::handle b);  // a > b
bool ge(py::handle a, py::handle b);  // a >= b
bool eq(py::handle a, py::handle b);  // a == b
bool contains(py::handle container, py::handle key);  // key in container
bool is_finite(py::handle o);         // math.isfinite(o): numbers only, text is a TypeError

// --- File-system text -------------------------------------------------------------------
std::string fs_encode(py::handle text);       // os.fsencode(text)
py::str fs_decode(std::string_view bytes);    // os.fsdecode(bytes), as os.listdir decodes names
std::wstring to_wide(py::handle text);        // the text as wchar_t (the Win32 path form)
py::str from_wide(std::wstring_view text);

// --- Logging ----------------------------------------------------------------------
// logger.log(level, fmt, *args): formatting is left to the logging facility.
void log(py::handle logger, int level, const char *fmt, const py::tuple &args);
inline constexpr int kDebug = 10;
inline constexpr int kInfo = 20;
inline constexpr int kWarning = 30;
inline constexpr int kError = 40;

// --- Exceptions ----------------------------------------------------------------------
// Sets `exc_type(message)` as the current Python error, then throws error_already_set.
[[noreturn]] void throw_py(py::handle exc_type, const std::string &message);
[[noreturn]] void throw_py(py::handle exc_type, py::handle message);
// `raise exc_type(message) from cause`.
[[noreturn]] void throw_from(py::handle exc_type, py::handle message, py::handle cause);
// An OSError (the host picks the subclass, e.g. FileNotFoundError) built from an errno
// value and a file name, so that its text is the host's own.
[[noreturn]] void throw_errno(int err, py::handle filename);
// The same for an error code of the OS file calls: errno on POSIX, the Win32 error on Windows.
[[noreturn]] void throw_os_error(int code, py::handle filename);
// A bare `assert` failure: AssertionError without a message.
[[noreturn]] void throw_assertion();
// True when the pending error of `e` is an instance of `exc_type`.
bool matches(const py::error_already_set &e, py::handle exc_type);

// --- Functions called through vectorcall ------------------------------------------------
// A builtin function with a plain Python signature, called without pybind11's overload dispatch
// (which costs about as much as the rest of a short member). Arguments bind as they do for a def:
// by position up to `positional`, else by keyword; the last `defaults.size()` have defaults.
using Impl = py::object (*)(const py::handle *args);
struct Function {
    const char *name;                  // __name__; static text
    const char *doc;                   // __doc__ (without the signature), or nullptr; static text
    std::vector<const char *> params;  // every parameter, in order; static texts
    std::size_t positional;            // how many may be given by position; the rest are keyword-only
    std::vector<py::object> defaults;  // values of the last defaults.size() parameters
    Impl impl;
};
// The function object; its definition lives as long as the process.
py::object make_function(Function spec);

namespace detail {
template <typename R, typename... A>
constexpr std::size_t arity(R (*)(A...)) {
    return sizeof...(A);
}
template <auto F, std::size_t... I>
py::object invoke(const py::handle *args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<decltype(F(py::reinterpret_borrow<py::object>(args[I])...))>) {
        F(py::reinterpret_borrow<py::object>(args[I])...);
        return py::none();  // a def without a return value
    } else {
        return F(py::reinterpret_borrow<py::object>(args[I])...);
    }
}
}  // namespace detail

// An Impl calling `F(py::object...)` with one argument per parameter; a void F returns None.
template <auto F>
py::object adapt(const py::handle *args) {
    return detail::invoke<F>(args, std::make_index_sequence<detail::arity(F)>{});
}

// --- Classes with a Python base -----------------------------------------------------
// Builds `type(name, (base,), namespace)`; members keep the order in which they are added.
class ClassBuilder {
public:
    ClassBuilder(const char *name, py::handle base, py::handle module_name, const char *doc);
    ClassBuilder &method(Function spec);
    // A read-only property whose getter takes `self` alone.
    ClassBuilder &property(Function getter);
    ClassBuilder &class_method(Function spec);
    ClassBuilder &static_method(Function spec);
    ClassBuilder &attr(const char *name, py::handle value);
    py::object build() const;

private:
    std::string name_;
    py::object base_;
    py::dict ns_;
};

}  // namespace qorva::interop
