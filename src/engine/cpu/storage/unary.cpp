// Unary operations of CpuStorage: F16, BF16 and F32.

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

#define VESSIK_UNARY(name, ...)                                                                     \
  Result<CpuStorage> CpuStorage::name() const {                                                     \
    return visit([]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {                           \
      if constexpr (NumericElement<T>) {                                                            \
        return to_storage(kernels().typed<T>().name(a));                                            \
      } else {                                                                                      \
        return fail(ErrorKind::TypeError, "Tensor Dtype not supported for this operation: " #name); \
      }                                                                                             \
    });                                                                                             \
  }
VESSIK_UNARY_OPS(VESSIK_UNARY)
#undef VESSIK_UNARY

}  // namespace vessik
