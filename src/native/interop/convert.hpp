// Conversions and comparisons that are the Python operation itself, and the text forms of paths.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>

namespace qorva::interop {

namespace py = pybind11;

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
// `key, value = item` for one item of an `items()` view, without indexing when it is a plain pair.
std::pair<py::object, py::object> item_pair(py::handle item);

std::string fs_encode(py::handle text);       // os.fsencode(text)
py::str fs_decode(std::string_view bytes);    // os.fsdecode(bytes), as os.listdir decodes names
std::wstring to_wide(py::handle text);        // the text as wchar_t (the Win32 path form)
py::str from_wide(std::wstring_view text);

}  // namespace qorva::interop
