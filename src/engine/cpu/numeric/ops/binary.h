#pragma once
// Binary element-wise kernels: arithmetic for F16, BF16 and F32, comparisons
// for every element type. Each broadcasts its operands and returns a new
// array or the broadcasting error (a RuntimeError).

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"

namespace vessik::numeric {

template <NumericElement T> Result<NdArray<T>> add(const NdArray<T>& a, const NdArray<T>& b);
template <NumericElement T> Result<NdArray<T>> sub(const NdArray<T>& a, const NdArray<T>& b);
template <NumericElement T> Result<NdArray<T>> mul(const NdArray<T>& a, const NdArray<T>& b);
template <NumericElement T> Result<NdArray<T>> div(const NdArray<T>& a, const NdArray<T>& b);

template <Element T> Result<NdArray<bool>> eq(const NdArray<T>& a, const NdArray<T>& b);
template <Element T> Result<NdArray<bool>> ge(const NdArray<T>& a, const NdArray<T>& b);
template <Element T> Result<NdArray<bool>> gt(const NdArray<T>& a, const NdArray<T>& b);
template <Element T> Result<NdArray<bool>> le(const NdArray<T>& a, const NdArray<T>& b);
template <Element T> Result<NdArray<bool>> lt(const NdArray<T>& a, const NdArray<T>& b);

}  // namespace vessik::numeric
