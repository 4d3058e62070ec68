#include "interop/function.hpp"

#include <stdexcept>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "interop/convert.hpp"
#include "interop/errors.hpp"
#include "interop/lookup.hpp"

namespace qorva::interop {

namespace {

struct FunctionDef {
    Function desc;
    std::string qualname;
    std::string doc;  // text signature, then the documentation
    PyMethodDef def{};
    PyObject *refusal = nullptr;  // a def of the same signature, made on the first call that does not bind
};

std::string text_signature(const Function &desc) {
    std::string sig = std::string(desc.name) + "(";
    const std::size_t first_default = desc.params.size() - desc.defaults.size();
    for (std::size_t i = 0; i < desc.params.size(); ++i) {
        if (i > 0) {
            sig += ", ";
        }
        if (i == desc.positional) {
            sig += "*, ";
        }
        sig += desc.params[i];
        if (i >= first_default) {
            sig += "=" + to_str(py::repr(desc.defaults[i - first_default]));
        }
    }
    return sig + ")\n--\n\n";
}

// Binds the call's arguments to the parameters as a def would; false when they do not bind.
bool bind_arguments(const Function &desc, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **slots) {
    const auto n = static_cast<Py_ssize_t>(desc.params.size());
    if (nargs > static_cast<Py_ssize_t>(desc.positional)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < n && PyUnicode_CompareWithASCIIString(key, desc.params[i]) != 0) {
            ++i;
        }
        if (i == n || slots[i] != nullptr) {
            return false;  // unexpected keyword, or a second value for one parameter
        }
        slots[i] = args[nargs + k];
    }
    const Py_ssize_t first_default = n - static_cast<Py_ssize_t>(desc.defaults.size());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (slots[i] == nullptr) {
            if (i < first_default) {
                return false;
            }
            slots[i] = desc.defaults[static_cast<std::size_t>(i - first_default)].ptr();
        }
    }
    return true;
}

// A def with the member's signature and qualified name, which the host binds and refuses itself.
py::object make_refusal(const FunctionDef &fd) {
    const Function &desc = fd.desc;
    std::string src = std::string("def ") + desc.name + "(";
    const std::size_t first_default = desc.params.size() - desc.defaults.size();
    for (std::size_t i = 0; i < desc.params.size(); ++i) {
        src += i == 0 ? "" : ", ";
        src += i == desc.positional ? "*, " : "";
        src += desc.params[i];
        src += i >= first_default ? "=None" : "";
    }
    src += "):\n    pass\n";
    py::dict ns;
    ns["__builtins__"] = import("builtins");
    steal_or_throw(PyRun_String(src.c_str(), Py_file_input, ns.ptr(), ns.ptr()));
    py::object fn = ns[desc.name];
    fn.attr("__qualname__") = py::str(fd.qualname);
    return fn;
}

// The host's TypeError for a call that does not bind: the text a def gives ("NorimInspector.inspect()
// takes 3 positional arguments but 4 were given", "... missing 1 required positional argument: 'config'").
void refuse(FunctionDef &fd, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (fd.refusal == nullptr) {
        fd.refusal = make_refusal(fd).release().ptr();  // kept for the life of the process, as fd is
    }
    PyObject *r = PyObject_Vectorcall(fd.refusal, args, static_cast<size_t>(nargs), kwnames);
    if (r != nullptr) {
        Py_DECREF(r);
        PyErr_Format(PyExc_SystemError, "%s(): arguments refused here bind for a def", fd.qualname.c_str());
    }
}

PyObject *trampoline(PyObject *capsule, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    auto *fd = static_cast<FunctionDef *>(PyCapsule_GetPointer(capsule, nullptr));
    if (fd == nullptr) {
        return nullptr;
    }
    PyObject *slots[8] = {};
    py::handle handles[8];
    try {
        if (!bind_arguments(fd->desc, args, nargs, kwnames, slots)) {
            refuse(*fd, args, nargs, kwnames);
            return nullptr;
        }
        for (std::size_t i = 0; i < fd->desc.params.size(); ++i) {
            handles[i] = slots[i];
        }
        return fd->desc.impl(handles).release().ptr();
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

py::object make_function(Function desc, const std::string &qualname) {
    if (desc.params.size() > 8 || desc.defaults.size() > desc.params.size()) {
        throw std::invalid_argument("interop::make_function: at most 8 parameters, defaults among them");
    }
    // Owned by the function object for the life of the process: a PyMethodDef must outlive it.
    auto *fd = new FunctionDef{std::move(desc), {}, {}, {}, nullptr};
    fd->qualname = qualname.empty() ? std::string(fd->desc.name) : qualname;
    fd->doc = text_signature(fd->desc) + (fd->desc.doc ? fd->desc.doc : "");
    fd->def.ml_name = fd->desc.name;
    fd->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline));
    fd->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    fd->def.ml_doc = fd->doc.c_str();
    py::object capsule = steal_or_throw(PyCapsule_New(fd, nullptr, nullptr));
    return steal_or_throw(PyCFunction_NewEx(&fd->def, capsule.ptr(), nullptr));
}

ClassBuilder::ClassBuilder(const char *name, py::handle base, py::handle module_name, const char *doc)
    : name_(name), base_(py::reinterpret_borrow<py::object>(base)) {
    ns_["__module__"] = module_name;
    ns_["__qualname__"] = py::str(name);
    ns_["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
}

py::object ClassBuilder::member(Function desc) const {
    const std::string qualname = name_ + "." + desc.name;
    return make_function(std::move(desc), qualname);
}

ClassBuilder &ClassBuilder::attr(const char *name, py::handle value) {
    ns_[name] = value;
    return *this;
}

ClassBuilder &ClassBuilder::method(Function desc) {
    const char *name = desc.name;
    // A builtin function does not bind `self`; instancemethod gives it the descriptor a def has.
    ns_[name] = steal_or_throw(PyInstanceMethod_New(member(std::move(desc)).ptr()));
    return *this;
}

ClassBuilder &ClassBuilder::property(Function getter) {
    const char *name = getter.name;
    const char *doc = getter.doc;
    ns_[name] = lookup("builtins", "property")(member(std::move(getter)), py::none(), py::none(),
                                               doc ? py::object(py::str(doc)) : py::object(py::none()));
    return *this;
}

ClassBuilder &ClassBuilder::class_method(Function desc) {
    const char *name = desc.name;
    ns_[name] = lookup("builtins", "classmethod")(member(std::move(desc)));
    return *this;
}

ClassBuilder &ClassBuilder::static_method(Function desc) {
    const char *name = desc.name;
    ns_[name] = lookup("builtins", "staticmethod")(member(std::move(desc)));
    return *this;
}

py::object ClassBuilder::build() const {
    // Call the base's metaclass, as a class statement does (the base may use ABCMeta).
    py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(Py_TYPE(base_.ptr())));
    return meta(py::str(name_), py::make_tuple(base_), ns_);
}

}  // namespace qorva::interop
