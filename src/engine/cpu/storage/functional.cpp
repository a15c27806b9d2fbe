// relu of CpuStorage: F16, BF16 and F32.

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

Result<CpuStorage> CpuStorage::relu() const {
  return visit([]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
    if constexpr (NumericElement<T>) {
      return to_storage(kernels().typed<T>().relu(a));
    } else {
      return fail(ErrorKind::TypeError, "Tensor Dtype not supported for this operation: relu");
    }
  });
}

}  // namespace vessik
