#pragma once
// A 2-D matrix as the products see it: an element pointer and two strides.

#include <cstdint>

namespace vessik {

// A matrix's element (i, j) is data[i * row_stride + j * col_stride].
struct MatrixStrides {
  std::int64_t row_stride = 0;
  std::int64_t col_stride = 0;
};

template <class T>
struct MatrixRef {
  T* data = nullptr;
  MatrixStrides strides;

  T& operator()(std::int64_t i, std::int64_t j) const {
    return data[i * strides.row_stride + j * strides.col_stride];
  }
  MatrixRef block(std::int64_t i, std::int64_t j) const { return {&(*this)(i, j), strides}; }
};

}  // namespace vessik
