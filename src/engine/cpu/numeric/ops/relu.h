#pragma once
// relu for F16, BF16 and F32: the result keeps the input's shape and strides
// and is filled in buffer order. See Note [relu of NaN].

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"

namespace vessik::numeric {

template <NumericElement T>
Result<NdArray<T>> relu(const NdArray<T>& a);

}  // namespace vessik::numeric
