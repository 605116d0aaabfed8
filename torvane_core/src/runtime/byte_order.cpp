// Sorting names by their unsigned bytes.
#include "runtime/byte_order.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "runtime/alloc.hpp"

namespace torvane {
namespace {

// The first eight bytes as one big-endian number, zero-padded: comparing two of these orders
// names by their leading bytes in one instruction. Equal prefixes (a shared or padded start)
// fall back to the full comparison, so zero padding never misorders "a" and "a\0".
std::uint64_t prefix_key(std::string_view s) noexcept {
    std::uint64_t k = 0;
    std::memcpy(&k, s.data(), std::min<std::size_t>(s.size(), 8));
    if constexpr (std::endian::native == std::endian::little) k = std::byteswap(k);
    return k;
}

struct Keyed {
    std::uint64_t prefix;
    std::string_view name;

    friend bool operator<(const Keyed& a, const Keyed& b) noexcept {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        // std::string_view compares as unsigned char, a prefix first.
        return a.name < b.name;
    }
};

}  // namespace

void sort_by_bytes(std::span<std::string_view> names) noexcept {
    Keyed small[32];
    Vec<Keyed> large;
    Keyed* keyed = small;
    if (names.size() > std::size(small)) {
        large.resize(names.size());
        keyed = large.data();
    }
    for (std::size_t i = 0; i < names.size(); ++i) keyed[i] = {prefix_key(names[i]), names[i]};
    std::sort(keyed, keyed + names.size());
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = keyed[i].name;
}

}  // namespace torvane
