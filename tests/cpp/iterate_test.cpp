// The strided walk: every index visited once with matching offsets, and the
// plan's coalescing and tiling decisions that the kernels' speed rests on.

#include <gtest/gtest.h>

#include <vector>

#include "array_testing.h"
#include "engine/cpu/array/iterate.h"

namespace vessik {
namespace {

IterationPlan plan(const Shape& shape, const std::vector<Strides>& strides) {
  std::vector<const Strides*> ptrs;
  for (const auto& s : strides) ptrs.push_back(&s);
  return plan_iteration(shape, ptrs);
}

struct PlanCase {
  const char* name;
  Shape shape;
  std::vector<Strides> strides;  // operand 0 first
  std::vector<std::int64_t> lengths;
  bool tiled;
};

TEST(IterationPlan, CoalescesAndTiles) {
  const PlanCase cases[] = {
      {"all row-major: one flat run", {300, 200}, {{200, 1}, {200, 1}, {200, 1}}, {60000}, false},
      {"all column-major: one flat run", {300, 200}, {{1, 300}, {1, 300}, {1, 300}}, {60000}, false},
      {"broadcast row", {300, 200}, {{200, 1}, {200, 1}, {0, 1}}, {200, 300}, false},
      {"broadcast scalar", {300, 200}, {{200, 1}, {200, 1}, {0, 0}}, {60000}, false},
      {"transposed input is tiled", {300, 200}, {{200, 1}, {200, 1}, {1, 300}}, {200, 300}, true},
      {"unit axes dropped", {1, 300, 1, 200}, {{0, 200, 7, 1}, {0, 200, 0, 1}, {5, 200, 1, 1}}, {60000}, false},
      {"short transposed axes are not tiled", {300, 8}, {{8, 1}, {8, 1}, {1, 300}}, {8, 300}, false},
      {"tiling moves the unit axis inward", {50, 7, 40}, {{280, 40, 1}, {280, 40, 1}, {1, 50, 350}},
       {40, 50, 7}, true},
      {"zero axes", {}, {{}, {}, {}}, {1}, false},
  };
  for (const auto& c : cases) {
    const IterationPlan p = plan(c.shape, c.strides);
    EXPECT_FALSE(p.empty) << c.name;
    EXPECT_EQ(p.lengths, c.lengths) << c.name;
    EXPECT_EQ(p.tiled, c.tiled) << c.name;
  }
  EXPECT_TRUE(plan({3, 0, 2}, {{0, 0, 0}, {0, 0, 0}}).empty);
}

// Each logical index is reached exactly once, and every operand's offset is
// the one its strides give for that index.
TEST(IterationWalk, VisitsEveryIndexOnceWithMatchingOffsets) {
  struct Case {
    Shape shape;
    Strides out, in;
  };
  const Case cases[] = {
      {{300, 200}, {200, 1}, {1, 300}},          // tiled, ragged edge tiles
      {{50, 7, 140}, {980, 140, 1}, {1, 50, 350}},  // tiled around an outer axis
      {{4, 5, 6}, {1, 4, 20}, {30, 6, 1}},        // column-major result, row-major input
      {{3, 1, 4}, {4, 4, 1}, {0, 9, 1}},          // broadcast
      {{}, {}, {}},
  };
  for (const auto& c : cases) {
    std::uint64_t count = 1;
    for (auto len : c.shape) count *= len;
    // Output offsets are a permutation of [0, count): map them back to indices.
    std::vector<std::int64_t> expected_in(count, -1);
    test::for_each_index(c.shape, [&](const auto& index) {
      expected_in[test::offset_of(c.out, index)] = test::offset_of(c.in, index);
    });
    std::vector<int> visits(count, 0);
    for_each_run<2>(c.shape, {&c.out, &c.in}, [&](const Offsets<2>& at, const Offsets<2>& step, std::int64_t n) {
      for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t o = at[0] + i * step[0];
        ASSERT_GE(o, 0);
        ASSERT_LT(o, static_cast<std::int64_t>(count));
        ++visits[o];
        EXPECT_EQ(at[1] + i * step[1], expected_in[o]);
      }
    });
    for (std::uint64_t k = 0; k < count; ++k) ASSERT_EQ(visits[k], 1) << shape_to_string(c.shape) << " offset " << k;
  }
}

}  // namespace
}  // namespace vessik
