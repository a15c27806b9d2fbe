#pragma once
// The one strided iteration engine of the element-wise kernels.
//
// Note [Strided iteration]
// Several views of one shape (operand 0 is the result, the others inputs,
// stride 0 on broadcast axes) are walked in lock step. The walk follows the
// memory order of operand 0: its smallest-stride axis is innermost. Axes of
// length 1 are dropped, and neighbouring axes that every operand steps
// through as one run are coalesced, so views that are all contiguous in the
// same order become one flat run. The caller's typed loop sees 2-D planes
// (the innermost axis and the next) or 1-D runs, with offsets and steps in
// elements per operand; the engine knows nothing about element types.
// When an input is contiguous along an outer axis rather than the inner one
// (a transposed operand), that axis becomes the second and the two are
// walked in tiles. The typed loop transposes that input's tile, in
// registers block by block (binary32 arithmetic) or into a small buffer in
// the result's order (loops::binary_plane), so both orders read whole cache
// lines instead of one line per element.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/cpu/array/shape.h"

namespace vessik {

template <std::size_t N>
using Offsets = std::array<std::int64_t, N>;

struct IterationPlan {
  bool empty = false;                 // some axis has length 0: nothing to visit
  std::size_t operands = 0;
  std::vector<std::int64_t> lengths;  // innermost axis first, at least one axis
  std::vector<std::int64_t> strides;  // strides[axis * operands + operand]
  bool tiled = false;                 // walk axes 0 and 1 in tiles
};

// `strides` holds one stride list per operand, each of `shape.size()` axes.
IterationPlan plan_iteration(const Shape& shape, std::span<const Strides* const> strides);

// Tile size in elements along the inner and the outer axis. A transposed
// input is read in runs of the outer edge (1 KiB of binary32, sixteen whole
// cache lines), the other inputs in runs of the inner edge; a packed tile of
// binary32 is 256 KiB, which stays in the second-level cache.
inline constexpr std::int64_t kTileInner = 256;
inline constexpr std::int64_t kTileOuter = 256;
inline constexpr std::int64_t kTileElements = kTileInner * kTileOuter;

namespace iterate_detail {

template <std::size_t N>
Offsets<N> axis_steps(const IterationPlan& p, std::size_t axis) {
  Offsets<N> s{};
  for (std::size_t k = 0; k < N; ++k) s[k] = p.strides[axis * N + k];
  return s;
}

template <std::size_t N>
Offsets<N> add_scaled(Offsets<N> base, const Offsets<N>& step, std::int64_t times) {
  for (std::size_t k = 0; k < N; ++k) base[k] += step[k] * times;
  return base;
}

}  // namespace iterate_detail

// Calls `plane(offsets, inner_steps, inner_count, outer_steps, outer_count)`
// for every 2-D block of the walk: the innermost axis and the one outside it,
// whole or, when tiled, one tile (at most kTileInner by kTileOuter) at a
// time.
template <std::size_t N, class Plane>
void for_each_plane(const Shape& shape, const std::array<const Strides*, N>& strides, Plane&& plane) {
  using namespace iterate_detail;
  const IterationPlan p = plan_iteration(shape, std::span<const Strides* const>(strides));
  if (p.empty) return;
  const std::size_t nd = p.lengths.size();
  const Offsets<N> s0 = axis_steps<N>(p, 0);
  const std::int64_t n0 = p.lengths[0];
  if (nd == 1) {
    plane(Offsets<N>{}, s0, n0, Offsets<N>{}, std::int64_t{1});
    return;
  }

  const Offsets<N> s1 = axis_steps<N>(p, 1);
  const std::int64_t n1 = p.lengths[1];
  auto inner_two = [&](const Offsets<N>& base) {
    if (!p.tiled) {
      plane(base, s0, n0, s1, n1);
      return;
    }
    for (std::int64_t j0 = 0; j0 < n1; j0 += kTileOuter) {
      const std::int64_t rows = j0 + kTileOuter < n1 ? kTileOuter : n1 - j0;
      for (std::int64_t i0 = 0; i0 < n0; i0 += kTileInner) {
        const std::int64_t count = i0 + kTileInner < n0 ? kTileInner : n0 - i0;
        plane(add_scaled<N>(add_scaled<N>(base, s0, i0), s1, j0), s0, count, s1, rows);
      }
    }
  };

  // Odometer over the outer axes.
  std::vector<std::int64_t> index(nd, 0);
  Offsets<N> base{};
  for (;;) {
    inner_two(base);
    std::size_t axis = 2;
    for (; axis < nd; ++axis) {
      const Offsets<N> step = axis_steps<N>(p, axis);
      if (++index[axis] < p.lengths[axis]) {
        base = add_scaled<N>(base, step, 1);
        break;
      }
      base = add_scaled<N>(base, step, -(p.lengths[axis] - 1));
      index[axis] = 0;
    }
    if (axis == nd) return;
  }
}

// Calls `run(offsets, steps, count)` for every 1-D run of the walk.
template <std::size_t N, class Run>
void for_each_run(const Shape& shape, const std::array<const Strides*, N>& strides, Run&& run) {
  for_each_plane<N>(shape, strides,
                    [&](const Offsets<N>& at, const Offsets<N>& s0, std::int64_t n0, const Offsets<N>& s1,
                        std::int64_t n1) {
                      for (std::int64_t j = 0; j < n1; ++j) run(iterate_detail::add_scaled<N>(at, s1, j), s0, n0);
                    });
}

}  // namespace vessik
