#pragma once
// Gradients of the element-wise operations that save their operands
// (multiplication and division; Note [Division gradient order] gives the
// division's roundings). Each returns the pair (gradient for lhs,
// gradient for rhs) or the broadcasting error; a gradient that is not
// wanted comes back as an empty array. A gradient keeps the broadcast shape
// of the arrays it is computed from, g's included, which may be larger than
// the operation's result (Note [Unreduced gradients] in autograd/nodes.h).

#include <utility>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/numeric/backward/wanted_gradients.h"
#include "engine/cpu/operation_lists.h"

namespace vessik::numeric {

template <NumericElement T>
using GradientPair = std::pair<NdArray<T>, NdArray<T>>;

#define VESSIK_DECLARE(kernel, ...) \
  template <NumericElement T>       \
  Result<GradientPair<T>> kernel(const NdArray<T>& g, const NdArray<T>& lhs, const NdArray<T>& rhs, WantedGradients wanted);
VESSIK_GRADIENT_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE

}  // namespace vessik::numeric
