#pragma once
// CpuStorage: the typed n-d data of one tensor, one variant per DType, and
// the operations the tensor core and the autograd pass call. Each operation
// checks the element types, hands the typed arrays to a kernel written once
// over the element type, and returns new storage or an error value.

#include <cstdint>
#include <utility>
#include <variant>

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"
#include "engine/cpu/error.h"
#include "engine/cpu/numeric/backward/wanted_gradients.h"
#include "engine/cpu/operation_lists.h"

namespace vessik {

class CpuStorage {
 public:
  // Variant positions equal the numeric DType values.
  using Variant = ForEachElement<std::variant, NdArray>;

  template <Element T>
  explicit CpuStorage(NdArray<T>&& array) : data_(std::move(array)) {}

  DType dtype() const { return static_cast<DType>(data_.index()); }

  template <Element T>
  const NdArray<T>* get_if() const { return std::get_if<NdArray<T>>(&data_); }

  // Hands `f` the typed array. The one place that switches on the variant.
  template <class F>
  decltype(auto) visit(F&& f) const { return std::visit(std::forward<F>(f), data_); }

  // Layout accessors (copies).
  Shape shape() const;
  Strides strides() const;
  std::size_t ndim() const;

  // Shape operations: every element type.
  Result<CpuStorage> zeros_like() const;
  Result<CpuStorage> ones_like() const;
  Result<CpuStorage> reshape(const Shape& new_shape) const;
  Result<CpuStorage> transpose(std::uint64_t dim0, std::uint64_t dim1) const;
  // The same elements, copied into a row-major buffer.
  Result<CpuStorage> to_row_major() const;

  // The operations of the lists in operation_lists.h: F16, BF16 and F32 for
  // arithmetic, scalar and unary ones, any type alike for comparisons (the
  // result is Bool), Bool with Bool for logical ones.
#define VESSIK_MEMBER(name, ...) Result<CpuStorage> name(const CpuStorage& other) const;
  VESSIK_ARITHMETIC_OPS(VESSIK_MEMBER) VESSIK_COMPARISON_OPS(VESSIK_MEMBER) VESSIK_LOGICAL_OPS(VESSIK_MEMBER)
#undef VESSIK_MEMBER
#define VESSIK_MEMBER(name, ...) Result<CpuStorage> name(float s) const;
  VESSIK_SCALAR_ARITHMETIC_OPS(VESSIK_MEMBER) VESSIK_SCALAR_COMPARISON_OPS(VESSIK_MEMBER)
#undef VESSIK_MEMBER
#define VESSIK_MEMBER(name, ...) Result<CpuStorage> name() const;
  VESSIK_UNARY_OPS(VESSIK_MEMBER)
#undef VESSIK_MEMBER

  // Negation of a Bool array (the tensor core checks the type first).
  Result<CpuStorage> logical_not() const;
  // Matrix product.
  Result<CpuStorage> matmul(const CpuStorage& other) const;

  // Gradient kernels. Arguments in the order (saved lhs, g, saved rhs). A
  // gradient that is not wanted comes back as an empty storage.
#define VESSIK_MEMBER(kernel, name, ...)                                                            \
  static Result<std::pair<CpuStorage, CpuStorage>> name(const CpuStorage& lhs, const CpuStorage& g, \
                                                        const CpuStorage& rhs,                      \
                                                        WantedGradients wanted = WantedGradients::Both);
  VESSIK_GRADIENT_OPS(VESSIK_MEMBER)
#undef VESSIK_MEMBER
  static Result<std::pair<CpuStorage, CpuStorage>> backward_matmul(const CpuStorage& lhs, const CpuStorage& g,
                                                                  const CpuStorage& rhs,
                                                                  WantedGradients wanted = WantedGradients::Both);
  static Result<CpuStorage> backward_relu(const CpuStorage& x, const CpuStorage& g);
  // This gradient summed over the axes along which it broadcasts `target`
  // (F16, BF16 and F32; Bool fails as arithmetic on Bool does).
  Result<CpuStorage> sum_to_shape(const Shape& target) const;

 private:
  Variant data_;
};

// Wraps a kernel's typed result as storage.
template <Element T>
Result<CpuStorage> to_storage(Result<NdArray<T>> r) {
  if (!r) return std::unexpected(std::move(r.error()));
  // Built in place: each move of an array copies its inline layout lists.
  return Result<CpuStorage>(std::in_place, std::move(*r));
}

}  // namespace vessik
