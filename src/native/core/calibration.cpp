#include "core/calibration.hpp"

namespace qorva::core {

Calibration calibrate(double mean, double raw_std, double max, double sigma, const double *scores, std::size_t count,
                      std::size_t n_scores) {
    Calibration c;
    c.std = raw_std > kStdFloor ? raw_std : 1.0;
    c.threshold = mean + c.std * sigma;
    for (std::size_t i = 0; i < count; ++i) {
        if (scores[i] > c.threshold) {
            ++c.n_bad;
        }
    }
    c.fp_rate = static_cast<double>(c.n_bad) / static_cast<double>(n_scores);
    if (n_scores > 1) {
        c.sigma_for_zero_fp = (max - mean) / c.std;
    }
    return c;
}

}  // namespace qorva::core
