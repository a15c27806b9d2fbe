#include "engine/cpu/numeric/backward/functional.h"

#include <array>
#include <concepts>
#include <cstdint>

#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/array/iterate.h"

namespace vessik::numeric {

namespace {

// g where x > +0 and +0 elsewhere, chosen without a branch: which way an
// element goes is data, and a mispredicted branch costs more than the
// element. 16-bit values compare on their patterns.
template <NumericElement T>
T where_positive(T x, T g) {
  if constexpr (std::same_as<T, float>) {
    return x > 0.0f ? g : 0.0f;
  } else {
    const auto keep = static_cast<std::uint16_t>(-static_cast<int>(x > T{}));
    return T::from_bits(static_cast<std::uint16_t>(g.bits() & keep));
  }
}

}  // namespace

template <NumericElement T>
Result<NdArray<T>> relu_backward(const NdArray<T>& g, const NdArray<T>& x) {
  const auto x_strides = broadcast_strides(x.shape(), x.strides(), g.shape());
  if (!x_strides) {
    return kernel_fail("Shape mismatch in relu_backward: grad " + shape_to_string(g.shape()) + "\n vs input " +
                       shape_to_string(x.shape()));
  }
  // The result takes g's layout, so g and the result walk as one flat run.
  auto out = NdArray<T>::uninitialized(g.shape(), g.strides());
  if (!out) return out;
  T* const po = out->data();
  const T* const pg = g.data();
  const T* const px = x.data();
  // +0, -0 and NaN in x all give +0; a NaN in g passes wherever x > 0.
  for_each_run<3>(g.shape(), {&out->strides(), &g.strides(), &*x_strides},
                  [&](const Offsets<3>& at, const Offsets<3>& step, std::int64_t n) {
                    T* o = po + at[0];
                    const T* gv = pg + at[1];
                    const T* xv = px + at[2];
                    if (step[0] == 1 && step[1] == 1 && step[2] == 1) {
                      for (std::int64_t i = 0; i < n; ++i) o[i] = where_positive(xv[i], gv[i]);
                      return;
                    }
                    for (std::int64_t i = 0; i < n; ++i) {
                      o[i * step[0]] = where_positive(xv[i * step[2]], gv[i * step[1]]);
                    }
                  });
  return out;
}

VESSIK_INSTANTIATE_NUMERIC(relu_backward)

}  // namespace vessik::numeric
