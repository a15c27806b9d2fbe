#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "array_testing.h"
#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/storage/cpu_storage.h"
#include "levels.h"

namespace vessik::test {
namespace {

using MulBackward = AtEachLevel;
using DivBackward = AtEachLevel;
using BinaryBackward = AtEachLevel;
using MatmulBackward = AtEachLevel;
using ReluBackward = AtEachLevel;
using SumToShape = AtEachLevel;
VESSIK_AT_EACH_LEVEL(MulBackward);
VESSIK_AT_EACH_LEVEL(DivBackward);
VESSIK_AT_EACH_LEVEL(BinaryBackward);
VESSIK_AT_EACH_LEVEL(MatmulBackward);
VESSIK_AT_EACH_LEVEL(ReluBackward);
VESSIK_AT_EACH_LEVEL(SumToShape);

constexpr WantedGradients kBoth = WantedGradients::Both;

constexpr float kInf = std::numeric_limits<float>::infinity();

// Index of `shape`'s element that a broadcast to `target` reads at `index`.
std::vector<std::uint64_t> source_index(const Shape& shape, const Shape& target,
                                        const std::vector<std::uint64_t>& index) {
  std::vector<std::uint64_t> out(shape.size());
  for (std::size_t i = 0; i < shape.size(); ++i) {
    out[i] = shape[i] == 1 ? 0 : index[i + target.size() - shape.size()];
  }
  return out;
}

template <class T>
T element(const NdArray<T>& a, const Shape& target, const std::vector<std::uint64_t>& index) {
  return at(a.view(), source_index(a.shape(), target, index));
}

std::vector<float> iota(std::size_t n, float start, float step) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = start + step * static_cast<float>(i);
  return v;
}

template <class T>
NdArray<T> ramp(const Shape& shape, float start, float step) {
  return make<T>(shape, iota(checked_element_count(shape).value(), start, step));
}

// ---- Multiplication and division: shapes are not reduced ----------------

struct BroadcastCase {
  Shape lhs, rhs, g, grad;
};

const BroadcastCase kBroadcastCases[] = {
    {{2, 3}, {2, 3}, {2, 3}, {2, 3}},
    {{3}, {2, 3}, {2, 3}, {2, 3}},     // lhs broadcast forward: its gradient stays [2, 3]
    {{2, 1}, {1, 3}, {2, 3}, {2, 3}},
    {{3}, {3}, {4, 3}, {4, 3}},        // g itself larger than the output
    {{}, {2, 2}, {2, 2}, {2, 2}},
};

TEST_P(MulBackward, IsGradientTimesTheOtherOperand) {
  for (const auto& c : kBroadcastCases) {
    SCOPED_TRACE(shape_to_string(c.lhs) + " * " + shape_to_string(c.rhs));
    const auto lhs = ramp<float>(c.lhs, 1, 1), rhs = ramp<float>(c.rhs, -2, 0.5), g = ramp<float>(c.g, 3, 0.25);
    auto r = k().typed<float>().mul_backward(g, lhs, rhs, kBoth);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    ASSERT_EQ(r->first.shape(), c.grad);
    ASSERT_EQ(r->second.shape(), c.grad);
    for_each_index(c.grad, [&](const auto& i) {
      EXPECT_EQ(at(r->first.view(), i), element(g, c.grad, i) * element(rhs, c.grad, i));
      EXPECT_EQ(at(r->second.view(), i), element(g, c.grad, i) * element(lhs, c.grad, i));
    });
    // A gradient nobody wants is not computed; the other one is unchanged.
    auto lhs_only = k().typed<float>().mul_backward(g, lhs, rhs, WantedGradients::LhsOnly);
    auto rhs_only = k().typed<float>().mul_backward(g, lhs, rhs, WantedGradients::RhsOnly);
    ASSERT_TRUE(lhs_only && rhs_only);
    EXPECT_EQ(logical_elements(lhs_only->first), logical_elements(r->first));
    EXPECT_EQ(logical_elements(rhs_only->second), logical_elements(r->second));
    EXPECT_EQ(lhs_only->second.size() + rhs_only->first.size(), 0u);
  }
}

TEST_P(DivBackward, FollowsTheFixedOperationOrder) {
  for (const auto& c : kBroadcastCases) {
    SCOPED_TRACE(shape_to_string(c.lhs) + " / " + shape_to_string(c.rhs));
    const auto lhs = ramp<float>(c.lhs, 1, 1), rhs = ramp<float>(c.rhs, -2, 0.75), g = ramp<float>(c.g, 3, 0.25);
    auto r = k().typed<float>().div_backward(g, lhs, rhs, kBoth);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    ASSERT_EQ(r->first.shape(), c.grad);
    EXPECT_EQ(r->first.strides(), row_major_strides(c.grad));
    EXPECT_EQ(r->second.strides(), row_major_strides(c.grad));
    for_each_index(c.grad, [&](const auto& i) {
      const float gv = element(g, c.grad, i), l = element(lhs, c.grad, i), rv = element(rhs, c.grad, i);
      EXPECT_EQ(pattern(at(r->first.view(), i)), pattern(gv / rv));
      EXPECT_EQ(pattern(at(r->second.view(), i)), pattern(((-gv) * l) / (rv * rv)));
    });
  }
}

struct DivValueCase {
  float g, l, r, for_lhs, for_rhs;
};

template <class T>
void expect_div_values(const KernelTable& table, const DivValueCase& c) {
  auto r = table.typed<T>().div_backward(make<T>({1}, {c.g}), make<T>({1}, {c.l}), make<T>({1}, {c.r}), kBoth);
  ASSERT_TRUE(r.has_value());
  const T gl = r->first.data()[0], gr = r->second.data()[0];
  if (std::isnan(c.for_lhs)) {
    EXPECT_TRUE(std::isnan(float(gl)));
  } else {
    EXPECT_EQ(pattern(gl), pattern(T(c.for_lhs))) << float(gl);
  }
  if (std::isnan(c.for_rhs)) {
    EXPECT_TRUE(std::isnan(float(gr)));
  } else {
    EXPECT_EQ(pattern(gr), pattern(T(c.for_rhs))) << float(gr);
  }
}

TEST_P(DivBackward, Values) {
  const float nan = std::nanf("");
  expect_div_values<float>(k(), {1, 1, 2, 0.5f, -0.25f});
  expect_div_values<float>(k(), {1, 1, 0, kInf, -kInf});   // no check for a zero divisor
  expect_div_values<float>(k(), {0, 1, 0, nan, nan});
  // F16: 300 × 300 overflows to infinity, so gr is a zero signed like (−g) × l.
  expect_div_values<Half>(k(), {1, 1, 300, 1.0f / 300.0f, -0.0f});
  expect_div_values<Half>(k(), {-1, 1, 300, -1.0f / 300.0f, 0.0f});
  expect_div_values<Half>(k(), {1, 1, 2, 0.5f, -0.25f});
  expect_div_values<BFloat16>(k(), {1, 1, 2, 0.5f, -0.25f});
}

// Each intermediate rounds to T: compare with the four operations done one
// at a time, element by element, over broadcast and strided operands.
template <class T>
void expect_rounding_per_operation(const TypedKernels<T>& kernels) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> dist(-400.0f, 400.0f);
  auto random = [&](const Shape& shape) {
    std::vector<float> v(checked_element_count(shape).value());
    for (auto& x : v) x = dist(rng);
    return make<T>(shape, v);
  };
  auto g = random({3, 300});
  g.set_layout({300, 3}, {1, 300});  // transposed gradient
  const auto lhs = random({300, 1});
  const auto rhs = random({300, 3});
  auto r = kernels.div_backward(g, lhs, rhs, kBoth);
  ASSERT_TRUE(r.has_value());
  const Shape shape{300, 3};
  auto round = [](float x) { return float(T(x)); };
  for_each_index(shape, [&](const auto& i) {
    const float gv = float(element(g, shape, i)), l = float(element(lhs, shape, i)), rv = float(element(rhs, shape, i));
    const float num = round(float(T(-gv)) * l), den = round(rv * rv);
    ASSERT_EQ(pattern(at(r->first.view(), i)), pattern(T(gv / rv)));
    ASSERT_EQ(pattern(at(r->second.view(), i)), pattern(T(num / den))) << gv << " " << l << " " << rv;
  });
}

TEST_P(DivBackward, SixteenBitRoundsEveryOperation) {
  expect_rounding_per_operation(k().typed<Half>());
  expect_rounding_per_operation(k().typed<BFloat16>());
}

struct BroadcastErrorCase {
  bool div;
  Shape g, lhs, rhs;
  Shape first, second;  // the pair the error names
};

TEST_P(BinaryBackward, BroadcastFailures) {
  const BroadcastErrorCase cases[] = {
      // mul: g with rhs first, then g with lhs.
      {false, {2, 3}, {5}, {4}, {2, 3}, {4}},
      {false, {2, 3}, {5}, {3}, {2, 3}, {5}},
      // div: g with lhs first (g named first), then their common shape with rhs.
      {true, {2, 3}, {4}, {5}, {2, 3}, {4}},
      {true, {2, 3}, {2, 1}, {4}, {2, 3}, {4}},
  };
  for (const auto& c : cases) {
    const auto g = ramp<float>(c.g, 0, 1), lhs = ramp<float>(c.lhs, 0, 1), rhs = ramp<float>(c.rhs, 0, 1);
    auto r = c.div ? k().typed<float>().div_backward(g, lhs, rhs, kBoth) : k().typed<float>().mul_backward(g, lhs, rhs, kBoth);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
    EXPECT_EQ(r.error().message, broadcast_shapes(c.first, c.second).error().message);
  }
}

TEST_P(DivBackward, UnaddressableShapeFailsInsteadOfAborting) {
  const std::uint64_t big = std::uint64_t{1} << 32;
  auto g = NdArray<float>::uninitialized_row_major({big, 1, 0});
  auto lhs = NdArray<float>::uninitialized_row_major({1});
  auto rhs = NdArray<float>::uninitialized_row_major({big, 0});
  ASSERT_TRUE(g && lhs && rhs);
  auto r = k().typed<float>().div_backward(*g, *lhs, *rhs, kBoth);  // common shape [2^32, 2^32, 0]
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
}

// ---- Matrix product ------------------------------------------------------

// (g · rhsᵀ, lhsᵀ · g) in double, batch axes broadcast by index.
struct MatmulGradCase {
  Shape lhs, rhs, g, grad_lhs, grad_rhs;
};

TEST_P(MatmulBackward, ShapesAndValues) {
  const MatmulGradCase cases[] = {
      {{2, 3}, {3, 4}, {2, 4}, {2, 3}, {3, 4}},
      {{2, 3}, {5, 3, 4}, {5, 2, 4}, {5, 2, 3}, {5, 3, 4}},  // lhs broadcast: not reduced
      {{1, 2, 3}, {5, 3, 4}, {5, 2, 4}, {5, 2, 3}, {5, 3, 4}},
      {{4, 2, 3}, {3, 4}, {4, 2, 4}, {4, 2, 3}, {4, 3, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(shape_to_string(c.lhs) + " @ " + shape_to_string(c.rhs));
    const auto lhs = ramp<float>(c.lhs, -1, 0.5), rhs = ramp<float>(c.rhs, 2, -0.25), g = ramp<float>(c.g, 1, 0.125);
    auto r = k().typed<float>().matmul_backward(g, lhs, rhs, kBoth);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    ASSERT_EQ(r->first.shape(), c.grad_lhs);
    ASSERT_EQ(r->second.shape(), c.grad_rhs);
    EXPECT_EQ(r->first.strides(), row_major_strides(c.grad_lhs));
    const std::size_t nd = c.grad_lhs.size();
    // got[i] = sum over j < len of x[at(i, j).first] * y[at(i, j).second]
    auto expect_sums = [&](const NdArray<float>& got, std::uint64_t len, const NdArray<float>& x,
                           const NdArray<float>& y, auto at_index) {
      for_each_index(got.shape(), [&](const auto& i) {
        double sum = 0;
        for (std::uint64_t j = 0; j < len; ++j) {
          const auto [xi, yi] = at_index(i, j);
          sum += double(element(x, got.shape(), xi)) * double(element(y, got.shape(), yi));
        }
        EXPECT_FLOAT_EQ(at(got.view(), i), sum);
      });
    };
    // [.., m, k] = sum_j g[.., m, j] rhs[.., k, j]
    expect_sums(r->first, c.g.back(), g, rhs, [&](auto i, std::uint64_t j) {
      auto ri = i;
      ri[nd - 2] = i[nd - 1];
      ri[nd - 1] = i[nd - 1] = j;
      return std::pair{i, ri};
    });
    // [.., k, n] = sum_p lhs[.., p, k] g[.., p, n]
    expect_sums(r->second, c.g[c.g.size() - 2], lhs, g, [&](auto i, std::uint64_t p) {
      auto li = i;
      li[nd - 1] = i[nd - 2];
      li[nd - 2] = i[nd - 2] = p;
      return std::pair{li, i};
    });
  }
}

// A gradient nobody wants is not computed; the other one is unchanged.
TEST_P(MatmulBackward, ComputesOnlyTheWantedGradient) {
  const auto lhs = ramp<float>({2, 3}, -1, 0.5), rhs = ramp<float>({3, 4}, 2, -0.25), g = ramp<float>({2, 4}, 1, 0.125);
  auto both = k().typed<float>().matmul_backward(g, lhs, rhs, kBoth);
  auto lhs_only = k().typed<float>().matmul_backward(g, lhs, rhs, WantedGradients::LhsOnly);
  auto rhs_only = k().typed<float>().matmul_backward(g, lhs, rhs, WantedGradients::RhsOnly);
  ASSERT_TRUE(both && lhs_only && rhs_only);
  EXPECT_EQ(logical_elements(lhs_only->first), logical_elements(both->first));
  EXPECT_EQ(lhs_only->second.size(), 0u);
  EXPECT_EQ(logical_elements(rhs_only->second), logical_elements(both->second));
  EXPECT_EQ(rhs_only->first.size(), 0u);
  const auto hl = make<Half>({1, 2}, {1, 2}), hr = make<Half>({2, 1}, {3, 4}), hg = make<Half>({1, 1}, {1});
  auto half_rhs = k().typed<Half>().matmul_backward(hg, hl, hr, WantedGradients::RhsOnly);
  ASSERT_TRUE(half_rhs.has_value());
  EXPECT_EQ(half_rhs->first.size(), 0u);
  EXPECT_EQ(static_cast<float>(logical_elements(half_rhs->second)[1]), 2.0f);
}

TEST_P(MatmulBackward, SixteenBitGradientsRoundOnce) {
  // g · rhsᵀ sums 2048 + 1 + 1: 2050 in F32, but 2048 if rounded per step.
  const auto lhs = make<Half>({1, 2}, {1, 1});
  const auto rhs = make<Half>({2, 3}, {1, 1, 1, 1, 1, 1});
  const auto g = make<Half>({1, 3}, {2048, 1, 1});
  auto r = k().typed<Half>().matmul_backward(g, lhs, rhs, kBoth);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(logical_elements(r->first)[0].bits(), Half(2050.0f).bits());
  EXPECT_EQ(logical_elements(r->first)[1].bits(), Half(2050.0f).bits());
}

TEST_P(MatmulBackward, ProductFailuresPassThrough) {
  auto r = k().typed<float>().matmul_backward(ramp<float>({2, 5}, 0, 1), ramp<float>({2, 3}, 0, 1), ramp<float>({3, 4}, 0, 1),
                                   kBoth);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
  EXPECT_EQ(r.error().message, "Matrix inner dimensions mismatch for matmul: 5 vs 4");
}

// ---- relu ---------------------------------------------------------------

template <class T>
void expect_relu_mask(const TypedKernels<T>& kernels) {
  const float nan = std::nanf("");
  const auto x = make<T>({8}, {-1, -0.0f, 0, 2, nan, kInf, -kInf, 1e-3f});
  const auto g = make<T>({8}, {5, 5, 5, 5, 5, 5, 5, nan});
  auto r = kernels.relu_backward(g, x);
  ASSERT_TRUE(r.has_value());
  const auto got = logical_elements(*r);
  const float expected[] = {0, 0, 0, 5, 0, 5, 0};
  for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(pattern(got[i]), pattern(T(expected[i]))) << i;  // zeros are +0
  EXPECT_TRUE(std::isnan(float(got[7])));  // a NaN gradient passes where x > 0
}

TEST_P(ReluBackward, MasksByPositiveInput) {
  expect_relu_mask(k().typed<float>());
  expect_relu_mask(k().typed<Half>());
  expect_relu_mask(k().typed<BFloat16>());
}

TEST_P(ReluBackward, LayoutsMayDiffer) {
  auto x = make<float>({3, 2}, {-1, 1, 2, -2, 3, -3});
  x.set_layout({2, 3}, {1, 2});  // [[-1, 2, 3], [1, -2, -3]]
  const auto g = make<float>({2, 3}, {1, 2, 3, 4, 5, 6});
  auto r = k().typed<float>().relu_backward(g, x);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(logical_elements(*r), (std::vector<float>{0, 2, 3, 4, 0, 0}));
}

TEST_P(ReluBackward, MaskBroadcastsAgainstALargerGradient) {
  const auto x = make<float>({3}, {-1, 2, 3});
  auto r = k().typed<float>().relu_backward(ramp<float>({2, 3}, 1, 1), x);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(logical_elements(*r), (std::vector<float>{0, 2, 3, 0, 5, 6}));
  auto bad = k().typed<float>().relu_backward(ramp<float>({2, 3}, 0, 1), ramp<float>({2}, 0, 1));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind, ErrorKind::RuntimeError);
}

// ---- Sums of a broadcast gradient ---------------------------------------

TEST_P(SumToShape, SumsTheBroadcastAxesOfAnyLayout) {
  auto g = make<float>({3, 2}, {1, 4, 2, 5, 3, 6});
  g.set_layout({2, 3}, {1, 2});  // [[1, 2, 3], [4, 5, 6]], column-major
  const struct {
    Shape target;
    std::vector<float> sums;
  } cases[] = {{{3}, {5, 7, 9}}, {{2, 1}, {6, 15}}, {{1, 3}, {5, 7, 9}}, {{}, {21}}, {{2, 3}, {1, 2, 3, 4, 5, 6}}};
  for (const auto& c : cases) {
    auto r = k().typed<float>().sum_to_shape(g, c.target);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->shape(), c.target);
    EXPECT_EQ(r->strides(), row_major_strides(c.target));
    EXPECT_EQ(logical_elements(*r), c.sums);
  }
  auto bad = k().typed<float>().sum_to_shape(g, {2});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind, ErrorKind::RuntimeError);
}

TEST_P(SumToShape, SixteenBitSumsRoundOnceAndSingleTermsStayExact) {
  // In F16 2048 + 1 rounds back to 2048 at every step; summed in F32 the
  // three terms give 2050, which F16 holds.
  auto r = k().typed<Half>().sum_to_shape(make<Half>({3}, {2048, 1, 1}), {});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(float(logical_elements(*r)[0]), 2050.0f);
  const float nan = std::nanf("");
  auto one = k().typed<BFloat16>().sum_to_shape(make<BFloat16>({1, 3}, {-0.0f, nan, -kInf}), {3});
  ASSERT_TRUE(one.has_value());
  const auto got = logical_elements(*one);
  EXPECT_EQ(pattern(got[0]), pattern(BFloat16(-0.0f)));
  EXPECT_TRUE(std::isnan(float(got[1])));
  EXPECT_EQ(float(got[2]), -kInf);
  auto empty = k().typed<float>().sum_to_shape(make<float>({0, 2}, {}), {2});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(pattern(logical_elements(*empty)[0]), pattern(0.0f));
}

// ---- Storage: type checks -----------------------------------------------

using BinaryEntry = Result<std::pair<CpuStorage, CpuStorage>> (*)(const CpuStorage&, const CpuStorage&,
                                                                  const CpuStorage&, WantedGradients);

TEST(BackwardStorage, OperandTypesMustMatchTheGradient) {
  struct Case {
    DType lhs, g, rhs;
  };
  const Case bad[] = {
      {DType::F16, DType::F32, DType::F32}, {DType::F32, DType::F32, DType::BF16},
      {DType::F32, DType::F16, DType::F32}, {DType::Bool, DType::Bool, DType::Bool},
  };
  for (BinaryEntry entry : {&CpuStorage::backward_mul, &CpuStorage::backward_div, &CpuStorage::backward_matmul}) {
    for (const auto& c : bad) {
      auto r = entry(storage_of(c.lhs, {2, 2}), storage_of(c.g, {2, 2}), storage_of(c.rhs, {2, 2}), kBoth);
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind, ErrorKind::TypeError);
    }
    for (DType d : {DType::F16, DType::BF16, DType::F32}) {
      auto r = entry(storage_of(d, {2, 2}), storage_of(d, {2, 2}), storage_of(d, {2, 2}), kBoth);
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->first.dtype(), d);
      EXPECT_EQ(r->second.dtype(), d);
    }
  }
}

TEST(BackwardStorage, ReluTypeChecksAndKernelFailures) {
  const std::pair<DType, DType> bad[] = {
      {DType::F16, DType::F32}, {DType::F32, DType::BF16}, {DType::Bool, DType::Bool}};
  for (auto [x, g] : bad) {
    auto r = CpuStorage::backward_relu(storage_of(x, {3}), storage_of(g, {3}));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::TypeError);
  }
  auto r = CpuStorage::backward_relu(storage_of(DType::BF16, {2}), storage_of(DType::BF16, {2, 3}));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
  auto sum = storage_of(DType::Bool, {2, 3}).sum_to_shape({3});
  ASSERT_FALSE(sum.has_value());
  EXPECT_EQ(sum.error().kind, ErrorKind::TypeError);
}

}  // namespace
}  // namespace vessik::test
