// Gradient kernels of CpuStorage: the gradient's element type picks the
// kernel, and the saved operands must share it.

#include <string>
#include <utility>

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

namespace {

using StoragePair = std::pair<CpuStorage, CpuStorage>;

[[noreturn]] void unreachable_bool(const char* op) {
  internal_fault(std::string(op) + " reached a Bool kernel after its type check");
}

template <class Kernel>
Result<StoragePair> binary_backward(const char* op, const CpuStorage& lhs, const CpuStorage& g, const CpuStorage& rhs,
                                    Kernel kernel) {
  if (g.dtype() == DType::Bool || lhs.dtype() != g.dtype() || rhs.dtype() != g.dtype()) {
    return fail(ErrorKind::TypeError, "DType mismatch between gradient and operands during backward pass.");
  }
  return g.visit([&]<class T>(const NdArray<T>& grad) -> Result<StoragePair> {
    if constexpr (NumericElement<T>) {
      auto r = kernel(grad, *lhs.get_if<T>(), *rhs.get_if<T>());
      if (!r) return std::unexpected(std::move(r.error()));
      return StoragePair{CpuStorage(std::move(r->first)), CpuStorage(std::move(r->second))};
    } else {
      unreachable_bool(op);
    }
  });
}

}  // namespace

#define VESSIK_BACKWARD(kernel, name, ...)                                                                \
  Result<StoragePair> CpuStorage::name(const CpuStorage& lhs, const CpuStorage& g, const CpuStorage& rhs,  \
                                       WantedGradients wanted) {                                           \
    return binary_backward(#name, lhs, g, rhs,                                                            \
                           [wanted]<class T>(const NdArray<T>& gr, const NdArray<T>& l, const NdArray<T>& r) { \
                             return kernels().typed<T>().kernel(gr, l, r, wanted);                        \
                           });                                                                            \
  }
VESSIK_GRADIENT_OPS(VESSIK_BACKWARD)
#undef VESSIK_BACKWARD

Result<StoragePair> CpuStorage::backward_matmul(const CpuStorage& lhs, const CpuStorage& g, const CpuStorage& rhs,
                                                WantedGradients wanted) {
  return binary_backward("backward_matmul", lhs, g, rhs, [wanted]<class T>(const NdArray<T>& gr, const NdArray<T>& l, const NdArray<T>& r) {
    return kernels().typed<T>().matmul_backward(gr, l, r, wanted);
  });
}

Result<CpuStorage> CpuStorage::backward_relu(const CpuStorage& x, const CpuStorage& g) {
  if (g.dtype() == DType::Bool || x.dtype() != g.dtype()) {
    return fail(ErrorKind::TypeError, "DType mismatch between gradient and input during unary backward pass.");
  }
  return g.visit([&]<class T>(const NdArray<T>& grad) -> Result<CpuStorage> {
    if constexpr (NumericElement<T>) {
      return to_storage(kernels().typed<T>().relu_backward(grad, *x.get_if<T>()));
    } else {
      unreachable_bool("backward_relu");
    }
  });
}

Result<CpuStorage> CpuStorage::sum_to_shape(const Shape& target) const {
  return visit([&]<class T>(const NdArray<T>& g) -> Result<CpuStorage> {
    if constexpr (NumericElement<T>) {
      return to_storage(kernels().typed<T>().sum_to_shape(g, target));
    } else {
      return fail(ErrorKind::TypeError,
                  "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
    }
  });
}

}  // namespace vessik
