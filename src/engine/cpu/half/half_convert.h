#pragma once
// Bulk binary16 <-> binary32 conversions for the 16-bit kernels, and
// binary32 -> bfloat16, compiled with each kernel level (F16C instructions
// from the avx2 level up); every level gives the same bits. Widening is exact except that a signalling NaN
// comes out quiet (payload kept), as vcvtph2ps does: these conversions feed
// arithmetic, which would quiet it anyway. Narrowing gives exactly the bits
// of Half(float).

#include <cstddef>

#include "engine/cpu/half/half.h"

namespace vessik {

void widen_f16(const Half* src, float* dst, std::size_t n);
void narrow_f16(const float* src, Half* dst, std::size_t n);
// Gives exactly the bits of BFloat16(float).
void narrow_bf16(const float* src, BFloat16* dst, std::size_t n);

}  // namespace vessik
