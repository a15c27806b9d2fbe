#include "binding/numpy_storage.h"

#include <cstring>
#include <string>
#include <vector>

// NumPy's API table is bound lazily by the binding; this unit only uses it.
#include "binding/numpy_api.h"

namespace vessik {

namespace {

std::unexpected<Error> conversion_error(PyObject* obj, std::string_view expected) {
  std::string message = "'";
  message.append(Py_TYPE(obj)->tp_name).append("' object cannot be converted to '").append(expected).append("'");
  return fail(ErrorKind::TypeError, std::move(message));
}

// The array's dtype is exactly the one of `d`, in native byte order: a
// byte-swapped array of the right kind would be copied as garbage.
bool has_dtype(PyArrayObject* array, DType d) {
  const PyArray_Descr* descr = PyArray_DESCR(array);
  if (!PyArray_ISNBO(descr->byteorder)) return false;
  const PyArray_Descr* wanted = api::descr_of(d);
  if (wanted == nullptr) {
    PyErr_Clear();  // reported as the dtype mismatch it is
    return false;
  }
  return descr->type_num == wanted->type_num && PyDataType_ELSIZE(descr) == PyDataType_ELSIZE(wanted);
}

template <Element T>
Result<CpuStorage> copy_array(PyArrayObject* array, Shape shape) {
  auto out = NdArray<T>::uninitialized_row_major(std::move(shape));
  if (!out) return std::unexpected(std::move(out.error()));
  if (out->size() == 0) return CpuStorage(std::move(*out));
  char* dst = reinterpret_cast<char*>(out->data());
  const char* src = static_cast<const char*>(PyArray_DATA(array));
  if (out->ndim() == 0 || PyArray_IS_C_CONTIGUOUS(array)) {
    std::memcpy(dst, src, out->size() * sizeof(T));
  } else {
    static_assert(sizeof(npy_intp) == sizeof(std::int64_t));
    copy_row_major(dst, src, out->shape(), reinterpret_cast<const std::int64_t*>(PyArray_STRIDES(array)), sizeof(T));
  }
  if constexpr (std::same_as<T, bool>) {
    // A NumPy bool array viewed from other bytes may hold any byte value;
    // a C++ bool must be 0 or 1.
    auto* bytes = reinterpret_cast<unsigned char*>(dst);
    for (std::uint64_t i = 0; i < out->size(); ++i) bytes[i] = bytes[i] != 0;
  }
  return CpuStorage(std::move(*out));
}

}  // namespace

bool is_plain_array_of(PyObject* obj, DType dtype) {
  return PyArray_CheckExact(obj) && has_dtype(reinterpret_cast<PyArrayObject*>(obj), dtype);
}

void copy_row_major(char* dst, const char* src, const Shape& shape, const std::int64_t* byte_strides,
                    std::size_t elsize) {
  const std::size_t nd = shape.size();
  const std::uint64_t inner = shape[nd - 1];
  const std::int64_t inner_stride = byte_strides[nd - 1];
  std::vector<std::uint64_t> index(nd, 0);
  for (;;) {
    const char* p = src;
    for (std::uint64_t i = 0; i < inner; ++i, p += inner_stride, dst += elsize) std::memcpy(dst, p, elsize);
    // Advance the outer axes like an odometer.
    std::size_t axis = nd - 1;
    for (;;) {
      if (axis == 0) return;
      --axis;
      src += byte_strides[axis];
      if (++index[axis] < shape[axis]) break;
      src -= static_cast<std::int64_t>(shape[axis]) * byte_strides[axis];
      index[axis] = 0;
    }
  }
}

Result<CpuStorage> from_numpy(PyObject* obj, std::string_view dtype_name) {
  if (!PyArray_Check(obj)) return conversion_error(obj, "ndarray");
  auto* array = reinterpret_cast<PyArrayObject*>(obj);

  const int nd = PyArray_NDIM(array);
  const npy_intp* dims = PyArray_DIMS(array);
  Shape shape(dims, dims + nd);

  const auto dtype = dtype_from_name(dtype_name);
  if (!dtype) {
    return fail(ErrorKind::TypeError, "Unsupported data type '" + std::string(dtype_name) +
                                          "'. Only float32, float16, bfloat16, and bool are supported.");
  }
  if (!has_dtype(array, *dtype)) return conversion_error(obj, "ndarray of " + std::string(dtype_name));

  switch (*dtype) {
#define VESSIK_COPY(e, T, ...) \
  case DType::e: return copy_array<T>(array, std::move(shape));
    VESSIK_ELEMENT_TYPES(VESSIK_COPY)
#undef VESSIK_COPY
  }
  return kernel_fail("unreachable element type");
}

}  // namespace vessik
