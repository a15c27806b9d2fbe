// Logical operations of CpuStorage: Bool with Bool only, the element types
// tested before the shapes.

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

namespace {

Result<CpuStorage> logical(const CpuStorage& self, const CpuStorage& other,
                           TypedKernels<bool>::Binary TypedKernels<bool>::*kernel) {
  const NdArray<bool>* a = self.get_if<bool>();
  const NdArray<bool>* b = other.get_if<bool>();
  if (a == nullptr || b == nullptr) {
    return fail(ErrorKind::RuntimeError, "Logical operations are only supported for Bool data types.");
  }
  return to_storage((kernels().typed<bool>().*kernel)(*a, *b));
}

}  // namespace

#define VESSIK_LOGICAL(name, ...)                                      \
  Result<CpuStorage> CpuStorage::name(const CpuStorage& other) const { \
    return logical(*this, other, &TypedKernels<bool>::name);           \
  }
VESSIK_LOGICAL_OPS(VESSIK_LOGICAL)
#undef VESSIK_LOGICAL

Result<CpuStorage> CpuStorage::logical_not() const {
  const NdArray<bool>* a = get_if<bool>();
  if (a == nullptr) return fail(ErrorKind::RuntimeError, "Logical NOT is only supported for Bool data type.");
  return to_storage(kernels().typed<bool>().logical_not(*a));
}

}  // namespace vessik
