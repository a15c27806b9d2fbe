#include "engine/cpu/array/result_layout.h"

#include <cstddef>

namespace vessik {

namespace {

struct ViewOrder {
  bool row_major = false;
  bool column_major = false;
  int score = 0;
};

ViewOrder classify(const Shape& shape, const Strides& strides) {
  ViewOrder v;
  const std::size_t n = shape.size();
  if (is_row_major_contiguous(shape, strides)) {
    std::size_t long_axes = 0;
    for (std::uint64_t len : shape) long_axes += len > 1 ? 1 : 0;
    v.row_major = true;
    if (long_axes <= 1) {
      v.column_major = true;
    } else {
      v.score = 2;
    }
    return v;
  }
  if (n < 2) return v;
  if (is_column_major_contiguous(shape, strides)) {
    v.column_major = true;
    v.score = -2;
  } else if (shape[0] > 1 && strides[0] == 1) {
    v.score = -1;
  } else if (shape[n - 1] > 1 && strides[n - 1] == 1) {
    v.score = 1;
  }
  return v;
}

}  // namespace

bool prefers_column_major(const Shape& shape, const Strides& a, const Strides& b) {
  const ViewOrder va = classify(shape, a);
  const ViewOrder vb = classify(shape, b);
  if (va.row_major && vb.row_major) return false;
  return (va.column_major && vb.column_major) || va.score + vb.score < 0;
}

Strides binary_result_strides(const Shape& shape, const Strides& a, const Strides& b) {
  return prefers_column_major(shape, a, b) ? column_major_strides(shape) : row_major_strides(shape);
}

}  // namespace vessik
