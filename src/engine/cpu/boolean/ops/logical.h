#pragma once
// Logical operations on Bool arrays. The binary ones broadcast and return
// a new array or the broadcasting error; NOT keeps the input's layout.

#include "engine/cpu/array/ndarray.h"

namespace vessik::boolean {

Result<NdArray<bool>> logical_and(const NdArray<bool>& a, const NdArray<bool>& b);
Result<NdArray<bool>> logical_or(const NdArray<bool>& a, const NdArray<bool>& b);
Result<NdArray<bool>> logical_xor(const NdArray<bool>& a, const NdArray<bool>& b);
Result<NdArray<bool>> logical_not(const NdArray<bool>& a);

}  // namespace vessik::boolean
