#include <pybind11/numpy.h>

#include <cmath>
#include <cstddef>

#include "inspector/calibration.hpp"
#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"

namespace qorva::inspector {

namespace {

using Scores = py::array_t<double, py::array::c_style | py::array::forcecast>;

// NumPy's figures for the good scores; `values` is a contiguous view of the same array.
struct GoodScores {
    py::object array;
    Scores values;
    std::size_t n = 0;
    double mean = 0.0;
    double std = 0.0;
    double max = 0.0;
};

py::object load_bundle(py::handle name, py::handle device) {
    const auto &g = globals();
    try {
        return g.attr("runner", "get_bundle")(name, device);
    } catch (py::error_already_set &e) {
        if (!interop::matches(e, g.attr("runner", "NorimError"))) {
            throw;
        }
        py::str msg = py::str("{}\n→ 티칭에서 NORIM 학습을 돌려 norim/{}/ 번들을 먼저 생성하세요.").format(e.value(), name);
        interop::throw_from(py::handle(PyExc_ValueError), msg, e.value());
    }
}

GoodScores good_score_stats(py::handle good_scores, py::handle bundle_name) {
    const auto &g = globals();
    py::object np = g.get("np");
    GoodScores s;
    s.array = np.attr("asarray")(good_scores, py::arg("dtype") = np.attr("float64"));
    s.n = py::len(s.array);
    // The mean of nothing is NaN, and a NaN threshold would pass every image.
    if (s.n == 0) {
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("teach: the runner returned no good-sample scores for bundle {!r}").format(bundle_name));
    }
    s.values = Scores::ensure(s.array);
    if (!s.values) {
        throw py::error_already_set();
    }
    if (!interop::truth(np.attr("isfinite")(s.array).attr("all")())) {
        std::size_t bad = 0;
        const double *v = s.values.data();
        for (py::ssize_t i = 0; i < s.values.size(); ++i) {
            bad += std::isfinite(v[i]) ? 0 : 1;
        }
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("양품 점수에 비정상값(NaN/inf) {}/{} — 번들/통계 손상 또는 전처리 불일치.").format(bad, s.n));
    }
    s.mean = interop::to_float(s.array.attr("mean")());
    s.std = interop::to_float(s.array.attr("std")());
    s.max = interop::to_float(s.array.attr("max")());
    return s;
}

double finite_sigma(py::handle sigma_raw, py::handle bundle_name) {
    const double sigma = interop::to_float(sigma_raw);
    // A NaN or infinite sigma would store a threshold that judges every image alike.
    if (!std::isfinite(sigma)) {
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("teach: sigma must be a finite number, got {!r} (bundle {!r})").format(sigma_raw,
                                                                                                        bundle_name));
    }
    return sigma;
}

py::list rounded_scores(py::handle good_scores) {
    py::object round = interop::builtin("round");
    py::list out;
    for (py::handle s : good_scores) {
        out.append(round(interop::to_pyfloat(s), 4));
    }
    return out;
}

}  // namespace

py::object teach(py::object self, py::object images, py::object config) {
    const auto &g = globals();
    if (!interop::truth(images)) {
        interop::throw_py(py::handle(PyExc_ValueError), "teach: good samples are required (20-50 recommended)");
    }
    py::object validate = g.get("validate_image");
    for (py::handle img : images) {
        validate(img);
    }
    py::object cfg = self.attr("_cfg")(config);
    py::object product_id = config.attr("get")("product_id", "unknown");
    py::object name = self.attr("_bundle_name")(cfg, product_id);
    py::object bundle = load_bundle(name, cfg[py::str("device")]);
    py::object device = bundle[py::str("device")];
    py::object good_scores = g.attr("runner", "score_good_images")(bundle, images);
    const GoodScores s = good_score_stats(good_scores, name);
    py::object sigma_raw = cfg[py::str("sigma")];
    const double sigma = finite_sigma(sigma_raw, name);
    const Calibration c = calibrate(s.mean, s.std, s.max, sigma, s.values.data(), static_cast<std::size_t>(s.values.size()), s.n);
    if (!std::isfinite(c.threshold)) {
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("teach: threshold mean {!r} + std {!r} x sigma {!r} is not finite (bundle {!r})")
                              .format(s.mean, c.std, sigma, name));
    }

    py::object round = interop::builtin("round");
    py::dict params = py::reinterpret_steal<py::dict>(interop::builtin("dict")(cfg).release());
    params["product_id"] = product_id;
    params["weights"] = name;
    params["n_good"] = py::int_(py::len(images));
    params["good_score_mean"] = py::float_(s.mean);
    params["good_score_max"] = py::float_(s.max);
    params["good_scores"] = rounded_scores(good_scores);
    params["device"] = device;
    params["threshold_source"] = py::str("good_mean+sigma*std");
    params["expected_fp_rate"] = round(py::float_(c.fp_rate), 4);
    params["expected_fp_count"] = py::int_(c.n_bad);
    params["sigma_for_zero_fp"] = c.sigma_for_zero_fp ? round(py::float_(*c.sigma_for_zero_fp), 2) : py::object(py::none());

    if (c.n_bad != 0) {
        // `sigma_for_zero_fp or 0.0`: a single score has no advice to give.
        const double advice = c.sigma_for_zero_fp && *c.sigma_for_zero_fp != 0.0 ? *c.sigma_for_zero_fp : 0.0;
        interop::log(g.get("logger"), interop::kInfo,
                     "norim teach: threshold=%.4f (sigma=%s) — %d/%d of the good samples would be judged NG (%.0f%%). "
                     "Raise sigma to %.2f for none.",
                     py::make_tuple(c.threshold, sigma_raw, c.n_bad, s.n, c.fp_rate * 100.0, advice));
    }
    return g.get("ModelState")(py::arg("module") = self.attr("name"), py::arg("product_id") = product_id,
                               py::arg("threshold") = c.threshold, py::arg("params") = params);
}

}  // namespace qorva::inspector
