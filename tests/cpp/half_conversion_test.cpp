#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/cpu/half/half.h"
#include "half_reference.h"
#include "levels.h"

namespace vessik {
namespace {

using test::kBF16;
using test::kF16;

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

TEST(HalfConversion, EveryPatternWidensToItsValue) {
  for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
    const auto b16 = static_cast<std::uint16_t>(bits);
    const double f16 = test::value_of(b16, kF16);
    const double bf16 = test::value_of(b16, kBF16);
    const float wf = static_cast<float>(Half::from_bits(b16));
    const float wb = static_cast<float>(BFloat16::from_bits(b16));
    if (std::isnan(f16)) {
      // Signalling NaNs stay signalling: the widening is exact.
      EXPECT_EQ(std::bit_cast<std::uint32_t>(wf), ((bits & 0x8000u) << 16) | 0x7f800000u | ((bits & 0x3ffu) << 13));
    } else {
      EXPECT_EQ(static_cast<double>(wf), f16) << std::hex << bits;
      EXPECT_EQ(std::signbit(wf), (bits & 0x8000u) != 0);
    }
    if (std::isnan(bf16)) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(wb), bits << 16);
    } else {
      EXPECT_EQ(static_cast<double>(wb), bf16) << std::hex << bits;
    }
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

// Float32 patterns that exercise every rounding decision, handed to `check`
// in blocks: for each sign and exponent, every combination of the bits below
// the kept mantissa under a few kept-mantissa values (zero, one, all ones to
// carry into the exponent, all ones but the last), then a strided sweep of
// the whole pattern space.
template <class Check>
void rounding_sweep(int dropped_bits, Check check) {
  std::vector<float> block;
  const std::uint32_t low = 1u << dropped_bits;
  const std::uint32_t kept_mask = 0x7fffffu >> dropped_bits;
  const std::uint32_t kept[] = {0, 1, kept_mask, kept_mask - 1};
  for (std::uint32_t se = 0; se < 512; ++se) {
    for (std::uint32_t k : kept) {
      block.clear();
      for (std::uint32_t l = 0; l < low; ++l) block.push_back(std::bit_cast<float>((se << 23) | (k << dropped_bits) | l));
      check(block);
    }
  }
  block.clear();
  for (std::uint64_t u = 0; u < (std::uint64_t{1} << 32); u += 4093) {
    block.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(u)));
  }
  check(block);
}

TEST(HalfConversion, F32ToF16MatchesIntegerReference) {
  rounding_sweep(13, [](const std::vector<float>& xs) {
    for (const float x : xs) {
      ASSERT_EQ(Half(x).bits(), test::narrow_ref(x, kF16)) << std::hex << std::bit_cast<std::uint32_t>(x);
    }
  });
}

TEST(HalfConversion, F32ToBF16MatchesIntegerReference) {
  rounding_sweep(16, [](const std::vector<float>& xs) {
    for (const float x : xs) {
      ASSERT_EQ(BFloat16(x).bits(), test::narrow_ref(x, kBF16)) << std::hex << std::bit_cast<std::uint32_t>(x);
    }
  });
}

TEST(HalfConversion, F32ToF16SubnormalRangeExhaustive) {
  // Every float32 whose binary16 result is subnormal or rounds into it.
  for (std::uint32_t u = 0x33000000u; u <= 0x38800000u; ++u) {
    const float x = std::bit_cast<float>(u);
    ASSERT_EQ(Half(x).bits(), test::narrow_ref(x, kF16)) << std::hex << u;
    ASSERT_EQ(Half(-x).bits(), test::narrow_ref(-x, kF16)) << std::hex << u;
  }
}

// The bulk conversions of each level against the element conversions: the
// widening quiets signalling NaNs (payload kept), the narrowing gives the
// bits of Half(float).
using HalfBulk = test::AtEachLevel;
VESSIK_AT_EACH_LEVEL(HalfBulk);

template <class T>
void check_bulk_widening(std::uint16_t quiet_bit, std::uint16_t first_nan,
                         void (*widen_bulk)(const T*, float*, std::size_t)) {
  // Lengths around the vector width test the tails.
  for (const std::size_t n : {std::size_t{65536}, std::size_t{1}, std::size_t{7}, std::size_t{9}, std::size_t{17},
                              std::size_t{33}}) {
    std::vector<T> h(n);
    for (std::size_t i = 0; i < n; ++i) {
      h[i] = T::from_bits(static_cast<std::uint16_t>(n == 65536 ? i : i * 40503u + first_nan));
    }
    std::vector<float> wide(n);
    widen_bulk(h.data(), wide.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
      const T quiet = T::from_bits(h[i].is_nan() ? static_cast<std::uint16_t>(h[i].bits() | quiet_bit) : h[i].bits());
      ASSERT_EQ(std::bit_cast<std::uint32_t>(wide[i]), std::bit_cast<std::uint32_t>(static_cast<float>(quiet)))
          << std::hex << h[i].bits();
    }
  }
}

TEST_P(HalfBulk, WideningMatchesElementConversion) {
  check_bulk_widening<Half>(0x0200u, 0x7c01u, probes().widen_f16);
  check_bulk_widening<BFloat16>(0x0040u, 0x7f81u, probes().widen_bf16);
}

template <class T>
void check_bulk_narrowing(int dropped_bits, void (*narrow_bulk)(const float*, T*, std::size_t)) {
  rounding_sweep(dropped_bits, [&](const std::vector<float>& x) {
    // Drop a few elements so the length is not a multiple of the vector width.
    const std::size_t n = x.size() - 5;
    std::vector<T> narrow(n);
    narrow_bulk(x.data(), narrow.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(narrow[i].bits(), T(x[i]).bits()) << std::hex << std::bit_cast<std::uint32_t>(x[i]);
    }
  });
}

TEST_P(HalfBulk, NarrowingMatchesElementConversion) {
  check_bulk_narrowing<Half>(13, probes().narrow_f16);
  check_bulk_narrowing<BFloat16>(16, probes().narrow_bf16);
}

}  // namespace
}  // namespace vessik
