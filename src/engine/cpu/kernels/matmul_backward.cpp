#include "engine/cpu/numeric/backward/matmul.h"

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
template <class T>
StridedView<const T> swapped_last_axes(StridedView<const T> v) {
  const std::size_t d = v.ndim();
  if (d >= 2) {
    std::swap(v.shape[d - 1], v.shape[d - 2]);
    std::swap(v.strides[d - 1], v.strides[d - 2]);
  }
  return v;
}

}  // namespace

// (g · rhsᵀ, lhsᵀ · g). 16-bit operands are widened as the product packs
// them, and each gradient element rounds once, as in the forward product.
template <NumericElement T>
Result<std::pair<NdArray<T>, NdArray<T>>> matmul_backward(const NdArray<T>& g_array, const NdArray<T>& lhs_array,
                                                          const NdArray<T>& rhs_array, WantedGradients wanted) {
  const StridedView<const T> g = g_array.view(), lhs = lhs_array.view(), rhs = rhs_array.view();
  std::pair<NdArray<T>, NdArray<T>> out;
  if (wanted != WantedGradients::RhsOnly) {
    auto for_lhs = MatmulOps<T>::do_matmul(g, swapped_last_axes(rhs));
    if (!for_lhs) return std::unexpected(std::move(for_lhs.error()));
    out.first = std::move(*for_lhs);
  }
  if (wanted != WantedGradients::LhsOnly) {
    auto for_rhs = MatmulOps<T>::do_matmul(swapped_last_axes(lhs), g);
    if (!for_rhs) return std::unexpected(std::move(for_rhs.error()));
    out.second = std::move(*for_rhs);
  }
  return out;
}

VESSIK_INSTANTIATE_NUMERIC(matmul_backward)

}  // namespace vessik::numeric
