#pragma once
// An independent reference for rounding to a 16-bit float format: integer
// arithmetic on the significand of a binary64 value, round to nearest with
// ties to even. binary64 holds every binary32 exactly, and the exact result
// of + - * / of two 16-bit values rounds to binary64 and then to 16 bits
// without a double-rounding error (53 >= 2 * 11 + 2).

#include <bit>
#include <cmath>
#include <cstdint>

namespace vessik::test {

struct Format {
  int exp_bits;
  int mant_bits;
};
inline constexpr Format kF16{5, 10};
inline constexpr Format kBF16{8, 7};

// Rounds a non-NaN binary64 value to the 16-bit pattern of `f`.
inline std::uint16_t round_to(double v, Format f) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  const std::uint16_t sign = static_cast<std::uint16_t>((bits >> 63) << 15);
  const std::uint16_t inf = static_cast<std::uint16_t>(((1u << f.exp_bits) - 1) << f.mant_bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0x7ff) return sign | inf;
  if (biased == 0 && m == 0) return sign;
  int e2;  // v = m * 2^e2
  if (biased == 0) {
    e2 = -1074;
  } else {
    m |= std::uint64_t{1} << 52;
    e2 = biased - 1075;
  }
  const int msb = 63 - std::countl_zero(m);
  const int bias = (1 << (f.exp_bits - 1)) - 1;
  const int emin = 1 - bias;
  const int e = msb + e2 > emin ? msb + e2 : emin;  // exponent of the target binade
  const int quantum = e - f.mant_bits;               // value of one unit in the last place
  const int shift = quantum - e2;
  std::uint64_t q;
  if (shift <= 0) {
    q = m << -shift;
  } else if (shift >= 64) {
    q = 0;  // m < 2^53 <= 2^(shift-1): below half a unit
  } else {
    q = m >> shift;
    const std::uint64_t rem = m & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rem > half || (rem == half && (q & 1))) ++q;
  }
  // q counts units of 2^quantum; it may have carried into the next binade.
  const std::uint64_t hidden = std::uint64_t{1} << f.mant_bits;
  int field = e + bias;
  if (q >= 2 * hidden) {
    q >>= 1;
    ++field;
  }
  if (q < hidden) return sign | static_cast<std::uint16_t>(q);  // subnormal or zero
  if (field >= (1 << f.exp_bits) - 1) return sign | inf;
  return sign | static_cast<std::uint16_t>((field << f.mant_bits) | (q - hidden));
}

// binary32 -> 16-bit pattern, with the NaN rules: quiet bit set, the top
// payload bits kept.
inline std::uint16_t narrow_ref(float x, Format f) {
  const std::uint32_t u = std::bit_cast<std::uint32_t>(x);
  if ((u & 0x7fffffffu) > 0x7f800000u) {
    const std::uint16_t sign = static_cast<std::uint16_t>((u >> 16) & 0x8000u);
    const std::uint16_t exp = static_cast<std::uint16_t>(((1u << f.exp_bits) - 1) << f.mant_bits);
    const std::uint16_t quiet = static_cast<std::uint16_t>(1u << (f.mant_bits - 1));
    const std::uint16_t payload = static_cast<std::uint16_t>((u & 0x7fffffu) >> (23 - f.mant_bits));
    return sign | exp | quiet | payload;
  }
  return round_to(static_cast<double>(x), f);
}

// 16-bit pattern -> value, by its definition.
inline double value_of(std::uint16_t b, Format f) {
  const int bias = (1 << (f.exp_bits - 1)) - 1;
  const int field = (b >> f.mant_bits) & ((1 << f.exp_bits) - 1);
  const int mant = b & ((1 << f.mant_bits) - 1);
  const double sign = (b & 0x8000u) ? -1.0 : 1.0;
  if (field == (1 << f.exp_bits) - 1) return mant == 0 ? sign * INFINITY : NAN;
  if (field == 0) return sign * std::ldexp(mant, 1 - bias - f.mant_bits);
  return sign * std::ldexp(mant + (1 << f.mant_bits), field - bias - f.mant_bits);
}

}  // namespace vessik::test
