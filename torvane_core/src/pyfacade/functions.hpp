// The module functions' method table.
#pragma once

#include "pyfacade/python.hpp"

namespace torvane::py {
extern PyMethodDef module_functions[];

// Forgets, without releasing, the objects the functions keep for the runtime that made them.
void forget_function_objects() noexcept;
}  // namespace torvane::py
