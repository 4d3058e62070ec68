// Raising the host's exceptions from C++, and telling which one is pending.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace qorva::interop {

namespace py = pybind11;

// The new reference `o`, or error_already_set when the C-API call that made it failed (returned NULL).
py::object steal_or_throw(PyObject *o);

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

}  // namespace qorva::interop
