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

}  // namespace vessik
