// Broadcasting rules and the result-layout rule.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "engine/cpu/array/result_layout.h"
#include "engine/cpu/array/broadcast.h"

namespace vessik {
namespace {

struct ShapesCase {
  Shape a, b;
  Shape common;  // unless it fails
  bool fails = false;
};

TEST(Broadcast, CommonShapes) {
  const ShapesCase cases[] = {
      {{2, 3}, {3}, {2, 3}},
      {{2, 1}, {1, 3}, {2, 3}},
      {{4, 1, 5}, {3, 1}, {4, 3, 5}},
      {{}, {2, 2}, {2, 2}},
      {{}, {}, {}},
      {{0}, {1}, {0}},
      {{1}, {0}, {0}},
      {{0, 3}, {0, 1}, {0, 3}},
      {{0}, {2}, {}, true},
      {{2, 3}, {4}, {}, true},
      {{4}, {2, 3}, {}, true},
      {{}, {3, 0, 2}, {3, 0, 2}},
  };
  for (const auto& c : cases) {
    const auto r = broadcast_shapes(c.a, c.b);
    const auto flipped = broadcast_shapes(c.b, c.a);
    if (!c.fails) {
      ASSERT_TRUE(r.has_value()) << r.error().message;
      EXPECT_EQ(*r, c.common);
      EXPECT_EQ(*flipped, c.common);
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
      EXPECT_FALSE(flipped.has_value());
    }
  }
}

TEST(Broadcast, ViewsUseStrideZeroOnRepeatedAxes) {
  const float data[6] = {};
  const StridedView<const float> a{data, {2, 3}, {3, 1}};
  const StridedView<const float> b{data, {3}, {1}};
  const StridedView<const float> c{data, {2, 1}, {1, 1}};
  const auto ab = broadcast_tensors(a, b);
  ASSERT_TRUE(ab.has_value());
  EXPECT_EQ(ab->first.strides, (Strides{3, 1}));
  EXPECT_EQ(ab->second.shape, (Shape{2, 3}));
  EXPECT_EQ(ab->second.strides, (Strides{0, 1}));
  const auto cb = broadcast_tensors(c, b);
  EXPECT_EQ(cb->first.strides, (Strides{1, 0}));
  EXPECT_EQ(cb->first.data, data);
  EXPECT_FALSE(broadcast_view(a, Shape{3, 3}).has_value());
  EXPECT_FALSE(broadcast_view(a, Shape{3}).has_value());
  EXPECT_EQ(broadcast_view(b, Shape{4, 2, 3})->strides, (Strides{0, 0, 1}));
}

TEST(Broadcast, OversizedCommonShapeFailsWithTheViewMessage) {
  // Shapes are only nominal here: the views never read an element.
  constexpr std::uint64_t big = std::uint64_t{1} << 40;
  const StridedView<const float> a{nullptr, {big, 1}, {1, 1}};
  const StridedView<const float> b{nullptr, {1, big}, {1, 1}};
  const auto r = broadcast_tensors(a, b);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::RuntimeError);
  EXPECT_EQ(r.error().message, "Broadcast failed for A: [1099511627776, 1] -> [1099511627776, 1099511627776]");
  // A zero length makes the element count 0, but the non-zero lengths still overflow.
  const StridedView<const float> z{nullptr, {0, big, 1}, {0, 0, 0}};
  const StridedView<const float> w{nullptr, {big}, {1}};
  EXPECT_FALSE(broadcast_tensors(z, w).has_value());
}

TEST(Broadcast, BoolArraysShareTheRule) {
  const auto a = NdArray<bool>::filled({2, 3}, true);
  const auto b = NdArray<bool>::filled({4}, false);
  const auto r = broadcast_tensors(*a, *b);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, broadcast_shapes({2, 3}, {4}).error().message);
  const auto c = NdArray<bool>::filled({3}, false);
  EXPECT_EQ(broadcast_tensors(*a, *c)->second.strides, (Strides{0, 1}));
}

struct LayoutRuleCase {
  const char* name;
  Shape shape;
  Strides a, b;
  bool column_major;
};

TEST(ResultLayout, ScoringRule) {
  const LayoutRuleCase cases[] = {
      {"both row-major", {4, 3}, {3, 1}, {3, 1}, false},
      {"both column-major", {4, 3}, {1, 4}, {1, 4}, true},
      {"column-major with row-major", {4, 3}, {1, 4}, {3, 1}, false},
      {"column-major with broadcast column", {4, 3}, {1, 4}, {1, 0}, true},   // -2 + -1
      {"column-major with broadcast row", {4, 3}, {1, 4}, {0, 1}, true},      // -2 + 1
      {"column-major with a scalar", {4, 3}, {1, 4}, {0, 0}, true},           // -2 + 0
      {"row vector views count as both", {1, 5}, {5, 1}, {1, 1}, false},
      {"vectors are both orders", {5}, {1}, {1}, false},
      {"column vectors are both orders", {4, 1}, {1, 1}, {1, 4}, false},
      {"empty result", {0, 3}, {0, 0}, {1, 0}, false},
      {"strided sub-view, first axis unit", {4, 3, 2}, {1, 8, 40}, {1, 8, 40}, true},
      {"last-axis hint loses to column-major", {4, 3, 2}, {40, 8, 1}, {1, 4, 12}, true},  // +1 - 2
  };
  for (const auto& c : cases) {
    EXPECT_EQ(prefers_column_major(c.shape, c.a, c.b), c.column_major) << c.name;
  }
  EXPECT_EQ(binary_result_strides({4, 3}, {1, 4}, {1, 4}), (Strides{1, 4}));
  EXPECT_EQ(binary_result_strides({4, 3}, {1, 4}, {3, 1}), (Strides{3, 1}));
  EXPECT_EQ(binary_result_strides({0, 3}, {1, 0}, {1, 0}), (Strides{0, 0}));
}

}  // namespace
}  // namespace vessik
