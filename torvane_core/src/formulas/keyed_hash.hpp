// The registry's keyed string hash and the per-registry keys.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace torvane {

namespace platform {
enum class RandomSource : unsigned char;  // runtime/platform.hpp
}

struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;
};

namespace hash_detail {

inline constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kOdd = 0xE7037ED1A0B428DBull;

// The 128-bit product of two 64-bit words, as its two halves.
struct Wide {
    std::uint64_t lo;
    std::uint64_t hi;
};

// The product from four 32x32->64 ones, for targets without a 128-bit integer (the 32-bit
// ones). The middle column sums three numbers below 2^32, so it cannot overflow.
constexpr Wide wide_product_portable(std::uint64_t a, std::uint64_t b) noexcept {
    constexpr std::uint64_t kLow = 0xFFFFFFFFu;
    const std::uint64_t low = (a & kLow) * (b & kLow);
    const std::uint64_t cross1 = (a & kLow) * (b >> 32);
    const std::uint64_t cross2 = (a >> 32) * (b & kLow);
    const std::uint64_t middle = (low >> 32) + (cross1 & kLow) + (cross2 & kLow);
    return {(middle << 32) | (low & kLow),
            (a >> 32) * (b >> 32) + (cross1 >> 32) + (cross2 >> 32) + (middle >> 32)};
}

// The machine's own product where the compiler has a 128-bit integer: one instruction on
// 64-bit targets.
constexpr Wide wide_product(std::uint64_t a, std::uint64_t b) noexcept {
#ifdef __SIZEOF_INT128__
    __extension__ using u128 = unsigned __int128;
    const u128 r = static_cast<u128>(a) * b;
    return {static_cast<std::uint64_t>(r), static_cast<std::uint64_t>(r >> 64)};
#else
    return wide_product_portable(a, b);
#endif
}

// Folded 64x64->128 multiply: one instruction pair that spreads every input bit.
constexpr std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const Wide r = wide_product(a, b);
    return r.lo ^ r.hi;
}

inline std::uint64_t read64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint64_t read32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// read32 at compile time: the same four bytes in the machine's byte order.
constexpr std::uint64_t read32_constexpr(std::string_view s, std::size_t at) noexcept {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto byte = static_cast<std::uint64_t>(static_cast<unsigned char>(s[at + i]));
        const std::size_t shift = std::endian::native == std::endian::little ? i : 3 - i;
        v |= byte << (8 * shift);
    }
    return v;
}

}  // namespace hash_detail

// The part of keyed_hash that depends on the name alone, for names of at most 16 bytes: the
// words the hash reads from the name and the mix of its length. The built-in names have theirs
// made at compile time, so a registry build hashes each of them with two multiplications and no
// load of its bytes. The words cover every byte of such a name (two overlapping windows from
// each end, or all of a shorter one), so with the length they identify it: two names of at most
// 16 bytes are equal exactly when their `a`, `b` and `n` are, and a look-up that has hashed a
// name compares it with a built-in one without reading either's bytes again.
struct Prehash {
    std::uint64_t a;
    std::uint64_t b;
    std::uint64_t length_mix;  // mix(n ^ kOdd, kGolden)
    std::uint64_t n;

    [[nodiscard]] constexpr bool same_name(const Prehash& other) const noexcept {
        return ((a ^ other.a) | (b ^ other.b) | (n ^ other.n)) == 0;
    }
};

namespace hash_detail {

inline constexpr std::size_t kShort = 16;  // the longest name a Prehash identifies

// mix(n ^ kOdd, kGolden) for every short length: a load instead of a multiplication.
inline constexpr auto kLengthMixes = [] {
    std::array<std::uint64_t, kShort + 1> out{};
    for (std::size_t n = 0; n <= kShort; ++n) out[n] = mix(n ^ kOdd, kGolden);
    return out;
}();

}  // namespace hash_detail

// The Prehash of a name of at most 16 bytes; at compile time as at run time.
[[nodiscard]] constexpr Prehash prehash(std::string_view bytes) noexcept {
    using namespace hash_detail;
    const std::size_t n = bytes.size();
    const auto word = [bytes](std::size_t at) noexcept -> std::uint64_t {
        if consteval {
            return read32_constexpr(bytes, at);
        } else {
            return read32(reinterpret_cast<const unsigned char*>(bytes.data()) + at);
        }
    };
    Prehash h{0, 0, kLengthMixes[n], n};
    if (n >= 4) {
        const std::size_t step = (n >> 3) << 2;
        h.a = (word(0) << 32) | word(step);
        h.b = (word(n - 4) << 32) | word(n - 4 - step);
    } else if (n > 0) {
        h.a = (static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[0])) << 16) |
              (static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[n >> 1])) << 8) |
              static_cast<unsigned char>(bytes[n - 1]);
    }
    return h;
}

// What a look-up compares built-in names with: the Prehash of a short name; of a longer one,
// only its length, which no built-in name has.
[[nodiscard]] inline Prehash name_words(std::string_view bytes) noexcept {
    if (bytes.size() <= hash_detail::kShort) [[likely]]
        return prehash(bytes);
    return Prehash{0, 0, 0, bytes.size()};
}

// keyed_hash(key, name) for the name that `pre` was made from.
[[nodiscard]] inline std::uint64_t keyed_hash(const HashKey& key, const Prehash& pre) noexcept {
    using namespace hash_detail;
    return mix(mix(pre.a ^ key.k1, pre.b ^ key.k0 ^ pre.length_mix) ^ kOdd, key.k1 ^ pre.n);
}

// A keyed 64-bit hash of short names. Every byte and the length take part; the key decides
// the result, so iteration orders differ between registries and between processes. Inline:
// every look-up hashes one name, and the call would cost a quarter of the hash.
[[nodiscard]] inline std::uint64_t keyed_hash(const HashKey& key, std::string_view bytes) noexcept {
    using namespace hash_detail;
    const std::size_t n = bytes.size();
    if (n <= kShort) return keyed_hash(key, prehash(bytes));
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::uint64_t seed = key.k0 ^ mix(n ^ kOdd, kGolden);
    std::size_t left = n;
    while (left > 16) {
        seed = mix(read64(p) ^ key.k1, read64(p + 8) ^ seed);
        p += 16;
        left -= 16;
    }
    const std::uint64_t a = read64(p + left - 16);
    const std::uint64_t b = read64(p + left - 8);
    return mix(mix(a ^ key.k1, b ^ seed) ^ kOdd, key.k1 ^ n);
}

// Byte equality of two names, without a library call for the short ones: overlapping loads
// from both ends cover 4 to 16 bytes, and nothing is read outside either text.
[[nodiscard]] inline bool same_bytes(std::string_view x, std::string_view y) noexcept {
    using namespace hash_detail;
    const std::size_t n = x.size();
    if (n != y.size()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(x.data());
    const auto* q = reinterpret_cast<const unsigned char*>(y.data());
    if (n >= 8 && n <= 16) {
        return ((read64(p) ^ read64(q)) | (read64(p + n - 8) ^ read64(q + n - 8))) == 0;
    }
    if (n >= 4 && n < 8) {
        return ((read32(p) ^ read32(q)) | (read32(p + n - 4) ^ read32(q + n - 4))) == 0;
    }
    if (n < 4) {
        unsigned diff = 0;
        for (std::size_t i = 0; i < n; ++i) diff |= p[i] ^ q[i];
        return diff == 0;
    }
    return std::memcmp(p, q, n) == 0;
}

// Keys for one new map. Derived from a process secret read once from the operating system's
// random source and a counter, so no two maps of a process share keys and a registry build
// pays no system call.
[[nodiscard]] HashKey fresh_hash_key() noexcept;

// Which source gave the process secret (read now if no map has been keyed yet).
[[nodiscard]] platform::RandomSource hash_secret_source() noexcept;

}  // namespace torvane
