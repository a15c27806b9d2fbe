// The matrix product of CpuStorage: the element type checks and their
// messages, then the product for the operands' type.

#include <string>

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

Result<CpuStorage> CpuStorage::matmul(const CpuStorage& other) const {
  if (dtype() != other.dtype()) {
    return fail(ErrorKind::ValueError, "Tensor DType mismatch during binary execution. Cannot operate between " +
                                           std::string(dtype_name(dtype())) + " and " +
                                           std::string(dtype_name(other.dtype())) + ".");
  }
  return visit([&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
    if constexpr (NumericElement<T>) {
      return to_storage(kernels().typed<T>().matmul(a, *other.get_if<T>()));
    } else {
      return fail(ErrorKind::TypeError,
                  "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
    }
  });
}

}  // namespace vessik
