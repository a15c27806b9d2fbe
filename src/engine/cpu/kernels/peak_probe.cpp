#include "engine/cpu/dispatch/peak_probe.h"

#include "engine/cpu/processor/fused_multiply_add.h"
#include "engine/cpu/processor/vector_width.h"

namespace vessik {

namespace {

// Enough chains to cover the latency of every multiply-add pipe.
constexpr int kChains = 12;

typedef float Vec __attribute__((vector_size(kVectorBytes)));

// Hides v's value from the compiler, which then cannot fold the chains.
inline void opaque(Vec& v) {
#if defined(__x86_64__) || defined(__i386__)
  asm("" : "+x"(v));
#elif defined(__aarch64__)
  asm("" : "+w"(v));
#else
  asm("" : "+m"(v));
#endif
}

}  // namespace

std::uint64_t multiply_add_probe(std::uint64_t steps) {
  Vec acc[kChains];
  for (int i = 0; i < kChains; ++i) acc[i] = Vec{} + static_cast<float>(i);
  Vec scale = Vec{} + 0.999f;
  Vec shift = Vec{} + 0.001f;
  for (std::uint64_t s = 0; s < steps; ++s) {
    opaque(scale);
    opaque(shift);
#pragma GCC unroll 12
    for (int i = 0; i < kChains; ++i) acc[i] = fused_multiply_add(acc[i], scale, shift);
  }
  for (int i = 0; i < kChains; ++i) opaque(acc[i]);
  return steps * kChains * kVectorFloats * 2;
}

}  // namespace vessik
