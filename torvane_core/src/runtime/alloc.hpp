// Checked native allocation: running out of memory ends the process with one line on stderr.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/claims.hpp"

namespace torvane {

// Writes "memory allocation of {bytes} bytes failed" to stderr and aborts. Never allocates.
[[noreturn]] void allocation_failed(std::size_t bytes) noexcept;

// malloc that never returns null: exhaustion is not an error value anywhere in the core.
[[nodiscard]] void* checked_alloc(std::size_t bytes) noexcept;
void checked_free(void* p) noexcept;

// Routes every container of the core through checked_alloc. A distinct allocator type also
// keeps the string members out of the standard library's precompiled instantiations, whose
// allocations would throw std::bad_alloc instead of ending the process with the message.
template <class T>
struct CoreAllocator {
    using value_type = T;

    constexpr CoreAllocator() noexcept = default;
    template <class U>
    constexpr CoreAllocator(const CoreAllocator<U>&) noexcept {}

    [[nodiscard]] T* allocate(std::size_t n) noexcept {
        // The containers ask for no more than their max_size().
        if (TV_NEVER(n > std::numeric_limits<std::size_t>::max() / sizeof(T))) {
            allocation_failed(std::numeric_limits<std::size_t>::max());
        }
        return static_cast<T*>(checked_alloc(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { checked_free(p); }

    template <class U>
    friend constexpr bool operator==(const CoreAllocator&, const CoreAllocator<U>&) noexcept {
        return true;
    }
};

// Owned UTF-8 text.
using Text = std::basic_string<char, std::char_traits<char>, CoreAllocator<char>>;

template <class T>
using Vec = std::vector<T, CoreAllocator<T>>;

[[nodiscard]] inline Text to_text(std::string_view s) { return Text(s.data(), s.size()); }

}  // namespace torvane
