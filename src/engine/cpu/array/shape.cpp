#include "engine/cpu/array/shape.h"

#include <cstddef>
#include <limits>

namespace vessik {

std::string shape_to_string(const Shape& shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i != 0) out += ", ";
    out += std::to_string(shape[i]);
  }
  out += "]";
  return out;
}

std::optional<std::uint64_t> checked_element_count(const Shape& shape) {
  constexpr std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::uint64_t nonzero = 1;
  bool any_zero = false;
  for (std::uint64_t len : shape) {
    if (len == 0) {
      any_zero = true;
      continue;
    }
    if (nonzero > limit / len) return std::nullopt;
    nonzero *= len;
  }
  return any_zero ? 0 : nonzero;
}

Strides row_major_strides(const Shape& shape) {
  Strides strides(shape.size(), 0);
  std::int64_t step = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] == 0) return Strides(shape.size(), 0);
    strides[i] = step;
    step *= static_cast<std::int64_t>(shape[i]);
  }
  return strides;
}

Strides column_major_strides(const Shape& shape) {
  Strides strides(shape.size(), 0);
  std::int64_t step = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 0) return Strides(shape.size(), 0);
    strides[i] = step;
    step *= static_cast<std::int64_t>(shape[i]);
  }
  return strides;
}

bool is_row_major_contiguous(const Shape& shape, const Strides& strides) {
  std::int64_t expected = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] == 0) return true;
  }
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] > 1 && strides[i] != expected) return false;
    expected *= static_cast<std::int64_t>(shape[i]);
  }
  return true;
}

bool is_column_major_contiguous(const Shape& shape, const Strides& strides) {
  for (std::uint64_t len : shape) {
    if (len == 0) return true;
  }
  std::int64_t expected = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] > 1 && strides[i] != expected) return false;
    expected *= static_cast<std::int64_t>(shape[i]);
  }
  return true;
}

}  // namespace vessik
