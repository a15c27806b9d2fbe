// The levels against each other: every element-wise kernel of a higher
// level gives the baseline's bits, 16-bit products stay within the F32
// accumulation bound at every level, and no level's results depend on the
// caller's floating-point mode.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "array_testing.h"
#include "engine/cpu/array/broadcast.h"
#include "half_reference.h"
#include "layouts.h"
#include "levels.h"

namespace vessik::test {
namespace {

// ---- Operand values -----------------------------------------------------

// NaNs (signalling and quiet, both signs, several payloads), infinities,
// signed zeros, subnormals, the normal boundary, the extremes.
const std::uint32_t kF32Specials[] = {
    0x7f800001, 0xff800123, 0x7fa00000, 0xffbfffff, 0x7fc00000, 0xffc00000, 0x7fc12345, 0xffd00001,
    0x7f800000, 0xff800000, 0x00000000, 0x80000000, 0x00000001, 0x80000001, 0x007fffff, 0x807fffff,
    0x00400000, 0x00800000, 0x80800000, 0x7f7fffff, 0xff7fffff, 0x3f800000, 0xbf800000, 0x33800000,
};
const std::uint16_t kF16Specials[] = {
    0x7c01, 0xfc01, 0x7d00, 0xfdff, 0x7e00, 0xfe00, 0x7e01, 0xff00, 0x7c00, 0xfc00, 0x0000, 0x8000,
    0x0001, 0x8001, 0x03ff, 0x83ff, 0x0200, 0x0400, 0x8400, 0x7bff, 0xfbff, 0x3c00, 0xbc00, 0x1400,
};
const std::uint16_t kBF16Specials[] = {
    0x7f81, 0xff81, 0x7fa0, 0xffbf, 0x7fc0, 0xffc0, 0x7fc1, 0xffd0, 0x7f80, 0xff80, 0x0000, 0x8000,
    0x0001, 0x8001, 0x007f, 0x807f, 0x0040, 0x0080, 0x8080, 0x7f7f, 0xff7f, 0x3f80, 0xbf80, 0x3380,
};

// One operand element: a special value, a random bit pattern, a small
// multiple of 1/2 (ties and equal pairs), a value with a full significand,
// or a tiny one whose sums and products are subnormal.
template <NumericElement T>
T draw(std::mt19937& rng) {
  std::uniform_real_distribution<float> unit(1.0f, 2.0f);
  const float sign = (rng() & 1) != 0 ? -1.0f : 1.0f;
  switch (rng() % 5) {
    case 0:
      if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<float>(kF32Specials[rng() % std::size(kF32Specials)]);
      } else if constexpr (std::is_same_v<T, Half>) {
        return Half::from_bits(kF16Specials[rng() % std::size(kF16Specials)]);
      } else {
        return BFloat16::from_bits(kBF16Specials[rng() % std::size(kBF16Specials)]);
      }
    case 1:
      if constexpr (std::is_same_v<T, float>) {
        return std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
      } else {
        return T::from_bits(static_cast<std::uint16_t>(rng()));
      }
    case 2: return static_cast<T>(static_cast<float>(static_cast<int>(rng() % 17) - 8) * 0.5f);
    case 3: return static_cast<T>(sign * std::ldexp(unit(rng), static_cast<int>(rng() % 5) - 2));
    default: {
      // Binary exponents from about the square root of the smallest normal
      // down to below the smallest subnormal of T.
      const int lo = std::is_same_v<T, Half> ? 8 : 60;
      const int hi = std::is_same_v<T, float> ? 150 : std::is_same_v<T, Half> ? 25 : 134;
      return static_cast<T>(sign * std::ldexp(unit(rng), -lo - static_cast<int>(rng() % (hi - lo))));
    }
  }
}

template <Element T>
NdArray<T> random_array(const Shape& shape, const std::vector<std::size_t>& order, std::mt19937& rng) {
  if constexpr (std::is_same_v<T, bool>) {
    return laid_out<bool>(shape, order, [&] { return (rng() & 1) != 0; });
  } else {
    return laid_out<T>(shape, order, [&] { return draw<T>(rng); });
  }
}

// Scalars of the scalar kernels; the streamed layouts take the first three.
const float kScalars[] = {
    -1.5f, std::bit_cast<float>(0xffa00001u), 0x1p-140f, 0.0f, -0.0f, 0.1f, 65504.0f, 1e6f, 3e38f,
    std::bit_cast<float>(0x7fc00123u), INFINITY, -INFINITY, 0x1p-70f,
};

// ---- Comparing results bit for bit ---------------------------------------

template <Element T>
::testing::AssertionResult same_bits(const NdArray<T>& got, const NdArray<T>& want) {
  if (got.shape() != want.shape() || got.strides() != want.strides()) {
    auto layout = [](const NdArray<T>& x) {
      return shape_to_string(x.shape()) + " strides " + shape_to_string(Shape(x.strides().begin(), x.strides().end()));
    };
    return ::testing::AssertionFailure() << "layout " << layout(got) << " vs " << layout(want);
  }
  if (got.size() == 0 || std::memcmp(got.data(), want.data(), got.size() * sizeof(T)) == 0) {
    return ::testing::AssertionSuccess();
  }
  auto differs = [&](std::size_t i) { return std::memcmp(got.data() + i, want.data() + i, sizeof(T)) != 0; };
  std::size_t first = 0, count = 0;
  while (!differs(first)) ++first;
  for (std::size_t i = first; i < got.size(); ++i) count += differs(i) ? 1 : 0;
  auto hex = [](std::uint32_t bits) {
    std::ostringstream s;
    s << "0x" << std::hex << bits;
    return s.str();
  };
  return ::testing::AssertionFailure() << count << " elements differ, the first at buffer position " << first << ": "
                                       << hex(pattern(got.data()[first])) << " vs " << hex(pattern(want.data()[first]));
}

// Results of one kernel: the same failure, or arrays of the same bits.
template <class V>
::testing::AssertionResult same_bits(const Result<V>& got, const Result<V>& want) {
  if (!want || !got) {
    if (want.has_value() != got.has_value()) {
      return ::testing::AssertionFailure() << (want ? "unexpected failure: " + got.error().message
                                                    : "expected the failure " + want.error().message);
    }
    if (got.error().kind != want.error().kind || got.error().message != want.error().message) {
      return ::testing::AssertionFailure() << got.error().message << " vs " << want.error().message;
    }
    return ::testing::AssertionSuccess();
  }
  if constexpr (requires { got->first; }) {
    if (auto r = same_bits(got->first, want->first); !r) return r << " (first gradient)";
    return same_bits(got->second, want->second) << " (second gradient)";
  } else {
    return same_bits(*got, *want);
  }
}

// ---- Running every kernel of two tables on the same operands -----------

#if defined(__x86_64__)
constexpr unsigned kFlushDenormals = (1u << 15) | (1u << 6);  // FTZ, DAZ
constexpr unsigned kTowardZero = 3u << 13;
constexpr unsigned kModeBits = kFlushDenormals | (3u << 13);
constexpr unsigned kDefaultCsr = 0x1f80;  // every exception masked, nearest-even

// f(args...) with the thread's MXCSR set to `csr`; the kernel must leave
// the caller's mode as it found it.
template <class F, class... A>
auto call_with_csr(unsigned csr, F f, const A&... args) {
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(csr);
  auto r = f(args...);
  const unsigned after = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(after & kModeBits, csr & kModeBits) << "the caller's mode is not restored";
  return r;
}
#else
constexpr unsigned kDefaultCsr = 0;
template <class F, class... A>
auto call_with_csr(unsigned, F f, const A&... args) {
  return f(args...);
}
#endif

// What each kernel did, by name. Each must have succeeded somewhere; only
// its first difference is reported in full.
struct Outcome {
  int runs = 0;
  int successes = 0;
  int differences = 0;
};
using Tally = std::map<std::string, Outcome>;

// The kernels of `tested` (run with MXCSR `tested_csr`) against those of
// `reference` (default mode) on one set of operands.
template <Element T>
struct Comparison {
  const TypedKernels<T>& tested;
  unsigned tested_csr;
  const TypedKernels<T>& reference;
  bool products;  // also the matrix products (same-level comparisons only)
  const NdArray<T>& a;
  const NdArray<T>& b;
  const NdArray<T>& g;  // the common shape of a and b, where they have one
  std::span<const float> scalars;
  std::string where;
  Tally& tally;

  template <class R>
  void check(std::string_view name, const R& got, const R& want) {
    Outcome& o = tally[std::string(name)];
    ++o.runs;
    o.successes += want.has_value() ? 1 : 0;
    const auto same = same_bits(got, want);
    if (!same && o.differences++ == 0) ADD_FAILURE() << name << " on " << where << ": " << same.message();
  }
  template <class F, class... A>
  void run(std::string_view name, F tested_kernel, F reference_kernel, const A&... args) {
    check(name, call_with_csr(tested_csr, tested_kernel, args...), call_with_csr(kDefaultCsr, reference_kernel, args...));
  }

  template <class R>
  void entry(std::string_view name, R (*t)(const NdArray<T>&), R (*r)(const NdArray<T>&)) {
    run(name, t, r, a);
  }
  template <class R>
  void entry(std::string_view name, R (*t)(const NdArray<T>&, const NdArray<T>&),
             R (*r)(const NdArray<T>&, const NdArray<T>&)) {
    if (name.starts_with("matmul") && !products) return;
    run(name, t, r, a, b);
  }
  template <class R>
  void entry(std::string_view name, R (*t)(const NdArray<T>&, float), R (*r)(const NdArray<T>&, float)) {
    for (const float s : scalars) run(name, t, r, a, s);
  }
  template <class R>
  void entry(std::string_view name, R (*t)(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&),
             R (*r)(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&)) {
    run(name, t, r, g, a, b);
  }
  // The sums of g down to a's shape and to a single element.
  template <class R>
  void entry(std::string_view name, R (*t)(const NdArray<T>&, const Shape&), R (*r)(const NdArray<T>&, const Shape&)) {
    for (const Shape& target : {a.shape(), Shape{}}) run(name, t, r, g, target);
  }
  template <class R>
  void entry(std::string_view name, R (*t)(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&, WantedGradients),
             R (*r)(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&, WantedGradients)) {
    if (products) run(name, t, r, g, a, b, WantedGradients::Both);
  }

  void every_entry() {
#define VESSIK_COMPARE_ENTRY(name, signature, kernel) entry(#name, tested.name, reference.name);
    if constexpr (std::is_same_v<T, bool>) {
      VESSIK_BOOL_KERNELS(VESSIK_COMPARE_ENTRY)
    } else {
      VESSIK_NUMERIC_KERNELS(VESSIK_COMPARE_ENTRY)
    }
#undef VESSIK_COMPARE_ENTRY
  }
};

struct Sweep {
  std::span<const LayoutCase> layouts;
  std::span<const float> scalars;
};

std::string laid_out_name(const Shape& shape, const std::vector<std::size_t>& order) {
  return order.empty() ? shape_to_string(shape)
                       : shape_to_string(shape) + " stored " + shape_to_string(Shape(order.begin(), order.end()));
}

template <Element T>
void compare_tables(const TypedKernels<T>& tested, unsigned tested_csr, const TypedKernels<T>& reference,
                    bool products, std::span<const Sweep> sweeps) {
  std::mt19937 rng(2024);
  Tally tally;
  for (const Sweep& sweep : sweeps) {
    for (const LayoutCase& c : sweep.layouts) {
      const NdArray<T> a = random_array<T>(c.a, c.a_order, rng);
      const NdArray<T> b = random_array<T>(c.b, c.b_order, rng);
      // The gradient in reversed axis order, so that it is transposed where
      // the operands are not.
      const Result<Shape> common = broadcast_shapes(c.a, c.b);
      std::vector<std::size_t> reversed;
      for (std::size_t k = common ? common->size() : 0; k > 0; --k) reversed.push_back(k - 1);
      const NdArray<T> g = common ? random_array<T>(*common, reversed, rng) : a.clone().value();
      Comparison<T>{tested, tested_csr, reference, products, a, b, g, sweep.scalars,
                    laid_out_name(c.a, c.a_order) + " with " + laid_out_name(c.b, c.b_order), tally}
          .every_entry();
    }
  }
  for (const auto& [name, o] : tally) {
    EXPECT_GT(o.successes, 0) << name << " never ran without failing";
    EXPECT_EQ(o.differences, 0) << name << " differs in " << o.differences << " of " << o.runs << " runs";
  }
}

// ---- Every level against the baseline -------------------------------------

// Several whole 256 x 256 tiles and ragged ones, with either operand
// transposed.
const LayoutCase kTiledLayouts[] = {
    {{600, 520}, {1, 0}, {600, 520}, {}},
    {{520, 600}, {}, {520, 600}, {1, 0}},
};

class MatchesBaseline : public AtEachLevel {};
INSTANTIATE_TEST_SUITE_P(Level, MatchesBaseline, ::testing::Values(CpuLevel::Avx2, CpuLevel::Avx512), level_param_name);

TEST_P(MatchesBaseline, ElementwiseKernelsBitForBit) {
  const KernelTable& base = *kernels_at(CpuLevel::Baseline);
  const std::span<const float> few(kScalars, 3);
  for_each_float_type([&]<class T>() {
    // Streamed results (over 32 MiB touched) for every F32 layout, one
    // 16-bit layout.
    const std::span<const LayoutCase> streamed =
        std::is_same_v<T, float> ? std::span<const LayoutCase>(kStreamedLayouts) : std::span(kStreamedLayouts).subspan(1, 1);
    const Sweep sweeps[] = {{kLayouts, kScalars}, {kTiledLayouts, few}, {streamed, few}};
    compare_tables(k().typed<T>(), kDefaultCsr, base.typed<T>(), false, sweeps);
  });
  SCOPED_TRACE("Bool");
  const Sweep sweeps[] = {{kLayouts, {}}, {kTiledLayouts, {}}, {std::span(kStreamedLayouts).first(1), {}}};
  compare_tables(k().typed<bool>(), kDefaultCsr, base.typed<bool>(), false, sweeps);
}

// ---- Products: within the F32 accumulation bound at every level ----------

using Products = AtEachLevel;
VESSIK_AT_EACH_LEVEL(Products);

struct ProductCase {
  const char* name;
  std::uint64_t m, k, n;
  bool b_transposed;
};

// A 16-bit product is the F32 sum rounded once: it lies between the
// roundings of the ends of the interval the F32 sum may stray into. Its
// products are exact in F32, so every level sums the same values in the
// same order and gives the baseline's bits.
TEST_P(Products, SixteenBitWithinTheAccumulationBoundAndAsBaseline) {
  const ProductCase cases[] = {
      {"direct", 5, 7, 9, false},
      {"mid direct", 40, 50, 60, false},
      {"transposed gemm", 70, 90, 80, true},
      {"large gemm", 20, 600, 500, false},
      {"deeper than one block", 7, 2 * static_cast<std::uint64_t>(probes().gemm_blocking().depth) + 3, 33, true},
      {"sums along k", 2, 300, 9, true},
  };
  const KernelTable& baseline = *kernels_at(CpuLevel::Baseline);
  auto check = [&]<class T>(Format f) {
    SCOPED_TRACE(type_name<T>());
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      const auto a = laid_out<T>({c.m, c.k}, {}, [&] { return static_cast<T>(dist(rng)); });
      const auto b = laid_out<T>({c.k, c.n}, c.b_transposed ? std::vector<std::size_t>{1, 0} : std::vector<std::size_t>{},
                                 [&] { return static_cast<T>(dist(rng)); });
      const auto r = k().typed<T>().matmul(a, b);
      const auto at_baseline = baseline.typed<T>().matmul(a, b);
      ASSERT_TRUE(r.has_value() && at_baseline.has_value());
      const std::vector<T> ea = logical_elements(a), eb = logical_elements(b), er = logical_elements(*r);
      const std::vector<T> eref = logical_elements(*at_baseline);
      for (std::size_t i = 0; i < er.size(); ++i) ASSERT_EQ(pattern(er[i]), pattern(eref[i])) << "element " << i;
      for (std::uint64_t i = 0; i < c.m; ++i) {
        for (std::uint64_t j = 0; j < c.n; ++j) {
          double sum = 0, magnitude = 0;
          for (std::uint64_t p = 0; p < c.k; ++p) {
            const double term = double(float(ea[i * c.k + p])) * double(float(eb[p * c.n + j]));
            sum += term;
            magnitude += std::abs(term);
          }
          const double bound = 1e-5 * magnitude;
          const double got = value_of(pattern(er[i * c.n + j]), f);
          ASSERT_GE(got, value_of(round_to(sum - bound, f), f)) << i << ", " << j;
          ASSERT_LE(got, value_of(round_to(sum + bound, f), f)) << i << ", " << j;
        }
      }
    }
  };
  check.template operator()<Half>(kF16);
  check.template operator()<BFloat16>(kBF16);
}

// The sums along k keep their own order, so the levels with fused
// multiply-adds agree on them bit for bit.
TEST(FusedLevels, SumsAlongKAlike) {
  const KernelTable* avx2 = kernels_at(CpuLevel::Avx2);
  const KernelTable* avx512 = kernels_at(CpuLevel::Avx512);
  if (avx2 == nullptr || avx512 == nullptr) GTEST_SKIP() << "this processor lacks avx512";
  std::mt19937 rng(41);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  // (m, k, n), b column-major but for a lone row against 10 or 13 columns.
  for (const auto& [m, depth, n] : {std::tuple{5, 16, 19}, std::tuple{5, 37, 19}, std::tuple{5, 300, 19},
                                    std::tuple{1, 37, 19}, std::tuple{1, 37, 10}, std::tuple{1, 300, 13}}) {
    const MatrixStrides sb = m == 1 && n < 16 ? MatrixStrides{n, 1} : MatrixStrides{1, depth};
    std::vector<float> a(static_cast<std::size_t>(m * depth)), b(static_cast<std::size_t>(depth * n));
    for (auto& x : a) x = dist(rng);
    for (auto& x : b) x = dist(rng);
    std::vector<float> wide(static_cast<std::size_t>(m * n)), narrow(wide.size());
    for (auto [table, out] : {std::pair{avx512, wide.data()}, std::pair{avx2, narrow.data()}}) {
      ASSERT_TRUE(table->probes->slice_product(m, depth, n, {n, 1}, {depth, 1}, sb, SlicePath::Dot, out, a.data(), b.data()));
    }
    for (std::size_t i = 0; i < wide.size(); ++i) ASSERT_EQ(pattern(wide[i]), pattern(narrow[i])) << depth << ", " << i;
  }
}

// ---- The caller's floating-point mode changes nothing --------------------

#if defined(__x86_64__)
struct Mode {
  const char* name;
  unsigned csr;
};
const Mode kModes[] = {{"FlushDenormals", kDefaultCsr | kFlushDenormals}, {"TowardZero", kDefaultCsr | kTowardZero}};
void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }

class IeeeMode : public ::testing::TestWithParam<std::tuple<CpuLevel, Mode>> {
 protected:
  void SetUp() override {
    table_ = kernels_at(std::get<0>(GetParam()));
    if (table_ == nullptr) GTEST_SKIP() << "this processor lacks " << level_name(std::get<0>(GetParam()));
  }
  const KernelTable& k() const { return *table_; }
  const ProbeTable& probes() const { return *table_->probes; }
  unsigned csr() const { return std::get<1>(GetParam()).csr; }

 private:
  const KernelTable* table_ = nullptr;
};
INSTANTIATE_TEST_SUITE_P(Level, IeeeMode, ::testing::Combine(::testing::ValuesIn(kAllLevels), ::testing::ValuesIn(kModes)),
                         [](const auto& info) {
                           return std::string(level_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
                         });

// Plain arithmetic of this file in `csr`: it must differ from the default
// mode's, or the mode was never set and the test below proves nothing.
std::pair<std::uint32_t, std::uint32_t> probe(unsigned mode) {
  volatile float one = 1.0f, three_quarters_ulp = 0x1.8p-24f, tiny = 0x1p-140f, zero = 0.0f;
  return call_with_csr(mode, [&] {
    return std::pair{std::bit_cast<std::uint32_t>(one + three_quarters_ulp), std::bit_cast<std::uint32_t>(tiny + zero)};
  });
}

// Square operands so that the products run too, in the layouts of the
// vector loops, the transposed blocks and both product paths.
const LayoutCase kModeLayouts[] = {
    {{40, 40}, {}, {40, 40}, {}},
    {{40, 40}, {1, 0}, {40, 40}, {}},
    {{40, 40}, {}, {40, 40}, {1, 0}},
    {{40, 40}, {}, {40}, {}},
};

// fill(dst) writes n elements of E to dst the same in `csr` as by default.
template <class E, class Fill>
::testing::AssertionResult same_in_both_modes(unsigned csr, std::size_t n, Fill fill) {
  std::vector<E> in_mode(n), by_default(n);
  call_with_csr(csr, [&] { return fill(in_mode.data()), 0; });
  call_with_csr(kDefaultCsr, [&] { return fill(by_default.data()), 0; });
  std::size_t differing = 0;
  for (std::size_t i = 0; i < n; ++i) differing += std::memcmp(&in_mode[i], &by_default[i], sizeof(E)) != 0 ? 1 : 0;
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differing << " of " << n << " elements differ";
}

TEST_P(IeeeMode, EveryKernelGivesTheDefaultModeBits) {
  ASSERT_NE(probe(csr()), probe(kDefaultCsr));
  const Sweep sweeps[] = {{kModeLayouts, kScalars}};
  for_each_float_type([&]<class T>() { compare_tables(k().typed<T>(), csr(), k().typed<T>(), true, sweeps); });
  // Batched products whose terms are subnormal.
  const std::vector<float> a(8 * 8, 0x1p-70f), b(8 * 8, 0x1.8p-71f);
  const StridedView<const float> va{a.data(), {8, 8}, {8, 1}}, vb{b.data(), {8, 8}, {1, 8}};
  EXPECT_TRUE(same_in_both_modes<float>(csr(), 64, [&](float* out) {
    ASSERT_TRUE(probes().batched_matmul(StridedView<float>{out, {8, 8}, {8, 1}}, va, vb));
  }));
}

// The entries that the engine's kernels call only inside a guarded entry:
// the bulk 16-bit conversions and a forced slice path.
TEST_P(IeeeMode, ConversionAndSliceEntriesGiveTheDefaultModeBits) {
  std::vector<Half> h(65536);
  for (std::size_t i = 0; i < h.size(); ++i) h[i] = Half::from_bits(static_cast<std::uint16_t>(i));
  EXPECT_TRUE(same_in_both_modes<float>(csr(), h.size(), [&](float* out) { probes().widen_f16(h.data(), out, h.size()); }))
      << "widen_f16";
  std::vector<float> x(65536);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::bit_cast<float>(static_cast<std::uint32_t>(i * 65537u + i / 7));
  EXPECT_TRUE(same_in_both_modes<Half>(csr(), x.size(), [&](Half* out) { probes().narrow_f16(x.data(), out, x.size()); }))
      << "narrow_f16";
  const std::vector<float> a(8 * 8, 0x1p-70f), b(8 * 8, 0x1.8p-71f);
  for (const SlicePath path : {SlicePath::Small, SlicePath::Gemm}) {
    EXPECT_TRUE(same_in_both_modes<float>(
        csr(), 64, [&](float* out) { ASSERT_TRUE(probes().slice_product(8, 8, 8, {8, 1}, {8, 1}, {1, 8}, path, out, a.data(), b.data())); }))
        << "slice_product, " << (path == SlicePath::Small ? "direct" : "gemm");
  }
}

// Results that the flushing modes would change, checked by value.
TEST_P(IeeeMode, KnownSubnormalResults) {
  const float tiny = 0x1p-140f;
  auto f32 = [](std::vector<float> v) { return make<float>({v.size()}, v); };
  auto first = [](const auto& r) { return static_cast<float>(r->data()[0]); };
  const auto& t = k().typed<float>();
  const std::pair<const char*, std::function<float()>> cases[] = {
      {"relu_backward", [&] { return first(t.relu_backward(f32({1}), f32({tiny}))); }},
      {"add", [&] { return first(t.add(f32({tiny}), f32({0x1p-149f}))); }},
      {"scalar_mul", [&] { return first(t.scalar_mul(f32({0x1p-120f}), 0x1p-10f)); }},
      {"BF16 mul", [&] { return first(k().typed<BFloat16>().mul(make<BFloat16>({1}, {0x1p-120f}), make<BFloat16>({1}, {0x1p-10f}))); }},
      {"scalar_gt", [&] { return first(t.scalar_gt(f32({tiny}), 0.0f)) ? 1.0f : 0.0f; }},
      {"gt", [&] { return first(t.gt(f32({tiny}), f32({0.0f}))) ? 1.0f : 0.0f; }},
      {"relu", [&] { return first(t.relu(f32({tiny}))); }},
      {"mul_backward", [&] { return t.mul_backward(f32({0x1p-70f}), f32({1}), f32({0x1p-70f}), WantedGradients::Both)->first.data()[0]; }},
      {"div_backward", [&] { return t.div_backward(f32({0x1p-70f}), f32({0x1p-70f}), f32({1}), WantedGradients::Both)->second.data()[0]; }},
      {"matmul", [&] { return first(t.matmul(make<float>({1, 2}, {0x1p-70f, 0x1p-70f}), make<float>({2, 1}, {0x1p-70f, 0x1p-71f}))); }},
      {"batched_matmul", [&] {
         const float a[] = {0x1p-70f, 0x1p-70f}, b[] = {0x1p-70f, 0x1p-71f};
         float out = -1.0f;
         const auto r = probes().batched_matmul({&out, {1, 1}, {1, 1}}, {a, {1, 2}, {2, 1}}, {b, {2, 1}, {1, 1}});
         return r ? out : -1.0f;
       }},
  };
  const float expected[] = {1.0f, 0x1.008p-140f, 0x1p-130f, 0x1p-130f, 1.0f,         1.0f,
                            tiny, 0x1p-140f,     -0x1p-140f, 0x1.8p-140f, 0x1.8p-140f};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(call_with_csr(csr(), cases[i].second), expected[i]) << cases[i].first;
  }
}
#endif

}  // namespace
}  // namespace vessik::test
