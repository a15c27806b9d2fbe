#pragma once
// Reading Python operands and arguments for the tensor operations.

#include <Python.h>

#include <cstdint>

#include "engine/cpu/error.h"
#include "values/tensor.h"

namespace vessik::api {

// A number as the interpreter's float() reads it (float, int, bool, NumPy
// scalars, __float__ or __index__), rounded to the nearest binary32; values
// beyond its range become infinities. Returns 1 and sets `out`, 0 when the
// object does not convert (no error left set: a str, an int too large for a
// double), or -1 for an error that must propagate (KeyboardInterrupt and
// other non-Exception errors).
int read_scalar(PyObject* obj, float* out);

// The same for a named argument: a failure is an error naming the argument.
bool read_scalar_argument(PyObject* obj, const char* function, const char* argument, float* out);

// An unsigned 64-bit integer through __index__; a failure is the
// interpreter's conversion error, naming the argument.
bool read_u64_argument(PyObject* obj, const char* function, const char* argument, std::uint64_t* out);

// Wraps an operation's result in a new Tensor object, or raises its error.
PyObject* finish(Result<Tensor> result);

}  // namespace vessik::api
