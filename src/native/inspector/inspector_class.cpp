// NorimInspector: module globals, purge_artifacts and the class itself, registered with the host.
// Mirrors tests/reference/norim.py: NorimInspector (class attributes, purge_artifacts).
#include "inspector/inspector_class.hpp"

#include "inspector/members.hpp"
#include "inspector/names.hpp"
#include "inspector/texts.hpp"

namespace qorva::inspector {

namespace {

interop::Globals g_globals;

// The package the module lives in; its two relative imports resolve against it.
constexpr const char *kPackage = "qorva.inspection.modules.norim";

constexpr const char *kCfgDoc =
    "Effective configuration: _DEFAULTS, then the stored values of its keys, then every non-None config entry.";
constexpr const char *kBundleNameDoc = "Bundle to load: cfg['weights'] when it is set, else the product id.";
constexpr const char *kInspectDoc =
    "Judge one image against the taught threshold; an untaught product or a runner failure is an error result.";

// `from <module> import <name>`: a missing name is the host's ImportError, as for the statement.
py::object from_import(const char *module, const char *name) {
    return interop::import_from(module, name, kPackage, 0);
}

py::dict make_defaults() {
    py::dict d;
    d["weights"] = py::none();
    d["sigma"] = py::float_(2.0);
    d["device"] = py::none();
    return d;
}

}  // namespace

const interop::Globals &globals() { return g_globals; }

py::object purge_artifacts(py::object /*cls*/, py::object product_id) {
    return interop::call(g_globals.attr(names::kRunner, names::kPurgeTrainCache), {product_id});
}

void init_globals(py::module_ &m) {
    g_globals.bind(m);
    m.attr("logging") = interop::import("logging");
    m.attr("Any") = from_import("typing", "Any");
    m.attr("np") = interop::import("numpy");
    m.attr("BaseInspector") = from_import("qorva.inspection.base", "BaseInspector");
    m.attr("ModelState") = from_import("qorva.inspection.base", "ModelState");
    m.attr("register") = from_import("qorva.inspection.registry", "register");
    m.attr("InspectionResult") = from_import("qorva.schemas.common", "InspectionResult");
    m.attr("Verdict") = from_import("qorva.schemas.common", "Verdict");
    m.attr("validate_image") = from_import("qorva.utils.imaging", "validate_image");
    m.attr("amap_render") = interop::import_from("anomaly", "anomaly_map", kPackage, 2);
    m.attr("runner") = interop::import_from("", "runner", kPackage, 1);
    m.attr("logger") = g_globals.attr("logging", "getLogger")("qorva.inspection.norim");
    m.attr("_DEFAULTS") = make_defaults();
}

void init_inspector_class(py::module_ &m) {
    using interop::adapt;
    const py::object overlay_default = py::bool_(true);
    interop::ClassBuilder cls("NorimInspector", g_globals.get("BaseInspector"), m.attr("__name__"), texts::kClassDoc);
    cls.attr("name", py::str("norim"))
        .class_method({"purge_artifacts", texts::kPurgeDoc, {"cls", "product_id"}, 2, {}, adapt<&purge_artifacts>})
        .method({"_cfg", kCfgDoc, {"self", "config", "state_params"}, 3, {py::none()}, adapt<&cfg>})
        .static_method({"_bundle_name", kBundleNameDoc, {"cfg", "product_id"}, 2, {}, adapt<&bundle_name>})
        .method({"teach", texts::kTeachDoc, {"self", "images", "config"}, 3, {}, adapt<&teach>})
        .method({"inspect", kInspectDoc, {"self", "image", "model_state", "with_overlay"}, 3, {overlay_default},
                 adapt<&inspect>});
    // Registration is the class decorator: the module keeps what `register` hands back.
    m.attr("NorimInspector") = g_globals.get("register")(cls.build());
}

}  // namespace qorva::inspector
