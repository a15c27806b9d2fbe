#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "engine/cpu/half.h"

namespace vessik {
namespace {

TEST(HalfConversion, EveryF16PatternRoundTrips) {
  for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
    const Half h = Half::from_bits(static_cast<std::uint16_t>(bits));
    const float f = static_cast<float>(h);
    const std::uint16_t back = Half(f).bits();
    if (h.is_nan()) {
      // NaNs come back quiet with their payload.
      EXPECT_EQ(back, bits | 0x0200u) << std::hex << bits;
    } else {
      EXPECT_EQ(back, bits) << std::hex << bits;
    }
  }
}

TEST(HalfConversion, EveryBF16PatternRoundTrips) {
  for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
    const BFloat16 b = BFloat16::from_bits(static_cast<std::uint16_t>(bits));
    const std::uint16_t back = BFloat16(static_cast<float>(b)).bits();
    EXPECT_EQ(back, b.is_nan() ? (bits | 0x0040u) : bits) << std::hex << bits;
  }
}

struct NarrowCase {
  float value;
  std::uint16_t f16;
};

TEST(HalfConversion, NarrowingRoundsToNearestEven) {
  const NarrowCase cases[] = {
      {65504.0f, 0x7bff},         {65519.0f, 0x7bff},         {65520.0f, 0x7c00},
      {-1e6f, 0xfc00},            {1.0f / 3.0f, 0x3555},      {0x1p-24f, 0x0001},
      {0x1p-25f, 0x0000},         {0x1.8p-25f, 0x0001},       {0x1.8p-24f, 0x0002},
      {-0.0f, 0x8000},            {2049.0f, 0x6800},          {2051.0f, 0x6802},
  };
  for (const auto& c : cases) EXPECT_EQ(Half(c.value).bits(), c.f16) << c.value;
}

}  // namespace
}  // namespace vessik
