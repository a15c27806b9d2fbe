#pragma once
// NdArray<T>: the engine's owned n-d array. Shape (unsigned lengths),
// strides (signed, in elements) and a contiguous owned buffer, which may be
// laid out in any axis order (a transposed array keeps its buffer and swaps
// its strides). Element (0, ..., 0) is always the first buffer element:
// storage strides are never negative.
//
// StridedView<T>: a non-owning window on elements (pointer, shape, strides),
// used for broadcast views (stride 0) and sub-arrays inside one operation.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/cpu/array/buffer.h"
#include "engine/cpu/array/shape.h"
#include "engine/cpu/error.h"

namespace vessik {

template <class T>
struct StridedView {
  T* data = nullptr;
  Shape shape;
  Strides strides;

  std::size_t ndim() const { return shape.size(); }
};

template <class T>
class NdArray {
 public:
  using value_type = T;

  NdArray() = default;
  NdArray(NdArray&&) noexcept = default;
  NdArray& operator=(NdArray&&) noexcept = default;
  NdArray(const NdArray&) = delete;
  NdArray& operator=(const NdArray&) = delete;

  // Uninitialised elements with the given layout. `strides` must describe a
  // dense walk of exactly element-count elements starting at the buffer start.
  static Result<NdArray> uninitialized(Shape shape, Strides strides) {
    const auto count = checked_element_count(shape);
    if (!count) return fail(ErrorKind::ValueError, "tensor size " + shape_to_string(shape) + " is too large");
    if (*count > std::numeric_limits<std::size_t>::max() / sizeof(T)) return out_of_memory();
    RawBuffer buffer;
    if (*count != 0) {
      buffer = allocate_buffer(*count * sizeof(T));
      if (!buffer) return out_of_memory();
    }
    return NdArray(std::move(shape), std::move(strides), *count, std::move(buffer));
  }

  static Result<NdArray> uninitialized_row_major(Shape shape) {
    Strides strides = row_major_strides(shape);
    return uninitialized(std::move(shape), std::move(strides));
  }

  static Result<NdArray> filled(Shape shape, T value) {
    auto a = uninitialized_row_major(std::move(shape));
    if (a) std::fill_n(a->data(), a->size(), value);
    return a;
  }

  // Deep copy: same shape, strides and buffer order.
  Result<NdArray> clone() const {
    auto a = uninitialized(shape_, strides_);
    if (a && size_ != 0) std::memcpy(a->data(), data(), size_ * sizeof(T));
    return a;
  }

  const Shape& shape() const { return shape_; }
  const Strides& strides() const { return strides_; }
  std::size_t ndim() const { return shape_.size(); }
  std::uint64_t size() const { return size_; }  // number of elements

  T* data() { return static_cast<T*>(buffer_.get()); }
  const T* data() const { return static_cast<const T*>(buffer_.get()); }

  StridedView<const T> view() const { return {data(), shape_, strides_}; }
  StridedView<T> mutable_view() { return {data(), shape_, strides_}; }

  // Re-labels the axes of this buffer. The caller guarantees the new layout
  // addresses the same elements (reshape of row-major data, axis swaps).
  void set_layout(Shape shape, Strides strides) {
    shape_ = std::move(shape);
    strides_ = std::move(strides);
  }

 private:
  NdArray(Shape&& shape, Strides&& strides, std::uint64_t size, RawBuffer&& buffer)
      : shape_(std::move(shape)), strides_(std::move(strides)), size_(size), buffer_(std::move(buffer)) {}

  Shape shape_;
  Strides strides_;
  std::uint64_t size_ = 0;
  RawBuffer buffer_;
};

}  // namespace vessik
