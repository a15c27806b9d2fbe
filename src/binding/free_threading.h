#pragma once
// Differences between interpreters with and without a global interpreter
// lock, and between interpreter versions, that the module has to know.
//
// Nothing else differs: tensors are immutable, storage handles count
// atomically, the tape is per thread, process-wide values are published by
// compare-exchange (Note [Publishing process-wide values]), and no code reads
// borrowed items out of a mutable container.

#include <Python.h>

// The module runs without the global lock (3.13+ knows the slot), and keeps
// process-wide objects (its type, NumPy's API table) that must not be shared
// between subinterpreters with their own state (3.12+ knows that slot).
#ifdef Py_mod_gil
#define VESSIK_MOD_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define VESSIK_MOD_GIL_SLOT
#endif
#ifdef Py_mod_multiple_interpreters
#define VESSIK_MOD_INTERPRETERS_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VESSIK_MOD_INTERPRETERS_SLOT
#endif
