#pragma once
// NumPy's C API, bound lazily: importing vessik_core imports nothing of
// NumPy; the first operation that needs an array type, a dtype or an array
// constructor binds the API table once for the process.
//
// Every unit that uses NumPy includes this header (never numpy/ directly),
// so all of them share the one table that numpy_api.cpp owns.

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL vessik_ARRAY_API
#ifndef VESSIK_OWNS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
// Descriptor accessors that work on NumPy 1.x and 2.x; must follow arrayobject.h.
#include <numpy/npy_2_compat.h>

#include "engine/cpu/dtype.h"

namespace vessik::api {

// Binds the API on first use. False with a Python error set when NumPy cannot
// be imported or does not match what this module was built for.
bool bind_numpy() noexcept;
// Whether the API is bound already (no import is attempted).
bool numpy_bound() noexcept;

// numpy.array (borrowed, kept for the process). Requires bind_numpy().
PyObject* numpy_array_function() noexcept;

// The dtype NumPy knows by the element type's NumPy name (borrowed), cached
// once found; nullptr with NumPy's error set while NumPy does not know that
// name ("bfloat16" before ml_dtypes is imported). Requires bind_numpy().
PyArray_Descr* descr_of(DType d) noexcept;

// The NumPy dtype of element type `d` as a new reference (callers handing
// it to a function that steals it need exactly this), or nullptr with an
// error set. Requires bind_numpy().
PyArray_Descr* new_descr(DType d) noexcept;

}  // namespace vessik::api
