// reshape, transpose, zeros_like and ones_like through CpuStorage.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "array_testing.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {
namespace {

constexpr const char* kIncompatibleShape = "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes";
constexpr const char* kIncompatibleLayout =
    "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout";

CpuStorage f32(const Shape& shape, const std::vector<float>& values) {
  return CpuStorage(test::make<float>(shape, values));
}

std::vector<float> elements(const CpuStorage& s) { return test::logical_elements(*s.get_if<float>()); }

struct ReshapeCase {
  Shape from;
  bool transposed;  // `from` is the transpose of a row-major array
  Shape to;
  const char* error;  // null: succeeds
};

TEST(Reshape, AcceptsMatchingCountsOfRowMajorData) {
  const ReshapeCase cases[] = {
      {{2, 3}, false, {6}, nullptr},
      {{2, 3}, false, {3, 2}, nullptr},
      {{2, 3}, false, {1, 6, 1}, nullptr},
      {{2, 3}, false, {6, 1}, nullptr},
      {{1}, false, {}, nullptr},
      {{}, false, {1, 1}, nullptr},
      {{0, 3}, false, {3, 0}, nullptr},
      {{4, 1}, true, {4}, nullptr},  // transpose of [1, 4]: the unit axis has any stride
      {{2, 3}, false, {4}, kIncompatibleShape},
      {{3, 2}, true, {6}, kIncompatibleLayout},
      {{3, 2}, true, {5}, kIncompatibleShape},  // counts are tested first
      {{2, 3}, false, {std::uint64_t{1} << 62, 4, 0}, kIncompatibleShape},
  };
  for (const auto& c : cases) {
    std::uint64_t n = 1;
    for (auto len : c.from) n *= len;
    std::vector<float> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = static_cast<float>(i + 1);
    CpuStorage s = f32(c.from, values);
    if (c.transposed) s = *f32({c.from.rbegin(), c.from.rend()}, values).transpose(0, 1);
    const auto r = s.reshape(c.to);
    const std::string name = shape_to_string(c.from) + " -> " + shape_to_string(c.to);
    if (c.error == nullptr) {
      ASSERT_TRUE(r.has_value()) << name << ": " << r.error().message;
      EXPECT_EQ(r->shape(), c.to);
      EXPECT_EQ(r->strides(), row_major_strides(c.to)) << name;
      EXPECT_EQ(elements(*r), elements(s)) << name;  // row-major element order is kept
    } else {
      ASSERT_FALSE(r.has_value()) << name;
      EXPECT_EQ(r.error().kind, ErrorKind::ValueError);
      EXPECT_EQ(r.error().message, c.error) << name;
    }
  }
  EXPECT_EQ(f32({0, 3}, {}).reshape({3, 0})->strides(), (Strides{0, 0}));
}

TEST(Transpose, SwapsLengthsAndStridesKeepingTheBuffer) {
  const CpuStorage s = f32({2, 3}, {1, 2, 3, 4, 5, 6});
  const auto t = s.transpose(0, 1);
  EXPECT_EQ(t->shape(), (Shape{3, 2}));
  EXPECT_EQ(t->strides(), (Strides{1, 3}));
  EXPECT_EQ(elements(*t), (std::vector<float>{1, 4, 2, 5, 3, 6}));
  EXPECT_EQ(elements(*s.transpose(1, 1)), elements(s));
  EXPECT_EQ(s.transpose(1, 1)->strides(), (Strides{3, 1}));
  EXPECT_NE(t->get_if<float>()->data(), s.get_if<float>()->data()) << "a new buffer";
}

TEST(Transpose, AxisOutOfRangeIsAnIndexError) {
  struct Case {
    Shape shape;
    std::uint64_t d0, d1;
    const char* message;
  };
  const Case cases[] = {
      {{2, 3}, 2, 0, "transpose: axis 2 is out of range for a tensor with 2 axes"},
      {{2, 3}, 0, 7, "transpose: axis 7 is out of range for a tensor with 2 axes"},
      {{}, 0, 0, "transpose: axis 0 is out of range for a tensor with 0 axes"},
      {{2}, UINT64_MAX, 0, "transpose: axis 18446744073709551615 is out of range for a tensor with 1 axes"},
  };
  for (const auto& c : cases) {
    std::uint64_t n = 1;
    for (auto len : c.shape) n *= len;
    const auto r = f32(c.shape, std::vector<float>(n)).transpose(c.d0, c.d1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, ErrorKind::IndexError);
    EXPECT_EQ(r.error().message, c.message);
  }
}

TEST(FilledLike, RowMajorWithTheTypesOne) {
  const CpuStorage t = *f32({2, 3}, {1, 2, 3, 4, 5, 6}).transpose(0, 1);
  EXPECT_EQ(t.ones_like()->strides(), (Strides{2, 1}));
  EXPECT_EQ(elements(*t.zeros_like()), std::vector<float>(6, 0.0f));
  const CpuStorage h(NdArray<Half>::filled({2}, Half(5.0f)).value());
  EXPECT_EQ(h.ones_like()->get_if<Half>()->data()[1].bits(), 0x3c00);
  EXPECT_EQ(h.zeros_like()->get_if<Half>()->data()[1].bits(), 0x0000);
  const CpuStorage b(NdArray<BFloat16>::filled({1}, BFloat16(5.0f)).value());
  EXPECT_EQ(b.ones_like()->get_if<BFloat16>()->data()[0].bits(), 0x3f80);
  const CpuStorage flags(NdArray<bool>::filled({3}, false).value());
  EXPECT_EQ(test::logical_elements(*flags.ones_like()->get_if<bool>()), (std::vector<bool>{true, true, true}));
  EXPECT_EQ(flags.transpose(0, 0)->dtype(), DType::Bool);
  const CpuStorage scalar(NdArray<float>::filled({}, 2.0f).value());
  EXPECT_EQ(scalar.ones_like()->shape(), Shape{});
}

}  // namespace
}  // namespace vessik
