// Sorting names by their unsigned bytes.
#include "runtime/byte_order.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "runtime/alloc.hpp"

namespace torvane {
namespace {

std::uint64_t load_be32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = std::byteswap(v);
    return v;
}

// The first eight bytes as one big-endian number, zero-padded: comparing two of these orders
// names by their leading bytes in one instruction. Equal prefixes (a shared or padded start)
// fall back to the full comparison, so zero padding never misorders "a" and "a\0".
std::uint64_t prefix_key(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    if (n >= 8) {
        std::uint64_t k;
        std::memcpy(&k, p, 8);  // a fixed size: one load, no library call
        if constexpr (std::endian::native == std::endian::little) k = std::byteswap(k);
        return k;
    }
    if (n >= 4) {
        // Bytes 0-3 and n-4..n-1, each shifted to its own place; the bytes both loads cover
        // land on the same bits with the same value, so OR-ing them is harmless.
        return (load_be32(p) << 32) | (load_be32(p + n - 4) << (8 * (8 - n)));
    }
    std::uint64_t k = 0;
    for (std::size_t i = 0; i < n; ++i) k |= std::uint64_t{p[i]} << (56 - 8 * i);
    return k;
}

// Plain pointer and length rather than a string_view, so that the scratch array below is left
// uninitialised instead of being zeroed on every call.
struct Keyed {
    std::uint64_t prefix;
    const char* data;
    std::size_t size;

    [[nodiscard]] std::string_view name() const noexcept { return {data, size}; }

    friend bool operator<(const Keyed& a, const Keyed& b) noexcept {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        // std::string_view compares as unsigned char, a prefix first.
        return a.name() < b.name();
    }
};

}  // namespace

void sort_by_bytes(std::span<std::string_view> names) noexcept {
    constexpr std::size_t kSmall = 32;
    Keyed small[kSmall];
    Vec<Keyed> large;
    Keyed* keyed = small;
    if (names.size() > kSmall) {
        large.resize(names.size());
        keyed = large.data();
    }
    for (std::size_t i = 0; i < names.size(); ++i)
        keyed[i] = {prefix_key(names[i]), names[i].data(), names[i].size()};
    std::sort(keyed, keyed + names.size());
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = keyed[i].name();
}

}  // namespace torvane
