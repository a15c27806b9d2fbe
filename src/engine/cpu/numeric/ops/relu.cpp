#include "engine/cpu/numeric/ops/relu.h"

#include "engine/cpu/numeric/core/element_ops.h"
#include "engine/cpu/numeric/core/element_loops.h"

namespace vessik::numeric {

template <NumericElement T>
Result<NdArray<T>> relu(const NdArray<T>& a) {
  auto out = NdArray<T>::uninitialized(a.shape(), a.strides());
  if (!out) return out;
  loops::map(out->data(), a.data(), static_cast<std::int64_t>(a.size()), ops::Relu{});
  return out;
}

template Result<NdArray<Half>> relu(const NdArray<Half>&);
template Result<NdArray<BFloat16>> relu(const NdArray<BFloat16>&);
template Result<NdArray<float>> relu(const NdArray<float>&);

}  // namespace vessik::numeric
