// _cfg and _bundle_name: the effective configuration and the bundle it names.
// Mirrors tests/reference/norim.py: NorimInspector._cfg, NorimInspector._bundle_name.
#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"
#include "inspector/names.hpp"

namespace qorva::inspector {

using namespace names;

py::dict cfg(py::object /*self*/, py::object config, py::object state_params) {
    py::object defaults = globals().get(kDefaults);
    // A fresh copy every time: callers own and may change what they get back.
    py::dict out = py::reinterpret_steal<py::dict>(interop::call(interop::builtin(kDict), {defaults}).release());
    if (interop::truth(state_params)) {
        // Only the default keys come back from a stored state: thresholds and statistics stored
        // beside them are teach's output, not configuration.
        for (py::handle key : defaults) {
            if (interop::contains(state_params, key)) {
                out[key] = state_params[key];
            }
        }
    }
    for (py::handle item : interop::call(config.attr(kItems), {})) {
        auto [key, value] = interop::item_pair(item);
        if (!value.is_none()) {
            out[key] = value;
        }
    }
    return out;
}

py::object bundle_name(py::object cfg, py::object product_id) {
    py::object weights = interop::call(cfg.attr(kGet), {kWeights});
    return interop::truth(weights) ? weights : product_id;
}

}  // namespace qorva::inspector
