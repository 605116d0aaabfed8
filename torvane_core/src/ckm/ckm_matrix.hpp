// The CKM quark-mixing matrix: nine real elements and the stored Jarlskog invariant.
#pragma once

#include <array>
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
    // element of V is not finite (an infinite one could otherwise make every product infinite).
    [[nodiscard]] double unitarity_deviation() const noexcept;

    // True when every element of V V^T is within tol of the identity's: rows of unit norm and
    // mutually orthogonal. A non-finite element, a NaN tol or a negative tol gives false.
    [[nodiscard]] bool is_unitary(double tol) const noexcept {
        return within(unitarity_deviation(), tol);
    }

    // The verdict of is_unitary from a deviation found earlier: the matrix never changes, so a
    // holder may find it once. Written so that a NaN on either side fails.
    [[nodiscard]] static constexpr bool within(double deviation, double tol) noexcept {
        return deviation <= tol;
    }

    [[nodiscard]] constexpr double jarlskog() const noexcept { return j; }

    friend bool operator==(const CKMMatrix&, const CKMMatrix&) = default;
};

}  // namespace torvane
