// The unitarity test.
#include "ckm/ckm_matrix.hpp"

#include <cmath>

namespace torvane {

bool CKMMatrix::is_unitary(double tol) const noexcept {
    // An infinite element can make every product infinite, which an infinite tol would accept.
    for (const auto& row : v) {
        for (double x : row) {
            if (!std::isfinite(x)) return false;
        }
    }
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = a; b < 3; ++b) {
            const double dot = (v[a][0] * v[b][0] + v[a][1] * v[b][1]) + v[a][2] * v[b][2];
            const double deviation = std::fabs(dot - (a == b ? 1.0 : 0.0));
            // Written so that a NaN on either side fails.
            if (!(deviation <= tol)) return false;
        }
    }
    return true;
}

}  // namespace torvane
