// _receive_loop: the body of the receiver thread.
#include "dropnest/camera_class.hpp"
#include "dropnest/members.hpp"
#include "dropnest/rules.hpp"

namespace qorva::dropnest {

namespace {

bool stop_requested(py::handle self) { return interop::truth(self.attr("_rx_stop").attr("is_set")()); }

}  // namespace

void receive_loop(py::object self) {
    const double interval = rules::poll_interval(interop::to_float(param(self, "poll_ms", py::int_(100))));
    const py::float_ timeout(interval);
    for (;;) {
        if (stop_requested(self)) {
            return;
        }
        long consumed = 0;
        for (py::handle fpath : self.attr("_scan")()) {
            if (stop_requested(self)) {
                return;
            }
            if (interop::truth(self.attr("_consume")(fpath))) {
                ++consumed;
            }
        }
        // A productive pass rescans at once so a backlog drains at decoding speed.
        if (consumed == 0) {
            self.attr("_rx_stop").attr("wait")(timeout);
        }
    }
}

}  // namespace qorva::dropnest
