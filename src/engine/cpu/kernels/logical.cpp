#include "engine/cpu/boolean/ops/logical.h"

#include <utility>

#include "engine/cpu/numeric/core/element_loops.h"
#include "engine/cpu/numeric/ops/apply_binary.h"

namespace vessik::boolean {

namespace {

// The functors, from the list's last column.
#define VESSIK_FUNCTOR(name, functor, value)                          \
  struct functor {                                                    \
    static constexpr bool arithmetic = false;                         \
    constexpr bool operator()(bool x, bool y) const { return value; } \
  };
VESSIK_LOGICAL_OPS(VESSIK_FUNCTOR)
#undef VESSIK_FUNCTOR

}  // namespace

#define VESSIK_KERNEL(name, functor, ...)                                      \
  Result<NdArray<bool>> name(const NdArray<bool>& a, const NdArray<bool>& b) { \
    return apply_binary<functor>(a, b);                                        \
  }
VESSIK_LOGICAL_OPS(VESSIK_KERNEL)
#undef VESSIK_KERNEL

Result<NdArray<bool>> logical_not(const NdArray<bool>& a) {
  auto out = NdArray<bool>::uninitialized(a.shape(), a.strides());
  if (!out) return out;
  loops::map(out->data(), a.data(), static_cast<std::int64_t>(a.size()), [](bool x) { return !x; });
  return out;
}

}  // namespace vessik::boolean
