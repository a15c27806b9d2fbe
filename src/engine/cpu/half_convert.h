#pragma once
// Bulk binary16 <-> binary32 conversions for the 16-bit kernels. The entry
// points pick the fastest path the processor has (see features.h) once per
// process; every path gives the same bits. Widening is exact except that a
// signalling NaN comes out quiet (payload kept), as vcvtph2ps does: these
// conversions feed arithmetic, which would quiet it anyway. Narrowing gives
// exactly the bits of Half(float).

#include <cstddef>

#include "engine/cpu/half.h"

namespace vessik {

void widen_f16(const Half* src, float* dst, std::size_t n);
void narrow_f16(const float* src, Half* dst, std::size_t n);

// The individual paths, exposed so tests can hold each against the portable
// one. A path exists only where the processor can run it (cpu_features()).
namespace half_paths {

void widen_f16_portable(const Half* src, float* dst, std::size_t n);
void narrow_f16_portable(const float* src, Half* dst, std::size_t n);

#if defined(__x86_64__)
void widen_f16_f16c(const Half* src, float* dst, std::size_t n);
void narrow_f16_f16c(const float* src, Half* dst, std::size_t n);
#endif

}  // namespace half_paths

}  // namespace vessik
