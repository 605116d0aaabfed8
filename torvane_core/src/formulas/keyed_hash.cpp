// Keyed hashing for the registry's shards.
#include "formulas/keyed_hash.hpp"

#include <atomic>

#include "runtime/platform.hpp"

namespace torvane {
namespace {

struct Secret {
    std::uint64_t s0;
    std::uint64_t s1;
    platform::RandomSource source;
};

Secret read_secret() noexcept {
    std::uint64_t words[2];
    const auto source =
        platform::random_fill(reinterpret_cast<unsigned char*>(words), sizeof words);
    return {words[0], words[1], source};
}

const Secret& secret() noexcept {
    static const Secret s = read_secret();  // GCOVR_EXCL_BR_LINE: timing
    return s;
}

std::atomic<std::uint64_t> g_maps_keyed{0};

}  // namespace

HashKey fresh_hash_key() noexcept {
    const Secret& s = secret();
    const std::uint64_t c = g_maps_keyed.fetch_add(1, std::memory_order_relaxed);
    // An odd multiplier makes c -> k0 a bijection: distinct counters, distinct keys.
    return HashKey{s.s0 + c * hash_detail::kGolden, s.s1 | 1u};
}

platform::RandomSource hash_secret_source() noexcept { return secret().source; }

}  // namespace torvane
