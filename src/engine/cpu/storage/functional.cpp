// relu of CpuStorage: F16, BF16 and F32. The result keeps the input's shape
// and strides and is filled in buffer order. See Note [relu of NaN].

#include <utility>

#include "engine/cpu/float_env.h"
#include "engine/cpu/numeric/core/element_ops.h"
#include "engine/cpu/numeric/core/loops.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

namespace {

template <NumericElement T>
Result<NdArray<T>> relu_kernel(const NdArray<T>& a) {
  auto out = NdArray<T>::uninitialized(a.shape(), a.strides());
  if (!out) return out;
  const IeeeModeGuard ieee;  // a flushed subnormal would compare equal to 0
  loops::map(out->data(), a.data(), static_cast<std::int64_t>(a.size()), ops::Relu{});
  return out;
}

}  // namespace

Result<CpuStorage> CpuStorage::relu() const {
  return visit([]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
    if constexpr (NumericElement<T>) {
      return to_storage(relu_kernel(a));
    } else {
      return fail(ErrorKind::TypeError, "Tensor Dtype not supported for this operation: relu");
    }
  });
}

}  // namespace vessik
