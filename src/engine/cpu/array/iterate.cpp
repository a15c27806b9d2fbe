#include "engine/cpu/array/iterate.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

namespace vessik {

IterationPlan plan_iteration(const Shape& shape, std::span<const Strides* const> strides) {
  IterationPlan p;
  const std::size_t nops = strides.size();
  p.operands = nops;
  for (std::uint64_t len : shape) {
    if (len == 0) {
      p.empty = true;
      return p;
    }
  }

  // Axes longer than 1, innermost first: by operand 0's stride, ties (which
  // only broadcast results have) in row-major order.
  std::vector<std::size_t> axes;
  for (std::size_t a = shape.size(); a-- > 0;) {
    if (shape[a] > 1) axes.push_back(a);
  }
  std::stable_sort(axes.begin(), axes.end(), [&](std::size_t x, std::size_t y) {
    return std::llabs((*strides[0])[x]) < std::llabs((*strides[0])[y]);
  });

  auto stride_of = [&](std::size_t axis, std::size_t op) { return (*strides[op])[axis]; };
  for (std::size_t a : axes) {
    const std::size_t last = p.lengths.size();
    bool merges = last != 0;
    for (std::size_t op = 0; merges && op < nops; ++op) {
      merges = stride_of(a, op) == p.strides[(last - 1) * nops + op] * p.lengths[last - 1];
    }
    if (merges) {
      p.lengths[last - 1] *= static_cast<std::int64_t>(shape[a]);
      continue;
    }
    p.lengths.push_back(static_cast<std::int64_t>(shape[a]));
    for (std::size_t op = 0; op < nops; ++op) p.strides.push_back(stride_of(a, op));
  }
  if (p.lengths.empty()) {
    p.lengths.push_back(1);
    p.strides.assign(nops, 0);
    return p;
  }

  // Tiling: an input that steps by more than one element along the inner
  // axis but is contiguous along an outer one. That outer axis moves next to
  // the inner axis and the two are walked in tiles.
  const std::size_t nd = p.lengths.size();
  constexpr std::int64_t kMinTiled = 16;
  if (nd < 2 || p.lengths[0] < kMinTiled) return p;
  for (std::size_t op = 1; op < nops; ++op) {
    if (std::llabs(p.strides[op]) <= 1) continue;
    for (std::size_t axis = 1; axis < nd; ++axis) {
      if (std::llabs(p.strides[axis * nops + op]) != 1 || p.lengths[axis] < kMinTiled) continue;
      if (axis != 1) {
        std::swap(p.lengths[1], p.lengths[axis]);
        std::swap_ranges(p.strides.begin() + nops, p.strides.begin() + 2 * nops, p.strides.begin() + axis * nops);
      }
      p.tiled = true;
      return p;
    }
  }
  return p;
}

}  // namespace vessik
