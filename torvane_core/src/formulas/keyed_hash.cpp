// Keyed hashing for the registry's shards.
#include "formulas/keyed_hash.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <sys/random.h>

namespace torvane {
namespace {

__extension__ using u128 = unsigned __int128;

// Folded 64x64->128 multiply: one instruction pair that spreads every input bit.
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const u128 r = static_cast<u128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
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

constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kOdd = 0xE7037ED1A0B428DBull;

struct Secret {
    std::uint64_t s0;
    std::uint64_t s1;
};

Secret read_secret() noexcept {
    Secret s{};
    auto* out = reinterpret_cast<unsigned char*>(&s);
    std::size_t got = 0;
    while (got < sizeof s) {
        const ssize_t n = ::getrandom(out + got, sizeof s - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (got < sizeof s) {
        // No getrandom (old kernel or seccomp): the device the C++ library reads instead.
        std::random_device rd;
        s.s0 = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
        s.s1 = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }
    return s;
}

std::atomic<std::uint64_t> g_maps_keyed{0};

}  // namespace

std::uint64_t keyed_hash(const HashKey& key, std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::uint64_t seed = key.k0 ^ mix(n ^ kOdd, kGolden);
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n <= 16) {
        if (n >= 4) {
            // Two overlapping 4-byte windows from each end cover all of 4..16 bytes.
            const std::size_t step = (n >> 3) << 2;
            a = (read32(p) << 32) | read32(p + step);
            b = (read32(p + n - 4) << 32) | read32(p + n - 4 - step);
        } else if (n > 0) {
            a = (static_cast<std::uint64_t>(p[0]) << 16) |
                (static_cast<std::uint64_t>(p[n >> 1]) << 8) | p[n - 1];
        }
    } else {
        std::size_t left = n;
        while (left > 16) {
            seed = mix(read64(p) ^ key.k1, read64(p + 8) ^ seed);
            p += 16;
            left -= 16;
        }
        a = read64(p + left - 16);
        b = read64(p + left - 8);
    }
    return mix(mix(a ^ key.k1, b ^ seed) ^ kOdd, key.k1 ^ n);
}

HashKey fresh_hash_key() noexcept {
    static const Secret secret = read_secret();
    const std::uint64_t c = g_maps_keyed.fetch_add(1, std::memory_order_relaxed);
    // An odd multiplier makes c -> k0 a bijection: distinct counters, distinct keys.
    return HashKey{secret.s0 + c * kGolden, secret.s1 | 1u};
}

}  // namespace torvane
