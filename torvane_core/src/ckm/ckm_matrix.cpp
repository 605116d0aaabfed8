// The unitarity test.
#include "ckm/ckm_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace torvane {

double CKMMatrix::unitarity_deviation() const noexcept {
    for (const auto& row : v) {
        for (double x : row) {
            if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
        }
    }
    double largest = 0.0;
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = a; b < 3; ++b) {
            // Each product formed by one multiplication, the three summed left to right.
            const double dot = (v[a][0] * v[b][0] + v[a][1] * v[b][1]) + v[a][2] * v[b][2];
            const double deviation = std::fabs(dot - (a == b ? 1.0 : 0.0));
            // Finite elements can still overflow to inf - inf; std::max would drop that NaN.
            if (std::isnan(deviation)) return deviation;
            largest = std::max(largest, deviation);
        }
    }
    return largest;
}

}  // namespace torvane
