// Threshold calibration from the good-sample score distribution: plain arithmetic on doubles,
// fed with NumPy's own mean, standard deviation and maximum so every figure matches NumPy's.
#pragma once

#include <cstddef>
#include <optional>

namespace qorva::core {

struct Calibration {
    double std = 1.0;        // population deviation, or 1.0 when it is at most kStdFloor
    double threshold = 0.0;  // mean + std * sigma, unrounded
    std::size_t n_bad = 0;   // good scores strictly above the threshold
    double fp_rate = 0.0;    // n_bad / n_scores
    std::optional<double> sigma_for_zero_fp;  // (max - mean) / std; absent for a single score
};

// Below this a deviation is a rounding residue of identical scores, not a spread.
inline constexpr double kStdFloor = 1e-9;

// `scores` holds every element of the score array (`count` of them); `n_scores` is its length.
Calibration calibrate(double mean, double raw_std, double max, double sigma, const double *scores, std::size_t count,
                      std::size_t n_scores);

}  // namespace qorva::core
