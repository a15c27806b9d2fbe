#pragma once
// Broadcasting of Bool arrays for the logical operations: the generic
// algorithm of numeric/ops/mod.h, with the same rule and messages.

#include <utility>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/numeric/ops/mod.h"

namespace vessik::boolean {

using vessik::broadcast_shapes;

inline Result<std::pair<StridedView<const bool>, StridedView<const bool>>> broadcast_tensors(
    const NdArray<bool>& a, const NdArray<bool>& b) {
  return vessik::broadcast_tensors(a.view(), b.view());
}

}  // namespace vessik::boolean
