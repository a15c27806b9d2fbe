#include "engine/cpu/numeric/ops/binary.h"

#include "engine/cpu/numeric/core/element_ops.h"
#include "engine/cpu/numeric/ops/binary_kernel.h"

namespace vessik::numeric {

template <NumericElement T> Result<NdArray<T>> add(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Add>(a.view(), b.view());
}
template <NumericElement T> Result<NdArray<T>> sub(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Sub>(a.view(), b.view());
}
template <NumericElement T> Result<NdArray<T>> mul(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Mul>(a.view(), b.view());
}
template <NumericElement T> Result<NdArray<T>> div(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Div>(a.view(), b.view());
}

template <Element T> Result<NdArray<bool>> eq(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Eq>(a.view(), b.view());
}
template <Element T> Result<NdArray<bool>> ge(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Ge>(a.view(), b.view());
}
template <Element T> Result<NdArray<bool>> gt(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Gt>(a.view(), b.view());
}
template <Element T> Result<NdArray<bool>> le(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Le>(a.view(), b.view());
}
template <Element T> Result<NdArray<bool>> lt(const NdArray<T>& a, const NdArray<T>& b) {
  return apply_binary<ops::Lt>(a.view(), b.view());
}

#define VESSIK_ARITHMETIC(T)                                                  \
  template Result<NdArray<T>> add<T>(const NdArray<T>&, const NdArray<T>&); \
  template Result<NdArray<T>> sub<T>(const NdArray<T>&, const NdArray<T>&); \
  template Result<NdArray<T>> mul<T>(const NdArray<T>&, const NdArray<T>&); \
  template Result<NdArray<T>> div<T>(const NdArray<T>&, const NdArray<T>&);
#define VESSIK_COMPARISON(T)                                                    \
  template Result<NdArray<bool>> eq<T>(const NdArray<T>&, const NdArray<T>&); \
  template Result<NdArray<bool>> ge<T>(const NdArray<T>&, const NdArray<T>&); \
  template Result<NdArray<bool>> gt<T>(const NdArray<T>&, const NdArray<T>&); \
  template Result<NdArray<bool>> le<T>(const NdArray<T>&, const NdArray<T>&); \
  template Result<NdArray<bool>> lt<T>(const NdArray<T>&, const NdArray<T>&);

VESSIK_ARITHMETIC(Half)
VESSIK_ARITHMETIC(BFloat16)
VESSIK_ARITHMETIC(float)
VESSIK_COMPARISON(Half)
VESSIK_COMPARISON(BFloat16)
VESSIK_COMPARISON(float)
VESSIK_COMPARISON(bool)

#undef VESSIK_ARITHMETIC
#undef VESSIK_COMPARISON

}  // namespace vessik::numeric
