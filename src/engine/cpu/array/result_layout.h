#pragma once
// The memory order of a binary result.
//
// Note [Column-major binary results]
// A binary result is row-major unless its two (broadcast) operand views
// together prefer column-major. Each view is classified: row-major
// contiguous (+2, or 0 when at most one axis is longer than 1: such a view
// is both orders), column-major contiguous (-2), else a hint from a unit
// stride on the first (-1) or last (+1) axis. The result is column-major
// when the views are not both row-major and either both are column-major or
// the scores sum below zero. Two transposed matrices therefore give a
// transposed (column-major) result that the walk fills in one flat run,
// while a transposed operand with a row-major one gives a row-major result.

#include "engine/cpu/array/shape.h"

namespace vessik {

// `a` and `b` are the strides of the two operands viewed with `shape`.
bool prefers_column_major(const Shape& shape, const Strides& a, const Strides& b);

// Row-major or column-major strides of `shape`, by the rule above.
Strides binary_result_strides(const Shape& shape, const Strides& a, const Strides& b);

}  // namespace vessik
