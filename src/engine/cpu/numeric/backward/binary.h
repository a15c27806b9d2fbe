#pragma once
// Gradients of element-wise multiplication and division. Each returns the
// pair (gradient for lhs, gradient for rhs) or the broadcasting error.
//
// Note [Unreduced broadcast gradients]
// A gradient keeps the broadcast shape of the arrays it is computed from:
// when an operand was broadcast in the forward operation, its gradient is
// not summed back to the operand's own shape. The backward pass accumulates
// gradients as they are.

#include <utility>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"

namespace vessik::numeric {

template <NumericElement T>
using GradientPair = std::pair<NdArray<T>, NdArray<T>>;

// (g × rhs, g × lhs), each the forward broadcasting multiplication.
template <NumericElement T>
Result<GradientPair<T>> mul_backward(const NdArray<T>& g, const NdArray<T>& lhs, const NdArray<T>& rhs);

// (g ÷ r, ((−g) × l) ÷ (r × r)) in one joint pass over the three broadcast
// views, each operation rounded to T; both results row-major.
template <NumericElement T>
Result<GradientPair<T>> div_backward(const NdArray<T>& g, const NdArray<T>& lhs, const NdArray<T>& rhs);

}  // namespace vessik::numeric
