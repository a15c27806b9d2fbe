// Element-wise kernels: values against a per-index reference over many
// layouts, result layouts, scalar operations, comparisons and relu.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "array_testing.h"
#include "engine/cpu/boolean/ops/logical.h"
#include "engine/cpu/numeric/core/tensor_ops.h"
#include "engine/cpu/numeric/ops/binary.h"
#include "engine/cpu/numeric/ops/mod.h"
#include "engine/cpu/numeric/ops/scalar.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {
namespace {

using test::at;
using test::for_each_index;
using test::pattern;

// An array of logical shape `shape` whose buffer holds the axes in the order
// `perm` (outermost first), filled with values from `rng`, or drawn from
// `pool` when it is given.
template <Element T>
NdArray<T> make_laid_out(const Shape& shape, const std::vector<std::size_t>& perm, std::mt19937& rng,
                         std::span<const T> pool = {}) {
  Shape stored(shape.size());
  for (std::size_t k = 0; k < perm.size(); ++k) stored[k] = shape[perm[k]];
  auto a = NdArray<T>::uninitialized_row_major(stored);
  EXPECT_TRUE(a.has_value());
  std::uniform_int_distribution<int> small(-8, 8);
  for (std::size_t i = 0; i < a->size(); ++i) {
    if (!pool.empty()) {
      a->data()[i] = pool[rng() % pool.size()];
    } else if constexpr (std::is_same_v<T, bool>) {
      a->data()[i] = (rng() & 1) != 0;
    } else {
      // Small integers and halves: many exact ties and equal pairs.
      a->data()[i] = static_cast<T>(static_cast<float>(small(rng)) * 0.5f);
    }
  }
  const Strides stored_strides = a->strides();
  Strides strides(shape.size());
  for (std::size_t k = 0; k < perm.size(); ++k) strides[perm[k]] = stored_strides[k];
  a->set_layout(shape, strides);
  return std::move(*a);
}

std::vector<std::size_t> identity(std::size_t n) {
  std::vector<std::size_t> p(n);
  std::iota(p.begin(), p.end(), 0);
  return p;
}

struct LayoutCase {
  Shape a;
  std::vector<std::size_t> a_order;  // empty: row-major
  Shape b;
  std::vector<std::size_t> b_order;
};

// Shapes chosen to cross the walk's special cases: flat runs, broadcast
// scalars and rows, transposed operands (tiled when both axes are long),
// coalescable and non-coalescable axes, lengths past the 16-bit chunk size.
const LayoutCase kLayouts[] = {
    {{300, 200}, {}, {300, 200}, {}},
    {{300, 200}, {}, {300, 200}, {1, 0}},
    {{300, 200}, {1, 0}, {300, 200}, {1, 0}},
    {{130, 150}, {1, 0}, {150}, {}},
    {{4, 5, 6}, {2, 0, 1}, {5, 1}, {}},
    {{3, 70, 90}, {0, 2, 1}, {3, 70, 90}, {}},
    {{6, 40, 50}, {2, 1, 0}, {40, 1}, {}},
    {{1000}, {}, {}, {}},
    {{}, {}, {1000}, {}},
    {{}, {}, {}, {}},
    {{0, 3}, {}, {3}, {}},
    {{3, 1, 4}, {}, {2, 1}, {}},
    {{1, 7}, {1, 0}, {5, 1}, {}},
    {{17, 1, 33}, {1, 2, 0}, {17, 9, 33}, {2, 0, 1}},
};

// Large enough that operands and result overflow the cache and the result
// is streamed out; rows of an odd length start at every alignment.
const LayoutCase kStreamedLayouts[] = {
    {{2051, 4099}, {}, {2051, 4099}, {}},
    {{2051, 4099}, {}, {2051, 4099}, {1, 0}},
    {{2051, 4099}, {1, 0}, {4099}, {}},
};

template <class T, class Want, class Kernel>
void check_binary(Kernel kernel, Want want, std::span<const LayoutCase> layouts = kLayouts,
                  std::span<const T> pool = {}) {
  std::mt19937 rng(99);
  for (const auto& c : layouts) {
    const auto a = make_laid_out<T>(c.a, c.a_order.empty() ? identity(c.a.size()) : c.a_order, rng, pool);
    const auto b = make_laid_out<T>(c.b, c.b_order.empty() ? identity(c.b.size()) : c.b_order, rng, pool);
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

template <class T>
class BinaryKernels : public ::testing::Test {};
using FloatTypes = ::testing::Types<float, Half, BFloat16>;
TYPED_TEST_SUITE(BinaryKernels, FloatTypes);

TYPED_TEST(BinaryKernels, ArithmeticMatchesElementOpsOverLayouts) {
  using T = TypeParam;
  using Ops = TensorOps<T>;
  check_binary<T>([](const auto& a, const auto& b) { return numeric::add(a, b); }, Ops::kernel_add);
  check_binary<T>([](const auto& a, const auto& b) { return numeric::sub(a, b); }, Ops::kernel_sub);
  check_binary<T>([](const auto& a, const auto& b) { return numeric::mul(a, b); }, Ops::kernel_mul);
  check_binary<T>([](const auto& a, const auto& b) { return numeric::div(a, b); }, Ops::kernel_div);
}

TYPED_TEST(BinaryKernels, ComparisonsMatchWidenedComparisonOverLayouts) {
  using T = TypeParam;
  auto wide = [](T x) { return static_cast<float>(x); };
  check_binary<T>([](const auto& a, const auto& b) { return numeric::eq(a, b); },
                  [&](T x, T y) { return wide(x) == wide(y); });
  check_binary<T>([](const auto& a, const auto& b) { return numeric::ge(a, b); },
                  [&](T x, T y) { return wide(x) >= wide(y); });
  check_binary<T>([](const auto& a, const auto& b) { return numeric::gt(a, b); },
                  [&](T x, T y) { return wide(x) > wide(y); });
  check_binary<T>([](const auto& a, const auto& b) { return numeric::le(a, b); },
                  [&](T x, T y) { return wide(x) <= wide(y); });
  check_binary<T>([](const auto& a, const auto& b) { return numeric::lt(a, b); },
                  [&](T x, T y) { return wide(x) < wide(y); });
}

TEST(BinaryKernels, BoolComparisonsAndLogicOverLayouts) {
  check_binary<bool>([](const auto& a, const auto& b) { return numeric::lt(a, b); },
                     [](bool x, bool y) { return !x && y; });
  check_binary<bool>([](const auto& a, const auto& b) { return numeric::eq(a, b); },
                     [](bool x, bool y) { return x == y; });
  check_binary<bool>(boolean::logical_and, [](bool x, bool y) { return x && y; });
  check_binary<bool>(boolean::logical_or, [](bool x, bool y) { return x || y; });
  check_binary<bool>(boolean::logical_xor, [](bool x, bool y) { return x != y; });
}

// The transposed walk compares sixteen binary32 lanes at a time: NaN,
// signed zeros, infinities and subnormals must order as single elements do,
// in every block shape the walk uses (whole lines, single blocks, ragged
// edges) with either operand transposed.
TEST(BinaryKernels, TransposedComparisonsOfSpecialValues) {
  using limits = std::numeric_limits<float>;
  const float pool[] = {limits::quiet_NaN(), -0.0f, 0.0f, limits::infinity(), -limits::infinity(),
                        1.0f, -1.0f, limits::denorm_min()};
  const LayoutCase layouts[] = {
      {{300, 200}, {}, {300, 200}, {1, 0}},
      {{300, 200}, {1, 0}, {300, 200}, {}},
  };
  const std::span<const float> values(pool);
  check_binary<float>([](const auto& a, const auto& b) { return numeric::eq(a, b); },
                      [](float x, float y) { return x == y; }, layouts, values);
  check_binary<float>([](const auto& a, const auto& b) { return numeric::ge(a, b); },
                      [](float x, float y) { return x >= y; }, layouts, values);
  check_binary<float>([](const auto& a, const auto& b) { return numeric::gt(a, b); },
                      [](float x, float y) { return x > y; }, layouts, values);
  check_binary<float>([](const auto& a, const auto& b) { return numeric::le(a, b); },
                      [](float x, float y) { return x <= y; }, layouts, values);
  check_binary<float>([](const auto& a, const auto& b) { return numeric::lt(a, b); },
                      [](float x, float y) { return x < y; }, layouts, values);
}

TEST(BinaryKernels, StreamedResultsMatchElementOps) {
  check_binary<float>([](const auto& a, const auto& b) { return numeric::add(a, b); }, TensorOps<float>::kernel_add,
                      kStreamedLayouts);
  check_binary<float>([](const auto& a, const auto& b) { return numeric::lt(a, b); },
                      [](float x, float y) { return x < y; }, kStreamedLayouts);
  check_binary<Half>([](const auto& a, const auto& b) { return numeric::mul(a, b); }, TensorOps<Half>::kernel_mul,
                     kStreamedLayouts);
  check_binary<bool>(boolean::logical_xor, [](bool x, bool y) { return x != y; }, kStreamedLayouts);
}

// Every 16-bit pattern against specials and random partners: the pattern
// comparison gives the order of the widened values.
template <class T>
void check_pattern_comparisons() {
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
    const auto lt = numeric::lt(*a, *b), le = numeric::le(*a, *b), eq = numeric::eq(*a, *b);
    const auto gt = numeric::gt(*a, *b), ge = numeric::ge(*a, *b);
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

TEST(Comparisons, F16PatternsOrderLikeTheirValues) { check_pattern_comparisons<Half>(); }
TEST(Comparisons, BF16PatternsOrderLikeTheirValues) { check_pattern_comparisons<BFloat16>(); }

struct ResultLayoutCase {
  const char* name;
  bool a_transposed;
  bool b_transposed;
  Strides expected;
};

TEST(ResultLayout, TransposedOperandsGiveColumnMajorResults) {
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
    const auto a = make_laid_out<float>({4, 3}, c.a_transposed ? std::vector<std::size_t>{1, 0} : identity(2), rng);
    const auto b = make_laid_out<float>({4, 3}, c.b_transposed ? std::vector<std::size_t>{1, 0} : identity(2), rng);
    EXPECT_EQ(numeric::add(a, b)->strides(), c.expected) << c.name;
    EXPECT_EQ(numeric::lt(a, b)->strides(), c.expected) << c.name;
  }
}

// Scalar operations: the scalar is rounded to the element type once, stands
// on the right, and the result keeps the input's strides.
template <class T>
class ScalarKernels : public ::testing::Test {};
TYPED_TEST_SUITE(ScalarKernels, FloatTypes);

TYPED_TEST(ScalarKernels, MatchElementOpsAndKeepStrides) {
  using T = TypeParam;
  using Ops = TensorOps<T>;
  std::mt19937 rng(3);
  const float scalars[] = {2.0f, -0.5f, 0.1f, 1e6f, std::numeric_limits<float>::infinity()};
  for (const auto& order : {std::vector<std::size_t>{0, 1}, std::vector<std::size_t>{1, 0}}) {
    const auto a = make_laid_out<T>({23, 300}, order, rng);
    for (const float s : scalars) {
      const T s16 = static_cast<T>(s);
      const auto add = numeric::scalar_add(a, s), sub = numeric::scalar_sub(a, s), mul = numeric::scalar_mul(a, s);
      const auto lt = numeric::scalar_lt(a, s), eq = numeric::scalar_eq(a, s), ge = numeric::scalar_ge(a, s);
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
}

TEST(ScalarKernels, StreamedResultsMatchElementOps) {
  std::mt19937 rng(8);
  const auto a = make_laid_out<float>({2051, 4099}, {0, 1}, rng);
  const auto mul = numeric::scalar_mul(a, -1.5f);
  ASSERT_TRUE(mul);
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(mul->data()[i], a.data()[i] * -1.5f) << i;
  auto t = make_laid_out<float>({2051, 4099}, {1, 0}, rng);
  const std::vector<float> in(t.data(), t.data() + t.size());
  const auto relu = CpuStorage(std::move(t)).relu();
  ASSERT_TRUE(relu);
  const float* r = relu->get_if<float>()->data();  // same strides: buffer positions correspond
  for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(r[i], in[i] > 0.0f ? in[i] : 0.0f) << i;
}

TEST(ScalarKernels, KnownResults) {
  const auto f16 = test::make<Half>({2}, {0.1f, 3.0f});
  EXPECT_EQ(test::logical_elements(*numeric::scalar_eq(f16, 0.1f)), (std::vector<bool>{true, false}));
  const auto bf16 = test::make<BFloat16>({1}, {0.1f});
  EXPECT_TRUE(numeric::scalar_eq(bf16, 0.1f)->data()[0]);
  EXPECT_EQ(numeric::scalar_sub(test::make<float>({1}, {5.0f}), 2.0f)->data()[0], 3.0f);
  // 1e6 overflows binary16 before the addition.
  const auto sum = numeric::scalar_add(test::make<Half>({3}, {-60000.0f, 0.0f, 1.0f}), 1e6f);
  for (const Half h : test::logical_elements(*sum)) EXPECT_EQ(h.bits(), 0x7c00);
}

TEST(ArithmeticKernels, DivisionByZeroIsNotAnError) {
  const auto r = numeric::div(test::make<float>({2}, {1.0f, 0.0f}), test::make<float>({2}, {0.0f, 0.0f}));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->data()[0], std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(r->data()[1]));
}

TEST(Comparisons, NaNAndSignedZero) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto check = [&]<class T>(T) {
    const auto x = test::make<T>({3}, {nan, 0.0f, nan});
    const auto y = test::make<T>({3}, {nan, -0.0f, 1.0f});
    EXPECT_EQ(test::logical_elements(*numeric::eq(x, y)), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(test::logical_elements(*numeric::ge(x, y)), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(test::logical_elements(*numeric::lt(x, y)), (std::vector<bool>{false, false, false}));
  };
  check(0.0f);
  check(Half());
  check(BFloat16());
  const auto t = test::make<bool>({2}, {1.0f, 0.0f});
  const auto f = test::make<bool>({2}, {0.0f, 0.0f});
  EXPECT_EQ(test::logical_elements(*numeric::gt(t, f)), (std::vector<bool>{true, false}));
}

// relu through the storage entry, which owns the kernel.
template <Element T>
std::vector<std::uint32_t> relu_patterns(const std::vector<float>& values) {
  const CpuStorage s(test::make<T>({values.size()}, values));
  const auto r = s.relu();
  EXPECT_TRUE(r.has_value());
  std::vector<std::uint32_t> out;
  for (const T x : test::logical_elements(*r->get_if<T>())) out.push_back(pattern(x));
  return out;
}

TEST(Relu, ZeroesEverythingButPositiveValues) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {-1.0f, -0.0f, 0.0f, 2.0f, std::numeric_limits<float>::quiet_NaN(), -inf, inf};
  EXPECT_EQ(relu_patterns<float>(in),
            (std::vector<std::uint32_t>{0, 0, 0, pattern(2.0f), 0, 0, pattern(inf)}));
  EXPECT_EQ(relu_patterns<Half>(in), (std::vector<std::uint32_t>{0, 0, 0, 0x4000, 0, 0, 0x7c00}));
  EXPECT_EQ(relu_patterns<BFloat16>(in), (std::vector<std::uint32_t>{0, 0, 0, 0x4000, 0, 0, 0x7f80}));
}

TEST(Relu, SignallingNaNAndSubnormals) {
  // F32 follows maxNum: a signalling NaN becomes quiet, a quiet one gives +0.
  const float snan = std::bit_cast<float>(0xff800123u);
  const float qnan = std::bit_cast<float>(0x7fc00123u);
  const float tiny = std::bit_cast<float>(0x00000001u);
  EXPECT_EQ(relu_patterns<float>({snan, qnan, tiny}), (std::vector<std::uint32_t>{0xffc00123u, 0, 1}));
  // 16-bit types: every NaN pattern gives +0; subnormals are kept.
  const CpuStorage h(NdArray<Half>::filled({1}, Half::from_bits(0x7c01)).value());
  EXPECT_EQ(h.relu()->get_if<Half>()->data()[0].bits(), 0);
  const CpuStorage sub(NdArray<BFloat16>::filled({1}, BFloat16::from_bits(0x0001)).value());
  EXPECT_EQ(sub.relu()->get_if<BFloat16>()->data()[0].bits(), 1);
}

TEST(Relu, KeepsTheInputStrides) {
  std::mt19937 rng(4);
  const CpuStorage s(make_laid_out<float>({2, 3}, {1, 0}, rng));
  EXPECT_EQ(s.relu()->strides(), (Strides{1, 2}));
  const CpuStorage b(make_laid_out<bool>({2, 3}, {1, 0}, rng));
  EXPECT_EQ(b.logical_not()->strides(), (Strides{1, 2}));
}

TEST(LogicalKernels, KnownResults) {
  const auto a = test::make<bool>({2}, {1, 0});
  const auto b = test::make<bool>({2, 1}, {1, 0});
  const auto r = boolean::logical_and(a, b);
  EXPECT_EQ(r->shape(), (Shape{2, 2}));
  EXPECT_EQ(test::logical_elements(*r), (std::vector<bool>{true, false, false, false}));
  const auto x = boolean::logical_xor(test::make<bool>({2}, {1, 1}), test::make<bool>({2}, {1, 0}));
  EXPECT_EQ(test::logical_elements(*x), (std::vector<bool>{false, true}));
  const auto empty = boolean::logical_not(test::make<bool>({0, 2}, {}));
  EXPECT_EQ(empty->shape(), (Shape{0, 2}));
}

#if defined(__x86_64__)
// Another library may leave flush-to-zero and denormals-are-zero on in the
// caller's thread; results must still keep their subnormals.
TEST(IeeeMode, KernelsIgnoreFlushToZero) {
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | (1u << 15) | (1u << 6));
  const float tiny = 0x1p-140f;
  const auto sum = numeric::add(test::make<float>({3}, {tiny, 0x1p-120f, 1.0f}),
                                test::make<float>({3}, {0.0f, 0.0f, 0.0f}));
  const auto prod = numeric::scalar_mul(test::make<float>({1}, {0x1p-120f}), 0x1p-10f);
  const auto bf = numeric::mul(test::make<BFloat16>({1}, {0x1p-120f}), test::make<BFloat16>({1}, {0x1p-10f}));
  const auto pos = numeric::scalar_gt(test::make<float>({1}, {tiny}), 0.0f);
  const unsigned after = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(after & ((1u << 15) | (1u << 6)), (1u << 15) | (1u << 6)) << "caller's mode restored";
  EXPECT_EQ(sum->data()[0], tiny);
  EXPECT_EQ(prod->data()[0], 0x1p-130f);
  EXPECT_EQ(static_cast<float>(bf->data()[0]), 0x1p-130f);
  EXPECT_TRUE(pos->data()[0]);
}
#endif

}  // namespace
}  // namespace vessik
