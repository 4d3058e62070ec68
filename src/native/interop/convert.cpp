#include "interop/convert.hpp"

#include <cmath>

#include "interop/errors.hpp"

namespace qorva::interop {

namespace {

bool compare(py::handle a, py::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) {
        throw py::error_already_set();
    }
    return r == 1;
}

}  // namespace

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

std::pair<py::object, py::object> item_pair(py::handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1))};
    }
    return {item[py::int_(0)], item[py::int_(1)]};
}

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

}  // namespace qorva::interop
