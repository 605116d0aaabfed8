// The one place the facade takes the interpreter's header from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
