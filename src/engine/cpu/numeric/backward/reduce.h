#pragma once
// The sum of a gradient over the axes along which it broadcasts a smaller
// shape: what turns a broadcast gradient into the share of that shape.

#include "engine/cpu/array/ndarray.h"
#include "engine/cpu/dtype.h"

namespace vessik::numeric {

// `g` summed to `target`, which must broadcast to g's shape (aligned from
// the trailing axis; missing leading axes and axes of length 1 are summed).
// The result is row-major. Sums run in binary32 for every element type and
// each result element rounds once, so a target equal to g's shape gives an
// exact row-major copy.
template <NumericElement T>
Result<NdArray<T>> sum_to_shape(const NdArray<T>& g, const Shape& target);

}  // namespace vessik::numeric
