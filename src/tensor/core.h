#pragma once
// Tensor operations: the one layer between the Python class and the engine.
// Differentiable operations compute first and record their node on the
// calling thread's tape only on success, so a failing operation leaves the
// tape as it was.

#include <cstdint>

#include "engine/cpu/error.h"
#include "engine/cpu/operation_lists.h"
#include "values/tensor.h"

namespace vessik {

// The operations of the lists in engine/cpu/operation_lists.h.
#define VESSIK_DECLARE(name, ...) Result<Tensor> name(const Tensor& self, const Tensor& other);
VESSIK_ARITHMETIC_OPS(VESSIK_DECLARE) VESSIK_COMPARISON_OPS(VESSIK_DECLARE) VESSIK_LOGICAL_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE
#define VESSIK_DECLARE(name, ...) Result<Tensor> name(const Tensor& self, float s);
VESSIK_SCALAR_ARITHMETIC_OPS(VESSIK_DECLARE) VESSIK_SCALAR_COMPARISON_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE
#define VESSIK_DECLARE(name, ...) Result<Tensor> name(const Tensor& self);
VESSIK_UNARY_OPS(VESSIK_DECLARE)
#undef VESSIK_DECLARE

// Differentiable: the arithmetic, scalar arithmetic and unary operations
// above, and these.
Result<Tensor> matmul(const Tensor& self, const Tensor& other);
Result<Tensor> scalar_div(const Tensor& self, float s);
// s / self: a division whose left operand is a constant zero-axis storage
// holding s in self's element type.
Result<Tensor> scalar_rdiv(const Tensor& self, float s);
Result<Tensor> reshape(const Tensor& self, const Shape& shape);
Result<Tensor> transpose(const Tensor& self, std::uint64_t dim0, std::uint64_t dim1);

// Never differentiable (no node, requires_grad false): the comparisons and
// logical operations above, and these.
Result<Tensor> logical_not(const Tensor& self);
Result<Tensor> zeros_like(const Tensor& self);
Result<Tensor> ones_like(const Tensor& self);

// Runs the backward pass from `self` with a seed of ones and stores the
// gradients on the calling thread's tape.
Result<void> backward(const Tensor& self);

// The gradient stored for `self`, shared, or null (also for a tensor
// of a cleared graph or of another thread's).
StorageHandle grad(const Tensor& self);

}  // namespace vessik
