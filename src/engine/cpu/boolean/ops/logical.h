#pragma once
// Logical operations on Bool arrays. The binary ones broadcast and return
// a new array or the broadcasting error; NOT keeps the input's layout.

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/operation_lists.h"

namespace vessik::boolean {

#define VESSIK_DECLARE(name, ...) Result<NdArray<bool>> name(const NdArray<bool>& a, const NdArray<bool>& b);
VESSIK_LOGICAL_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE
Result<NdArray<bool>> logical_not(const NdArray<bool>& a);

}  // namespace vessik::boolean
