#include "engine/cpu/half_convert.h"

#include <cstring>

#include "engine/cpu/features.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace vessik {

namespace half_paths {

void widen_f16_portable(const Half* src, float* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t b = src[i].bits();
    dst[i] = half_bits::f16_to_f32(src[i].is_nan() ? static_cast<std::uint16_t>(b | 0x0200u) : b);
  }
}

void narrow_f16_portable(const float* src, Half* dst, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = Half(src[i]);
}

#if defined(__x86_64__)

// Function-level target attributes keep these paths in the x86-64-v2 build;
// they run only after cpu_features() reports F16C. The rounding mode is
// given in the instruction, so MXCSR's rounding field cannot change it.
__attribute__((target("avx,f16c"))) void widen_f16_f16c(const Half* src, float* dst, std::size_t n) {
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

__attribute__((target("avx,f16c"))) void narrow_f16_f16c(const float* src, Half* dst, std::size_t n) {
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

#endif

}  // namespace half_paths

namespace {

using WidenFn = void (*)(const Half*, float*, std::size_t);
using NarrowFn = void (*)(const float*, Half*, std::size_t);

struct Paths {
  WidenFn widen = half_paths::widen_f16_portable;
  NarrowFn narrow = half_paths::narrow_f16_portable;
};

Paths choose_paths() {
  Paths p;
#if defined(__x86_64__)
  if (cpu_features().f16c) {
    p.widen = half_paths::widen_f16_f16c;
    p.narrow = half_paths::narrow_f16_f16c;
  }
#endif
  return p;
}

const Paths& paths() {
  static const Paths p = choose_paths();
  return p;
}

}  // namespace

void widen_f16(const Half* src, float* dst, std::size_t n) { paths().widen(src, dst, n); }
void narrow_f16(const float* src, Half* dst, std::size_t n) { paths().narrow(src, dst, n); }

}  // namespace vessik
