// The Python operators of Tensor. A slot answers NotImplemented when it
// cannot read an operand, so the interpreter tries the other operand and
// then raises its own TypeError.

#include <type_traits>

#include "binding/errors.h"
#include "binding/slots.h"
#include "binding/operands.h"
#include "binding/py_tensor.h"
#include "tensor/core.h"

namespace vessik::api {

namespace {

using TensorOp = Result<Tensor> (*)(const Tensor&, const Tensor&);
using ScalarOp = Result<Tensor> (*)(const Tensor&, float);

// Forward form: the tensor on the left, a tensor or a number on the right.
// Reflected form (when `reflected` is an operation, not nullptr): a number on
// the left. The test is on the parameter's type: comparing a function's
// address with nullptr is not a constant expression under the sanitizers.
template <TensorOp tensor_op, ScalarOp scalar_op, auto reflected>
PyObject* arithmetic(PyObject* left, PyObject* right) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (is_tensor(left)) {
      SharedBorrow self(left);
      if (!self) return nullptr;
      if (is_tensor(right)) {
        SharedBorrow other(right);
        if (!other) return nullptr;
        return finish(tensor_op(*self, *other));
      }
      float s = 0.0f;
      const int read = read_scalar(right, &s);
      if (read < 0) return nullptr;
      if (read > 0) return finish(scalar_op(*self, s));
      Py_RETURN_NOTIMPLEMENTED;
    }
    if constexpr (!std::is_null_pointer_v<decltype(reflected)>) {
      if (is_tensor(right)) {
        float s = 0.0f;
        const int read = read_scalar(left, &s);
        if (read < 0) return nullptr;
        if (read > 0) {
          SharedBorrow self(right);
          if (!self) return nullptr;
          return finish(reflected(*self, s));
        }
      }
    }
    Py_RETURN_NOTIMPLEMENTED;
  });
}

// Tensors on both sides, nothing else.
template <TensorOp tensor_op>
PyObject* tensors_only(PyObject* left, PyObject* right) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!is_tensor(left) || !is_tensor(right)) Py_RETURN_NOTIMPLEMENTED;
    SharedBorrow self(left);
    if (!self) return nullptr;
    SharedBorrow other(right);
    if (!other) return nullptr;
    return finish(tensor_op(*self, *other));
  });
}

struct Comparison {
  TensorOp tensor_op;
  ScalarOp scalar_op;
};

// Indexed by Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE; != has its own path.
constexpr Comparison comparisons[] = {
    {lt, scalar_lt}, {le, scalar_le}, {eq, scalar_eq}, {nullptr, nullptr}, {gt, scalar_gt}, {ge, scalar_ge},
};

// `t != x` is the negated truth of the interpreter's full `t == x`. A Tensor
// has no truth slot and is always true, so it is False whenever `==` gives a
// tensor.
PyObject* not_equal(PyObject* self, PyObject* other) {
  PyObject* equal = PyObject_RichCompare(self, other, Py_EQ);
  if (equal == nullptr) return nullptr;
  const int truth = PyObject_IsTrue(equal);
  Py_DECREF(equal);
  if (truth < 0) return nullptr;
  return PyBool_FromLong(!truth);
}

}  // namespace

PyObject* tensor_add(PyObject* l, PyObject* r) noexcept { return arithmetic<add, scalar_add, scalar_add>(l, r); }
PyObject* tensor_subtract(PyObject* l, PyObject* r) noexcept { return arithmetic<sub, scalar_sub, nullptr>(l, r); }
PyObject* tensor_multiply(PyObject* l, PyObject* r) noexcept { return arithmetic<mul, scalar_mul, scalar_mul>(l, r); }
PyObject* tensor_true_divide(PyObject* l, PyObject* r) noexcept {
  return arithmetic<div, scalar_div, scalar_rdiv>(l, r);
}
PyObject* tensor_and(PyObject* l, PyObject* r) noexcept { return tensors_only<logical_and>(l, r); }
PyObject* tensor_or(PyObject* l, PyObject* r) noexcept { return tensors_only<logical_or>(l, r); }
PyObject* tensor_xor(PyObject* l, PyObject* r) noexcept { return tensors_only<logical_xor>(l, r); }
PyObject* tensor_matrix_multiply(PyObject* l, PyObject* r) noexcept { return tensors_only<matmul>(l, r); }

PyObject* tensor_invert(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedBorrow t(self);
    if (!t) return nullptr;
    return finish(logical_not(*t));
  });
}

PyObject* tensor_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    // The interpreter calls this slot with a Tensor first, mirroring the
    // operator when the Tensor was on the right (`2 < t` arrives as `t > 2`).
    if (op == Py_NE) return not_equal(self, other);
    const Comparison& c = comparisons[op];
    SharedBorrow t(self);
    if (!t) return nullptr;
    if (is_tensor(other)) {
      SharedBorrow o(other);
      if (!o) return nullptr;
      return finish(c.tensor_op(*t, *o));
    }
    float s = 0.0f;
    const int read = read_scalar(other, &s);
    if (read < 0) return nullptr;
    if (read > 0) return finish(c.scalar_op(*t, s));
    Py_RETURN_NOTIMPLEMENTED;
  });
}

}  // namespace vessik::api
