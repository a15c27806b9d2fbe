#include "engine/cpu/numeric/backward/functional.h"

#include <array>
#include <cstdint>

#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/array/iterate.h"

namespace vessik::numeric {

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
  // x > +0 in x's own type: +0, -0 and NaN all give +0, and a NaN in g
  // passes through wherever x > 0. 16-bit values compare on their patterns.
  const T zero{};
  for_each_run<3>(g.shape(), {&out->strides(), &g.strides(), &*x_strides},
                  [&](const Offsets<3>& at, const Offsets<3>& step, std::int64_t n) {
                    T* o = po + at[0];
                    const T* gv = pg + at[1];
                    const T* xv = px + at[2];
                    for (std::int64_t i = 0; i < n; ++i) {
                      o[i * step[0]] = xv[i * step[2]] > zero ? gv[i * step[1]] : zero;
                    }
                  });
  return out;
}

VESSIK_INSTANTIATE_NUMERIC(relu_backward)

}  // namespace vessik::numeric
