// Keyed hashing for the registry's shards.
#include "formulas/keyed_hash.hpp"

#include <atomic>
#include <cstring>
#include <random>

#include "runtime/platform.hpp"

namespace torvane {
namespace {

struct Secret {
    std::uint64_t s0;
    std::uint64_t s1;
};

Secret read_secret() noexcept {
    Secret s{};
    // GCOVR_EXCL_START: random
    if (platform::random_bytes(reinterpret_cast<unsigned char*>(&s), sizeof s) < sizeof s) {
        // No system source (an old kernel, seccomp): the device the C++ library reads instead.
        std::random_device rd;
        s.s0 = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
        s.s1 = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }  // GCOVR_EXCL_STOP
    return s;
}

std::atomic<std::uint64_t> g_maps_keyed{0};

}  // namespace

HashKey fresh_hash_key() noexcept {
    static const Secret secret = read_secret();  // GCOVR_EXCL_BR_LINE: timing
    const std::uint64_t c = g_maps_keyed.fetch_add(1, std::memory_order_relaxed);
    // An odd multiplier makes c -> k0 a bijection: distinct counters, distinct keys.
    return HashKey{secret.s0 + c * hash_detail::kGolden, secret.s1 | 1u};
}

}  // namespace torvane
