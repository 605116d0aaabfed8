// Test-only hooks: each wraps one core operation so that pytest can reach it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern PyMethodDef json_hooks[];
extern PyMethodDef formulas_hooks[];
extern PyMethodDef quarks_hooks[];
extern PyMethodDef ckm_hooks[];
extern PyMethodDef runtime_hooks[];
