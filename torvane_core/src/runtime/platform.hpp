// What the operating system provides, behind one small seam: everything here has one
// implementation for POSIX systems and one for Windows, in platform.cpp.
#pragma once

namespace torvane::platform {

// True when the calling thread's stack has little room left below the caller: less than 64 KiB,
// or less than a quarter of the whole stack where that is smaller. Checked before the module
// runs Python code that may call it again, so that such a recursion ends in an exception
// before the stack overflows.
[[nodiscard]] bool stack_nearly_full() noexcept;

}  // namespace torvane::platform
