#pragma once
// The C-API callbacks of the Tensor type, defined by role in construct.cpp,
// attributes.cpp and operators.cpp and registered in py_tensor.cpp.

#include <Python.h>

#include <cstddef>

namespace vessik::api {

// Construction.
PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
// The same, reached without building an argument tuple (the type's call).
PyObject* tensor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept;

// Attributes and export.
PyObject* get_shape(PyObject* self, void*) noexcept;
PyObject* get_ndim(PyObject* self, void*) noexcept;
PyObject* get_strides(PyObject* self, void*) noexcept;
PyObject* get_dtype(PyObject* self, void*) noexcept;
PyObject* get_device(PyObject* self, void*) noexcept;
PyObject* get_requires_grad(PyObject* self, void*) noexcept;
PyObject* tensor_grad(PyObject* self, PyObject*) noexcept;
PyObject* tensor_to_numpy(PyObject* self, PyObject*) noexcept;
PyObject* tensor_clear_graph(PyObject*, PyObject*) noexcept;

// Operators.
PyObject* tensor_invert(PyObject* self) noexcept;
PyObject* tensor_add(PyObject* left, PyObject* right) noexcept;
PyObject* tensor_subtract(PyObject* left, PyObject* right) noexcept;
PyObject* tensor_multiply(PyObject* left, PyObject* right) noexcept;
PyObject* tensor_and(PyObject* left, PyObject* right) noexcept;
PyObject* tensor_or(PyObject* left, PyObject* right) noexcept;
PyObject* tensor_xor(PyObject* left, PyObject* right) noexcept;
PyObject* tensor_matrix_multiply(PyObject* left, PyObject* right) noexcept;
PyObject* tensor_true_divide(PyObject* left, PyObject* right) noexcept;
PyObject* tensor_richcompare(PyObject* self, PyObject* other, int op) noexcept;

// Methods.
PyObject* tensor_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* tensor_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* tensor_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* tensor_zeros_like(PyObject* self, PyObject*) noexcept;
PyObject* tensor_ones_like(PyObject* self, PyObject*) noexcept;
PyObject* tensor_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* tensor_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* tensor_backward(PyObject* self, PyObject*) noexcept;

}  // namespace vessik::api
