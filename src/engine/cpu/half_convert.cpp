#include "engine/cpu/half_convert.h"

#include <cstring>

#if defined(__F16C__)
#include <immintrin.h>
#endif

namespace vessik {

#if defined(__F16C__)

// The rounding mode is given in the instruction, so MXCSR's rounding field
// cannot change it.
void widen_f16(const Half* src, float* dst, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(h));
  }
  if (i < n) {
    alignas(16) Half h[8] = {};
    alignas(32) float f[8];
    std::memcpy(h, src + i, (n - i) * sizeof(Half));
    _mm256_store_ps(f, _mm256_cvtph_ps(_mm_load_si128(reinterpret_cast<const __m128i*>(h))));
    std::memcpy(dst + i, f, (n - i) * sizeof(float));
  }
}

void narrow_f16(const float* src, Half* dst, std::size_t n) {
  constexpr int kNearestEven = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(src + i), kNearestEven);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), h);
  }
  if (i < n) {
    alignas(32) float f[8] = {};
    alignas(16) Half h[8];
    std::memcpy(f, src + i, (n - i) * sizeof(float));
    _mm_store_si128(reinterpret_cast<__m128i*>(h), _mm256_cvtps_ph(_mm256_load_ps(f), kNearestEven));
    std::memcpy(dst + i, h, (n - i) * sizeof(Half));
  }
}

#else

void widen_f16(const Half* src, float* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t b = src[i].bits();
    dst[i] = half_bits::f16_to_f32(src[i].is_nan() ? static_cast<std::uint16_t>(b | 0x0200u) : b);
  }
}

void narrow_f16(const float* src, Half* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = Half(src[i]);
}

#endif

}  // namespace vessik
