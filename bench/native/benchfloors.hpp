// Shared pieces of _torvane_benchfloors, the native half of the benchmarks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace torvane::bench {

// The floors: for each entry point of _torvane_core, a function or a member of the trivial
// class Floor doing only the Python-object work that entry point cannot avoid, with the same
// calling convention. 0 on success, -1 with an exception set.
int add_floors(PyObject* module) noexcept;

// The core-level figures: registry builds in a C loop, and heap allocations per operation.
int add_core_costs(PyObject* module) noexcept;

// Heap blocks requested through malloc by code linked into this library, the core included,
// since the process started.
[[nodiscard]] std::size_t mallocs_so_far() noexcept;

// Starts that count where it needs starting: on Windows, by pointing this library's import of
// malloc at the counter; elsewhere this library's own malloc counts from the start.
void count_mallocs() noexcept;

}  // namespace torvane::bench
