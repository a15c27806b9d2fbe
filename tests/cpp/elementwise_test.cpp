// Element-wise kernels: values against a per-index reference over many
// layouts, result layouts, scalar operations, comparisons and relu, at each
// instruction-set level.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "array_testing.h"
#include "engine/cpu/numeric/core/tensor_ops.h"
#include "engine/cpu/array/broadcast.h"
#include "layouts.h"
#include "levels.h"

namespace vessik {
namespace {

using test::at;
using test::for_each_index;
using test::kLayouts;
using test::kStreamedLayouts;
using test::LayoutCase;
using test::make_laid_out;
using test::pattern;

template <class T, class Want, class Kernel>
void check_binary(Kernel kernel, Want want, std::span<const LayoutCase> layouts = kLayouts,
                  std::span<const T> pool = {}) {
  std::mt19937 rng(99);
  for (const auto& c : layouts) {
    const auto a = make_laid_out<T>(c.a, c.a_order, rng, pool);
    const auto b = make_laid_out<T>(c.b, c.b_order, rng, pool);
    auto r = kernel(a, b);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    ASSERT_TRUE(is_row_major_contiguous(r->shape(), r->strides()) ||
                is_column_major_contiguous(r->shape(), r->strides()));
    const auto va = broadcast_view(a.view(), r->shape());
    const auto vb = broadcast_view(b.view(), r->shape());
    ASSERT_TRUE(va && vb);
    for_each_index(r->shape(), [&](const auto& index) {
      const auto expected = want(at(*va, index), at(*vb, index));
      const auto got = at(r->view(), index);
      ASSERT_EQ(pattern(got), pattern(expected)) << shape_to_string(c.a) << " with " << shape_to_string(c.b);
    });
  }
}

using BinaryKernels = test::AtEachLevel;
VESSIK_AT_EACH_LEVEL(BinaryKernels);

TEST_P(BinaryKernels, ArithmeticMatchesElementOpsOverLayouts) {
  test::for_each_float_type([&]<class T>() {
    using Ops = TensorOps<T>;
    const auto& t = k().typed<T>();
    check_binary<T>(t.add, Ops::kernel_add);
    check_binary<T>(t.sub, Ops::kernel_sub);
    check_binary<T>(t.mul, Ops::kernel_mul);
    check_binary<T>(t.div, Ops::kernel_div);
  });
}

TEST_P(BinaryKernels, SixteenBitArithmeticOfSpecialPatterns) {
  // NaNs of both kinds, signs and payloads, infinities, subnormals, zeros,
  // the largest finite value and neighbours of a rounding tie.
  const std::uint16_t bf16[] = {0x7fc0, 0xffc1, 0x7f81, 0xff92, 0x7fff, 0xffff, 0x7f80, 0xff80, 0x0001,
                                0x807f, 0x8000, 0x0000, 0x7f7f, 0x3f80, 0x3b80, 0x3b81, 0xbf81, 0x4040};
  const std::uint16_t f16[] = {0x7e00, 0xfe01, 0x7c01, 0xfd23, 0x7fff, 0xffff, 0x7c00, 0xfc00, 0x0001,
                               0x83ff, 0x8000, 0x0000, 0x7bff, 0x3c00, 0x1400, 0x1401, 0xbc01, 0x4200};
  auto check = [&]<class T>(std::span<const std::uint16_t> bits) {
    SCOPED_TRACE(test::type_name<T>());
    std::vector<T> pool;
    for (const auto b : bits) pool.push_back(T::from_bits(b));
    using Ops = TensorOps<T>;
    const auto& t = k().typed<T>();
    check_binary<T>(t.add, Ops::kernel_add, kLayouts, pool);
    check_binary<T>(t.sub, Ops::kernel_sub, kLayouts, pool);
    check_binary<T>(t.mul, Ops::kernel_mul, kLayouts, pool);
    check_binary<T>(t.div, Ops::kernel_div, kLayouts, pool);
  };
  check.template operator()<BFloat16>(bf16);
  check.template operator()<Half>(f16);
}

// Which NaN, by the rule rather than by TensorOps: the first operand's when
// it is one, else the second's, quieted with sign and payload kept.
TEST_P(BinaryKernels, NaNOperandsGiveTheFirstNaNQuieted) {
  auto check = [&]<class T>(std::initializer_list<std::uint32_t> bits, std::uint32_t quiet_bit) {
    SCOPED_TRACE(test::type_name<T>());
    auto of = [](std::uint32_t b) {
      if constexpr (std::is_same_v<T, float>) return std::bit_cast<float>(b);
      else return T::from_bits(static_cast<std::uint16_t>(b));
    };
    std::vector<T> pool;
    for (const auto b : bits) pool.push_back(of(b));
    auto rule = [&](auto op) {
      return [&, op](T x, T y) {
        const float wx = static_cast<float>(x), wy = static_cast<float>(y);
        if (std::isnan(wx)) return of(pattern(x) | quiet_bit);
        if (std::isnan(wy)) return of(pattern(y) | quiet_bit);
        return T(op(wx, wy));
      };
    };
    const auto& t = k().typed<T>();
    check_binary<T>(t.add, rule(std::plus<float>{}), kLayouts, pool);
    check_binary<T>(t.sub, rule(std::minus<float>{}), kLayouts, pool);
    check_binary<T>(t.mul, rule(std::multiplies<float>{}), kLayouts, pool);
    check_binary<T>(t.div, rule(std::divides<float>{}), kLayouts, pool);
  };
  // Quiet and signalling NaNs of both signs, then numbers.
  check.template operator()<float>({0x7fc00001, 0xffc12345, 0x7f800abc, 0xff900000, 0x3fc00000, 0x80000000,
                                    0x7f800000}, 0x00400000);
  check.template operator()<Half>({0x7e01, 0xfe33, 0x7c05, 0xfd00, 0x3e00, 0x8000, 0x7c00}, 0x0200);
  check.template operator()<BFloat16>({0x7fc1, 0xffd3, 0x7f85, 0xffa0, 0x3fc0, 0x8000, 0x7f80}, 0x0040);
}

TEST_P(BinaryKernels, ComparisonsMatchWidenedComparisonOverLayouts) {
  test::for_each_float_type([&]<class T>() {
    const auto& t = k().typed<T>();
    auto wide = [](T x) { return static_cast<float>(x); };
    check_binary<T>(t.eq, [&](T x, T y) { return wide(x) == wide(y); });
    check_binary<T>(t.ge, [&](T x, T y) { return wide(x) >= wide(y); });
    check_binary<T>(t.gt, [&](T x, T y) { return wide(x) > wide(y); });
    check_binary<T>(t.le, [&](T x, T y) { return wide(x) <= wide(y); });
    check_binary<T>(t.lt, [&](T x, T y) { return wide(x) < wide(y); });
  });
}

TEST_P(BinaryKernels, BoolComparisonsAndLogicOverLayouts) {
  const auto& t = k().typed<bool>();
  check_binary<bool>(t.lt, [](bool x, bool y) { return !x && y; });
  check_binary<bool>(t.eq, [](bool x, bool y) { return x == y; });
  check_binary<bool>(t.logical_and, [](bool x, bool y) { return x && y; });
  check_binary<bool>(t.logical_or, [](bool x, bool y) { return x || y; });
  check_binary<bool>(t.logical_xor, [](bool x, bool y) { return x != y; });
}

// The transposed walk compares sixteen binary32 lanes at a time: NaN,
// signed zeros, infinities and subnormals must order as single elements do,
// in every block shape the walk uses (whole lines, single blocks, ragged
// edges) with either operand transposed.
TEST_P(BinaryKernels, TransposedComparisonsOfSpecialValues) {
  using limits = std::numeric_limits<float>;
  const float pool[] = {limits::quiet_NaN(), -0.0f, 0.0f, limits::infinity(), -limits::infinity(),
                        1.0f, -1.0f, limits::denorm_min()};
  const LayoutCase layouts[] = {
      {{300, 200}, {}, {300, 200}, {1, 0}},
      {{300, 200}, {1, 0}, {300, 200}, {}},
  };
  const std::span<const float> values(pool);
  const auto& t = k().typed<float>();
  check_binary<float>(t.eq, [](float x, float y) { return x == y; }, layouts, values);
  check_binary<float>(t.ge, [](float x, float y) { return x >= y; }, layouts, values);
  check_binary<float>(t.gt, [](float x, float y) { return x > y; }, layouts, values);
  check_binary<float>(t.le, [](float x, float y) { return x <= y; }, layouts, values);
  check_binary<float>(t.lt, [](float x, float y) { return x < y; }, layouts, values);
}

TEST_P(BinaryKernels, StreamedResultsMatchElementOps) {
  check_binary<float>(k().typed<float>().add, TensorOps<float>::kernel_add, kStreamedLayouts);
  check_binary<float>(k().typed<float>().lt, [](float x, float y) { return x < y; }, kStreamedLayouts);
  check_binary<Half>(k().typed<Half>().mul, TensorOps<Half>::kernel_mul, kStreamedLayouts);
  check_binary<bool>(k().typed<bool>().logical_xor, [](bool x, bool y) { return x != y; }, kStreamedLayouts);
}

// Every 16-bit pattern against specials and random partners: the pattern
// comparison gives the order of the widened values.
template <class T>
void check_pattern_comparisons(const TypedKernels<T>& t) {
  std::mt19937 rng(5);
  const std::size_t n = 65536;
  auto a = NdArray<T>::uninitialized_row_major({n});
  auto b = NdArray<T>::uninitialized_row_major({n});
  const std::uint16_t partners[] = {0x0000, 0x8000, 0x0001, 0x8001, 0x3c00, 0xbc00, 0x7c00, 0xfc00, 0x7f80,
                                    0xff80, 0x7e00, 0x7fc0, 0x7bff, 0x7f7f, 0, 0, 0, 0};
  for (std::uint16_t p : partners) {
    for (std::size_t i = 0; i < n; ++i) {
      a->data()[i] = T::from_bits(static_cast<std::uint16_t>(i));
      b->data()[i] = T::from_bits(p != 0 ? p : static_cast<std::uint16_t>(rng()));
    }
    const auto lt = t.lt(*a, *b), le = t.le(*a, *b), eq = t.eq(*a, *b);
    const auto gt = t.gt(*a, *b), ge = t.ge(*a, *b);
    for (std::size_t i = 0; i < n; ++i) {
      const float x = static_cast<float>(a->data()[i]);
      const float y = static_cast<float>(b->data()[i]);
      ASSERT_EQ(lt->data()[i], x < y) << std::hex << i << " " << b->data()[i].bits();
      ASSERT_EQ(le->data()[i], x <= y);
      ASSERT_EQ(eq->data()[i], x == y);
      ASSERT_EQ(gt->data()[i], x > y);
      ASSERT_EQ(ge->data()[i], x >= y);
    }
  }
}

using Comparisons = test::AtEachLevel;
VESSIK_AT_EACH_LEVEL(Comparisons);

TEST_P(Comparisons, F16PatternsOrderLikeTheirValues) { check_pattern_comparisons(k().typed<Half>()); }
TEST_P(Comparisons, BF16PatternsOrderLikeTheirValues) { check_pattern_comparisons(k().typed<BFloat16>()); }

TEST_P(Comparisons, NaNAndSignedZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  test::for_each_float_type([&]<class T>() {
    const auto& t = k().typed<T>();
    const auto x = test::make<T>({3}, {nan, 0.0f, nan});
    const auto y = test::make<T>({3}, {nan, -0.0f, 1.0f});
    EXPECT_EQ(test::logical_elements(*t.eq(x, y)), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(test::logical_elements(*t.ge(x, y)), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(test::logical_elements(*t.lt(x, y)), (std::vector<bool>{false, false, false}));
  });
  const auto tr = test::make<bool>({2}, {1.0f, 0.0f});
  const auto f = test::make<bool>({2}, {0.0f, 0.0f});
  EXPECT_EQ(test::logical_elements(*k().typed<bool>().gt(tr, f)), (std::vector<bool>{true, false}));
}

struct ResultLayoutCase {
  const char* name;
  bool a_transposed;
  bool b_transposed;
  Strides expected;
};

using ResultLayout = test::AtEachLevel;
VESSIK_AT_EACH_LEVEL(ResultLayout);

TEST_P(ResultLayout, TransposedOperandsGiveColumnMajorResults) {
  // Operands of logical shape [4, 3]: a transposed one is the transpose of a
  // row-major [3, 4] array.
  const ResultLayoutCase cases[] = {
      {"both transposed", true, true, {1, 4}},
      {"transposed + row-major", true, false, {3, 1}},
      {"row-major + transposed", false, true, {3, 1}},
      {"both row-major", false, false, {3, 1}},
  };
  std::mt19937 rng(1);
  for (const auto& c : cases) {
    const auto a = make_laid_out<float>({4, 3}, c.a_transposed ? std::vector<std::size_t>{1, 0} : test::identity(2), rng);
    const auto b = make_laid_out<float>({4, 3}, c.b_transposed ? std::vector<std::size_t>{1, 0} : test::identity(2), rng);
    EXPECT_EQ(k().typed<float>().add(a, b)->strides(), c.expected) << c.name;
    EXPECT_EQ(k().typed<float>().lt(a, b)->strides(), c.expected) << c.name;
  }
}

// Scalar operations: the scalar is rounded to the element type once, stands
// on the right, and the result keeps the input's strides.
using ScalarKernels = test::AtEachLevel;
VESSIK_AT_EACH_LEVEL(ScalarKernels);

TEST_P(ScalarKernels, MatchElementOpsAndKeepStrides) {
  test::for_each_float_type([&]<class T>() {
    using Ops = TensorOps<T>;
    const auto& t = k().typed<T>();
    std::mt19937 rng(3);
    const float scalars[] = {2.0f, -0.5f, 0.1f, 1e6f, std::numeric_limits<float>::infinity()};
    for (const auto& order : {std::vector<std::size_t>{0, 1}, std::vector<std::size_t>{1, 0}}) {
      const auto a = make_laid_out<T>({23, 300}, order, rng);
      for (const float s : scalars) {
        const T s16 = static_cast<T>(s);
        const auto add = t.scalar_add(a, s), sub = t.scalar_sub(a, s), mul = t.scalar_mul(a, s);
        const auto lt = t.scalar_lt(a, s), eq = t.scalar_eq(a, s), ge = t.scalar_ge(a, s);
        for (const auto* r : {&*add, &*sub, &*mul}) EXPECT_EQ(r->strides(), a.strides());
        EXPECT_EQ(lt->strides(), a.strides());
        for_each_index(a.shape(), [&](const auto& i) {
          const T x = at(a.view(), i);
          ASSERT_EQ(pattern(at(add->view(), i)), pattern(Ops::kernel_add(x, s16)));
          ASSERT_EQ(pattern(at(sub->view(), i)), pattern(Ops::kernel_sub(x, s16)));
          ASSERT_EQ(pattern(at(mul->view(), i)), pattern(Ops::kernel_mul(x, s16)));
          ASSERT_EQ(at(lt->view(), i), x < s16);
          ASSERT_EQ(at(eq->view(), i), x == s16);
          ASSERT_EQ(at(ge->view(), i), x >= s16);
        });
      }
    }
  });
}

TEST_P(ScalarKernels, StreamedResultsMatchElementOps) {
  std::mt19937 rng(8);
  const auto a = make_laid_out<float>({2051, 4099}, {0, 1}, rng);
  const auto mul = k().typed<float>().scalar_mul(a, -1.5f);
  ASSERT_TRUE(mul);
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(mul->data()[i], a.data()[i] * -1.5f) << i;
  const auto t = make_laid_out<float>({2051, 4099}, {1, 0}, rng);
  const auto relu = k().typed<float>().relu(t);
  ASSERT_TRUE(relu);
  const float* r = relu->data();  // same strides: buffer positions correspond
  for (std::size_t i = 0; i < t.size(); ++i) ASSERT_EQ(r[i], t.data()[i] > 0.0f ? t.data()[i] : 0.0f) << i;
}

TEST_P(ScalarKernels, KnownResults) {
  const auto f16 = test::make<Half>({2}, {0.1f, 3.0f});
  EXPECT_EQ(test::logical_elements(*k().typed<Half>().scalar_eq(f16, 0.1f)), (std::vector<bool>{true, false}));
  const auto bf16 = test::make<BFloat16>({1}, {0.1f});
  EXPECT_TRUE(k().typed<BFloat16>().scalar_eq(bf16, 0.1f)->data()[0]);
  EXPECT_EQ(k().typed<float>().scalar_sub(test::make<float>({1}, {5.0f}), 2.0f)->data()[0], 3.0f);
  // 1e6 overflows binary16 before the addition.
  const auto sum = k().typed<Half>().scalar_add(test::make<Half>({3}, {-60000.0f, 0.0f, 1.0f}), 1e6f);
  for (const Half h : test::logical_elements(*sum)) EXPECT_EQ(h.bits(), 0x7c00);
}

TEST_P(BinaryKernels, DivisionByZeroIsNotAnError) {
  const auto r = k().typed<float>().div(test::make<float>({2}, {1.0f, 0.0f}), test::make<float>({2}, {0.0f, 0.0f}));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->data()[0], std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(r->data()[1]));
}

using Relu = test::AtEachLevel;
VESSIK_AT_EACH_LEVEL(Relu);

template <Element T>
std::vector<std::uint32_t> relu_patterns(const TypedKernels<T>& t, const std::vector<float>& values) {
  const auto r = t.relu(test::make<T>({values.size()}, values));
  EXPECT_TRUE(r.has_value());
  std::vector<std::uint32_t> out;
  for (const T x : test::logical_elements(*r)) out.push_back(pattern(x));
  return out;
}

TEST_P(Relu, ZeroesEverythingButPositiveValues) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {-1.0f, -0.0f, 0.0f, 2.0f, std::numeric_limits<float>::quiet_NaN(), -inf, inf};
  EXPECT_EQ(relu_patterns(k().typed<float>(), in), (std::vector<std::uint32_t>{0, 0, 0, pattern(2.0f), 0, 0, pattern(inf)}));
  EXPECT_EQ(relu_patterns(k().typed<Half>(), in), (std::vector<std::uint32_t>{0, 0, 0, 0x4000, 0, 0, 0x7c00}));
  EXPECT_EQ(relu_patterns(k().typed<BFloat16>(), in), (std::vector<std::uint32_t>{0, 0, 0, 0x4000, 0, 0, 0x7f80}));
}

TEST_P(Relu, SignallingNaNAndSubnormals) {
  // F32 follows maxNum: a signalling NaN becomes quiet, a quiet one gives +0.
  const float snan = std::bit_cast<float>(0xff800123u);
  const float qnan = std::bit_cast<float>(0x7fc00123u);
  const float tiny = std::bit_cast<float>(0x00000001u);
  EXPECT_EQ(relu_patterns(k().typed<float>(), {snan, qnan, tiny}), (std::vector<std::uint32_t>{0xffc00123u, 0, 1}));
  // 16-bit types: every NaN pattern gives +0; subnormals are kept.
  EXPECT_EQ(k().typed<Half>().relu(NdArray<Half>::filled({1}, Half::from_bits(0x7c01)).value())->data()[0].bits(), 0);
  EXPECT_EQ(k().typed<BFloat16>().relu(NdArray<BFloat16>::filled({1}, BFloat16::from_bits(0x0001)).value())->data()[0].bits(), 1);
}

TEST_P(Relu, KeepsTheInputStrides) {
  std::mt19937 rng(4);
  EXPECT_EQ(k().typed<float>().relu(make_laid_out<float>({2, 3}, {1, 0}, rng))->strides(), (Strides{1, 2}));
  EXPECT_EQ(k().typed<bool>().logical_not(make_laid_out<bool>({2, 3}, {1, 0}, rng))->strides(), (Strides{1, 2}));
}

using LogicalKernels = test::AtEachLevel;
VESSIK_AT_EACH_LEVEL(LogicalKernels);

TEST_P(LogicalKernels, KnownResults) {
  const auto& t = k().typed<bool>();
  const auto a = test::make<bool>({2}, {1, 0});
  const auto b = test::make<bool>({2, 1}, {1, 0});
  const auto r = t.logical_and(a, b);
  EXPECT_EQ(r->shape(), (Shape{2, 2}));
  EXPECT_EQ(test::logical_elements(*r), (std::vector<bool>{true, false, false, false}));
  const auto x = t.logical_xor(test::make<bool>({2}, {1, 1}), test::make<bool>({2}, {1, 0}));
  EXPECT_EQ(test::logical_elements(*x), (std::vector<bool>{false, true}));
  const auto empty = t.logical_not(test::make<bool>({0, 2}, {}));
  EXPECT_EQ(empty->shape(), (Shape{0, 2}));
}

}  // namespace
}  // namespace vessik
