#include "engine/cpu/array/broadcast.h"

#include <algorithm>
#include <cstddef>

namespace vessik {

Result<Shape> broadcast_shapes(const Shape& a, const Shape& b) {
  const std::size_t n = std::max(a.size(), b.size());
  Shape out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t la = i < a.size() ? a[a.size() - 1 - i] : 1;
    const std::uint64_t lb = i < b.size() ? b[b.size() - 1 - i] : 1;
    std::uint64_t len;
    if (la == lb || lb == 1) {
      len = la;
    } else if (la == 1) {
      len = lb;
    } else {
      return kernel_fail("Shape mismatch: cannot broadcast " + shape_to_string(a) + " and " + shape_to_string(b));
    }
    out[n - 1 - i] = len;
  }
  return out;
}

std::optional<Strides> broadcast_strides(const Shape& shape, const Strides& strides, const Shape& target) {
  if (shape.size() > target.size() || strides.size() != shape.size()) return std::nullopt;
  if (!checked_element_count(target)) return std::nullopt;
  const std::size_t lead = target.size() - shape.size();
  Strides out(target.size(), 0);
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == target[lead + i]) {
      out[lead + i] = strides[i];
    } else if (shape[i] != 1) {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace vessik
