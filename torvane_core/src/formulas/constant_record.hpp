// One named constant of the model and its status.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "runtime/alloc.hpp"

namespace torvane {

enum class ConstantStatus : std::uint8_t {
    Seed = 0,      // a base constant, stored with its value
    Cached = 1,
    Pending = 2,   // a derived constant whose value is never computed here
    External = 3,
};

inline constexpr std::array<std::string_view, 4> kStatusText = {"Seed", "Cached", "Pending",
                                                                "External"};

[[nodiscard]] constexpr std::string_view status_text(ConstantStatus s) noexcept {
    return kStatusText[static_cast<std::uint8_t>(s) & 3u];
}

struct ConstantRecord {
    Text name;
    double value = 0.0;
    Text units;
    std::optional<double> uncertainty;
    ConstantStatus status = ConstantStatus::Seed;
    std::optional<Text> expression;
    Vec<Text> depends_on;

    [[nodiscard]] static ConstantRecord seed(std::string_view name, double value,
                                             std::string_view units);
    [[nodiscard]] static ConstantRecord pending(std::string_view name, std::string_view expression,
                                                std::string_view units,
                                                std::initializer_list<std::string_view> depends_on);

    friend bool operator==(const ConstantRecord&, const ConstantRecord&) = default;
};

inline ConstantRecord ConstantRecord::seed(std::string_view name, double value,
                                           std::string_view units) {
    ConstantRecord r;
    r.name = to_text(name);
    r.value = value;
    r.units = to_text(units);
    return r;
}

inline ConstantRecord ConstantRecord::pending(std::string_view name, std::string_view expression,
                                              std::string_view units,
                                              std::initializer_list<std::string_view> depends_on) {
    ConstantRecord r;
    r.name = to_text(name);
    r.units = to_text(units);
    r.status = ConstantStatus::Pending;
    r.expression = to_text(expression);
    r.depends_on.reserve(depends_on.size());
    for (std::string_view d : depends_on) r.depends_on.push_back(to_text(d));
    return r;
}

}  // namespace torvane
