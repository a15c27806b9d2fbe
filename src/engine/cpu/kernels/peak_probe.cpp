#include "engine/cpu/dispatch/peak_probe.h"

#include "engine/cpu/processor/fused_multiply_add.h"
#include "engine/cpu/processor/vector_width.h"

namespace vessik {

namespace {

// Enough chains to cover the latency of every multiply-add pipe.
constexpr int kChains = 12;

// Hides v's value from the compiler, which then cannot fold the chains.
inline void opaque(F32Vector& v) {
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
  F32Vector acc[kChains];
  for (int i = 0; i < kChains; ++i) acc[i] = F32Vector{} + static_cast<float>(i);
  F32Vector scale = F32Vector{} + 0.999f;
  F32Vector shift = F32Vector{} + 0.001f;
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
