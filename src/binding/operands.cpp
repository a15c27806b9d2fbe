#include "binding/operands.h"

#include "binding/errors.h"
#include "binding/py_tensor.h"

namespace vessik::api {

int read_scalar(PyObject* obj, float* out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    // An int beyond every float is a number all the same: answering
    // NotImplemented would make `t == 10**400` a quiet False.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
    PyErr_Clear();
    return 0;
  }
  *out = static_cast<float>(value);  // round to nearest, overflow to infinity
  return 1;
}

bool read_scalar_argument(PyObject* obj, const char* function, const char* argument, float* out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    prefix_pending_error(function, argument);
    return false;
  }
  *out = static_cast<float>(value);
  return true;
}

bool read_u64_argument(PyObject* obj, const char* function, const char* argument, std::uint64_t* out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) {
    prefix_pending_error(function, argument);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_pending_error(function, argument);
    return false;
  }
  *out = value;
  return true;
}

PyObject* finish(Result<Tensor> result) {
  if (!result) return raise(result.error());
  return wrap_tensor(std::move(*result));
}

}  // namespace vessik::api
