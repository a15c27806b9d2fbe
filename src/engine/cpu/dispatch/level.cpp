#include "engine/cpu/dispatch/level.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "engine/cpu/processor/features.h"

namespace vessik {

std::optional<CpuLevel> parse_level(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (CpuLevel level : kAllLevels) {
    if (lower == level_name(level)) return level;
  }
  return std::nullopt;
}

CpuLevel highest_level() {
#if defined(__x86_64__)
  const CpuFeatures& f = cpu_features();
  if (f.avx512f && f.avx512bw && f.avx512cd && f.avx512dq && f.avx512vl && f.avx2 && f.fma && f.f16c && f.bmi1 &&
      f.bmi2 && f.lzcnt && f.movbe) {
    return CpuLevel::Avx512;
  }
  if (f.avx2 && f.fma && f.f16c && f.bmi1 && f.bmi2 && f.lzcnt && f.movbe) return CpuLevel::Avx2;
#endif
  return CpuLevel::Baseline;
}

namespace {

LevelChoice choose() {
  LevelChoice c{};
  c.highest = highest_level();
  c.level = c.highest;
  c.requested_valid = true;
  const char* env = std::getenv("VESSIK_CPU_LEVEL");
  c.requested = env != nullptr ? env : "";
  const bool blank = std::all_of(c.requested.begin(), c.requested.end(),
                                 [](unsigned char ch) { return std::isspace(ch) != 0; });
  if (blank) {
    c.reason = "the highest level this processor supports";
    return c;
  }
  const std::optional<CpuLevel> cap = parse_level(c.requested);
  if (!cap) {
    c.requested_valid = false;
    c.reason = "VESSIK_CPU_LEVEL names no level and is ignored; the highest level this processor supports";
  } else if (*cap > c.highest) {
    c.reason = std::string("VESSIK_CPU_LEVEL asks for ") + level_name(*cap) +
               ", which this processor lacks; its highest level instead";
  } else {
    c.level = *cap;
    c.reason = "capped by VESSIK_CPU_LEVEL";
  }
  return c;
}

}  // namespace

const LevelChoice& level_choice() {
  static const LevelChoice choice = choose();
  return choice;
}

}  // namespace vessik
