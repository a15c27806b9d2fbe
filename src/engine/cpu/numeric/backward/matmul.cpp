#include "engine/cpu/numeric/backward/matmul.h"

#include <concepts>
#include <utility>

#include "engine/cpu/numeric/ops/matmul.h"

namespace vessik::numeric {

namespace {

// Note [Transposed operands as views]
// Each gradient product reads an operand with its last two axes swapped.
// Swapping the two axes' lengths and strides in a view is enough: the
// product reads any strides, so no element is moved and nothing is copied.
// (A copy with swapped strides would give the same values at the cost of
// one fresh buffer per operand per backward pass.) Operands with fewer than
// two axes pass unchanged; the product reports them with its own message.
StridedView<const float> swapped_last_axes(StridedView<const float> v) {
  const std::size_t d = v.ndim();
  if (d >= 2) {
    std::swap(v.shape[d - 1], v.shape[d - 2]);
    std::swap(v.strides[d - 1], v.strides[d - 2]);
  }
  return v;
}

// (g · rhsᵀ, lhsᵀ · g) over F32 views.
Result<std::pair<NdArray<float>, NdArray<float>>> products(const StridedView<const float>& g,
                                                           const StridedView<const float>& lhs,
                                                           const StridedView<const float>& rhs,
                                                           WantedGradients wanted) {
  std::pair<NdArray<float>, NdArray<float>> out;
  if (wanted != WantedGradients::RhsOnly) {
    auto for_lhs = internal_linalg_matmul(g, swapped_last_axes(rhs));
    if (!for_lhs) return std::unexpected(std::move(for_lhs.error()));
    out.first = std::move(*for_lhs);
  }
  if (wanted != WantedGradients::LhsOnly) {
    auto for_rhs = internal_linalg_matmul(swapped_last_axes(lhs), g);
    if (!for_rhs) return std::unexpected(std::move(for_rhs.error()));
    out.second = std::move(*for_rhs);
  }
  return out;
}

}  // namespace

// 16-bit operands are widened once each (g feeds both products) and each
// gradient element rounds once, as in the forward product.
template <NumericElement T>
Result<std::pair<NdArray<T>, NdArray<T>>> matmul_backward(const NdArray<T>& g, const NdArray<T>& lhs,
                                                          const NdArray<T>& rhs, WantedGradients wanted) {
  if constexpr (std::same_as<T, float>) {
    return products(g.view(), lhs.view(), rhs.view(), wanted);
  } else {
    auto wg = widen_to_f32(g);
    if (!wg) return std::unexpected(std::move(wg.error()));
    auto wl = widen_to_f32(lhs);
    if (!wl) return std::unexpected(std::move(wl.error()));
    auto wr = widen_to_f32(rhs);
    if (!wr) return std::unexpected(std::move(wr.error()));
    auto wide = products(wg->view(), wl->view(), wr->view(), wanted);
    if (!wide) return std::unexpected(std::move(wide.error()));
    std::pair<NdArray<T>, NdArray<T>> out;
    if (wanted != WantedGradients::RhsOnly) {
      auto for_lhs = narrow_from_f32<T>(wide->first);
      if (!for_lhs) return std::unexpected(std::move(for_lhs.error()));
      out.first = std::move(*for_lhs);
    }
    if (wanted != WantedGradients::LhsOnly) {
      auto for_rhs = narrow_from_f32<T>(wide->second);
      if (!for_rhs) return std::unexpected(std::move(for_rhs.error()));
      out.second = std::move(*for_rhs);
    }
    return out;
  }
}

template Result<std::pair<NdArray<Half>, NdArray<Half>>> matmul_backward(const NdArray<Half>&, const NdArray<Half>&,
                                                                         const NdArray<Half>&, WantedGradients);
template Result<std::pair<NdArray<BFloat16>, NdArray<BFloat16>>> matmul_backward(const NdArray<BFloat16>&,
                                                                                 const NdArray<BFloat16>&,
                                                                                 const NdArray<BFloat16>&,
                                                                                 WantedGradients);
template Result<std::pair<NdArray<float>, NdArray<float>>> matmul_backward(const NdArray<float>&,
                                                                           const NdArray<float>&,
                                                                           const NdArray<float>&, WantedGradients);

}  // namespace vessik::numeric
