#pragma once
// Unary kernels for F16, BF16 and F32: the result keeps the input's shape and
// strides and is filled in buffer order. See Note [relu of NaN].

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/operation_lists.h"

namespace vessik::numeric {

#define VESSIK_DECLARE(name, ...) template <NumericElement T> Result<NdArray<T>> name(const NdArray<T>& a);
VESSIK_UNARY_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE

}  // namespace vessik::numeric
