// The seventeen constants every registry is built with.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace torvane::builtin {

struct SeedRow {
    std::string_view name;
    double value;
    std::string_view units;
};

struct PendingRow {
    std::string_view name;
    std::string_view expression;
    std::string_view units;
    std::array<std::string_view, 2> depends_on;
    std::uint8_t depends_count;
};

// The golden ratio (1 + sqrt 5) / 2 and the Euler-Mascheroni constant, each the nearest double;
// the bit patterns bind, the decimal forms are for the reader.
inline constexpr double kPhi = std::bit_cast<double>(std::uint64_t{0x3FF9E3779B97F4A8});
inline constexpr double kGammaEm = std::bit_cast<double>(std::uint64_t{0x3FE2788CFC6FB619});

// Inserted in this order: the base constants, then the derived ones.
inline constexpr std::array<SeedRow, 10> kSeeds = {{
    {"b3", 24.0, "dimensionless"},
    {"chi_eff", 72.0, "dimensionless"},
    {"n_gen", 3.0, "count"},
    {"roots_total", 288.0, "count"},
    {"visible_sector", 125.0, "count"},
    {"sterile_sector", 163.0, "count"},
    {"phi", kPhi, "dimensionless"},
    {"gamma_em", kGammaEm, "dimensionless"},
    {"jc_constant", 153.0, "count"},
    {"logic_closure", 288.0, "count"},
}};

// Derived constants are never evaluated. Four of them are plain numbers kept as text in their
// shortest round-trip positional form (246220.0, 70.0, -1.0, 1776.86).
inline constexpr std::array<PendingRow, 7> kPending = {{
    {"v_higgs_mev", "246220", "MeV", {}, 0},
    {"sterile_check",
     "roots_total - visible_sector",
     "count",
     {"roots_total", "visible_sector"},
     2},
    {"n_gen_sq", "n_gen * n_gen", "count", {"n_gen"}, 1},
    {"h0_central", "70", "km/s/Mpc", {}, 0},
    {"w0_central", "-1", "dimensionless", {}, 0},
    {"m_tau_mev", "1776.86", "MeV", {}, 0},
    {"topo_gen_check", "chi_eff / b3", "count", {"chi_eff", "b3"}, 2},
}};

inline constexpr std::size_t kCount = kSeeds.size() + kPending.size();

}  // namespace torvane::builtin
