#include "interop/lookup.hpp"

#include <stdexcept>

#include "interop/errors.hpp"

namespace qorva::interop {

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

void log(py::handle logger, int level, const char *fmt, const py::tuple &args) {
    py::tuple call_args(args.size() + 2);
    call_args[0] = py::int_(level);
    call_args[1] = py::str(fmt);
    for (size_t i = 0; i < args.size(); ++i) {
        call_args[i + 2] = args[i];
    }
    steal_or_throw(PyObject_CallObject(logger.attr("log").ptr(), call_args.ptr()));
}

}  // namespace qorva::interop
