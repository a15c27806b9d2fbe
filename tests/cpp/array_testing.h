#pragma once
// Small helpers for building arrays and reading them back by index, written
// independently of the kernels' iteration engine.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik::test {

// Row-major array holding `values` converted to T.
template <Element T>
NdArray<T> make(const Shape& shape, const std::vector<float>& values) {
  auto a = NdArray<T>::uninitialized_row_major(shape);
  EXPECT_TRUE(a.has_value());
  EXPECT_EQ(a->size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) a->data()[i] = static_cast<T>(values[i]);
  return std::move(*a);
}

// A storage of `shape` holding ones of element type `d`.
inline CpuStorage storage_of(DType d, const Shape& shape) {
  const std::vector<float> ones(checked_element_count(shape).value(), 1.0f);
  switch (d) {
    case DType::F16: return CpuStorage(make<Half>(shape, ones));
    case DType::BF16: return CpuStorage(make<BFloat16>(shape, ones));
    case DType::F32: return CpuStorage(make<float>(shape, ones));
    case DType::Bool: return CpuStorage(make<bool>(shape, ones));
  }
  std::abort();
}

// Calls f(index) for every index of `shape` in row-major order.
inline void for_each_index(const Shape& shape, const std::function<void(const std::vector<std::uint64_t>&)>& f) {
  for (std::uint64_t len : shape) {
    if (len == 0) return;
  }
  std::vector<std::uint64_t> index(shape.size(), 0);
  for (;;) {
    f(index);
    std::size_t axis = shape.size();
    while (axis > 0) {
      --axis;
      if (++index[axis] < shape[axis]) break;
      index[axis] = 0;
      if (axis == 0) return;
    }
    if (shape.empty()) return;
  }
}

inline std::int64_t offset_of(const Strides& strides, const std::vector<std::uint64_t>& index) {
  std::int64_t off = 0;
  for (std::size_t k = 0; k < index.size(); ++k) off += strides[k] * static_cast<std::int64_t>(index[k]);
  return off;
}

template <class T>
T at(const StridedView<T>& v, const std::vector<std::uint64_t>& index) {
  return v.data[offset_of(v.strides, index)];
}

// The elements in row-major index order, whatever the layout.
template <Element T>
std::vector<T> logical_elements(const NdArray<T>& a) {
  std::vector<T> out;
  for_each_index(a.shape(), [&](const auto& index) { out.push_back(at(a.view(), index)); });
  return out;
}

// Bit pattern of an element, so NaNs and signed zeros compare exactly.
inline std::uint32_t pattern(float x) { return std::bit_cast<std::uint32_t>(x); }
inline std::uint32_t pattern(Half x) { return x.bits(); }
inline std::uint32_t pattern(BFloat16 x) { return x.bits(); }
inline std::uint32_t pattern(bool x) { return x ? 1 : 0; }

}  // namespace vessik::test
