#pragma once
// The matrix product over the last two axes. The axes before them are batch
// axes, broadcast between the operands by stride-0 views (never copied);
// the result is a new row-major array of shape batch + [M, N].

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/error.h"

namespace vessik::numeric {

// The F32 product: checks the axis counts, the inner lengths and the batch
// axes, in that order, each failure a RuntimeError with its fixed message,
// then hands the broadcast views and the new result to
// batched_matmul_recursive.
Result<NdArray<float>> internal_linalg_matmul(const StridedView<const float>& a, const StridedView<const float>& b);

// out = a · b for every batch index, one 2-D product per slice written
// straight into out's slice. The three views share ndim (at least 2) and
// batch axes, and out is m×n for a m×k and b k×n, as internal_linalg_matmul
// makes them: nothing is checked again. out must not overlap the operands.
// Batch indices are visited in row-major order; a batch axis of length 0
// runs no product at all. Outside this file, only the tests call it
// (probe_table.h).
Result<void> batched_matmul_recursive(const StridedView<float>& out, const StridedView<const float>& a,
                                      const StridedView<const float>& b);

// The product for each numeric element type, over any views (the gradient
// products read their transposed operands in place). F16 and BF16 operands
// are widened to F32, as they are packed or block by block, each output
// element rounds once, and the checks and messages are the F32 product's.
// For F32 it is internal_linalg_matmul.
template <NumericElement T>
struct MatmulOps {
  static Result<NdArray<T>> do_matmul(const StridedView<const T>& a, const StridedView<const T>& b);
};

// MatmulOps<T>::do_matmul of whole arrays, for the kernel table.
template <NumericElement T>
Result<NdArray<T>> matmul(const NdArray<T>& a, const NdArray<T>& b) {
  return MatmulOps<T>::do_matmul(a.view(), b.view());
}

}  // namespace vessik::numeric
