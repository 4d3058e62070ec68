// inspect: score one image, judge it against the taught threshold, name the dominant branch.
// Mirrors tests/reference/norim.py: NorimInspector.inspect.
#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"
#include "inspector/names.hpp"
#include "inspector/texts.hpp"

namespace qorva::inspector {

namespace {

using namespace names;

// A map at most this high has no hot region worth halving; it is drawn against kFlatMapThreshold.
constexpr double kMapFloor = 1e-9;
constexpr double kFlatMapThreshold = 1e-6;

struct Scored {
    py::object score;
    py::object amap;
    py::object parts;
};

py::object error_result(py::handle self, py::handle message) {
    return interop::call(globals().attr(kInspectionResult, kError), {self.attr(kName), message});
}

// `score, amap, parts = result`, with the host's messages for a wrong count.
Scored unpack(py::handle result) {
    if (Py_TYPE(result.ptr())->tp_iter == nullptr && !PySequence_Check(result.ptr())) {
        throw py::type_error(std::string("cannot unpack non-iterable ") + Py_TYPE(result.ptr())->tp_name + " object");
    }
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
    return Scored{items[0], items[1], items[2]};
}

// Loads the bundle and scores the image; false (with `error` set) when the runner reported its own failure.
bool score(py::handle name, py::handle device, py::handle image, py::handle with_overlay, Scored &out,
           py::object &error) {
    const auto &g = globals();
    try {
        py::object bundle = interop::call(g.attr(kRunner, kGetBundle), {name, device});
        out = unpack(interop::call_kw(g.attr(kRunner, kScoreImage), {bundle, image}, {{kWithMap, with_overlay}}));
        return true;
    } catch (py::error_already_set &e) {
        if (!interop::matches(e, g.attr(kRunner, kNorimError))) {
            throw;
        }
        error = interop::to_pystr(e.value());
        return false;
    }
}

py::object overlay(py::handle image, py::handle amap, py::handle with_overlay) {
    if (!interop::truth(with_overlay) || amap.is_none() || !interop::gt(amap.attr(kSize), py::int_(0))) {
        return py::none();
    }
    const auto &g = globals();
    const double m = interop::to_float(interop::call(amap.attr(kMax), {}));
    const double viz_thr = m > kMapFloor ? m * 0.5 : kFlatMapThreshold;
    py::object map32 = interop::call(amap.attr(kAsType), {g.attr(kNp, kFloat32)});
    return interop::call(g.attr(kAmapRender, kRenderOverlay), {image, map32, py::float_(viz_thr)});
}

py::dict labels() {
    py::dict l;
    l[kStructural.get()] = texts::kStructuralLabel.get();
    l[kMahalanobis.get()] = texts::kMahalanobisLabel.get();
    l[kLogical.get()] = texts::kLogicalLabel.get();
    return l;
}

py::object ratio(py::handle score, py::handle threshold, py::handle round) {
    if (!interop::truth(threshold)) {
        return py::none();
    }
    py::object r = py::reinterpret_steal<py::object>(PyNumber_TrueDivide(score.ptr(), threshold.ptr()));
    if (!r) {
        throw py::error_already_set();
    }
    return interop::call(round, {r, py::int_(3)});
}

py::dict details(py::handle score, py::handle threshold, py::handle parts) {
    // The dominant branch is picked from the runner's values as they are, before anything is rounded or
    // divided: values that cannot be compared fail here, with the comparison's own error.
    // The host's max keeps the first of equal values, so ties go to the earlier branch; `get` rather than
    // indexing, so a mapping that post-processes lookups is ranked by the values `items` shows.
    py::object dominant = interop::call_kw(interop::builtin(kMax), {parts}, {{kKey, parts.attr(kGet)}});
    const bool localizable = interop::eq(dominant, kStructural);
    py::object round = interop::builtin(kRound);
    py::dict d;
    d[kRatioOverThreshold.get()] = ratio(score, threshold, round);
    d[kBackbone.get()] = texts::kBackboneLine.get();
    py::dict branch;
    for (py::handle item : interop::call(parts.attr(kItems), {})) {
        auto [key, value] = interop::item_pair(item);
        branch[key] = interop::call(round, {value, py::int_(4)});
    }
    d[kBranch.get()] = branch;
    d[kDominantBranch.get()] = dominant;
    d[kDominantLabel.get()] = labels()[dominant];
    d[kLocalizable.get()] = py::bool_(localizable);
    return d;
}

}  // namespace

py::object inspect(py::object self, py::object image, py::object model_state, py::object with_overlay) {
    const auto &g = globals();
    if (model_state.is_none()) {
        return error_result(self, py::str(texts::kNotTaught));
    }
    interop::call(g.get(kValidateImage), {image});
    py::object cfg = interop::call(self.attr(kCfg), {py::dict(), model_state.attr(kParams)});
    py::object name = interop::call(self.attr(kBundleName), {cfg, model_state.attr(kProductId)});
    Scored s;
    py::object runner_error;
    if (!score(name, cfg[kDevice.get()], image, with_overlay, s, runner_error)) {
        return error_result(self, runner_error);
    }
    py::object threshold = model_state.attr(kThreshold);
    // Every comparison with NaN is false, so a NaN score or threshold would read as OK.
    if (!interop::is_finite(s.score)) {
        return error_result(
            self, py::str("runner returned a non-finite score {!r}; the image cannot be judged").format(s.score));
    }
    if (!interop::is_finite(threshold)) {
        return error_result(
            self, py::str("model state holds a non-finite threshold {!r}; teach the product again").format(threshold));
    }
    py::object verdict = g.attr(kVerdict, interop::gt(s.score, threshold) ? kNG : kOK);
    py::object over = overlay(image, s.amap, with_overlay);
    py::dict det = details(s.score, threshold, s.parts);
    py::object round = interop::builtin(kRound);
    return interop::call_kw(g.get(kInspectionResult), {},
                            {{kVerdictField, verdict},
                             {kScore, interop::call(round, {s.score, py::int_(4)})},
                             {kThreshold, interop::call(round, {threshold, py::int_(4)})},
                             {kModule, self.attr(kName)},
                             {kDetails, det},
                             {kOverlay, over}});
}

}  // namespace qorva::inspector
