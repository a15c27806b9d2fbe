#include "engine/cpu/numeric/backward/matmul.h"

#include <utility>

#include "engine/cpu/numeric/ops/matmul.h"

namespace vessik::numeric {

namespace {

// A copy of `a` that reads its last two axes swapped. The buffer is copied
// as it is; only the two axes' lengths and strides trade places, so the
// product reads the transpose through its strides.
template <NumericElement T>
Result<NdArray<T>> swapped_last_axes(const NdArray<T>& a) {
  auto copy = a.clone();
  if (!copy) return copy;
  Shape shape = a.shape();
  Strides strides = a.strides();
  const std::size_t d = shape.size();
  std::swap(shape[d - 1], shape[d - 2]);
  std::swap(strides[d - 1], strides[d - 2]);
  copy->set_layout(std::move(shape), std::move(strides));
  return copy;
}

}  // namespace

template <NumericElement T>
Result<std::pair<NdArray<T>, NdArray<T>>> matmul_backward(const NdArray<T>& g, const NdArray<T>& lhs,
                                                          const NdArray<T>& rhs) {
  // Operands with fewer than two axes go to the product unchanged, which
  // reports them with its own message.
  auto transposed = [](const NdArray<T>& a) -> Result<NdArray<T>> {
    return a.ndim() < 2 ? a.clone() : swapped_last_axes(a);
  };
  auto rhs_t = transposed(rhs);
  if (!rhs_t) return std::unexpected(std::move(rhs_t.error()));
  auto for_lhs = MatmulOps<T>::do_matmul(g, *rhs_t);
  if (!for_lhs) return std::unexpected(std::move(for_lhs.error()));
  auto lhs_t = transposed(lhs);
  if (!lhs_t) return std::unexpected(std::move(lhs_t.error()));
  auto for_rhs = MatmulOps<T>::do_matmul(*lhs_t, g);
  if (!for_rhs) return std::unexpected(std::move(for_rhs.error()));
  return std::pair{std::move(*for_lhs), std::move(*for_rhs)};
}

template Result<std::pair<NdArray<Half>, NdArray<Half>>> matmul_backward(const NdArray<Half>&, const NdArray<Half>&,
                                                                         const NdArray<Half>&);
template Result<std::pair<NdArray<BFloat16>, NdArray<BFloat16>>> matmul_backward(const NdArray<BFloat16>&,
                                                                                 const NdArray<BFloat16>&,
                                                                                 const NdArray<BFloat16>&);
template Result<std::pair<NdArray<float>, NdArray<float>>> matmul_backward(const NdArray<float>&,
                                                                           const NdArray<float>&,
                                                                           const NdArray<float>&);

}  // namespace vessik::numeric
