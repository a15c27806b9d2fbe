#pragma once
// The width of a vector register at the level being compiled: each kernel
// source is compiled once per level with that level's flags.

#include <cstddef>

namespace vessik {

#if defined(__AVX512F__)
inline constexpr std::size_t kVectorBytes = 64;
#elif defined(__AVX__)
inline constexpr std::size_t kVectorBytes = 32;
#else
inline constexpr std::size_t kVectorBytes = 16;
#endif
inline constexpr int kVectorFloats = static_cast<int>(kVectorBytes / sizeof(float));

// N binary32 lanes as one vector value (wider than a register, the
// compiler lowers it to several of the level's), and the same lanes
// anywhere in memory: moves through the unaligned type, unlike memcpy,
// leave the values in registers.
template <int N>
struct F32LanesOf {
  typedef float type __attribute__((vector_size(N * sizeof(float))));
  typedef float unaligned __attribute__((vector_size(N * sizeof(float)), aligned(alignof(float)), may_alias));
};
// One lane is a plain float, so that a kernel templated on its width also
// serves a scalar tail.
template <>
struct F32LanesOf<1> {
  typedef float type;
  typedef float unaligned;
};
template <int N>
using F32Lanes = typename F32LanesOf<N>::type;
template <int N>
using UnalignedF32Lanes = typename F32LanesOf<N>::unaligned;
// One whole register of this level.
using F32Vector = F32Lanes<kVectorFloats>;

}  // namespace vessik
