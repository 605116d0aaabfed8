// The registry's keyed string hash and the per-registry keys.
#pragma once

#include <cstdint>
#include <string_view>

namespace torvane {

struct HashKey {
    std::uint64_t k0;
    std::uint64_t k1;
};

// A keyed 64-bit hash of short names. Every byte and the length take part; the key decides
// the result, so iteration orders differ between registries and between processes.
[[nodiscard]] std::uint64_t keyed_hash(const HashKey& key, std::string_view bytes) noexcept;

// Keys for one new map. Derived from a process secret read once from the operating system's
// random source and a counter, so no two maps of a process share keys and a registry build
// pays no system call.
[[nodiscard]] HashKey fresh_hash_key() noexcept;

}  // namespace torvane
