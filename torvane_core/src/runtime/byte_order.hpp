// Sorting names by their unsigned bytes, a prefix first: the order every listing is given in.
#pragma once

#include <span>
#include <string_view>

namespace torvane {

void sort_by_bytes(std::span<std::string_view> names) noexcept;

}  // namespace torvane
