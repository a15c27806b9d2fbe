#pragma once
// Scalar kernels: every element against one binary32 scalar s, which is
// first rounded once to the element type and always stands on the right.
// The result keeps the input's shape and strides; the buffer is walked flat.

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"

namespace vessik::numeric {

template <NumericElement T> Result<NdArray<T>> scalar_add(const NdArray<T>& a, float s);
template <NumericElement T> Result<NdArray<T>> scalar_sub(const NdArray<T>& a, float s);
template <NumericElement T> Result<NdArray<T>> scalar_mul(const NdArray<T>& a, float s);

template <NumericElement T> Result<NdArray<bool>> scalar_eq(const NdArray<T>& a, float s);
template <NumericElement T> Result<NdArray<bool>> scalar_ge(const NdArray<T>& a, float s);
template <NumericElement T> Result<NdArray<bool>> scalar_gt(const NdArray<T>& a, float s);
template <NumericElement T> Result<NdArray<bool>> scalar_le(const NdArray<T>& a, float s);
template <NumericElement T> Result<NdArray<bool>> scalar_lt(const NdArray<T>& a, float s);

}  // namespace vessik::numeric
