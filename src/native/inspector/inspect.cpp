#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"

namespace qorva::inspector {

namespace {

constexpr const char *kNotTaught = "product is not taught yet (run teach, or place a trained bundle)";
constexpr const char *kBackbone = "EfficientAD(구조) + global Maha(map-free) + CSAD patch-hist(논리), AMP";
// A map at most this high has no hot region worth halving; it is drawn against kFlatMapThreshold.
constexpr double kMapFloor = 1e-9;
constexpr double kFlatMapThreshold = 1e-6;

struct Scored {
    py::object score;
    py::object amap;
    py::object parts;
};

py::object error_result(py::handle self, py::handle message) {
    return globals().attr("InspectionResult", "error")(self.attr("name"), message);
}

// Loads the bundle and scores the image; false (with `error` set) when the runner reported its own failure.
bool score(py::handle name, py::handle device, py::handle image, py::handle with_overlay, Scored &out,
           py::object &error) {
    const auto &g = globals();
    try {
        py::object bundle = g.attr("runner", "get_bundle")(name, device);
        py::object result = g.attr("runner", "score_image")(bundle, image, py::arg("with_map") = with_overlay);
        py::object items[3];
        std::size_t n = 0;
        for (py::handle item : result) {
            if (n == 3) {
                throw py::value_error("too many values to unpack (expected 3)");
            }
            items[n++] = py::reinterpret_borrow<py::object>(item);
        }
        if (n != 3) {
            throw py::value_error("not enough values to unpack (expected 3, got " + std::to_string(n) + ")");
        }
        out = Scored{items[0], items[1], items[2]};
        return true;
    } catch (py::error_already_set &e) {
        if (!interop::matches(e, g.attr("runner", "NorimError"))) {
            throw;
        }
        error = interop::to_pystr(e.value());
        return false;
    }
}

py::object overlay(py::handle image, py::handle amap, py::handle with_overlay) {
    if (!interop::truth(with_overlay) || amap.is_none() || !interop::gt(amap.attr("size"), py::int_(0))) {
        return py::none();
    }
    const auto &g = globals();
    const double m = interop::to_float(amap.attr("max")());
    const double viz_thr = m > kMapFloor ? m * 0.5 : kFlatMapThreshold;
    py::object map32 = amap.attr("astype")(g.attr("np", "float32"));
    return g.attr("amap_render", "render_overlay")(image, map32, viz_thr);
}

py::dict labels() {
    py::dict l;
    l["structural"] = py::str("구조(국소 결함)");
    l["mahalanobis"] = py::str("마할라노비스(전역 특징분포)");
    l["logical"] = py::str("논리(구성·개수, patch-hist)");
    return l;
}

py::dict details(py::handle score, py::handle threshold, py::handle parts) {
    py::object round = interop::builtin("round");
    py::dict d;
    if (interop::truth(threshold)) {
        py::object ratio = py::reinterpret_steal<py::object>(PyNumber_TrueDivide(score.ptr(), threshold.ptr()));
        if (!ratio) {
            throw py::error_already_set();
        }
        d["ratio_over_threshold"] = round(ratio, 3);
    } else {
        d["ratio_over_threshold"] = py::none();
    }
    d["backbone"] = py::str(kBackbone);
    py::dict branch;
    for (py::handle item : parts.attr("items")()) {
        branch[item[py::int_(0)]] = round(item[py::int_(1)], 4);
    }
    d["branch"] = branch;
    // The host's max keeps the first of equal values, so ties go to the earlier branch.
    py::object dominant = interop::builtin("max")(parts, py::arg("key") = parts.attr("__getitem__"));
    d["dominant_branch"] = dominant;
    d["dominant_label"] = labels()[dominant];
    d["localizable"] = py::bool_(interop::eq(dominant, py::str("structural")));
    return d;
}

}  // namespace

py::object inspect(py::object self, py::object image, py::object model_state, py::object with_overlay) {
    const auto &g = globals();
    if (model_state.is_none()) {
        return error_result(self, py::str(kNotTaught));
    }
    g.get("validate_image")(image);
    py::object cfg = self.attr("_cfg")(py::dict(), model_state.attr("params"));
    py::object name = self.attr("_bundle_name")(cfg, model_state.attr("product_id"));
    Scored s;
    py::object runner_error;
    if (!score(name, cfg[py::str("device")], image, with_overlay, s, runner_error)) {
        return error_result(self, runner_error);
    }
    py::object threshold = model_state.attr("threshold");
    // Every comparison with NaN is false, so a NaN score or threshold would read as OK.
    if (!interop::is_finite(s.score)) {
        return error_result(self, py::str("runner returned a non-finite score {!r}; the image cannot be judged").format(s.score));
    }
    if (!interop::is_finite(threshold)) {
        return error_result(self,
                            py::str("model state holds a non-finite threshold {!r}; teach the product again").format(threshold));
    }
    py::object verdict = interop::gt(s.score, threshold) ? g.attr("Verdict", "NG") : g.attr("Verdict", "OK");
    py::object over = overlay(image, s.amap, with_overlay);
    py::dict det = details(s.score, threshold, s.parts);
    py::object round = interop::builtin("round");
    return g.get("InspectionResult")(py::arg("verdict") = verdict, py::arg("score") = round(s.score, 4),
                                     py::arg("threshold") = round(threshold, 4), py::arg("module") = self.attr("name"),
                                     py::arg("details") = det, py::arg("overlay") = over);
}

}  // namespace qorva::inspector
