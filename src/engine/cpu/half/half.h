#pragma once
// binary16 (`Half`) and bfloat16 (`BFloat16`) as 2-byte value classes.
//
// Note [Exact 16-bit arithmetic]
// Every 16-bit operation widens its operands exactly to binary32, computes
// one operation there and rounds once to the 16-bit type. binary32 carries
// 24 bits of precision, more than twice binary16's 11 (and bfloat16's 8)
// plus two, so for + - * / the double rounding (exact -> binary32 -> 16-bit)
// equals rounding the exact result once to nearest-even. No conversion here
// treats subnormals as zero: the narrowing below is integer arithmetic, and
// the vector fast paths (half_convert.h) must give the same bits.

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

// Widening for bfloat16 arithmetic: a NaN operand is made quiet first, so the
// result does not depend on how the processor propagates signalling NaNs.
constexpr float bf16_to_f32_quiet(std::uint16_t b) {
  const std::uint32_t quiet = (b & 0x7fffu) > 0x7f80u ? 0x0040u : 0u;
  return std::bit_cast<float>(static_cast<std::uint32_t>(b | quiet) << 16);
}

// binary32 value -> bfloat16 pattern, round to nearest, ties to even.
// NaN: the upper 16 bits with the quiet bit 0x0040 set.
constexpr std::uint16_t f32_to_bf16(float f) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(f);
  if ((x & 0x7fffffffu) > 0x7f800000u) return static_cast<std::uint16_t>((x >> 16) | 0x0040u);
  return static_cast<std::uint16_t>((x + 0x7fffu + ((x >> 16) & 1u)) >> 16);
}

// IEEE order of a non-NaN 16-bit pattern (binary16 and bfloat16 alike):
// sign-magnitude mapped to a signed integer, so +0 and -0 both map to 0.
// See Note [16-bit comparisons].
constexpr std::int32_t order_key(std::uint16_t b) {
  const std::int32_t mag = b & 0x7fff;
  return (b & 0x8000u) != 0 ? -mag : mag;
}

// What tells the two formats apart, for Float16Base: the pattern of
// infinity, the conversions, and the widening of arithmetic operands.
struct Binary16Format {
  static constexpr std::uint16_t infinity = 0x7c00u;
  static constexpr std::uint16_t narrow(float f) { return f32_to_f16(f); }
  static constexpr float widen(std::uint16_t h) { return f16_to_f32(h); }
  static constexpr float widen_operand(std::uint16_t h) { return f16_to_f32(h); }
};

struct BFloat16Format {
  static constexpr std::uint16_t infinity = 0x7f80u;
  static constexpr std::uint16_t narrow(float f) { return f32_to_bf16(f); }
  static constexpr float widen(std::uint16_t b) { return bf16_to_f32(b); }
  static constexpr float widen_operand(std::uint16_t b) { return bf16_to_f32_quiet(b); }
};

}  // namespace half_bits

// Note [16-bit comparisons]
// Comparisons never widen: two non-NaN patterns compare like their values
// once sign-magnitude is mapped to two's complement (order_key), and any
// comparison with a NaN is false. This is the order of the widened values.

// The pattern and the operators of a 16-bit value class, written once:
// `Self` derives from it, so the operators take and return `Self`.
template <class Self, class Format>
class Float16Base {
 public:
  constexpr Float16Base() = default;
  constexpr explicit Float16Base(float f) : bits_(Format::narrow(f)) {}
  static constexpr Self from_bits(std::uint16_t bits) {
    Self s;
    static_cast<Float16Base&>(s).bits_ = bits;
    return s;
  }
  constexpr explicit operator float() const { return Format::widen(bits_); }
  constexpr std::uint16_t bits() const { return bits_; }
  constexpr bool is_nan() const { return (bits_ & 0x7fffu) > Format::infinity; }

  // See Note [Exact 16-bit arithmetic]: widen, one binary32 operation, round.
  friend constexpr Self operator+(Self a, Self b) { return Self(wide(a) + wide(b)); }
  friend constexpr Self operator-(Self a, Self b) { return Self(wide(a) - wide(b)); }
  friend constexpr Self operator*(Self a, Self b) { return Self(wide(a) * wide(b)); }
  friend constexpr Self operator/(Self a, Self b) { return Self(wide(a) / wide(b)); }
  // Negation flips the sign bit only, NaNs included.
  friend constexpr Self operator-(Self a) { return from_bits(a.bits() ^ 0x8000u); }

  // IEEE comparisons on the patterns; see Note [16-bit comparisons].
  friend constexpr bool operator==(Self a, Self b) { return ordered(a, b) & (key(a) == key(b)); }
  friend constexpr bool operator<(Self a, Self b) { return ordered(a, b) & (key(a) < key(b)); }
  friend constexpr bool operator<=(Self a, Self b) { return ordered(a, b) & (key(a) <= key(b)); }
  friend constexpr bool operator>(Self a, Self b) { return ordered(a, b) & (key(a) > key(b)); }
  friend constexpr bool operator>=(Self a, Self b) { return ordered(a, b) & (key(a) >= key(b)); }

 private:
  static constexpr float wide(Self a) { return Format::widen_operand(a.bits()); }
  static constexpr bool ordered(Self a, Self b) { return !a.is_nan() & !b.is_nan(); }
  static constexpr std::int32_t key(Self a) { return half_bits::order_key(a.bits()); }

  std::uint16_t bits_ = 0;
};

class Half : public Float16Base<Half, half_bits::Binary16Format> {
 public:
  using Float16Base::Float16Base;
};

class BFloat16 : public Float16Base<BFloat16, half_bits::BFloat16Format> {
 public:
  using Float16Base::Float16Base;
  // The operand widening of bfloat16 arithmetic (NaNs made quiet first).
  constexpr float widen_quiet() const { return half_bits::bf16_to_f32_quiet(bits()); }
};

static_assert(sizeof(Half) == 2 && sizeof(BFloat16) == 2);

}  // namespace vessik
