// The unitarity test.
#include "ckm/ckm_matrix.hpp"

#include <cmath>

namespace torvane {

double CKMMatrix::unitarity_deviation() const noexcept {
    // Each product formed by one multiplication, the three summed left to right.
    const auto dot = [this](std::size_t a, std::size_t b) noexcept {
        return (v[a][0] * v[b][0] + v[a][1] * v[b][1]) + v[a][2] * v[b][2];
    };
    const double deviations[6] = {
        std::fabs(dot(0, 0) - 1.0), std::fabs(dot(1, 1) - 1.0), std::fabs(dot(2, 2) - 1.0),
        std::fabs(dot(0, 1)),       std::fabs(dot(0, 2)),       std::fabs(dot(1, 2)),
    };
    // Written without branches, so that a call costs the same few dozen operations whatever
    // the matrix: the sum of the deviations is NaN exactly when one of them is (finite
    // elements can overflow to inf - inf), and adding each element times zero makes it NaN
    // when an element is not finite (an infinite one could otherwise make every product
    // infinite and pass an infinite tolerance).
    double largest = 0.0;
    double sum = 0.0;
    for (const double d : deviations) {
        largest = d > largest ? d : largest;
        sum += d;
    }
    for (const auto& row : v) {
        for (const double x : row) sum += x * 0.0;
    }
    return std::isnan(sum) ? sum : largest;
}

}  // namespace torvane
