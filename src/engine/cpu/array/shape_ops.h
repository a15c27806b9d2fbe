#pragma once
// Shape operations, written once for every element type. Each returns a new
// array that owns a new buffer.

#include <cstdint>
#include <string>
#include <utility>

#include "engine/cpu/array/iterate.h"
#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/error.h"

namespace vessik::shape_ops {

template <Element T>
Result<NdArray<T>> zeros_like(const NdArray<T>& a) {
  return NdArray<T>::filled(a.shape(), static_cast<T>(0.0f));
}

template <Element T>
Result<NdArray<T>> ones_like(const NdArray<T>& a) {
  return NdArray<T>::filled(a.shape(), static_cast<T>(1.0f));
}

// The same elements read in row-major order under `shape`. Fails with a
// ValueError when the element counts differ (tested first) or `a` is not
// row-major contiguous; no row-major copy is made first.
template <Element T>
Result<NdArray<T>> reshape(const NdArray<T>& a, const Shape& shape) {
  const auto count = checked_element_count(shape);
  if (!count || *count != a.size()) {
    return fail(ErrorKind::ValueError, "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes");
  }
  if (!is_row_major_contiguous(a.shape(), a.strides())) {
    return fail(ErrorKind::ValueError,
                "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout");
  }
  auto out = a.clone();
  if (out) out->set_layout(shape, row_major_strides(shape));
  return out;
}

// The same elements in a row-major buffer, copied exactly.
template <Element T>
Result<NdArray<T>> to_row_major(const NdArray<T>& a) {
  if (is_row_major_contiguous(a.shape(), a.strides())) return a.clone();
  auto out = NdArray<T>::uninitialized_row_major(a.shape());
  if (!out) return out;
  T* const po = out->data();
  const T* const pa = a.data();
  for_each_run<2>(a.shape(), {&out->strides(), &a.strides()},
                  [&](const Offsets<2>& at, const Offsets<2>& step, std::int64_t n) {
                    for (std::int64_t i = 0; i < n; ++i) po[at[0] + i * step[0]] = pa[at[1] + i * step[1]];
                  });
  return out;
}

// Axes dim0 and dim1 exchanged (lengths and strides); the buffer keeps its
// memory order. An axis out of range is an IndexError.
template <Element T>
Result<NdArray<T>> transpose(const NdArray<T>& a, std::uint64_t dim0, std::uint64_t dim1) {
  const std::uint64_t n = a.ndim();
  for (const std::uint64_t d : {dim0, dim1}) {
    if (d >= n) {
      return fail(ErrorKind::IndexError, "transpose: axis " + std::to_string(d) +
                                             " is out of range for a tensor with " + std::to_string(n) + " axes");
    }
  }
  auto out = a.clone();
  if (!out) return out;
  Shape shape = a.shape();
  Strides strides = a.strides();
  std::swap(shape[dim0], shape[dim1]);
  std::swap(strides[dim0], strides[dim1]);
  out->set_layout(std::move(shape), std::move(strides));
  return out;
}

}  // namespace vessik::shape_ops
