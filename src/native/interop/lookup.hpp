// Names, module globals, imports and builtins, resolved at every call as Python code resolves
// them; calls through vectorcall; logging through the host's loggers.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

namespace qorva::interop {

namespace py = pybind11;

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

// fn(*args) and fn(*args, **dict(kwargs)) through vectorcall, without building a tuple or a dict.
py::object call(py::handle fn, std::initializer_list<py::handle> args);
py::object call_kw(py::handle fn, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<py::handle, py::handle>> kwargs);

// logger.log(level, fmt, *args): formatting is left to the logging facility.
void log(py::handle logger, int level, const char *fmt, const py::tuple &args);
inline constexpr int kDebug = 10;
inline constexpr int kInfo = 20;
inline constexpr int kWarning = 30;
inline constexpr int kError = 40;

}  // namespace qorva::interop
