#include "engine/cpu/numeric/ops/unary.h"

#include "engine/cpu/numeric/core/element_loops.h"
#include "engine/cpu/numeric/core/element_functors.h"

namespace vessik::numeric {

namespace {

template <class Op, NumericElement T>
Result<NdArray<T>> apply_unary(const NdArray<T>& a) {
  auto out = NdArray<T>::uninitialized(a.shape(), a.strides());
  if (!out) return out;
  loops::map(out->data(), a.data(), static_cast<std::int64_t>(a.size()), Op{});
  return out;
}

}  // namespace

// Each kernel of the list and its instantiations.
#define VESSIK_UNARY(name, functor, ...)         \
  template <NumericElement T>                    \
  Result<NdArray<T>> name(const NdArray<T>& a) { \
    return apply_unary<functors::functor>(a);         \
  }                                              \
  VESSIK_INSTANTIATE_NUMERIC(name)
VESSIK_UNARY_OPS(VESSIK_UNARY)
#undef VESSIK_UNARY

}  // namespace vessik::numeric
