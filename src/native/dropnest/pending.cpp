// Members still being written; each raises until its own file replaces it here.
#include "dropnest/members.hpp"

#include "common/interop.hpp"

namespace qorva::dropnest {

namespace {
[[noreturn]] void pending(const char *what) {
    interop::throw_py(py::handle(PyExc_NotImplementedError), std::string("DropnestCamera.") + what);
}
}  // namespace

py::list scan(py::object) { pending("_scan"); }
py::bool_ is_ready(py::object, py::object) { pending("_is_ready"); }
py::bool_ consume(py::object, py::object) { pending("_consume"); }
py::bool_ decode_failed(py::object, py::object, py::object) { pending("_decode_failed"); }
void dispose(py::object, py::object) { pending("_dispose"); }
void receive_loop(py::object) { pending("_receive_loop"); }

}  // namespace qorva::dropnest
