// The library's version, shared by the module attribute and PyFormulasRegistry.version().
#pragma once

#include <string_view>

namespace torvane::py {
inline constexpr std::string_view kVersion = "2.2.1";
}
