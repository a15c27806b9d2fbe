// What a tensor reports about itself, and its data and gradient leaving as
// new NumPy arrays.

#include <array>
#include <cstring>
#include <type_traits>
#include <vector>

#include "autograd/tape.h"
#include "binding/errors.h"
#include "binding/numpy_api.h"
#include "binding/numpy_storage.h"
#include "binding/process_cache.h"
#include "binding/py_tensor.h"
#include "binding/slots.h"
#include "tensor/core.h"

namespace vessik::api {

namespace {

std::array<ProcessCache<>, kElementTypeCount> dtype_str;
ProcessCache<> device_str;

template <class Values>
PyObject* int_list(const Values& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item;
    if constexpr (std::is_signed_v<typename Values::value_type>) {
      item = PyLong_FromLongLong(values[i]);
    } else {
      item = PyLong_FromUnsignedLongLong(values[i]);
    }
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// A new NumPy array holding a copy of `storage`: C order when the storage is
// row-major, Fortran order (same strides) when it is exactly column-major,
// otherwise C order filled element by element.
template <Element T>
PyObject* export_array(const NdArray<T>& a) {
  PyArray_Descr* descr = new_descr(dtype_of<T>);
  if (descr == nullptr) return nullptr;
  const Shape& shape = a.shape();
  const std::vector<npy_intp> dims(shape.begin(), shape.end());
  const bool row_major = is_row_major_contiguous(shape, a.strides());
  const bool column_major = !row_major && shape.size() > 1 && is_column_major_contiguous(shape, a.strides());
  std::vector<npy_intp> byte_strides;
  if (column_major) {
    for (const std::int64_t s : a.strides()) byte_strides.push_back(static_cast<npy_intp>(s * sizeof(T)));
  }
  // Steals `descr`.
  PyObject* out = PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(dims.size()), dims.data(),
                                       column_major ? byte_strides.data() : nullptr, nullptr, 0, nullptr);
  if (out == nullptr || a.size() == 0) return out;
  char* dst = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
  const char* src = reinterpret_cast<const char*>(a.data());
  if (row_major || column_major) {
    std::memcpy(dst, src, a.size() * sizeof(T));
  } else {
    std::vector<std::int64_t> strides;
    for (const std::int64_t s : a.strides()) strides.push_back(s * static_cast<std::int64_t>(sizeof(T)));
    copy_row_major(dst, src, shape, strides.data(), sizeof(T));
  }
  return out;
}

PyObject* export_storage(const Storage& storage) {
  if (!bind_numpy()) return nullptr;
  return storage.visit([](const auto& a) { return export_array(a); });
}

}  // namespace

PyObject* get_shape(PyObject* self, void*) noexcept {
  return with_borrow(self, [](const Tensor& t) { return int_list(t.storage->shape()); });
}

PyObject* get_ndim(PyObject* self, void*) noexcept {
  return with_borrow(self, [](const Tensor& t) { return PyLong_FromSize_t(t.storage->ndim()); });
}

PyObject* get_strides(PyObject* self, void*) noexcept {
  return with_borrow(self, [](const Tensor& t) { return int_list(t.storage->strides()); });
}

PyObject* get_dtype(PyObject* self, void*) noexcept {
  return with_borrow(self, [](const Tensor& t) {
    const DType d = t.storage->dtype();
    return Py_XNewRef(cached_str(dtype_str[static_cast<std::size_t>(d)], dtype_names(d).short_name.data()));
  });
}

PyObject* get_device(PyObject* self, void*) noexcept {
  return with_borrow(self, [](const Tensor&) { return Py_XNewRef(cached_str(device_str, "cpu")); });
}

PyObject* get_requires_grad(PyObject* self, void*) noexcept {
  return with_borrow(self, [](const Tensor& t) { return PyBool_FromLong(t.requires_grad); });
}

PyObject* tensor_to_numpy(PyObject* self, PyObject*) noexcept {
  return with_borrow(self, [](const Tensor& t) { return export_storage(*t.storage); });
}

PyObject* tensor_grad(PyObject* self, PyObject*) noexcept {
  return with_borrow(self, [](const Tensor& t) -> PyObject* {
    const StorageHandle grad = vessik::grad(t);
    if (!grad) Py_RETURN_NONE;
    return export_storage(*grad);
  });
}

PyObject* tensor_clear_graph(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [] {
    clear_tape();
    Py_RETURN_NONE;
  });
}

}  // namespace vessik::api
