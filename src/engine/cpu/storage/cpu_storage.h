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

namespace vessik {

class CpuStorage {
 public:
  // Variant positions equal the numeric DType values.
  using Variant = std::variant<NdArray<Half>, NdArray<BFloat16>, NdArray<float>, NdArray<bool>>;

  template <Element T>
  explicit CpuStorage(NdArray<T> array) : data_(std::move(array)) {}

  DType dtype() const { return static_cast<DType>(data_.index()); }

  template <Element T>
  const NdArray<T>* get_if() const { return std::get_if<NdArray<T>>(&data_); }

  // Hands `f` the typed array. The one place that switches on the variant.
  template <class F>
  decltype(auto) visit(F&& f) const { return std::visit(std::forward<F>(f), data_); }

  Result<CpuStorage> clone() const;

  // Layout accessors (copies).
  Shape shape() const;
  Strides strides() const;

  // Shape operations: every element type.
  Result<CpuStorage> zeros_like() const;
  Result<CpuStorage> ones_like() const;
  Result<CpuStorage> reshape(const Shape& new_shape) const;
  Result<CpuStorage> transpose(std::uint64_t dim0, std::uint64_t dim1) const;

  // Unary and scalar operations: F16, BF16, F32.
  Result<CpuStorage> relu() const;
  Result<CpuStorage> scalar_add(float s) const;
  Result<CpuStorage> scalar_mul(float s) const;
  Result<CpuStorage> scalar_sub(float s) const;
  Result<CpuStorage> scalar_eq(float s) const;
  Result<CpuStorage> scalar_ge(float s) const;
  Result<CpuStorage> scalar_gt(float s) const;
  Result<CpuStorage> scalar_le(float s) const;
  Result<CpuStorage> scalar_lt(float s) const;

  // Binary arithmetic: both operands F16, BF16 or F32 alike.
  Result<CpuStorage> add(const CpuStorage& other) const;
  Result<CpuStorage> sub(const CpuStorage& other) const;
  Result<CpuStorage> mul(const CpuStorage& other) const;
  Result<CpuStorage> div(const CpuStorage& other) const;

  // Comparisons: any type, both operands alike. Result is Bool.
  Result<CpuStorage> eq(const CpuStorage& other) const;
  Result<CpuStorage> ge(const CpuStorage& other) const;
  Result<CpuStorage> gt(const CpuStorage& other) const;
  Result<CpuStorage> le(const CpuStorage& other) const;
  Result<CpuStorage> lt(const CpuStorage& other) const;

  // Logical operations: Bool with Bool.
  Result<CpuStorage> logical_and(const CpuStorage& other) const;
  Result<CpuStorage> logical_or(const CpuStorage& other) const;
  Result<CpuStorage> logical_xor(const CpuStorage& other) const;
  // Negation of a Bool array (the tensor core checks the type first).
  Result<CpuStorage> logical_not() const;

  // Matrix product.
  Result<CpuStorage> matmul(const CpuStorage& other) const;

  // Gradient kernels. Arguments in the order (saved lhs, g, saved rhs).
  static Result<std::pair<CpuStorage, CpuStorage>> backward_mul(const CpuStorage& lhs, const CpuStorage& g,
                                                               const CpuStorage& rhs);
  static Result<std::pair<CpuStorage, CpuStorage>> backward_div(const CpuStorage& lhs, const CpuStorage& g,
                                                               const CpuStorage& rhs);
  // A gradient that is not wanted comes back as an empty storage.
  static Result<std::pair<CpuStorage, CpuStorage>> backward_matmul(const CpuStorage& lhs, const CpuStorage& g,
                                                                  const CpuStorage& rhs,
                                                                  WantedGradients wanted = WantedGradients::Both);
  static Result<CpuStorage> backward_relu(const CpuStorage& x, const CpuStorage& g);

 private:
  Variant data_;
};

// Wraps a kernel's typed result as storage.
template <Element T>
Result<CpuStorage> to_storage(Result<NdArray<T>> r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return CpuStorage(std::move(*r));
}

}  // namespace vessik
