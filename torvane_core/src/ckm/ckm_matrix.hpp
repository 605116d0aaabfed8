// The CKM quark-mixing matrix: nine real elements and the stored Jarlskog invariant.
#pragma once

#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>

// The unitarity check's exactness and its overflow both need every double operation rounded to
// double: x87 arithmetic keeps 80-bit intermediates (FLT_EVAL_METHOD 2), in which squares of
// 1e200 do not overflow. CMakeLists.txt asks 32-bit x86 compilers for SSE2 arithmetic.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "double arithmetic is not IEEE double (FLT_EVAL_METHOD != 0): build with -msse2 -mfpmath=sse"
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

    // True when every element of V V^T is within tol of the identity's: rows of unit norm and
    // mutually orthogonal. A non-finite element, a NaN tol or a negative tol gives false.
    // Computed at each call (a few dozen floating-point operations): the value is the ten
    // doubles and nothing else.
    [[nodiscard]] bool is_unitary(double tol) const noexcept {
#if defined(__SSE2__)
        const bool within = gram_within_paired(tol);
#else
        const bool within = gram_within(tol);
#endif
        // An infinite element makes its row's squared norm infinite, which only an infinite tol
        // covers: only there does it take a look at the elements.
        if (within && tol == std::numeric_limits<double>::infinity()) [[unlikely]] {
            for (const auto& row : v) {
                for (const double x : row) {
                    if (!std::isfinite(x)) return false;
                }
            }
        }
        return within;
    }

    // Whether every element of V V^T differs from the identity's by at most tol, one element at
    // a time. Each product is formed by one multiplication and the three summed left to right.
    // A comparison with a NaN on either side is false, so a NaN tol fails, and so does a NaN
    // element (its row's squared norm is NaN) or finite elements whose products overflow to
    // inf - inf.
    [[nodiscard]] bool gram_within(double tol) const noexcept {
        const auto dot = [this](std::size_t a, std::size_t b) noexcept {
            return (v[a][0] * v[b][0] + v[a][1] * v[b][1]) + v[a][2] * v[b][2];
        };
        return std::fabs(dot(0, 0) - 1.0) <= tol && std::fabs(dot(1, 1) - 1.0) <= tol &&
               std::fabs(dot(2, 2) - 1.0) <= tol && std::fabs(dot(0, 1)) <= tol &&
               std::fabs(dot(0, 2)) <= tol && std::fabs(dot(1, 2)) <= tol;
    }

#if defined(__SSE2__)
    // The same test, bit for bit, with the six elements side by side in three pairs of lanes:
    // [G00, G11], [G01, G12] and [G02, G22]. It needs about half the instructions.
    [[nodiscard]] bool gram_within_paired(double tol) const noexcept {
        // The k-th terms of two dot products, rows a0.b0 in the low lane and a1.b1 in the high.
        const auto terms = [this](std::size_t k, std::size_t a0, std::size_t b0, std::size_t a1,
                                  std::size_t b1) noexcept {
            return __m128d{v[a0][k], v[a1][k]} * __m128d{v[b0][k], v[b1][k]};
        };
        const auto dots = [&](std::size_t a0, std::size_t b0, std::size_t a1,
                              std::size_t b1) noexcept {
            return (terms(0, a0, b0, a1, b1) + terms(1, a0, b0, a1, b1)) + terms(2, a0, b0, a1, b1);
        };
        const __m128d limit = _mm_set1_pd(tol);
        const auto within = [&limit](__m128d deviation) noexcept {
            return _mm_cmple_pd(_mm_andnot_pd(_mm_set1_pd(-0.0), deviation), limit);
        };
        const __m128d all = _mm_and_pd(
            _mm_and_pd(within(dots(0, 0, 1, 1) - __m128d{1.0, 1.0}), within(dots(0, 1, 1, 2))),
            within(dots(0, 2, 2, 2) - __m128d{0.0, 1.0}));
        return _mm_movemask_pd(all) == 0b11;
    }
#endif

    [[nodiscard]] constexpr double jarlskog() const noexcept { return j; }

    friend bool operator==(const CKMMatrix&, const CKMMatrix&) = default;
};

}  // namespace torvane
