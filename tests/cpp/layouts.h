#pragma once
// Operand layouts for the element-wise kernel tests: arrays whose buffers
// hold their axes in a given order, and the operand pairs the walk must
// handle.

#include <cstdint>
#include <numeric>
#include <random>
#include <span>
#include <vector>

#include "array_testing.h"

namespace vessik::test {

inline std::vector<std::size_t> identity(std::size_t n) {
  std::vector<std::size_t> p(n);
  std::iota(p.begin(), p.end(), 0);
  return p;
}

// An array of logical shape `shape` whose buffer holds the axes in the order
// `perm` (outermost first; empty: row-major), element i of the buffer being
// value().
template <Element T, class Gen>
NdArray<T> laid_out(const Shape& shape, std::vector<std::size_t> perm, Gen value) {
  if (perm.empty()) perm = identity(shape.size());
  Shape stored(shape.size());
  for (std::size_t k = 0; k < perm.size(); ++k) stored[k] = shape[perm[k]];
  auto a = NdArray<T>::uninitialized_row_major(stored);
  EXPECT_TRUE(a.has_value());
  for (std::size_t i = 0; i < a->size(); ++i) a->data()[i] = value();
  const Strides stored_strides = a->strides();
  Strides strides(shape.size());
  for (std::size_t k = 0; k < perm.size(); ++k) strides[perm[k]] = stored_strides[k];
  a->set_layout(shape, strides);
  return std::move(*a);
}

// As laid_out, with values from `rng`, or drawn from `pool` when it is given.
template <Element T>
NdArray<T> make_laid_out(const Shape& shape, const std::vector<std::size_t>& perm, std::mt19937& rng,
                         std::span<const T> pool = {}) {
  std::uniform_int_distribution<int> small(-8, 8);
  return laid_out<T>(shape, perm, [&]() -> T {
    if (!pool.empty()) return pool[rng() % pool.size()];
    if constexpr (std::is_same_v<T, bool>) {
      return (rng() & 1) != 0;
    } else {
      // Small integers and halves: many exact ties and equal pairs.
      return static_cast<T>(static_cast<float>(small(rng)) * 0.5f);
    }
  });
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
inline const LayoutCase kLayouts[] = {
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
inline const LayoutCase kStreamedLayouts[] = {
    {{2051, 4099}, {}, {2051, 4099}, {}},
    {{2051, 4099}, {}, {2051, 4099}, {1, 0}},
    {{2051, 4099}, {1, 0}, {4099}, {}},
};

}  // namespace vessik::test
