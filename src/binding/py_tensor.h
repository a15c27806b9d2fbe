#pragma once
// PyTensor: the Python object that owns one core Tensor.
//
// Note [Borrow counter]
// A PyTensor never changes after construction, so any number of threads may
// read it at once. Each method still takes a shared borrow for the length of
// the call by incrementing `borrows`; an exclusive borrow would set the
// counter negative. No operation takes one, so "Already mutably borrowed"
// cannot arise today; the counter is what would detect an overlap if one
// ever did, instead of letting a writer race the readers.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/errors.h"
#include "values/tensor.h"

namespace vessik::api {

struct PyTensor {
  PyObject_HEAD
  Tensor tensor;                     // constructed in place, destroyed in dealloc
  std::atomic<std::int64_t> borrows; // see Note [Borrow counter]
};

// The type object, created on first need and kept for the process (borrowed).
// nullptr with the interpreter's error set when creating it fails.
PyTypeObject* tensor_type() noexcept;

// The type is not subclassable, so an exact type test is the instance test.
inline bool is_tensor(PyObject* obj) noexcept {
  PyTypeObject* type = tensor_type();
  return type != nullptr && Py_IS_TYPE(obj, type);
}

// A new object holding a default Tensor, ready to be filled before anyone
// else sees it; nullptr with an error set.
PyTensor* allocate_tensor(PyTypeObject* type) noexcept;

// Wraps an operation's result in a new object (nullptr with an error set).
PyObject* wrap_tensor(Tensor tensor) noexcept;

// A shared borrow of an object's Tensor for the duration of a call.
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* obj) noexcept;
  ~SharedBorrow();
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

  // False (with RuntimeError set) when the object is exclusively borrowed.
  explicit operator bool() const noexcept { return self_ != nullptr; }
  const Tensor& operator*() const noexcept { return self_->tensor; }
  const Tensor* operator->() const noexcept { return &self_->tensor; }

 private:
  PyTensor* self_;
};

// Runs `body(tensor)` under a shared borrow of `self`, as a guarded callback.
template <class F>
PyObject* with_borrow(PyObject* self, F&& body) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedBorrow t(self);
    if (!t) return nullptr;
    return body(*t);
  });
}

}  // namespace vessik::api
