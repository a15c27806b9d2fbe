#include "engine/cpu/half/half_convert.h"

#include <bit>
#include <cstdint>
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

// Without F16C: the same bits by integer and binary32 operations that the
// compiler vectorises. Choices are bit masks, not branches, which GCC would
// not vectorise. The binary32 arithmetic needs IEEE default mode, which every
// kernel entry sets.

namespace {
// a where `when`, else b.
inline std::uint32_t select(bool when, std::uint32_t a, std::uint32_t b) {
  const std::uint32_t mask = 0u - static_cast<std::uint32_t>(when);
  return (a & mask) | (b & ~mask);
}
}  // namespace

void widen_f16(const Half* src, float* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t h = src[i].bits();
    const std::uint32_t sign = (h & 0x8000u) << 16;
    const std::uint32_t ah = h & 0x7fffu;
    // Normal and subnormal alike: the pattern shifted into binary32's
    // exponent and mantissa fields, scaled exactly by 2^112.
    const std::uint32_t finite = std::bit_cast<std::uint32_t>(std::bit_cast<float>(ah << 13) * 0x1p112f);
    // Infinity and NaN; a NaN comes out quiet, its payload kept.
    const std::uint32_t special = 0x7f800000u | ((ah & 0x3ffu) << 13) | select(ah > 0x7c00u, 0x00400000u, 0u);
    dst[i] = std::bit_cast<float>(sign | select(ah >= 0x7c00u, special, finite));
  }
}

void narrow_f16(const float* src, Half* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t x = std::bit_cast<std::uint32_t>(src[i]);
    const std::uint32_t sign = (x >> 16) & 0x8000u;
    const std::uint32_t ax = x & 0x7fffffffu;
    const std::uint32_t nan = 0x7e00u | ((ax >> 13) & 0x3ffu);
    const std::uint32_t normal = (ax + 0xfffu + ((ax >> 13) & 1u) - 0x38000000u) >> 13;
    // Below binary16's normal range: adding 0.5 rounds the value to a
    // multiple of 2^-24, binary16's subnormal step, ties to even; the low
    // bits of the sum are then the binary16 pattern.
    const std::uint32_t subnormal =
        std::bit_cast<std::uint32_t>(std::bit_cast<float>(ax) + 0.5f) - 0x3f000000u;
    std::uint32_t r = select(ax >= 0x38800000u, normal, subnormal);
    r = select(ax >= 0x477ff000u, 0x7c00u, r);
    r = select(ax > 0x7f800000u, nan, r);
    dst[i] = Half::from_bits(static_cast<std::uint16_t>(sign | r));
  }
}

#endif

}  // namespace vessik
