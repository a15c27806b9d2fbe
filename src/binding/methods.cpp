// The Tensor methods that reach the tensor core: the reflected comparisons
// by name, reshape, transpose, zeros_like, ones_like and backward.

#include <vector>

#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/slots.h"
#include "binding/operands.h"
#include "binding/process_cache.h"
#include "binding/py_tensor.h"
#include "tensor/core.h"

namespace vessik::api {

namespace {

ProcessCache<> sequence_abc;

// A method of one number argument `other`, calling `op(self, other)`.
template <Result<Tensor> (*op)(const Tensor&, float)>
PyObject* scalar_method(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return with_borrow(self, [&](const Tensor& t) -> PyObject* {
    static constexpr const char* names[] = {"other"};
    PyObject* other = nullptr;
    if (!bind_arguments({name, names, 1}, args, static_cast<std::size_t>(nargs), kwnames, &other)) return nullptr;
    float s = 0.0f;
    if (!read_scalar_argument(other, name, "other", &s)) return nullptr;
    return finish(op(t, s));
  });
}

// A sequence by the interpreter's check or by registration with
// collections.abc.Sequence. 1, 0, or -1 with an error set.
int is_sequence(PyObject* obj) {
  if (PySequence_Check(obj)) return 1;
  PyObject* abc = sequence_abc.get([]() -> PyObject* {
    PyObject* module = PyImport_ImportModule("collections.abc");
    if (module == nullptr) return nullptr;
    PyObject* sequence = PyObject_GetAttrString(module, "Sequence");
    Py_DECREF(module);
    return sequence;
  });
  if (abc == nullptr) return -1;
  return PyObject_IsInstance(obj, abc);
}

// The lengths of a reshape, or false with an error naming `shape`.
bool read_shape(PyObject* obj, Shape* shape) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "reshape() argument 'shape': a str cannot be read as a list of lengths");
    return false;
  }
  const int sequence = is_sequence(obj);
  if (sequence < 0) return false;
  if (sequence == 0) {
    PyErr_Format(PyExc_TypeError, "reshape() argument 'shape': '%s' object is not a sequence", Py_TYPE(obj)->tp_name);
    return false;
  }
  // A tuple snapshot owns its items, so converting one (which may run
  // Python code) cannot invalidate the others.
  PyObject* items = PySequence_Tuple(obj);
  if (items == nullptr) {
    prefix_pending_error("reshape", "shape");
    return false;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(items);
  shape->resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!read_u64_argument(PyTuple_GET_ITEM(items, i), "reshape", "shape", &(*shape)[static_cast<std::size_t>(i)])) {
      Py_DECREF(items);
      return false;
    }
  }
  Py_DECREF(items);
  return true;
}

}  // namespace

PyObject* tensor_req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return scalar_method<scalar_eq>("__req__", self, args, nargs, kwnames);
}

// other < self
PyObject* tensor_rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return scalar_method<scalar_gt>("__rlt__", self, args, nargs, kwnames);
}

// other > self
PyObject* tensor_rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return scalar_method<scalar_lt>("__rgt__", self, args, nargs, kwnames);
}

PyObject* tensor_zeros_like(PyObject* self, PyObject*) noexcept {
  return with_borrow(self, [](const Tensor& t) { return finish(zeros_like(t)); });
}

PyObject* tensor_ones_like(PyObject* self, PyObject*) noexcept {
  return with_borrow(self, [](const Tensor& t) { return finish(ones_like(t)); });
}

PyObject* tensor_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return with_borrow(self, [&](const Tensor& t) -> PyObject* {
    static constexpr const char* names[] = {"shape"};
    PyObject* arg = nullptr;
    if (!bind_arguments({"reshape", names, 1}, args, static_cast<std::size_t>(nargs), kwnames, &arg)) return nullptr;
    Shape shape;
    if (!read_shape(arg, &shape)) return nullptr;
    return finish(reshape(t, shape));
  });
}

PyObject* tensor_transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return with_borrow(self, [&](const Tensor& t) -> PyObject* {
    static constexpr const char* names[] = {"dim0", "dim1"};
    PyObject* a[2] = {nullptr, nullptr};
    if (!bind_arguments({"transpose", names, 2}, args, static_cast<std::size_t>(nargs), kwnames, a)) return nullptr;
    std::uint64_t dim0 = 0;
    std::uint64_t dim1 = 0;
    if (!read_u64_argument(a[0], "transpose", "dim0", &dim0)) return nullptr;
    if (!read_u64_argument(a[1], "transpose", "dim1", &dim1)) return nullptr;
    return finish(transpose(t, dim0, dim1));
  });
}

PyObject* tensor_backward(PyObject* self, PyObject*) noexcept {
  return with_borrow(self, [](const Tensor& t) -> PyObject* {
    const auto done = backward(t);
    if (!done) return raise(done.error());
    Py_RETURN_NONE;
  });
}

}  // namespace vessik::api
