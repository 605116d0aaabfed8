// Checked native allocation.
#include "runtime/alloc.hpp"

#include <charconv>
#include <cstdlib>

#include "runtime/platform.hpp"

namespace torvane {

void allocation_failed(std::size_t bytes) noexcept {
    // Formatted on the stack: the heap is what just failed.
    char line[80];
    constexpr std::string_view head = "memory allocation of ";
    constexpr std::string_view tail = " bytes failed\n";
    char* p = line;
    p = std::copy(head.begin(), head.end(), p);
    p = std::to_chars(p, line + sizeof line - tail.size(), bytes).ptr;
    p = std::copy(tail.begin(), tail.end(), p);
    platform::write_stderr(line, p);
    std::abort();
}

void* checked_alloc(std::size_t bytes) noexcept {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) allocation_failed(bytes);
    return p;
}

void checked_free(void* p) noexcept { std::free(p); }

}  // namespace torvane
