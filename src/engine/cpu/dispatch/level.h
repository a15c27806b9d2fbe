#pragma once
// Instruction-set levels. Every hot kernel is compiled once per level
// (dispatch/kernel_table.h); one level is chosen per process from the
// processor's features, capped by the environment variable
// VESSIK_CPU_LEVEL=baseline|avx2|avx512.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vessik {

// Every level, lowest first: X(enumerator, name). meson.build gives each
// level it builds its flags under the same name; a name this list lacks
// fails to compile (make_kernel_table.cpp).
#define VESSIK_CPU_LEVELS(X)                                                        \
  X(Baseline, baseline) /* x86-64-v2: SSE4.2, POPCNT (any processor elsewhere) */ \
  X(Avx2, avx2)         /* x86-64-v3: AVX2, FMA, F16C, BMI1/2, LZCNT, MOVBE */     \
  X(Avx512, avx512)     /* x86-64-v4: AVX-512 F, BW, CD, DQ, VL */

#define VESSIK_ENUMERATOR(e, name) e,
enum class CpuLevel : std::uint8_t { VESSIK_CPU_LEVELS(VESSIK_ENUMERATOR) };
#undef VESSIK_ENUMERATOR

#define VESSIK_LEVEL_VALUE(e, name) CpuLevel::e,
inline constexpr CpuLevel kAllLevels[] = {VESSIK_CPU_LEVELS(VESSIK_LEVEL_VALUE)};
#undef VESSIK_LEVEL_VALUE

// "baseline", "avx2", "avx512".
constexpr const char* level_name(CpuLevel level) {
#define VESSIK_LEVEL_NAME(e, name) #name,
  constexpr const char* names[] = {VESSIK_CPU_LEVELS(VESSIK_LEVEL_NAME)};
#undef VESSIK_LEVEL_NAME
  return names[static_cast<std::uint8_t>(level)];
}

// A level's name, in any case and with surrounding blanks; nullopt otherwise.
std::optional<CpuLevel> parse_level(std::string_view text);

// The highest level this build has kernels for and this processor runs.
CpuLevel highest_level();

struct LevelChoice {
  CpuLevel level;            // the level the kernels run at
  CpuLevel highest;          // highest_level()
  std::string requested;     // VESSIK_CPU_LEVEL as set, empty when unset
  bool requested_valid;      // false when `requested` names no level
  std::string reason;        // why `level`, in a sentence
};

// Read once, on first use; thread-safe.
const LevelChoice& level_choice();

}  // namespace vessik
