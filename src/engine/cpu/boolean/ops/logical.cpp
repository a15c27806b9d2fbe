#include "engine/cpu/boolean/ops/logical.h"

#include <utility>

#include "engine/cpu/numeric/core/element_loops.h"
#include "engine/cpu/numeric/ops/binary_kernel.h"

namespace vessik::boolean {

namespace {

struct And {
  static constexpr bool arithmetic = false;
  constexpr bool operator()(bool x, bool y) const { return x & y; }
};
struct Or {
  static constexpr bool arithmetic = false;
  constexpr bool operator()(bool x, bool y) const { return x | y; }
};
struct Xor {
  static constexpr bool arithmetic = false;
  constexpr bool operator()(bool x, bool y) const { return x != y; }
};

}  // namespace

Result<NdArray<bool>> logical_and(const NdArray<bool>& a, const NdArray<bool>& b) {
  return apply_binary<And>(a.view(), b.view());
}
Result<NdArray<bool>> logical_or(const NdArray<bool>& a, const NdArray<bool>& b) {
  return apply_binary<Or>(a.view(), b.view());
}
Result<NdArray<bool>> logical_xor(const NdArray<bool>& a, const NdArray<bool>& b) {
  return apply_binary<Xor>(a.view(), b.view());
}

Result<NdArray<bool>> logical_not(const NdArray<bool>& a) {
  auto out = NdArray<bool>::uninitialized(a.shape(), a.strides());
  if (!out) return out;
  loops::map(out->data(), a.data(), static_cast<std::int64_t>(a.size()), [](bool x) { return !x; });
  return out;
}

}  // namespace vessik::boolean
