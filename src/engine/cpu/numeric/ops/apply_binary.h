#pragma once
// The binary element-wise kernel, written once: broadcast the operands,
// allocate the result in the order of Note [Column-major binary results],
// and walk the three views in lock step (Note [Strided iteration]) with the
// typed loops of numeric/core/binary_loops.h.

#include <type_traits>
#include <utility>

#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/array/iterate.h"
#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/array/result_layout.h"
#include "engine/cpu/numeric/core/binary_loops.h"

namespace vessik {

// Arithmetic functors give the element type, the others (comparisons,
// logical operations) give bool.
template <class Op, class T>
using BinaryResult = std::conditional_t<Op::arithmetic, T, bool>;

template <class Op, Element T>
Result<NdArray<BinaryResult<Op, T>>> apply_binary(const NdArray<T>& x, const NdArray<T>& y, Op op = {}) {
  using R = BinaryResult<Op, T>;
  // Operands of one shape laid out in the same contiguous order need no
  // broadcast views and no iteration plan: the result takes that order and
  // the three buffers are walked as one flat run. Small tensors spend most
  // of their time in exactly that set-up.
  const Shape& shape = x.shape();
  if (shape == y.shape()) {
    const bool row = is_row_major_contiguous(shape, x.strides()) && is_row_major_contiguous(shape, y.strides());
    if (row || (is_column_major_contiguous(shape, x.strides()) && is_column_major_contiguous(shape, y.strides()))) {
      auto out = NdArray<R>::uninitialized(shape, row ? row_major_strides(shape) : column_major_strides(shape));
      if (!out) return std::unexpected(std::move(out.error()));
      const auto n = static_cast<std::int64_t>(out->size());
      const T* const px = x.data();
      const T* const py = y.data();
      loops::fill_flat(out->data(), n, out->size() * (2 * sizeof(T) + sizeof(R)),
                       [&](R* dst, std::int64_t first, std::int64_t count) {
                         loops::binary_run(dst, 1, px + first, 1, py + first, 1, count, op);
                       },
                       px, py);
      return out;
    }
  }
  const StridedView<const T> a = x.view();
  const StridedView<const T> b = y.view();
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  const auto& [va, vb] = *views;
  auto out = NdArray<R>::uninitialized(va.shape, binary_result_strides(va.shape, va.strides, vb.strides));
  if (!out) return std::unexpected(std::move(out.error()));
  R* const po = out->data();
  const T* const pa = va.data;
  const T* const pb = vb.data;
  loops::TileScratch scratch;
  // The operands exist, so their element counts fit.
  const std::size_t inputs = checked_element_count(a.shape).value_or(0) + checked_element_count(b.shape).value_or(0);
  const std::size_t touched = out->size() * sizeof(R) + inputs * sizeof(T);
  const bool stream = worth_streaming(touched);
  for_each_plane<3>(va.shape, {&out->strides(), &va.strides, &vb.strides},
                    [&](const Offsets<3>& at, const Offsets<3>& s0, std::int64_t n0, const Offsets<3>& s1,
                        std::int64_t n1) {
                      loops::binary_plane(po + at[0], pa + at[1], pb + at[2], s0, n0, s1, n1, op, scratch, stream);
                    });
  if (stream) stream_fence();
  return out;
}

}  // namespace vessik
