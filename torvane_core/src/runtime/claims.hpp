// Claims: what the module's own code, the C++ library or the interpreter guarantees, written where
// the code still tests it.
//
//     if (TV_NEVER(type == nullptr)) return std::unexpected(...);  // the defence
//     if (TV_ALWAYS(holds)) [[likely]] return ...;
//
// A release build (NDEBUG) keeps the test and its defence, laid out as the unlikely way. A debug
// build checks the claim: one that does not hold ends the process with a line that names it and
// its place. The coverage build
// (TORVANE_COVERAGE) checks it too, and then tests a constant, so that the compiler drops the
// path the claim rules out and coverage counts no branch for it.
//
// For the last, the coverage build writes a claim as a statement followed by the constant, which
// only an if's condition takes: a claim is the whole condition of an if, or its first operand,
// and the coverage build refuses it anywhere else. Its argument is one test, without && or ||:
// the coverage build counts the branches of the claim's own evaluation (write two claims).
#pragma once

#if !defined(NDEBUG) || defined(TORVANE_COVERAGE)
#include <cstdio>
#include <cstdlib>

// The checks themselves are left out of the coverage counts: their failing path never runs.
#if defined(TORVANE_COVERAGE)
#define TV_CLAIMS_UNCOUNTED gnu::no_profile_instrument_function
#else
#define TV_CLAIMS_UNCOUNTED
#endif

namespace torvane::claims {

[[noreturn, gnu::cold, gnu::noinline, TV_CLAIMS_UNCOUNTED]] inline void failed(const char* claim,
                                                                               const char* file,
                                                                               int line) noexcept {
    std::fprintf(stderr, "%s:%d: claim failed: %s\n", file, line, claim);
    std::abort();
}

[[TV_CLAIMS_UNCOUNTED]] inline bool checked(bool value, bool claimed, const char* claim,
                                            const char* file, int line) noexcept {
    if (value != claimed) failed(claim, file, line);
    return value;
}

}  // namespace torvane::claims

#define TV_CLAIM_CHECKED(claimed, text, x) \
    ::torvane::claims::checked(static_cast<bool>(x), claimed, text, __FILE__, __LINE__)
#endif

#if defined(TORVANE_COVERAGE)
#define TV_ALWAYS(x) static_cast<void>(TV_CLAIM_CHECKED(true, "always " #x, x)); true
#define TV_NEVER(x) static_cast<void>(TV_CLAIM_CHECKED(false, "never " #x, x)); false
#elif !defined(NDEBUG)
#define TV_ALWAYS(x) TV_CLAIM_CHECKED(true, "always " #x, x)
#define TV_NEVER(x) TV_CLAIM_CHECKED(false, "never " #x, x)
#else
#define TV_ALWAYS(x) __builtin_expect(static_cast<bool>(x), true)
#define TV_NEVER(x) __builtin_expect(static_cast<bool>(x), false)
#endif

// A claim with no defence, a statement: checked where claims are, left out of a release build.
// Unlike assert's, its check adds no branch to the coverage counts.
#if !defined(NDEBUG) || defined(TORVANE_COVERAGE)
#define TV_ASSERT(x) static_cast<void>(TV_CLAIM_CHECKED(true, "assert " #x, x))
#else
#define TV_ASSERT(x) static_cast<void>(0)
#endif
