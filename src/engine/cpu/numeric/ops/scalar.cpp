#include "engine/cpu/numeric/ops/scalar.h"

#include <utility>

#include "engine/cpu/numeric/core/binary_plane.h"
#include "engine/cpu/numeric/core/element_ops.h"
#include "engine/cpu/numeric/ops/binary_kernel.h"

namespace vessik::numeric {

namespace {

template <class Op, NumericElement T>
Result<NdArray<BinaryResult<Op, T>>> apply_scalar(const NdArray<T>& a, float s) {
  using R = BinaryResult<Op, T>;
  const T scalar = static_cast<T>(s);
  auto out = NdArray<R>::uninitialized(a.shape(), a.strides());
  if (!out) return std::unexpected(std::move(out.error()));
  if (a.size() == 0) return out;
  // Same layout as the input, so element i of both buffers is the same index.
  loops::fill_flat(out->data(), static_cast<std::int64_t>(a.size()), a.size() * (sizeof(T) + sizeof(R)),
                   [&](R* dst, std::int64_t first, std::int64_t count) {
                     loops::binary_run(dst, 1, a.data() + first, 1, &scalar, 0, count, Op{});
                   },
                   a.data());
  return out;
}

}  // namespace

template <NumericElement T> Result<NdArray<T>> scalar_add(const NdArray<T>& a, float s) {
  return apply_scalar<ops::Add>(a, s);
}
template <NumericElement T> Result<NdArray<T>> scalar_sub(const NdArray<T>& a, float s) {
  return apply_scalar<ops::Sub>(a, s);
}
template <NumericElement T> Result<NdArray<T>> scalar_mul(const NdArray<T>& a, float s) {
  return apply_scalar<ops::Mul>(a, s);
}
template <NumericElement T> Result<NdArray<bool>> scalar_eq(const NdArray<T>& a, float s) {
  return apply_scalar<ops::Eq>(a, s);
}
template <NumericElement T> Result<NdArray<bool>> scalar_ge(const NdArray<T>& a, float s) {
  return apply_scalar<ops::Ge>(a, s);
}
template <NumericElement T> Result<NdArray<bool>> scalar_gt(const NdArray<T>& a, float s) {
  return apply_scalar<ops::Gt>(a, s);
}
template <NumericElement T> Result<NdArray<bool>> scalar_le(const NdArray<T>& a, float s) {
  return apply_scalar<ops::Le>(a, s);
}
template <NumericElement T> Result<NdArray<bool>> scalar_lt(const NdArray<T>& a, float s) {
  return apply_scalar<ops::Lt>(a, s);
}

#define VESSIK_SCALAR(T)                                             \
  template Result<NdArray<T>> scalar_add<T>(const NdArray<T>&, float);    \
  template Result<NdArray<T>> scalar_sub<T>(const NdArray<T>&, float);    \
  template Result<NdArray<T>> scalar_mul<T>(const NdArray<T>&, float);    \
  template Result<NdArray<bool>> scalar_eq<T>(const NdArray<T>&, float); \
  template Result<NdArray<bool>> scalar_ge<T>(const NdArray<T>&, float); \
  template Result<NdArray<bool>> scalar_gt<T>(const NdArray<T>&, float); \
  template Result<NdArray<bool>> scalar_le<T>(const NdArray<T>&, float); \
  template Result<NdArray<bool>> scalar_lt<T>(const NdArray<T>&, float);

VESSIK_SCALAR(Half)
VESSIK_SCALAR(BFloat16)
VESSIK_SCALAR(float)

#undef VESSIK_SCALAR

}  // namespace vessik::numeric
