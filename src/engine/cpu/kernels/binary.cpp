#include "engine/cpu/numeric/ops/binary.h"

#include "engine/cpu/numeric/core/element_functors.h"
#include "engine/cpu/numeric/ops/apply_binary.h"

namespace vessik::numeric {

// Each kernel of the two lists and its instantiations, for elements of the
// concept `Types` and results of R.
#define VESSIK_BINARY(name, functor, Types, R)                        \
  template <Types T>                                                  \
  Result<NdArray<R>> name(const NdArray<T>& a, const NdArray<T>& b) { \
    return apply_binary<functors::functor>(a, b);                     \
  }                                                                   \
  VESSIK_INSTANTIATE_NUMERIC(name)
#define VESSIK_ARITHMETIC(name, functor, ...) VESSIK_BINARY(name, functor, NumericElement, T)
#define VESSIK_COMPARISON(name, functor, ...) \
  VESSIK_BINARY(name, functor, Element, bool) template decltype(name<bool>) name<bool>;
VESSIK_ARITHMETIC_OPS(VESSIK_ARITHMETIC)
VESSIK_COMPARISON_OPS(VESSIK_COMPARISON)
#undef VESSIK_ARITHMETIC
#undef VESSIK_COMPARISON
#undef VESSIK_BINARY

}  // namespace vessik::numeric
