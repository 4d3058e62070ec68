// teach: load the bundle, score the good samples, calibrate the threshold into a model state.
// Mirrors tests/reference/norim.py: NorimInspector.teach.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstddef>

#include "core/calibration.hpp"
#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"
#include "inspector/names.hpp"
#include "inspector/texts.hpp"

namespace qorva::inspector {

namespace {

using namespace names;

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
        return interop::call(g.attr(kRunner, kGetBundle), {name, device});
    } catch (py::error_already_set &e) {
        if (!interop::matches(e, g.attr(kRunner, kNorimError))) {
            throw;
        }
        py::str msg = py::str(texts::kBundleMissing).format(e.value(), name);
        interop::throw_from(py::handle(PyExc_ValueError), msg, e.value());
    }
}

GoodScores good_score_stats(py::handle good_scores, py::handle bundle_name) {
    const auto &g = globals();
    py::object np = g.get(kNp);
    GoodScores s;
    s.array = interop::call_kw(np.attr(kAsArray), {good_scores}, {{kDtype, np.attr(kFloat64)}});
    // The element count, as NumPy counts the scores: a runner that answers one number gives a 0-d array.
    s.n = py::cast<std::size_t>(s.array.attr(kSize));
    // The mean of nothing is NaN, and a NaN threshold would pass every image.
    if (s.n == 0) {
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("teach: the runner returned no good-sample scores for bundle {!r}")
                              .format(bundle_name));
    }
    s.values = Scores::ensure(s.array);
    if (!s.values) {
        throw py::error_already_set();
    }
    if (!interop::truth(interop::call(interop::call(np.attr(kIsFinite), {s.array}).attr(kAll), {}))) {
        std::size_t bad = 0;
        const double *v = s.values.data();
        for (py::ssize_t i = 0; i < s.values.size(); ++i) {
            bad += std::isfinite(v[i]) ? 0 : 1;
        }
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str(texts::kNonFiniteScores).format(bad, s.n));
    }
    s.mean = interop::to_float(interop::call(s.array.attr(kMean), {}));
    s.std = interop::to_float(interop::call(s.array.attr(kStd), {}));
    s.max = interop::to_float(interop::call(s.array.attr(kMax), {}));
    return s;
}

// Threshold from the good scores and the configured sigma; a NaN or infinite sigma or threshold is
// refused, because a comparison with NaN is always false and such a threshold would pass every image.
core::Calibration calibrated(const GoodScores &s, py::handle sigma_raw, py::handle bundle_name) {
    const double sigma = interop::to_float(sigma_raw);
    if (!std::isfinite(sigma)) {
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("teach: sigma must be a finite number, got {!r} (bundle {!r})")
                              .format(sigma_raw, bundle_name));
    }
    const core::Calibration c =
        core::calibrate(s.mean, s.std, s.max, sigma, s.values.data(), static_cast<std::size_t>(s.values.size()), s.n);
    if (!std::isfinite(c.threshold)) {
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("teach: threshold mean {!r} + std {!r} x sigma {!r} is not finite (bundle {!r})")
                              .format(s.mean, c.std, sigma, bundle_name));
    }
    return c;
}

py::list rounded_scores(py::handle good_scores, py::handle round) {
    py::object places = py::int_(4);
    py::list out;
    for (py::handle s : good_scores) {
        out.append(interop::call(round, {interop::to_pyfloat(s), places}));
    }
    return out;
}

// What teach resolved before scoring, carried into the state parameters.
struct Resolved {
    py::object cfg;
    py::object product_id;
    py::object name;
    py::object device;
    py::object good_scores;
    py::object images;  // counted only when the state parameters are built
};

py::dict state_params(const Resolved &r, const GoodScores &s, const core::Calibration &c) {
    py::object round = interop::builtin(kRound);
    py::dict params = py::reinterpret_steal<py::dict>(interop::call(interop::builtin(kDict), {r.cfg}).release());
    params[kProductId.get()] = r.product_id;
    params[kWeights.get()] = r.name;
    params[kNGood.get()] = py::int_(py::len(r.images));
    params[kGoodScoreMean.get()] = py::float_(s.mean);
    params[kGoodScoreMax.get()] = py::float_(s.max);
    params[kGoodScores.get()] = rounded_scores(r.good_scores, round);
    params[kDevice.get()] = r.device;
    params[kThresholdSource.get()] = kThresholdSourceText.get();
    params[kExpectedFpRate.get()] = interop::call(round, {py::float_(c.fp_rate), py::int_(4)});
    params[kExpectedFpCount.get()] = py::int_(c.n_bad);
    params[kSigmaForZeroFp.get()] = c.sigma_for_zero_fp
                                        ? interop::call(round, {py::float_(*c.sigma_for_zero_fp), py::int_(2)})
                                        : py::object(py::none());
    return params;
}

void log_false_positives(py::handle sigma_raw, const GoodScores &s, const core::Calibration &c) {
    // `sigma_for_zero_fp or 0.0`: a single score has no advice to give.
    const double advice = c.sigma_for_zero_fp && *c.sigma_for_zero_fp != 0.0 ? *c.sigma_for_zero_fp : 0.0;
    interop::log(globals().get(kLogger), interop::kInfo,
                 texts::kFalsePositives,
                 py::make_tuple(c.threshold, sigma_raw, c.n_bad, s.n, c.fp_rate * 100.0, advice));
}

}  // namespace

py::object teach(py::object self, py::object images, py::object config) {
    const auto &g = globals();
    if (!interop::truth(images)) {
        interop::throw_py(py::handle(PyExc_ValueError), texts::kNoSamples);
    }
    py::object validate = g.get(kValidateImage);
    for (py::handle img : images) {
        interop::call(validate, {img});
    }
    Resolved r;
    r.cfg = interop::call(self.attr(kCfg), {config});
    r.product_id = interop::call(config.attr(kGet), {kProductId, kUnknown});
    r.name = interop::call(self.attr(kBundleName), {r.cfg, r.product_id});
    py::object bundle = load_bundle(r.name, r.cfg[kDevice.get()]);
    r.device = bundle[kDevice.get()];
    r.good_scores = interop::call(g.attr(kRunner, kScoreGoodImages), {bundle, images});
    r.images = images;
    const GoodScores s = good_score_stats(r.good_scores, r.name);
    py::object sigma_raw = r.cfg[kSigma.get()];
    const core::Calibration c = calibrated(s, sigma_raw, r.name);
    py::dict params = state_params(r, s, c);
    if (c.n_bad != 0) {
        log_false_positives(sigma_raw, s, c);
    }
    return interop::call_kw(g.get(kModelState), {},
                            {{kModule, self.attr(kName)},
                             {kProductId, r.product_id},
                             {kThreshold, py::float_(c.threshold)},
                             {kParams, params}});
}

}  // namespace qorva::inspector
