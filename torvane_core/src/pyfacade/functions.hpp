// The module functions' method table.
#pragma once

#include "pyfacade/python.hpp"

namespace torvane::py {
extern PyMethodDef module_functions[];
}
