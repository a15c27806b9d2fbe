#pragma once
// Binary element-wise kernels: arithmetic for F16, BF16 and F32, comparisons
// for every element type. Each broadcasts its operands and returns a new
// array or the broadcasting error (a RuntimeError).

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/operation_lists.h"

namespace vessik::numeric {

#define VESSIK_DECLARE(name, ...) \
  template <NumericElement T> Result<NdArray<T>> name(const NdArray<T>& a, const NdArray<T>& b);
VESSIK_ARITHMETIC_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE

#define VESSIK_DECLARE(name, ...) \
  template <Element T> Result<NdArray<bool>> name(const NdArray<T>& a, const NdArray<T>& b);
VESSIK_COMPARISON_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE

}  // namespace vessik::numeric
