#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "array_testing.h"
#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/storage/cpu_storage.h"
#include "levels.h"

namespace vessik::test {
namespace {

using Matmul = AtEachLevel;
using MatmulSlice = AtEachLevel;
using Matmul16 = AtEachLevel;
VESSIK_AT_EACH_LEVEL(Matmul);
VESSIK_AT_EACH_LEVEL(MatmulSlice);
VESSIK_AT_EACH_LEVEL(Matmul16);

// An array of `shape` whose buffer stores the axes in `order`, outermost
// first, so {1, 0} is a transposed matrix. Values come from `value(i)`, i
// the row-major logical position.
template <class Gen>
NdArray<float> laid_out(const Shape& shape, const std::vector<std::size_t>& order, Gen value) {
  Shape physical;
  for (std::size_t axis : order) physical.push_back(shape[axis]);
  const Strides physical_strides = row_major_strides(physical);
  Strides strides(shape.size(), 0);
  for (std::size_t i = 0; i < order.size(); ++i) strides[order[i]] = physical_strides[i];
  auto a = NdArray<float>::uninitialized(shape, strides);
  EXPECT_TRUE(a.has_value());
  std::size_t i = 0;
  for_each_index(shape, [&](const auto& index) { a->data()[offset_of(strides, index)] = value(i++); });
  return std::move(*a);
}

std::vector<std::size_t> identity_order(std::size_t n) {
  std::vector<std::size_t> o(n);
  for (std::size_t i = 0; i < n; ++i) o[i] = i;
  return o;
}

struct Reference {
  Shape shape;
  std::vector<double> value;  // row-major
  std::vector<double> magnitude;  // sum of |terms|, for the tolerance
};

// A straightforward product in double, batch axes broadcast by index.
Reference reference_product(const StridedView<const float>& a, const StridedView<const float>& b) {
  const std::size_t na = a.ndim(), nb = b.ndim();
  const std::size_t batch_nd = std::max(na, nb) - 2;
  Reference r;
  for (std::size_t i = 0; i < batch_nd; ++i) {
    const std::uint64_t la = i + na >= batch_nd + 2 ? a.shape[i + na - batch_nd - 2] : 1;
    const std::uint64_t lb = i + nb >= batch_nd + 2 ? b.shape[i + nb - batch_nd - 2] : 1;
    r.shape.push_back(la == 1 ? lb : la);
  }
  const std::uint64_t m = a.shape[na - 2], k = a.shape[na - 1], n = b.shape[nb - 1];
  r.shape.push_back(m);
  r.shape.push_back(n);
  for_each_index(r.shape, [&](const auto& index) {
    std::vector<std::uint64_t> ia(na), ib(nb);
    for (std::size_t i = 0; i + 2 < na; ++i) {
      const std::size_t o = i + batch_nd + 2 - na;
      ia[i] = a.shape[i] == 1 ? 0 : index[o];
    }
    for (std::size_t i = 0; i + 2 < nb; ++i) {
      const std::size_t o = i + batch_nd + 2 - nb;
      ib[i] = b.shape[i] == 1 ? 0 : index[o];
    }
    double sum = 0, mag = 0;
    for (std::uint64_t p = 0; p < k; ++p) {
      ia[na - 2] = index[batch_nd];
      ia[na - 1] = p;
      ib[nb - 2] = p;
      ib[nb - 1] = index[batch_nd + 1];
      const double term = double(at(a, ia)) * double(at(b, ib));
      sum += term;
      mag += std::abs(term);
    }
    r.value.push_back(sum);
    r.magnitude.push_back(mag);
  });
  return r;
}

void expect_matches(const NdArray<float>& got, const Reference& ref) {
  ASSERT_EQ(got.shape(), ref.shape);
  EXPECT_EQ(got.strides(), row_major_strides(ref.shape));
  const std::vector<float> values = logical_elements(got);
  ASSERT_EQ(values.size(), ref.value.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_NEAR(values[i], ref.value[i], 1e-5 * (ref.magnitude[i] + 1e-30)) << "element " << i;
  }
}

float random_value(std::mt19937& rng) { return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng); }

void expect_error(const Error& e, ErrorKind kind, const std::string& message) {
  EXPECT_EQ(e.kind, kind);
  EXPECT_EQ(e.message, message);
}

// ---- Shapes and batch broadcasting -------------------------------------

struct ShapeCase {
  Shape a, b, out;
};

TEST_P(Matmul, ResultShapeAndValues) {
  const ShapeCase cases[] = {
      {{2, 3}, {3, 4}, {2, 4}},
      {{1, 1}, {1, 1}, {1, 1}},
      {{5, 2, 3}, {3, 4}, {5, 2, 4}},        // one B for every batch index
      {{3, 4}, {5, 4, 2}, {5, 3, 2}},        // lhs without batch axes
      {{2, 1, 2, 3}, {3, 3, 4}, {2, 3, 2, 4}},
      {{4, 1, 3, 5}, {1, 2, 5, 6}, {4, 2, 3, 6}},
      {{2, 0}, {0, 3}, {2, 3}},              // k = 0: zeros
      {{0, 3}, {3, 4}, {0, 4}},
      {{2, 0, 3}, {3, 4}, {2, 0, 4}},
      {{3, 0, 2, 3}, {1, 3, 5}, {3, 0, 2, 5}},
  };
  std::mt19937 rng(7);
  for (const auto& c : cases) {
    SCOPED_TRACE(shape_to_string(c.a) + " @ " + shape_to_string(c.b));
    const auto a = laid_out(c.a, identity_order(c.a.size()), [&](std::size_t) { return random_value(rng); });
    const auto b = laid_out(c.b, identity_order(c.b.size()), [&](std::size_t) { return random_value(rng); });
    auto r = k().typed<float>().matmul(a, b);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    EXPECT_EQ(r->shape(), c.out);
    expect_matches(*r, reference_product(a.view(), b.view()));
  }
}

// ---- Failures: messages and the order of the checks --------------------

struct ErrorCase {
  Shape a, b;
  std::string message;
};

TEST_P(Matmul, ShapeFailuresInCheckOrder) {
  const ErrorCase cases[] = {
      {{3}, {3, 4}, "Matmul requires at least 2D tensors. A: 1D, B: 2D"},
      {{}, {2, 2}, "Matmul requires at least 2D tensors. A: 0D, B: 2D"},
      {{2, 3}, {4}, "Matmul requires at least 2D tensors. A: 2D, B: 1D"},  // before the inner check
      {{2, 3}, {4, 5}, "Matrix inner dimensions mismatch for matmul: 3 vs 4"},
      {{2, 2, 3}, {3, 4, 5}, "Matrix inner dimensions mismatch for matmul: 3 vs 4"},  // before the batch check
      {{2, 2, 3}, {3, 3, 4}, broadcast_shapes({2}, {3}).error().message},  // batch shapes only
      {{2, 3, 2, 3}, {4, 3, 4}, broadcast_shapes({2, 3}, {4}).error().message},
  };
  for (const auto& c : cases) {
    const auto a = laid_out(c.a, identity_order(c.a.size()), [](std::size_t) { return 0.0f; });
    const auto b = laid_out(c.b, identity_order(c.b.size()), [](std::size_t) { return 0.0f; });
    auto r = k().typed<float>().matmul(a, b);
    ASSERT_FALSE(r.has_value()) << c.message;
    expect_error(r.error(), ErrorKind::RuntimeError, c.message);
  }
}

TEST_P(Matmul, OversizedResultFailsInsteadOfAborting) {
  const std::uint64_t big = std::uint64_t{1} << 32;
  auto a = NdArray<float>::uninitialized_row_major({big, 0});
  auto b = NdArray<float>::uninitialized_row_major({0, big});
  ASSERT_TRUE(a && b);
  auto r = k().typed<float>().matmul(*a, *b);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
  EXPECT_EQ(r.error().message, "Matmul result shape [4294967296, 4294967296] is too large");
}

TEST_P(Matmul, EmptyBatchRunsNoProduct) {
  // Null data everywhere: any slice product would crash.
  const StridedView<float> out{nullptr, {3, 0, 4, 5}, {0, 0, 0, 0}};
  const StridedView<const float> a{nullptr, {3, 0, 4, 6}, {0, 0, 0, 0}};
  const StridedView<const float> b{nullptr, {3, 0, 6, 5}, {0, 0, 0, 0}};
  EXPECT_TRUE(probes().batched_matmul(out, a, b).has_value());
}

// ---- Layouts: any strides give the values of a contiguous copy ---------

struct LayoutCase {
  const char* name;
  Shape a;
  std::vector<std::size_t> a_order;
  Shape b;
  std::vector<std::size_t> b_order;
};

TEST_P(Matmul, AnyLayoutMatchesReference) {
  const LayoutCase cases[] = {
      {"contiguous", {3, 5}, {0, 1}, {5, 4}, {0, 1}},
      {"transposed A", {3, 5}, {1, 0}, {5, 4}, {0, 1}},
      {"transposed B", {3, 5}, {0, 1}, {5, 4}, {1, 0}},
      {"both transposed", {6, 7}, {1, 0}, {7, 9}, {1, 0}},
      // Batch axis innermost in memory: neither matrix stride is 1.
      {"no unit stride", {2, 3, 5}, {1, 2, 0}, {2, 5, 4}, {2, 1, 0}},
      {"length-1 m and n", {1, 4}, {1, 0}, {4, 1}, {1, 0}},
      {"k = 1", {3, 1}, {0, 1}, {1, 5}, {1, 0}},
      {"broadcast batch", {4, 1, 3, 5}, {0, 1, 3, 2}, {2, 5, 6}, {2, 0, 1}},
      // Large enough for the packing GEMM.
      {"gemm contiguous", {70, 90}, {0, 1}, {90, 80}, {0, 1}},
      {"gemm transposed A", {70, 90}, {1, 0}, {90, 80}, {0, 1}},
      {"gemm transposed B", {70, 90}, {0, 1}, {90, 80}, {1, 0}},
      {"gemm no unit stride", {2, 70, 90}, {1, 2, 0}, {90, 80}, {1, 0}},
      {"gemm broadcast batch", {3, 70, 90}, {0, 1, 2}, {1, 90, 80}, {0, 2, 1}},
      // Mid-sized slices on the direct path.
      {"mid contiguous", {3, 40, 50}, {0, 1, 2}, {3, 50, 60}, {0, 1, 2}},
      {"mid transposed A", {3, 40, 50}, {0, 2, 1}, {50, 60}, {0, 1}},
  };
  std::mt19937 rng(11);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto a = laid_out(c.a, c.a_order, [&](std::size_t) { return random_value(rng); });
    const auto b = laid_out(c.b, c.b_order, [&](std::size_t) { return random_value(rng); });
    auto r = k().typed<float>().matmul(a, b);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    expect_matches(*r, reference_product(a.view(), b.view()));
  }
}

// ---- One slice: both paths, any strides, including 0 and negative -----

// A matrix in a buffer large enough for its strides, which may be negative:
// `origin` is element (0, 0).
struct RawMatrix {
  std::vector<float> buffer;
  float* origin;
  MatrixStrides strides;

  RawMatrix(std::int64_t rows, std::int64_t cols, MatrixStrides s) : strides(s) {
    std::int64_t lo = 0, hi = 0;
    for (auto [len, st] : {std::pair{rows, s.row_stride}, std::pair{cols, s.col_stride}}) {
      (st < 0 ? lo : hi) += (len - 1) * st;
    }
    buffer.assign(static_cast<std::size_t>(hi - lo + 1), std::nanf(""));
    origin = buffer.data() - lo;
  }
  float& operator()(std::int64_t i, std::int64_t j) const {
    return origin[i * strides.row_stride + j * strides.col_stride];
  }
};

struct SliceCase {
  const char* name;
  std::int64_t m, k, n;
  MatrixStrides a, b, out;
};

void expect_slice_product(const ProbeTable& table, const SliceCase& c, SlicePath path, std::mt19937& rng) {
  SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.m) + "x" + std::to_string(c.k) + "x" +
               std::to_string(c.n) + " on path " + std::to_string(static_cast<int>(path)));
  RawMatrix a(c.m, c.k, c.a), b(c.k, c.n, c.b), out(c.m, c.n, c.out);
  for (std::int64_t i = 0; i < c.m; ++i)
    for (std::int64_t p = 0; p < c.k; ++p) a(i, p) = random_value(rng);
  for (std::int64_t p = 0; p < c.k; ++p)
    for (std::int64_t j = 0; j < c.n; ++j) b(p, j) = random_value(rng);
  ASSERT_TRUE(table.slice_product(c.m, c.k, c.n, c.out, c.a, c.b, path, out.origin, a.origin, b.origin));
  for (std::int64_t i = 0; i < c.m; ++i) {
    for (std::int64_t j = 0; j < c.n; ++j) {
      double sum = 0, mag = 0;
      for (std::int64_t p = 0; p < c.k; ++p) {
        sum += double(a(i, p)) * double(b(p, j));
        mag += std::abs(double(a(i, p)) * double(b(p, j)));
      }
      ASSERT_NEAR(out(i, j), sum, 1e-5 * mag) << i << ", " << j;
    }
  }
}

TEST_P(MatmulSlice, BothPathsHandleAnyStrides) {
  const SliceCase cases[] = {
      {"row-major", 5, 7, 9, {7, 1}, {9, 1}, {9, 1}},
      {"column-major operands", 5, 7, 9, {1, 5}, {1, 7}, {9, 1}},
      {"general strides", 5, 7, 9, {14, 2}, {27, 3}, {9, 1}},
      {"a rows stride 0", 5, 7, 9, {0, 1}, {9, 1}, {9, 1}},
      {"b columns stride 0", 5, 7, 9, {7, 1}, {1, 0}, {9, 1}},
      {"a reversed", 5, 7, 9, {-7, -1}, {9, 1}, {9, 1}},
      {"b reversed rows, column-major", 5, 7, 9, {7, 1}, {-1, 7}, {9, 1}},
      {"b reversed columns", 5, 7, 9, {7, 1}, {9, -1}, {9, 1}},
      {"column-major out", 5, 7, 9, {7, 1}, {9, 1}, {1, 5}},
      {"general out", 5, 7, 9, {7, 1}, {9, 1}, {18, 2}},
      {"reversed out", 5, 7, 9, {7, 1}, {9, 1}, {-9, -1}},
      {"large general", 40, 50, 60, {100, 2}, {-1, 50}, {60, 1}},
      {"large reversed", 40, 50, 60, {-50, -1}, {60, 1}, {1, 40}},
      {"column-major b whole vectors wide, spaced out rows", 5, 7, 16, {7, 1}, {1, 7}, {20, 1}},
  };
  std::mt19937 rng(3);
  for (const auto& c : cases) {
    for (SlicePath path : {SlicePath::Small, SlicePath::Gemm, SlicePath::Padded, SlicePath::Transposed, SlicePath::Dot,
                           SlicePath::Stream}) {
      expect_slice_product(probes(), c, path, rng);
    }
  }
  // The sums along k: whole runs of lanes, a padded last run, several tiles.
  for (std::int64_t depth : {16, 33, 300}) {
    expect_slice_product(probes(), {"dot layout", 7, depth, 9, {depth, 1}, {1, depth}, {9, 1}}, SlicePath::Dot, rng);
    expect_slice_product(probes(), {"dot layout, one row", 1, depth, 19, {depth, 1}, {1, depth}, {19, 1}}, SlicePath::Dot,
                         rng);
    // One row against a row-major b: one vector, overlapping ones, strided a and out.
    for (std::int64_t n : {4, 10, 16}) {
      expect_slice_product(probes(), {"one row, row-major b", 1, depth, n, {depth, 1}, {n, 1}, {n, 1}}, SlicePath::Dot, rng);
    }
    expect_slice_product(probes(), {"one row, strided", 1, depth, 13, {1, 3}, {20, 1}, {1, 2}}, SlicePath::Dot, rng);
  }
}

// Sizes on both sides of every tile and block edge of the packed product,
// in each operand layout it packs differently.
TEST_P(MatmulSlice, PackedProductAcrossBlockEdges) {
  const GemmBlocking& g = probes().gemm_blocking();
  const std::int64_t mr = g.tile_rows, nr = g.tile_columns, kc = g.depth;
  const std::int64_t sizes[][3] = {
      {1, 1, 1},      {mr - 1, kc + 1, nr + 1}, {mr + 1, kc - 1, nr - 1}, {mr, 2 * kc + 1, nr},
      {2 * mr + 1, 3, 2 * nr + 1}, {g.rows + 1, 2, 3}, {2, 3, g.columns + 1},
  };
  std::mt19937 rng(13);
  for (const auto& s : sizes) {
    const std::int64_t m = s[0], kk = s[1], n = s[2];
    const SliceCase cases[] = {
        {"row-major", m, kk, n, {kk, 1}, {n, 1}, {n, 1}},
        {"transposed operands", m, kk, n, {1, m}, {1, kk}, {n, 1}},
        {"general and reversed", m, kk, n, {2 * kk, 2}, {-1, kk}, {-n, -1}},
    };
    for (const auto& c : cases) expect_slice_product(probes(), c, SlicePath::Gemm, rng);
  }
}

TEST_P(MatmulSlice, DirectPathEqualsPackedBitForBit) {
  // Every path sums each output over k in the same order from zero. Some
  // sizes are a perceptron's: a classifier layer, a layer's g @ W.T and, at
  // the end, an x.T @ g whose x is larger than L2.
  const std::int64_t sizes[][3] = {{1, 1, 1},    {8, 8, 8},     {7, 13, 29},   {6, 64, 33},  {64, 64, 64},
                                   {5, 0, 3},    {3, 1, 17},    {13, 1500, 40}, {29, 9, 7},  {32, 784, 10},
                                   {1, 256, 10}, {32, 256, 784}, {20, 300, 12}, {2, 9, 100}, {3, 20, 1030},
                                   {600, 440, 10}, {1, 300, 200}};
  std::mt19937 rng(5);
  const ProbeTable& table = probes();
  for (const auto& s : sizes) {
    const std::int64_t m = s[0], k = s[1], n = s[2];
    for (int layout = 0; layout < 4; ++layout) {
      const bool transposed_a = layout & 2, transposed_b = layout & 1;
      SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(k) + "x" + std::to_string(n) +
                   (transposed_a ? " a transposed" : "") + (transposed_b ? " b transposed" : ""));
      std::vector<float> a(static_cast<std::size_t>(m * k)), b(static_cast<std::size_t>(k * n));
      for (auto& x : a) x = random_value(rng);
      for (auto& x : b) x = random_value(rng);
      const MatrixStrides as = transposed_a ? MatrixStrides{1, m} : MatrixStrides{k, 1};
      const MatrixStrides bs = transposed_b ? MatrixStrides{1, k} : MatrixStrides{n, 1};
      std::vector<float> packed(static_cast<std::size_t>(m * n), -1.0f);
      ASSERT_TRUE(table.slice_product(m, k, n, {n, 1}, as, bs, SlicePath::Gemm, packed.data(), a.data(), b.data()));
      for (SlicePath path : {SlicePath::Small, SlicePath::Padded, SlicePath::Transposed, SlicePath::Stream}) {
        std::vector<float> other(packed.size(), -1.0f);
        ASSERT_TRUE(table.slice_product(m, k, n, {n, 1}, as, bs, path, other.data(), a.data(), b.data()));
        for (std::size_t i = 0; i < other.size(); ++i) {
          ASSERT_EQ(pattern(other[i]), pattern(packed[i])) << i << " on path " << static_cast<int>(path);
        }
      }
    }
  }
}

// ---- 16-bit products: accumulate in F32, round once --------------------

template <class T>
struct RoundingCase {
  std::vector<float> a, b;  // a is 1×k, b is k×1
  float expected;
};

template <class T>
void expect_single_rounding(const KernelTable& table, const RoundingCase<T>& c) {
  const std::uint64_t k = c.a.size();
  const auto a = make<T>({1, k}, c.a);
  const auto b = make<T>({k, 1}, c.b);
  auto r = table.typed<T>().matmul(a, b);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->shape(), (Shape{1, 1}));
  EXPECT_EQ(pattern(r->data()[0]), pattern(T(c.expected))) << float(r->data()[0]);
}

TEST_P(Matmul16, AccumulatesInF32AndRoundsOnce) {
  // Step by step in F16, 2048 + 1 would already round back to 2048.
  expect_single_rounding<Half>(k(), {{2048, 1, 1}, {1, 1, 1}, 2050});
  expect_single_rounding<Half>(k(), {{2048, 1}, {1, 1}, 2048});  // 2049 is a tie: to even
  expect_single_rounding<Half>(k(), {{300, 300}, {300, -300}, 0});  // 90000 overflows F16 only if rounded early
  expect_single_rounding<BFloat16>(k(), {{256, 1, 1}, {1, 1, 1}, 258});
  expect_single_rounding<BFloat16>(k(), {{256, 1}, {1, 1}, 256});
}

TEST_P(Matmul16, KeepsTransposedOperandsAndNaN) {
  // a^T of a 3×2 buffer, times b: the widened copy must keep a's strides.
  auto a = make<Half>({3, 2}, {1, 2, 3, 4, 5, 6});
  a.set_layout({2, 3}, {1, 2});  // [[1, 3, 5], [2, 4, 6]]
  const auto b = make<Half>({3, 1}, {1, 10, 100});
  auto r = k().typed<Half>().matmul(a, b);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(float(r->data()[0]), 531.0f);
  EXPECT_EQ(float(r->data()[1]), 642.0f);

  const auto n = make<BFloat16>({1, 2}, {std::nanf(""), 1});
  const auto one = make<BFloat16>({2, 1}, {1, 1});
  auto nan_product = k().typed<BFloat16>().matmul(n, one);
  ASSERT_TRUE(nan_product.has_value());
  EXPECT_TRUE(nan_product->data()[0].is_nan());
}

template <class T>
void expect_one_rounding_of_the_f32_product(const KernelTable& table, std::int64_t m, std::int64_t k, std::int64_t n,
                                            bool transposed_a, bool transposed_b, std::mt19937& rng) {
  SCOPED_TRACE(std::to_string(m) + "x" + std::to_string(k) + "x" + std::to_string(n) +
               (transposed_a ? " a transposed" : "") + (transposed_b ? " b transposed" : ""));
  std::vector<float> va(static_cast<std::size_t>(m * k)), vb(static_cast<std::size_t>(k * n));
  for (auto& x : va) x = float(T(random_value(rng)));
  for (auto& x : vb) x = float(T(random_value(rng)));
  const auto mu = static_cast<std::uint64_t>(m), ku = static_cast<std::uint64_t>(k), nu = static_cast<std::uint64_t>(n);
  // A transposed operand holds the same values, read from the buffer column
  // by column.
  auto a16 = make<T>(transposed_a ? Shape{ku, mu} : Shape{mu, ku}, va);
  auto a32 = make<float>(transposed_a ? Shape{ku, mu} : Shape{mu, ku}, va);
  auto b16 = make<T>(transposed_b ? Shape{nu, ku} : Shape{ku, nu}, vb);
  auto b32 = make<float>(transposed_b ? Shape{nu, ku} : Shape{ku, nu}, vb);
  if (transposed_a) {
    a16.set_layout({mu, ku}, {1, m});
    a32.set_layout({mu, ku}, {1, m});
  }
  if (transposed_b) {
    b16.set_layout({ku, nu}, {1, k});
    b32.set_layout({ku, nu}, {1, k});
  }
  auto r16 = table.typed<T>().matmul(a16, b16);
  auto r32 = table.typed<float>().matmul(a32, b32);
  ASSERT_TRUE(r16.has_value() && r32.has_value());
  for (std::size_t i = 0; i < r32->size(); ++i) ASSERT_EQ(pattern(r16->data()[i]), pattern(T(r32->data()[i]))) << i;
}

TEST_P(Matmul16, TrainingShapesGiveOneRoundingOfTheF32Product) {
  // A classifier layer, a short batch against a wide b (cut into several
  // column blocks) and a tall one (several row blocks).
  // [100, 1000, 10] is taller than a block of rows, which alone would take
  // the sums along k; the last two are deeper than a block of k at every
  // level, and [290, 1100, 70] with a transposed is the x.T @ g of a layer.
  const std::int64_t sizes[][3] = {{32, 784, 10},   {1, 256, 10},    {32, 256, 784}, {3, 2048, 300},
                                   {600, 100, 5},   {100, 1000, 10}, {40, 1100, 300}, {290, 1100, 70}};
  const bool layouts[][2] = {{false, false}, {false, true}, {true, false}};
  std::mt19937 rng(17);
  for (const auto& s : sizes) {
    for (const auto& t : layouts) {
      expect_one_rounding_of_the_f32_product<Half>(k(), s[0], s[1], s[2], t[0], t[1], rng);
      expect_one_rounding_of_the_f32_product<BFloat16>(k(), s[0], s[1], s[2], t[0], t[1], rng);
    }
  }
}

// ---- Storage: element type dispatch -------------------------------------

TEST(MatmulStorage, TypeChecks) {
  const std::pair<DType, DType> mismatched[] = {
      {DType::F16, DType::F32}, {DType::Bool, DType::F32}, {DType::BF16, DType::Bool}};
  for (auto [lhs, rhs] : mismatched) {
    // Shapes that would also fail: the type check comes first.
    auto r = storage_of(lhs, {2, 3}).matmul(storage_of(rhs, {4}));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::ValueError);
  }
  auto r = storage_of(DType::Bool, {2, 3}).matmul(storage_of(DType::Bool, {4}));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::TypeError);
}

TEST(MatmulStorage, ResultKeepsTheOperandType) {
  for (DType d : {DType::F16, DType::BF16, DType::F32}) {
    auto r = storage_of(d, {2, 2, 3}).matmul(storage_of(d, {3, 4}));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->dtype(), d);
    EXPECT_EQ(r->shape(), (Shape{2, 2, 4}));
    auto bad = storage_of(d, {2, 3}).matmul(storage_of(d, {4, 5}));
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().kind, ErrorKind::RuntimeError);
  }
}

}  // namespace
}  // namespace vessik::test
