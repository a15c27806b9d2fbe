#pragma once
// binary16 (`Half`) and bfloat16 (`BFloat16`) as 2-byte value classes.
//
// Note [Exact 16-bit arithmetic]
// Every 16-bit operation widens its operands exactly to binary32, computes
// one operation there and rounds once to the 16-bit type. binary32 carries
// 24 bits of precision, more than twice binary16's 11 (and bfloat16's 8)
// plus two, so for + - * / the double rounding (exact -> binary32 -> 16-bit)
// equals rounding the exact result once to nearest-even.

#include <bit>
#include <cstdint>

namespace vessik {

namespace half_bits {

// binary16 pattern -> binary32 value, exact (NaN payloads and signalling kept).
constexpr float f16_to_f32(std::uint16_t h) {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  const std::uint32_t exp = (h >> 10) & 0x1fu;
  std::uint32_t mant = h & 0x3ffu;
  if (exp == 0x1f) return std::bit_cast<float>(sign | 0x7f800000u | (mant << 13));
  if (exp != 0) return std::bit_cast<float>(sign | ((exp + 112u) << 23) | (mant << 13));
  if (mant == 0) return std::bit_cast<float>(sign);
  // Subnormal: normalise the mantissa.
  std::uint32_t e = 113;
  while ((mant & 0x400u) == 0) {
    mant <<= 1;
    --e;
  }
  return std::bit_cast<float>(sign | (e << 23) | ((mant & 0x3ffu) << 13));
}

// binary32 value -> binary16 pattern, round to nearest, ties to even.
// NaN: quiet bit 0x0200 set, top ten payload bits kept.
constexpr std::uint16_t f32_to_f16(float f) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(f);
  const std::uint32_t sign = (x >> 16) & 0x8000u;
  const std::uint32_t ax = x & 0x7fffffffu;
  if (ax > 0x7f800000u) return static_cast<std::uint16_t>(sign | 0x7e00u | ((ax >> 13) & 0x3ffu));
  // 65520 and above round to infinity (65504 is odd, so the tie goes up).
  if (ax >= 0x477ff000u) return static_cast<std::uint16_t>(sign | 0x7c00u);
  if (ax >= 0x38800000u) {  // normal binary16 range
    const std::uint32_t rounded = ax + 0xfffu + ((ax >> 13) & 1u);
    return static_cast<std::uint16_t>(sign | ((rounded - 0x38000000u) >> 13));
  }
  const std::uint32_t e = ax >> 23;
  if (e < 102) return static_cast<std::uint16_t>(sign);  // below 2^-25: rounds to zero
  // Subnormal result: q = value * 2^24 rounded to an integer, ties to even.
  const std::uint32_t m = (ax & 0x7fffffu) | 0x800000u;
  const std::uint32_t shift = 126u - e;
  std::uint32_t q = m >> shift;
  const std::uint32_t rem = m & ((1u << shift) - 1u);
  const std::uint32_t halfway = 1u << (shift - 1u);
  if (rem > halfway || (rem == halfway && (q & 1u))) ++q;
  return static_cast<std::uint16_t>(sign | q);
}

constexpr float bf16_to_f32(std::uint16_t b) {
  return std::bit_cast<float>(static_cast<std::uint32_t>(b) << 16);
}

// binary32 value -> bfloat16 pattern, round to nearest, ties to even.
// NaN: the upper 16 bits with the quiet bit 0x0040 set.
constexpr std::uint16_t f32_to_bf16(float f) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(f);
  if ((x & 0x7fffffffu) > 0x7f800000u) return static_cast<std::uint16_t>((x >> 16) | 0x0040u);
  return static_cast<std::uint16_t>((x + 0x7fffu + ((x >> 16) & 1u)) >> 16);
}

}  // namespace half_bits

class Half {
 public:
  constexpr Half() = default;
  constexpr explicit Half(float f) : bits_(half_bits::f32_to_f16(f)) {}
  static constexpr Half from_bits(std::uint16_t bits) {
    Half h;
    h.bits_ = bits;
    return h;
  }
  constexpr explicit operator float() const { return half_bits::f16_to_f32(bits_); }
  constexpr std::uint16_t bits() const { return bits_; }
  constexpr bool is_nan() const { return (bits_ & 0x7fffu) > 0x7c00u; }

 private:
  std::uint16_t bits_ = 0;
};

class BFloat16 {
 public:
  constexpr BFloat16() = default;
  constexpr explicit BFloat16(float f) : bits_(half_bits::f32_to_bf16(f)) {}
  static constexpr BFloat16 from_bits(std::uint16_t bits) {
    BFloat16 b;
    b.bits_ = bits;
    return b;
  }
  constexpr explicit operator float() const { return half_bits::bf16_to_f32(bits_); }
  constexpr std::uint16_t bits() const { return bits_; }
  constexpr bool is_nan() const { return (bits_ & 0x7fffu) > 0x7f80u; }

 private:
  std::uint16_t bits_ = 0;
};

static_assert(sizeof(Half) == 2 && sizeof(BFloat16) == 2);

}  // namespace vessik
