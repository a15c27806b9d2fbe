// Unary operations of CpuStorage: F16, BF16 and F32.

#include <string>

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

namespace {

template <class Kernel>
Result<CpuStorage> unary(const CpuStorage& self, const char* name, Kernel kernel) {
  return self.visit([&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
    if constexpr (NumericElement<T>) {
      return to_storage(kernel(a));
    } else {
      return fail(ErrorKind::TypeError, std::string("Tensor Dtype not supported for this operation: ") + name);
    }
  });
}

}  // namespace

#define VESSIK_UNARY(name, ...)                                                                            \
  Result<CpuStorage> CpuStorage::name() const {                                                            \
    return unary(*this, #name, []<class T>(const NdArray<T>& a) { return kernels().typed<T>().name(a); }); \
  }
VESSIK_UNARY_OPS(VESSIK_UNARY)
#undef VESSIK_UNARY

}  // namespace vessik
