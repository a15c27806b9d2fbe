#pragma once
// Shapes, strides and the helpers every kernel shares.

#include <cstdint>
#include <optional>
#include <string>

#include "engine/cpu/array/axis_list.h"

namespace vessik {

using Shape = AxisList<std::uint64_t>;    // axis lengths
using Strides = AxisList<std::int64_t>;   // in elements, not bytes

// "[2, 3]"; the empty shape prints as "[]".
std::string shape_to_string(const Shape& shape);

// Product of all lengths, or nothing when the product of the non-zero
// lengths exceeds INT64_MAX (such a shape cannot be addressed with signed
// element strides).
std::optional<std::uint64_t> checked_element_count(const Shape& shape);

// Last axis 1, each earlier axis the product of the lengths after it;
// every stride 0 when some length is 0.
Strides row_major_strides(const Shape& shape);
// First axis 1, each later axis the product of the lengths before it;
// every stride 0 when some length is 0.
Strides column_major_strides(const Shape& shape);

// Some axis has length 0, or every axis longer than 1 has the row-major
// stride (axes of length 1 may have any stride).
bool is_row_major_contiguous(const Shape& shape, const Strides& strides);
// The mirror rule, from the first axis.
bool is_column_major_contiguous(const Shape& shape, const Strides& strides);

}  // namespace vessik
