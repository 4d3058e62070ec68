#include "common/interop.hpp"

#include <cerrno>
#include <cmath>
#include <stdexcept>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace qorva::interop {

namespace {

py::object steal_or_throw(PyObject *o) {
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

bool compare(py::handle a, py::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

}  // namespace

// --- Names -----------------------------------------------------------------------

py::handle Name::get() const {
    if (obj_ == nullptr) {
        PyObject *o = PyUnicode_InternFromString(text_);
        if (o == nullptr) {
            throw py::error_already_set();
        }
        obj_ = o;  // owned for the life of the process, never released
    }
    return obj_;
}

// --- Globals ---------------------------------------------------------------------

void Globals::bind(py::module_ &m) {
    PyObject *d = PyModule_GetDict(m.ptr());  // borrowed
    Py_XINCREF(d);
    dict_ = d;
}

py::object Globals::get(const char *name) const {
    PyObject *v = PyDict_GetItemString(dict_, name);  // borrowed, no error set
    if (v == nullptr) {
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object Globals::get(py::handle name) const {
    PyObject *v = PyDict_GetItemWithError(dict_, name.ptr());  // borrowed
    if (v == nullptr) {
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object Globals::attr(const char *module, const char *name) const { return get(module).attr(name); }

py::object Globals::attr(py::handle module, py::handle name) const { return get(module).attr(name); }

// --- Imports -----------------------------------------------------------------------

py::object import(const char *module) { return py::module_::import(module); }

py::object lookup(const char *module, const char *name) { return import(module).attr(name); }

py::object import_from(const char *module, const char *name, const char *package, int level) {
    py::dict globals;
    globals["__package__"] = py::str(package);
    globals["__name__"] = py::str(package);
    py::list fromlist;
    fromlist.append(py::str(name));
    py::object mod = steal_or_throw(PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), level));
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%S'", name, py::str(mod.attr("__name__")).ptr());
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
}

py::object builtin(py::handle name) {
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed
    PyObject *v = builtins ? PyDict_GetItemWithError(builtins, name.ptr()) : nullptr;
    if (v == nullptr) {
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return import("builtins").attr(name);
    }
    return py::reinterpret_borrow<py::object>(v);
}

// --- Calls ---------------------------------------------------------------------------

py::object call(py::handle fn, std::initializer_list<py::handle> args) {
    PyObject *argv[8];
    if (args.size() > 8) {
        throw std::length_error("interop::call: at most 8 arguments");
    }
    size_t n = 0;
    for (py::handle a : args) {
        argv[n++] = a.ptr();
    }
    return steal_or_throw(PyObject_Vectorcall(fn.ptr(), argv, n, nullptr));
}

py::object call_kw(py::handle fn, std::initializer_list<py::handle> args,
                   std::initializer_list<std::pair<py::handle, py::handle>> kwargs) {
    PyObject *argv[8];
    if (args.size() + kwargs.size() > 8) {
        throw std::length_error("interop::call_kw: at most 8 arguments");
    }
    py::tuple names(kwargs.size());
    size_t n = 0;
    for (py::handle a : args) {
        argv[n++] = a.ptr();
    }
    size_t k = 0;
    for (const auto &kv : kwargs) {
        names[k++] = kv.first;
        argv[n++] = kv.second.ptr();
    }
    return steal_or_throw(PyObject_Vectorcall(fn.ptr(), argv, args.size(), names.ptr()));
}

// --- Conversions ---------------------------------------------------------------------

py::str to_pystr(py::handle o) { return py::reinterpret_steal<py::str>(steal_or_throw(PyObject_Str(o.ptr())).release()); }

std::string to_str(py::handle o) {
    py::str s = to_pystr(o);
    py::object b = steal_or_throw(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(b.ptr(), &data, &size) != 0) {
        throw py::error_already_set();
    }
    return std::string(data, static_cast<size_t>(size));
}

py::str lower(py::handle s) { return py::reinterpret_steal<py::str>(s.attr("lower")().release()); }

py::object to_pyfloat(py::handle o) { return steal_or_throw(PyNumber_Float(o.ptr())); }

double to_float(py::handle o) {
    py::object f = to_pyfloat(o);
    return PyFloat_AsDouble(f.ptr());
}

py::object to_int(py::handle o) { return steal_or_throw(PyNumber_Long(o.ptr())); }

bool truth(py::handle o) {
    const int r = PyObject_IsTrue(o.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

bool lt(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
bool gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }
bool ge(py::handle a, py::handle b) { return compare(a, b, Py_GE); }
bool eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }

// --- File-system text -------------------------------------------------------------------

std::string fs_encode(py::handle text) {
    py::object b = steal_or_throw(PyUnicode_EncodeFSDefault(text.ptr()));
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

py::str fs_decode(std::string_view bytes) {
    return py::reinterpret_steal<py::str>(
        steal_or_throw(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())))
            .release());
}

std::wstring to_wide(py::handle text) {
    Py_ssize_t size = 0;
    wchar_t *w = PyUnicode_AsWideCharString(text.ptr(), &size);
    if (w == nullptr) {
        throw py::error_already_set();
    }
    std::wstring out(w, static_cast<size_t>(size));
    PyMem_Free(w);
    return out;
}

py::str from_wide(std::wstring_view text) {
    return py::reinterpret_steal<py::str>(
        steal_or_throw(PyUnicode_FromWideChar(text.data(), static_cast<Py_ssize_t>(text.size()))).release());
}

bool contains(py::handle container, py::handle key) {
    const int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

bool is_finite(py::handle o) {
    const double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return std::isfinite(v);
}

// --- Logging -------------------------------------------------------------------------

void log(py::handle logger, int level, const char *fmt, const py::tuple &args) {
    py::tuple call_args(args.size() + 2);
    call_args[0] = py::int_(level);
    call_args[1] = py::str(fmt);
    for (size_t i = 0; i < args.size(); ++i) {
        call_args[i + 2] = args[i];
    }
    steal_or_throw(PyObject_CallObject(logger.attr("log").ptr(), call_args.ptr()));
}

// --- Exceptions -------------------------------------------------------------------------

void throw_py(py::handle exc_type, const std::string &message) {
    throw_py(exc_type, py::str(message));
}

void throw_py(py::handle exc_type, py::handle message) {
    PyErr_SetObject(exc_type.ptr(), message.ptr());
    throw py::error_already_set();
}

void throw_from(py::handle exc_type, py::handle message, py::handle cause) {
    py::object exc = exc_type(message);
    // PyException_SetCause steals a reference and also sets __suppress_context__, as `from` does.
    PyException_SetCause(exc.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    PyException_SetContext(exc.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

void throw_errno(int err, py::handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw py::error_already_set();
}

void throw_os_error(int code, py::handle filename) {
#ifdef _WIN32
    PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, code, filename.ptr());
    throw py::error_already_set();
#else
    throw_errno(code, filename);
#endif
}

void throw_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

bool matches(const py::error_already_set &e, py::handle exc_type) { return e.matches(exc_type); }

// --- Functions called through vectorcall ------------------------------------------------

namespace {

struct FunctionDef {
    Function spec;
    std::string doc;  // text signature, then the documentation
    PyMethodDef def{};
};

std::string text_signature(const Function &spec) {
    std::string sig = std::string(spec.name) + "(";
    const std::size_t first_default = spec.params.size() - spec.defaults.size();
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        if (i > 0) {
            sig += ", ";
        }
        if (i == spec.positional) {
            sig += "*, ";
        }
        sig += spec.params[i];
        if (i >= first_default) {
            sig += "=" + to_str(py::repr(spec.defaults[i - first_default]));
        }
    }
    return sig + ")\n--\n\n";
}

// Binds the call's arguments to the parameters as a def would; false with a TypeError set otherwise.
bool bind_arguments(const Function &spec, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **slots) {
    const auto n = static_cast<Py_ssize_t>(spec.params.size());
    if (nargs > static_cast<Py_ssize_t>(spec.positional)) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", spec.name,
                     static_cast<Py_ssize_t>(spec.positional), nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < n && PyUnicode_CompareWithASCIIString(key, spec.params[i]) != 0) {
            ++i;
        }
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
            return false;
        }
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.name, spec.params[i]);
            return false;
        }
        slots[i] = args[nargs + k];
    }
    const Py_ssize_t first_default = n - static_cast<Py_ssize_t>(spec.defaults.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (slots[i] != nullptr) {
            continue;
        }
        if (i < first_default) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument: '%s'", spec.name, spec.params[i]);
            return false;
        }
        slots[i] = spec.defaults[static_cast<std::size_t>(i - first_default)].ptr();
    }
    return true;
}

PyObject *trampoline(PyObject *capsule, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    const auto *fd = static_cast<const FunctionDef *>(PyCapsule_GetPointer(capsule, nullptr));
    if (fd == nullptr) {
        return nullptr;
    }
    PyObject *slots[8] = {};
    if (!bind_arguments(fd->spec, args, nargs, kwnames, slots)) {
        return nullptr;
    }
    py::handle handles[8];
    for (std::size_t i = 0; i < fd->spec.params.size(); ++i) {
        handles[i] = slots[i];
    }
    try {
        return fd->spec.impl(handles).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        // glibc ends a thread that touches a finalising interpreter by unwinding it; swallowing
        // that unwind aborts the process, so it must pass through.
        throw;
#endif
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

}  // namespace

py::object make_function(Function spec) {
    if (spec.params.size() > 8 || spec.defaults.size() > spec.params.size()) {
        throw std::invalid_argument("interop::make_function: at most 8 parameters, defaults among them");
    }
    // Owned by the function object for the life of the process: a PyMethodDef must outlive it.
    auto *fd = new FunctionDef{std::move(spec), {}, {}};
    fd->doc = text_signature(fd->spec) + (fd->spec.doc ? fd->spec.doc : "");
    fd->def.ml_name = fd->spec.name;
    fd->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline));
    fd->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    fd->def.ml_doc = fd->doc.c_str();
    py::object capsule = steal_or_throw(PyCapsule_New(fd, nullptr, nullptr));
    return steal_or_throw(PyCFunction_NewEx(&fd->def, capsule.ptr(), nullptr));
}

// --- ClassBuilder ---------------------------------------------------------------------

ClassBuilder::ClassBuilder(const char *name, py::handle base, py::handle module_name, const char *doc)
    : name_(name), base_(py::reinterpret_borrow<py::object>(base)) {
    ns_["__module__"] = module_name;
    ns_["__qualname__"] = py::str(name);
    ns_["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
}

ClassBuilder &ClassBuilder::attr(const char *name, py::handle value) {
    ns_[name] = value;
    return *this;
}

ClassBuilder &ClassBuilder::method(Function spec) {
    const char *name = spec.name;
    // A builtin function does not bind `self`; instancemethod gives it the descriptor a def has.
    ns_[name] = steal_or_throw(PyInstanceMethod_New(make_function(std::move(spec)).ptr()));
    return *this;
}

ClassBuilder &ClassBuilder::property(Function getter) {
    const char *name = getter.name;
    const char *doc = getter.doc;
    ns_[name] = lookup("builtins", "property")(make_function(std::move(getter)), py::none(), py::none(),
                                               doc ? py::object(py::str(doc)) : py::object(py::none()));
    return *this;
}

ClassBuilder &ClassBuilder::class_method(Function spec) {
    const char *name = spec.name;
    ns_[name] = lookup("builtins", "classmethod")(make_function(std::move(spec)));
    return *this;
}

ClassBuilder &ClassBuilder::static_method(Function spec) {
    const char *name = spec.name;
    ns_[name] = lookup("builtins", "staticmethod")(make_function(std::move(spec)));
    return *this;
}

py::object ClassBuilder::build() const {
    // Call the base's metaclass, as a class statement does (the base may use ABCMeta).
    py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(Py_TYPE(base_.ptr())));
    return meta(py::str(name_), py::make_tuple(base_), ns_);
}

}  // namespace qorva::interop
