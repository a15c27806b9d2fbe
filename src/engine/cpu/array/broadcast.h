#pragma once
// Broadcasting: two shapes combine into their common shape, aligned from the
// trailing axis, and operands are read through stride-0 views of it. No
// element is ever copied or expanded.

#include <optional>
#include <utility>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/array/shape.h"
#include "engine/cpu/error.h"

namespace vessik {

// The common shape of `a` and `b`, or RuntimeError
// "Shape mismatch: cannot broadcast [a] and [b]" (operands in call order).
Result<Shape> broadcast_shapes(const Shape& a, const Shape& b);

// Strides that read an operand of (`shape`, `strides`) as `target`, aligned
// from the trailing axis: an equal length keeps its stride, a length 1 and a
// missing leading axis get stride 0. Nothing when `shape` does not broadcast
// to `target` or `target` is too large to address.
std::optional<Strides> broadcast_strides(const Shape& shape, const Strides& strides, const Shape& target);

template <class T>
std::optional<StridedView<T>> broadcast_view(const StridedView<T>& view, const Shape& target) {
  auto strides = broadcast_strides(view.shape, view.strides, target);
  if (!strides) return std::nullopt;
  return StridedView<T>{view.data, target, std::move(*strides)};
}

// Views of `a` and `b` with their common shape, or one of the three
// broadcasting messages. The views live no longer than the operands.
template <class T>
Result<std::pair<StridedView<const T>, StridedView<const T>>> broadcast_tensors(const StridedView<const T>& a,
                                                                              const StridedView<const T>& b) {
  auto shape = broadcast_shapes(a.shape, b.shape);
  if (!shape) return std::unexpected(std::move(shape.error()));
  auto va = broadcast_view(a, *shape);
  if (!va) return kernel_fail("Broadcast failed for A: " + shape_to_string(a.shape) + " -> " + shape_to_string(*shape));
  auto vb = broadcast_view(b, *shape);
  if (!vb) return kernel_fail("Broadcast failed for B: " + shape_to_string(b.shape) + " -> " + shape_to_string(*shape));
  return std::pair{std::move(*va), std::move(*vb)};
}

template <class T>
Result<std::pair<StridedView<const T>, StridedView<const T>>> broadcast_tensors(const NdArray<T>& a,
                                                                              const NdArray<T>& b) {
  return broadcast_tensors(a.view(), b.view());
}

}  // namespace vessik
