#pragma once
// Shape operations of Bool arrays: the generic ones of numeric/ops/shape.h
// (zeros_like, ones_like, reshape, transpose), instantiated here for bool.

#include "engine/cpu/numeric/ops/shape.h"

namespace vessik::boolean {

using numeric::ones_like;
using numeric::reshape;
using numeric::transpose;
using numeric::zeros_like;

}  // namespace vessik::boolean
