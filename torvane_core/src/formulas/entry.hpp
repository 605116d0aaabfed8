// A stored constant: the immutable form a registry keeps and copies records out of.
#pragma once

#include <span>
#include <string_view>

#include "formulas/constant_record.hpp"

namespace torvane::detail {

// Built-in entries are constants made at compile time in read-only memory and shared by every
// registry; inserted ones live in their registry's arena. Either way an entry never changes once
// placed: a replacement is a new entry.
struct Entry {
    std::string_view key;  // a copy of the name, separate from the record's own
    std::string_view name;
    std::string_view units;
    std::string_view expression;
    std::span<const std::string_view> depends_on;
    double value;
    double uncertainty;
    bool has_uncertainty;
    bool has_expression;
    ConstantStatus status;
    // The record's datasheet as compact JSON text, where it was made at compile time (every
    // built-in record); empty otherwise.
    std::string_view datasheet;

    [[nodiscard]] ConstantRecord to_record() const;
};

}  // namespace torvane::detail
