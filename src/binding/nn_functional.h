#pragma once

#include <Python.h>

namespace vessik::api {

// The built-in function relu(py_tensor), bound to the `functional` module.
// A new reference, or nullptr with an error set.
PyObject* new_relu_function(PyObject* functional) noexcept;

}  // namespace vessik::api
