#pragma once
// Gradient of relu: g where x > 0, else +0. x broadcasts against g, which
// may be larger when relu's result was broadcast by a later operation.

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"

namespace vessik::numeric {

template <NumericElement T>
Result<NdArray<T>> relu_backward(const NdArray<T>& g, const NdArray<T>& x);

}  // namespace vessik::numeric
