#pragma once
// The binary element-wise kernel, written once: broadcast the operands,
// allocate the result in the order of Note [Column-major binary results],
// and walk the three views in lock step (Note [Strided iteration]) with the
// typed 1-D loops of numeric/core/loops.h.

#include <type_traits>
#include <utility>

#include "engine/cpu/array/iterate.h"
#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/array/result_layout.h"
#include "engine/cpu/float_env.h"
#include "engine/cpu/numeric/core/loops.h"
#include "engine/cpu/numeric/ops/mod.h"

namespace vessik {

// Arithmetic functors give the element type, the others (comparisons,
// logical operations) give bool.
template <class Op, class T>
using BinaryResult = std::conditional_t<Op::arithmetic, T, bool>;

template <class Op, Element T>
Result<NdArray<BinaryResult<Op, T>>> apply_binary(const StridedView<const T>& a, const StridedView<const T>& b,
                                                   Op op = {}) {
  using R = BinaryResult<Op, T>;
  // Operands of one shape laid out in the same contiguous order need no
  // broadcast views and no iteration plan: the result takes that order and
  // the three buffers are walked as one flat run. Small tensors spend most
  // of their time in exactly that set-up.
  if (a.shape == b.shape) {
    const bool row = is_row_major_contiguous(a.shape, a.strides) && is_row_major_contiguous(b.shape, b.strides);
    if (row || (is_column_major_contiguous(a.shape, a.strides) && is_column_major_contiguous(b.shape, b.strides))) {
      auto out = NdArray<R>::uninitialized(a.shape, row ? row_major_strides(a.shape) : column_major_strides(a.shape));
      if (!out) return std::unexpected(std::move(out.error()));
      const IeeeModeGuard ieee;
      loops::binary_run(out->data(), 1, a.data, 1, b.data, 1, static_cast<std::int64_t>(out->size()), op);
      return out;
    }
  }
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  const auto& [va, vb] = *views;
  auto out = NdArray<R>::uninitialized(va.shape, binary_result_strides(va.shape, va.strides, vb.strides));
  if (!out) return std::unexpected(std::move(out.error()));
  const IeeeModeGuard ieee;
  R* const po = out->data();
  const T* const pa = va.data;
  const T* const pb = vb.data;
  loops::TileScratch scratch;
  for_each_plane<3>(va.shape, {&out->strides(), &va.strides, &vb.strides},
                    [&](const Offsets<3>& at, const Offsets<3>& s0, std::int64_t n0, const Offsets<3>& s1,
                        std::int64_t n1) {
                      loops::binary_plane(po + at[0], pa + at[1], pb + at[2], s0, n0, s1, n1, op, scratch);
                    });
  return out;
}

}  // namespace vessik
