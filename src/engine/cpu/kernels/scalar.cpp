#include "engine/cpu/numeric/ops/scalar.h"

#include <utility>

#include "engine/cpu/numeric/core/binary_loops.h"
#include "engine/cpu/numeric/core/element_functors.h"
#include "engine/cpu/numeric/ops/apply_binary.h"

namespace vessik::numeric {

namespace {

template <class Op, NumericElement T>
Result<NdArray<BinaryResult<Op, T>>> apply_scalar(const NdArray<T>& a, float s) {
  using R = BinaryResult<Op, T>;
  const T scalar = static_cast<T>(s);
  auto out = NdArray<R>::uninitialized(a.shape(), a.strides());
  if (!out) return std::unexpected(std::move(out.error()));
  if (a.size() == 0) return out;
  // Same layout as the input, so element i of both buffers is the same index.
  loops::fill_flat(out->data(), static_cast<std::int64_t>(a.size()), a.size() * (sizeof(T) + sizeof(R)),
                   [&](R* dst, std::int64_t first, std::int64_t count) {
                     loops::binary_run(dst, 1, a.data() + first, 1, &scalar, 0, count, Op{});
                   },
                   a.data());
  return out;
}

}  // namespace

// Each kernel of the two lists and its instantiations, for results of R.
#define VESSIK_SCALAR(name, functor, R)                   \
  template <NumericElement T>                             \
  Result<NdArray<R>> name(const NdArray<T>& a, float s) { \
    return apply_scalar<functors::functor>(a, s);              \
  }                                                       \
  VESSIK_INSTANTIATE_NUMERIC(name)
#define VESSIK_ARITHMETIC(name, functor, ...) VESSIK_SCALAR(name, functor, T)
#define VESSIK_COMPARISON(name, functor, ...) VESSIK_SCALAR(name, functor, bool)
VESSIK_SCALAR_ARITHMETIC_OPS(VESSIK_ARITHMETIC)
VESSIK_SCALAR_COMPARISON_OPS(VESSIK_COMPARISON)
#undef VESSIK_ARITHMETIC
#undef VESSIK_COMPARISON
#undef VESSIK_SCALAR

}  // namespace vessik::numeric
