#include <pybind11/numpy.h>

#include <cmath>
#include <cstddef>

#include "inspector/calibration.hpp"
#include "inspector/inspector_class.hpp"
#include "inspector/members.hpp"
#include "inspector/names.hpp"

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
        py::str msg = py::str("{}\n→ 티칭에서 NORIM 학습을 돌려 norim/{}/ 번들을 먼저 생성하세요.").format(e.value(), name);
        interop::throw_from(py::handle(PyExc_ValueError), msg, e.value());
    }
}

GoodScores good_score_stats(py::handle good_scores, py::handle bundle_name) {
    const auto &g = globals();
    py::object np = g.get(kNp);
    GoodScores s;
    s.array = interop::call_kw(np.attr(kAsArray), {good_scores}, {{kDtype, np.attr(kFloat64)}});
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
    if (!interop::truth(interop::call(interop::call(np.attr(kIsFinite), {s.array}).attr(kAll), {}))) {
        std::size_t bad = 0;
        const double *v = s.values.data();
        for (py::ssize_t i = 0; i < s.values.size(); ++i) {
            bad += std::isfinite(v[i]) ? 0 : 1;
        }
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("양품 점수에 비정상값(NaN/inf) {}/{} — 번들/통계 손상 또는 전처리 불일치.").format(bad, s.n));
    }
    s.mean = interop::to_float(interop::call(s.array.attr(kMean), {}));
    s.std = interop::to_float(interop::call(s.array.attr(kStd), {}));
    s.max = interop::to_float(interop::call(s.array.attr(kMax), {}));
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
    py::object round = interop::builtin(kRound);
    py::object places = py::int_(4);
    py::list out;
    for (py::handle s : good_scores) {
        out.append(interop::call(round, {interop::to_pyfloat(s), places}));
    }
    return out;
}

}  // namespace

py::object teach(py::object self, py::object images, py::object config) {
    const auto &g = globals();
    if (!interop::truth(images)) {
        interop::throw_py(py::handle(PyExc_ValueError), "teach: good samples are required (20-50 recommended)");
    }
    py::object validate = g.get(kValidateImage);
    for (py::handle img : images) {
        interop::call(validate, {img});
    }
    py::object cfg = interop::call(self.attr(kCfg), {config});
    py::object product_id = interop::call(config.attr(kGet), {kProductId, kUnknown});
    py::object name = interop::call(self.attr(kBundleName), {cfg, product_id});
    py::object bundle = load_bundle(name, cfg[kDevice.get()]);
    py::object device = bundle[kDevice.get()];
    py::object good_scores = interop::call(g.attr(kRunner, kScoreGoodImages), {bundle, images});
    const GoodScores s = good_score_stats(good_scores, name);
    py::object sigma_raw = cfg[kSigma.get()];
    const double sigma = finite_sigma(sigma_raw, name);
    const Calibration c = calibrate(s.mean, s.std, s.max, sigma, s.values.data(), static_cast<std::size_t>(s.values.size()), s.n);
    if (!std::isfinite(c.threshold)) {
        interop::throw_py(py::handle(PyExc_ValueError),
                          py::str("teach: threshold mean {!r} + std {!r} x sigma {!r} is not finite (bundle {!r})")
                              .format(s.mean, c.std, sigma, name));
    }

    py::object round = interop::builtin(kRound);
    py::dict params = py::reinterpret_steal<py::dict>(interop::call(interop::builtin(kDict), {cfg}).release());
    params[kProductId.get()] = product_id;
    params[kWeights.get()] = name;
    params[kNGood.get()] = py::int_(py::len(images));
    params[kGoodScoreMean.get()] = py::float_(s.mean);
    params[kGoodScoreMax.get()] = py::float_(s.max);
    params[kGoodScores.get()] = rounded_scores(good_scores);
    params[kDevice.get()] = device;
    params[kThresholdSource.get()] = kThresholdSourceText.get();
    params[kExpectedFpRate.get()] = interop::call(round, {py::float_(c.fp_rate), py::int_(4)});
    params[kExpectedFpCount.get()] = py::int_(c.n_bad);
    params[kSigmaForZeroFp.get()] = c.sigma_for_zero_fp
                                        ? interop::call(round, {py::float_(*c.sigma_for_zero_fp), py::int_(2)})
                                        : py::object(py::none());

    if (c.n_bad != 0) {
        // `sigma_for_zero_fp or 0.0`: a single score has no advice to give.
        const double advice = c.sigma_for_zero_fp && *c.sigma_for_zero_fp != 0.0 ? *c.sigma_for_zero_fp : 0.0;
        interop::log(g.get(kLogger), interop::kInfo,
                     "norim teach: threshold=%.4f (sigma=%s) — %d/%d of the good samples would be judged NG (%.0f%%). "
                     "Raise sigma to %.2f for none.",
                     py::make_tuple(c.threshold, sigma_raw, c.n_bad, s.n, c.fp_rate * 100.0, advice));
    }
    return interop::call_kw(g.get(kModelState), {},
                            {{kModule, self.attr(kName)},
                             {kProductId, product_id},
                             {kThreshold, py::float_(c.threshold)},
                             {kParams, params}});
}

}  // namespace qorva::inspector
