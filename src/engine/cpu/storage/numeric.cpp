// Arithmetic (the matrix product among it), comparison and scalar
// operations of CpuStorage: the element type checks and their messages, then
// the typed kernel. Type errors are reported before any shape error.

#include <string>

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

namespace {

// Hands `kernel` self's typed array and other's array of the same type.
template <class Kernel>
Result<CpuStorage> run_on_same_type(const CpuStorage& self, const CpuStorage& other, Kernel kernel) {
  return self.visit([&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
    if constexpr (requires { kernel(a, a); }) {
      return to_storage(kernel(a, *other.get_if<T>()));
    } else {
      internal_fault("internal error: an element type without this kernel passed the type check");
    }
  });
}

template <class Kernel>
Result<CpuStorage> arithmetic(const CpuStorage& self, const CpuStorage& other, Kernel kernel) {
  if (self.dtype() != other.dtype()) {
    return fail(ErrorKind::ValueError, "Tensor DType mismatch during binary execution. Cannot operate between " +
                                           std::string(dtype_name(self.dtype())) + " and " +
                                           std::string(dtype_name(other.dtype())) + ".");
  }
  if (self.dtype() == DType::Bool) {
    return fail(ErrorKind::TypeError,
                "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
  }
  return run_on_same_type(self, other, kernel);
}

template <class Kernel>
Result<CpuStorage> comparison(const CpuStorage& self, const CpuStorage& other, const char* symbol, Kernel kernel) {
  if (self.dtype() != other.dtype()) {
    return fail(ErrorKind::RuntimeError,
                std::string("Tensor device or dtype mismatch for element-wise ") + symbol + " operation.");
  }
  return run_on_same_type(self, other, kernel);
}

// Scalar operations take F16, BF16 and F32; Bool fails with `bool_error()`.
template <class Kernel, class BoolError>
Result<CpuStorage> scalar(const CpuStorage& self, float s, Kernel kernel, BoolError bool_error) {
  return self.visit([&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
    if constexpr (NumericElement<T>) {
      return to_storage(kernel(a, s));
    } else {
      return bool_error();
    }
  });
}

template <class Kernel>
Result<CpuStorage> scalar_arithmetic(const CpuStorage& self, float s, const char* what, Kernel kernel) {
  return scalar(self, s, kernel, [what] {
    return fail(ErrorKind::ValueError, std::string("Tensor DType invalid during scalar ") + what +
                                           ". Cannot operate between Bool and scalar.");
  });
}

template <class Kernel>
Result<CpuStorage> scalar_comparison(const CpuStorage& self, float s, const char* symbol, Kernel kernel) {
  return scalar(self, s, kernel, [symbol] {
    return fail(ErrorKind::RuntimeError,
                std::string("Tensor device or dtype mismatch for scalar ") + symbol + " operation.");
  });
}

}  // namespace

// The kernel `name` of the operands' element type, from the table of this
// process's level; no such member for element types without the kernel.
#define VESSIK_KERNEL(name)                                                                      \
  []<class T>(const NdArray<T>& a, const auto& b) -> decltype(kernels().typed<T>().name(a, b)) { \
    return kernels().typed<T>().name(a, b);                                                      \
  }

// The members of the four lists: the family's type checks, with the text
// its messages name the operation by, then the kernel.
#define VESSIK_ARITHMETIC(name, ...)                                   \
  Result<CpuStorage> CpuStorage::name(const CpuStorage& other) const { \
    return arithmetic(*this, other, VESSIK_KERNEL(name));              \
  }
#define VESSIK_COMPARISON(name, functor, symbol)                       \
  Result<CpuStorage> CpuStorage::name(const CpuStorage& other) const { \
    return comparison(*this, other, symbol, VESSIK_KERNEL(name));      \
  }
#define VESSIK_SCALAR_ARITHMETIC(name, functor, word)              \
  Result<CpuStorage> CpuStorage::name(float s) const {             \
    return scalar_arithmetic(*this, s, word, VESSIK_KERNEL(name)); \
  }
#define VESSIK_SCALAR_COMPARISON(name, functor, symbol)              \
  Result<CpuStorage> CpuStorage::name(float s) const {               \
    return scalar_comparison(*this, s, symbol, VESSIK_KERNEL(name)); \
  }
VESSIK_ARITHMETIC_OPS(VESSIK_ARITHMETIC)
VESSIK_COMPARISON_OPS(VESSIK_COMPARISON)
VESSIK_SCALAR_ARITHMETIC_OPS(VESSIK_SCALAR_ARITHMETIC)
VESSIK_SCALAR_COMPARISON_OPS(VESSIK_SCALAR_COMPARISON)
#undef VESSIK_ARITHMETIC
#undef VESSIK_COMPARISON
#undef VESSIK_SCALAR_ARITHMETIC
#undef VESSIK_SCALAR_COMPARISON

Result<CpuStorage> CpuStorage::matmul(const CpuStorage& other) const {
  return arithmetic(*this, other, VESSIK_KERNEL(matmul));
}

#undef VESSIK_KERNEL

}  // namespace vessik
