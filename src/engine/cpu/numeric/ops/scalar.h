#pragma once
// Scalar kernels: every element against one binary32 scalar s, which is
// first rounded once to the element type and always stands on the right.
// The result keeps the input's shape and strides; the buffer is walked flat.

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/operation_lists.h"

namespace vessik::numeric {

#define VESSIK_DECLARE(name, ...) template <NumericElement T> Result<NdArray<T>> name(const NdArray<T>& a, float s);
VESSIK_SCALAR_ARITHMETIC_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE

#define VESSIK_DECLARE(name, ...) template <NumericElement T> Result<NdArray<bool>> name(const NdArray<T>& a, float s);
VESSIK_SCALAR_COMPARISON_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE

}  // namespace vessik::numeric
