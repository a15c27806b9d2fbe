// 16-bit arithmetic: each operation is the exact result rounded once.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "array_testing.h"
#include "engine/cpu/numeric/core/tensor_ops.h"
#include "half_reference.h"
#include "levels.h"

namespace vessik {
namespace {

enum class Op { Add, Sub, Mul, Div };
constexpr Op kOps[] = {Op::Add, Op::Sub, Op::Mul, Op::Div};

double exact(Op op, double x, double y) {
  switch (op) {
    case Op::Add: return x + y;
    case Op::Sub: return x - y;
    case Op::Mul: return x * y;
    case Op::Div: return x / y;
  }
  return 0;
}

template <class T>
T apply(Op op, T x, T y) {
  switch (op) {
    case Op::Add: return TensorOps<T>::kernel_add(x, y);
    case Op::Sub: return TensorOps<T>::kernel_sub(x, y);
    case Op::Mul: return TensorOps<T>::kernel_mul(x, y);
    case Op::Div: return TensorOps<T>::kernel_div(x, y);
  }
  return T{};
}

template <class T>
constexpr test::Format format_of = std::same_as<T, Half> ? test::kF16 : test::kBF16;

// Special operands of both formats: zeros, subnormals, the normal boundary,
// one and its neighbours, the largest finite values, infinities, NaNs.
std::vector<std::uint16_t> special_patterns() {
  std::vector<std::uint16_t> out;
  for (std::uint16_t b : {0x0000, 0x0001, 0x0002, 0x03ff, 0x0400, 0x0401, 0x007f, 0x0080, 0x0081, 0x3c00,
                          0x3c01, 0x3bff, 0x3f80, 0x3f81, 0x3f7f, 0x3555, 0x4000, 0x7bff, 0x7c00, 0x7f7f,
                          0x7f80, 0x7e00, 0x7c01, 0x7fc0, 0x7f81, 0x5bf8, 0x1400}) {
    out.push_back(b);
    out.push_back(static_cast<std::uint16_t>(b | 0x8000));
  }
  return out;
}

template <class T>
void expect_correctly_rounded(Op op, std::uint16_t xb, std::uint16_t yb) {
  const T x = T::from_bits(xb);
  const T y = T::from_bits(yb);
  const std::uint16_t got = apply(op, x, y).bits();
  constexpr test::Format f = format_of<T>;
  const double r = exact(op, test::value_of(xb, f), test::value_of(yb, f));
  if (std::isnan(r)) {
    EXPECT_TRUE(T::from_bits(got).is_nan()) << std::hex << xb << " op " << yb;
  } else {
    ASSERT_EQ(got, test::round_to(r, f)) << std::hex << xb << " op" << static_cast<int>(op) << " " << yb;
  }
}

template <class T>
class HalfArithmetic : public ::testing::Test {};
using HalfTypes = ::testing::Types<Half, BFloat16>;
TYPED_TEST_SUITE(HalfArithmetic, HalfTypes);

TYPED_TEST(HalfArithmetic, SpecialOperandsAreCorrectlyRounded) {
  const auto specials = special_patterns();
  for (Op op : kOps) {
    for (std::uint16_t x : specials) {
      for (std::uint16_t y : specials) expect_correctly_rounded<TypeParam>(op, x, y);
    }
  }
}

TYPED_TEST(HalfArithmetic, RandomOperandsAreCorrectlyRounded) {
  std::mt19937 rng(12345);
  for (Op op : kOps) {
    for (int i = 0; i < 300000; ++i) {
      expect_correctly_rounded<TypeParam>(op, static_cast<std::uint16_t>(rng()), static_cast<std::uint16_t>(rng()));
    }
  }
}

// The bulk kernels of each level (chunked widening, F16C where the level
// has it) give the bits of the element-wise TensorOps for every operand pair,
// NaNs included.
template <class T>
void expect_bulk_matches_elements(const TypedKernels<T>& t) {
  std::mt19937 rng(7);
  const auto specials = special_patterns();
  const std::size_t n = 5000;  // not a multiple of the chunk or vector width
  auto a = NdArray<T>::uninitialized_row_major({n});
  auto b = NdArray<T>::uninitialized_row_major({n});
  for (std::size_t i = 0; i < n; ++i) {
    const bool special = i % 3 == 0;
    a->data()[i] = T::from_bits(special ? specials[rng() % specials.size()] : static_cast<std::uint16_t>(rng()));
    b->data()[i] = T::from_bits(special ? specials[rng() % specials.size()] : static_cast<std::uint16_t>(rng()));
  }
  for (Op op : kOps) {
    auto r = op == Op::Add   ? t.add(*a, *b)
             : op == Op::Sub ? t.sub(*a, *b)
             : op == Op::Mul ? t.mul(*a, *b)
                             : t.div(*a, *b);
    ASSERT_TRUE(r.has_value());
    for (std::size_t i = 0; i < n; ++i) {
      const T want = apply(op, a->data()[i], b->data()[i]);
      const T got = r->data()[i];
      if (want.is_nan()) {
        EXPECT_TRUE(got.is_nan());
      } else {
        ASSERT_EQ(got.bits(), want.bits()) << std::hex << a->data()[i].bits() << " " << b->data()[i].bits();
      }
    }
  }
}

using HalfBulkArithmetic = test::AtEachLevel;
VESSIK_AT_EACH_LEVEL(HalfBulkArithmetic);

TEST_P(HalfBulkArithmetic, MatchesElementOperations) {
  expect_bulk_matches_elements(k().typed<Half>());
  expect_bulk_matches_elements(k().typed<BFloat16>());
}

struct ArithmeticCase {
  Op op;
  float x, y;
  std::uint16_t f16, bf16;  // expected patterns
};

TEST(HalfArithmetic, KnownResults) {
  const ArithmeticCase cases[] = {
      {Op::Add, 65504.0f, 16.0f, 0x7c00, 0x4780},        // F16 overflows to +infinity
      {Op::Div, 1.0f, 3.0f, 0x3555, 0x3eab},
      {Op::Add, 1.0f, 0x1p-8f, 0x3c04, 0x3f80},           // BF16: a tie, rounds to even
      {Op::Add, 1.0f, 0x1.8p-8f, 0x3c06, 0x3f81},         // BF16: 1 + 2^-7
      {Op::Sub, 0x1p-14f, 0x1p-24f, 0x03ff, 0x3880},      // F16 normal minus smallest subnormal
      {Op::Mul, 0x1p-12f, 0x1p-12f, 0x0001, 0x3380},      // F16 product is the smallest subnormal
  };
  for (const auto& c : cases) {
    EXPECT_EQ(apply(c.op, Half(c.x), Half(c.y)).bits(), c.f16) << c.x << " " << c.y;
    EXPECT_EQ(apply(c.op, BFloat16(c.x), BFloat16(c.y)).bits(), c.bf16) << c.x << " " << c.y;
  }
}

TEST(HalfArithmetic, BF16NaNOperandsComeOutQuiet) {
  const BFloat16 snan = BFloat16::from_bits(0x7f81);
  const BFloat16 one(1.0f);
  for (Op op : kOps) {
    EXPECT_EQ(apply(op, snan, one).bits(), 0x7fc1);
    EXPECT_EQ(apply(op, one, snan).bits(), 0x7fc1);
  }
}

TEST(HalfArithmetic, NegationFlipsOnlyTheSign) {
  EXPECT_EQ(TensorOps<Half>::neg(Half::from_bits(0x7c01)).bits(), 0xfc01);
  EXPECT_EQ(TensorOps<BFloat16>::neg(BFloat16::from_bits(0x0000)).bits(), 0x8000);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(TensorOps<float>::neg(0.0f)), 0x80000000u);
}

}  // namespace
}  // namespace vessik
