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

enum class CpuLevel : std::uint8_t {
  Baseline,  // x86-64-v2: SSE4.2, POPCNT (any processor elsewhere)
  Avx2,      // x86-64-v3: AVX2, FMA, F16C, BMI1/2, LZCNT, MOVBE
  Avx512,    // x86-64-v4: AVX-512 F, BW, CD, DQ, VL
};

inline constexpr CpuLevel kAllLevels[] = {CpuLevel::Baseline, CpuLevel::Avx2, CpuLevel::Avx512};

// "baseline", "avx2", "avx512".
const char* level_name(CpuLevel level);

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
