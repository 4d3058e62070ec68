#include "interop/errors.hpp"

#include <cerrno>

namespace qorva::interop {

py::object steal_or_throw(PyObject *o) {
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

void throw_py(py::handle exc_type, const std::string &message) { throw_py(exc_type, py::str(message)); }

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

}  // namespace qorva::interop
