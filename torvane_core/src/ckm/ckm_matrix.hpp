// The CKM quark-mixing matrix: nine real elements and the stored Jarlskog invariant.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace torvane {

struct CKMMatrix {
    // Row i is the up-type quark u, c, t; column j the down-type quark d, s, b.
    std::array<std::array<double, 3>, 3> v;
    // Fixed when the value is built, never derived from v.
    double j;

    // The model's topology gives no mixing between generations: the identity, J = 0.
    [[nodiscard]] static constexpr CKMMatrix from_topology() noexcept {
        return CKMMatrix{{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}}, 0.0};
    }

    // The largest difference between an element of V V^T and the identity's; NaN when an
    // element of V is not finite or the products overflow to inf - inf. Computed at each call
    // (a few dozen floating-point operations): the value is the ten doubles and nothing else.
    [[nodiscard]] double unitarity_deviation() const noexcept {
        // Each product formed by one multiplication, the three summed left to right.
        const auto dot = [this](std::size_t a, std::size_t b) noexcept {
            return (v[a][0] * v[b][0] + v[a][1] * v[b][1]) + v[a][2] * v[b][2];
        };
        const auto larger = [](double a, double b) noexcept { return a > b ? a : b; };
        const double d00 = std::fabs(dot(0, 0) - 1.0);
        const double d11 = std::fabs(dot(1, 1) - 1.0);
        const double d22 = std::fabs(dot(2, 2) - 1.0);
        const double d01 = std::fabs(dot(0, 1));
        const double d02 = std::fabs(dot(0, 2));
        const double d12 = std::fabs(dot(1, 2));
        // The reductions are shallow trees rather than chains, so that the operations of a call
        // run side by side. The maximum skips a NaN operand; the sum of the deviations is NaN
        // exactly when one of them is (finite elements can overflow to inf - inf).
        const double largest = larger(larger(larger(d00, d11), larger(d22, d01)), larger(d02, d12));
        const double sum = ((d00 + d11) + (d22 + d01)) + (d02 + d12);
        if (sum != sum) return sum;
        // An infinite element makes its row's squared norm infinite, so it can only hide behind
        // an infinite deviation, which finite elements reach too by overflow: only there does
        // it take a look at the elements.
        if (largest == std::numeric_limits<double>::infinity()) [[unlikely]] {
            for (const auto& row : v) {
                for (const double x : row) {
                    if (!std::isfinite(x)) return std::numeric_limits<double>::quiet_NaN();
                }
            }
        }
        return largest;
    }

    // True when every element of V V^T is within tol of the identity's: rows of unit norm and
    // mutually orthogonal. A non-finite element, a NaN tol or a negative tol gives false.
    [[nodiscard]] bool is_unitary(double tol) const noexcept {
        // Written so that a NaN on either side fails.
        return unitarity_deviation() <= tol;
    }

    [[nodiscard]] constexpr double jarlskog() const noexcept { return j; }

    friend bool operator==(const CKMMatrix&, const CKMMatrix&) = default;
};

}  // namespace torvane
