#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"

namespace qorva::inspector {

py::dict cfg(py::object /*self*/, py::object config, py::object state_params) {
    py::object defaults = globals().get("_DEFAULTS");
    // A fresh copy every time: callers own and may change what they get back.
    py::dict out = py::reinterpret_steal<py::dict>(interop::builtin("dict")(defaults).release());
    if (interop::truth(state_params)) {
        // Only the default keys come back from a stored state: thresholds and statistics stored
        // beside them are teach's output, not configuration.
        for (py::handle key : defaults) {
            if (interop::contains(state_params, key)) {
                out[key] = state_params[key];
            }
        }
    }
    for (py::handle item : config.attr("items")()) {
        py::object value = item[py::int_(1)];
        if (!value.is_none()) {
            out[item[py::int_(0)]] = value;
        }
    }
    return out;
}

py::object bundle_name(py::object cfg, py::object product_id) {
    py::object weights = cfg.attr("get")("weights");
    return interop::truth(weights) ? weights : product_id;
}

}  // namespace qorva::inspector
