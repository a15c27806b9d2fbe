#include "engine/cpu/numeric/backward/reduce.h"

#include <array>
#include <concepts>
#include <cstdint>

#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/array/iterate.h"

namespace vessik::numeric {

template <NumericElement T>
Result<NdArray<T>> sum_to_shape(const NdArray<T>& g, const Shape& target) {
  // The sums read g in its own memory order and write through stride-0
  // views of the row-major sums along the summed axes.
  const auto sum_strides = broadcast_strides(target, row_major_strides(target), g.shape());
  if (!sum_strides) {
    return kernel_fail("Cannot sum a gradient of shape " + shape_to_string(g.shape()) + " to " +
                       shape_to_string(target));
  }
  // -0 is the identity of IEEE addition: a sum of one element is that
  // element, signed zeros and NaN payloads included.
  auto sums = NdArray<float>::filled(target, g.size() == 0 ? 0.0f : -0.0f);
  if (!sums) return std::unexpected(std::move(sums.error()));
  float* const ps = sums->data();
  const T* const pg = g.data();
  for_each_run<2>(g.shape(), {&g.strides(), &*sum_strides},
                  [&](const Offsets<2>& at, const Offsets<2>& step, std::int64_t n) {
                    const T* gv = pg + at[0];
                    float* sv = ps + at[1];
                    if (step[1] == 0) {
                      float s = *sv;
                      for (std::int64_t i = 0; i < n; ++i) s += static_cast<float>(gv[i * step[0]]);
                      *sv = s;
                    } else {
                      for (std::int64_t i = 0; i < n; ++i) sv[i * step[1]] += static_cast<float>(gv[i * step[0]]);
                    }
                  });
  if constexpr (std::same_as<T, float>) {
    return sums;
  } else {
    auto out = NdArray<T>::uninitialized_row_major(target);
    if (!out) return out;
    T* const po = out->data();
    for (std::uint64_t i = 0; i < out->size(); ++i) po[i] = T(ps[i]);
    return out;
  }
}

VESSIK_INSTANTIATE_NUMERIC(sum_to_shape)

}  // namespace vessik::numeric
