// Keyed hashing for the registry's shards.
#include "formulas/keyed_hash.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <sys/syscall.h>
#include <unistd.h>

namespace torvane {
namespace {

struct Secret {
    std::uint64_t s0;
    std::uint64_t s1;
};

Secret read_secret() noexcept {
    Secret s{};
    auto* out = reinterpret_cast<unsigned char*>(&s);
    std::size_t got = 0;
    while (got < sizeof s) {
        // The system call itself rather than glibc's wrapper, which only glibc 2.25 and later
        // have: the portable wheels are built against glibc 2.17. Where the kernel lacks it the
        // call fails with ENOSYS and the fallback below takes over.
        const long n = ::syscall(SYS_getrandom, out + got, sizeof s - got, 0u);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {  // GCOVR_EXCL_START: random
            break;
        }
    }
    if (got < sizeof s) {
        // No getrandom (old kernel or seccomp): the device the C++ library reads instead.
        std::random_device rd;
        s.s0 = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
        s.s1 = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }  // GCOVR_EXCL_STOP
    return s;
}

std::atomic<std::uint64_t> g_maps_keyed{0};

}  // namespace

HashKey fresh_hash_key() noexcept {
    static const Secret secret = read_secret();
    const std::uint64_t c = g_maps_keyed.fetch_add(1, std::memory_order_relaxed);
    // An odd multiplier makes c -> k0 a bijection: distinct counters, distinct keys.
    return HashKey{secret.s0 + c * hash_detail::kGolden, secret.s1 | 1u};
}

}  // namespace torvane
