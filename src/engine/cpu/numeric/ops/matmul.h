#pragma once
// The matrix product over the last two axes. The axes before them are batch
// axes, broadcast between the operands by stride-0 views (never copied);
// the result is a new row-major array of shape batch + [M, N].

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/error.h"

namespace vessik::numeric {

// The product of any numeric element type over views. Checks the axis
// counts, the inner lengths and the batch axes, in that order, each failure
// a RuntimeError with its fixed message. F16 and BF16 operands are widened
// to F32, as they are packed or block by block, and each output element
// rounds once.
template <NumericElement T>
Result<NdArray<T>> strided_matmul(const StridedView<const T>& a, const StridedView<const T>& b);

// strided_matmul of whole arrays, for the kernel table.
template <NumericElement T>
Result<NdArray<T>> matmul(const NdArray<T>& a, const NdArray<T>& b) {
  return strided_matmul<T>(a.view(), b.view());
}

// For the tests (probe_table.h): out = a · b for every batch index, one 2-D
// product per slice written straight into out's slice, after checking what
// strided_matmul's own views satisfy by construction: the three views share
// ndim (at least 2) and batch axes, and out is m×n for a m×k and b k×n; out
// must not overlap the operands. Batch indices are visited in row-major
// order; a batch axis of length 0 runs no product at all.
Result<void> checked_matmul_into(const StridedView<float>& out, const StridedView<const float>& a,
                                 const StridedView<const float>& b);

}  // namespace vessik::numeric
