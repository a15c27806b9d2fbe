#pragma once
// Gradient of the matrix product: (g · rhsᵀ, lhsᵀ · g), each the F32
// product (16-bit operands widened, each result element rounded once), with
// the product's batch broadcasting and messages, reading the transposed
// operands in place (Note [Transposed operands as views]). Broadcast batch
// axes stay in the gradients (Note [Unreduced gradients]).

#include <utility>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/numeric/backward/wanted_gradients.h"

namespace vessik::numeric {

// A gradient that is not wanted comes back as an empty array.
template <NumericElement T>
Result<std::pair<NdArray<T>, NdArray<T>>> matmul_backward(const NdArray<T>& g, const NdArray<T>& lhs,
                                                          const NdArray<T>& rhs,
                                                          WantedGradients wanted = WantedGradients::Both);

}  // namespace vessik::numeric
