// The CKM quark-mixing matrix: nine real elements and the stored Jarlskog invariant.
#pragma once

#include <array>

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
    [[nodiscard]] double unitarity_deviation() const noexcept;

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
