#pragma once
// Tensor operations: the one layer between the Python class and the engine.
// Differentiable operations record their node on the calling thread's tape
// before computing, so a failing operation still consumes a node index.

#include <cstdint>

#include "engine/cpu/error.h"
#include "values/tensor.h"

namespace vessik {

// Differentiable.
Result<Tensor> add(const Tensor& self, const Tensor& other);
Result<Tensor> sub(const Tensor& self, const Tensor& other);
Result<Tensor> mul(const Tensor& self, const Tensor& other);
Result<Tensor> div(const Tensor& self, const Tensor& other);
Result<Tensor> matmul(const Tensor& self, const Tensor& other);
Result<Tensor> scalar_add(const Tensor& self, float s);
Result<Tensor> scalar_sub(const Tensor& self, float s);
Result<Tensor> scalar_mul(const Tensor& self, float s);
Result<Tensor> scalar_div(const Tensor& self, float s);
// s / self: a division whose left operand is a constant zero-axis storage
// holding s in self's element type.
Result<Tensor> scalar_rdiv(const Tensor& self, float s);
Result<Tensor> reshape(const Tensor& self, const Shape& shape);
Result<Tensor> transpose(const Tensor& self, std::uint64_t dim0, std::uint64_t dim1);
Result<Tensor> relu(const Tensor& self);

// Never differentiable: no node, requires_grad false.
Result<Tensor> eq(const Tensor& self, const Tensor& other);
Result<Tensor> ge(const Tensor& self, const Tensor& other);
Result<Tensor> gt(const Tensor& self, const Tensor& other);
Result<Tensor> le(const Tensor& self, const Tensor& other);
Result<Tensor> lt(const Tensor& self, const Tensor& other);
Result<Tensor> scalar_eq(const Tensor& self, float s);
Result<Tensor> scalar_ge(const Tensor& self, float s);
Result<Tensor> scalar_gt(const Tensor& self, float s);
Result<Tensor> scalar_le(const Tensor& self, float s);
Result<Tensor> scalar_lt(const Tensor& self, float s);
Result<Tensor> logical_and(const Tensor& self, const Tensor& other);
Result<Tensor> logical_or(const Tensor& self, const Tensor& other);
Result<Tensor> logical_xor(const Tensor& self, const Tensor& other);
Result<Tensor> logical_not(const Tensor& self);
Result<Tensor> zeros_like(const Tensor& self);
Result<Tensor> ones_like(const Tensor& self);

// Runs the backward pass from `self` with a seed of ones and stores the
// gradients on the calling thread's tape.
Result<void> backward(const Tensor& self);

// A copy of the gradient stored for `self`, or nothing.
Result<std::optional<Storage>> grad(const Tensor& self);

}  // namespace vessik
