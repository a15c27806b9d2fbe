#pragma once
// The node kinds and their gradient rules.
//
// Note [Unreduced gradients]
// No rule sums a gradient back to its input's shape: an operand broadcast in
// the forward operation receives a gradient of the broadcast shape. So the
// gradient g reaching a node may be larger than the node's result: extra
// leading axes, or longer axes where the result has length 1. Summed over
// those axes it is the true gradient, and every rule keeps that so:
// - element-wise rules broadcast their saved operands (and relu its mask)
//   against g, whose extra axes they are constant along;
// - transpose swaps its two axes counted from the right;
// - reshape reshapes each trailing block, after summing the axes inside the
//   block that g broadcasts, and makes g row-major first;
// - the matrix product sums the broadcast axes among its last two;
// - shares of one node whose shapes would repeat one of them in a sum are
//   first summed down to the axes they have in common (autograd/context.cpp).

#include <cstdint>

#include "autograd/backward_op.h"
#include "engine/cpu/array/shape.h"

namespace vessik {

struct AddNode final : BackwardOp {
  std::uint64_t lhs, rhs;
  AddNode(std::uint64_t l, std::uint64_t r) : lhs(l), rhs(r) {}
  Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const override;
};

struct SubNode final : BackwardOp {
  std::uint64_t lhs, rhs;
  SubNode(std::uint64_t l, std::uint64_t r) : lhs(l), rhs(r) {}
  Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const override;
};

// Mul, Div and Matmul share the shape of their rule: one kernel yields both
// gradients from the saved operands' data.
enum class SavedBinaryKind { Mul, Div, Matmul };

//
// Note [Gradients nobody reads]
// A constant operand gets a fresh leaf that no tensor refers to, so its
// gradient can never be read, and the gradient kernels skip computing it
// (in a training step the input batch is such an operand: a third of the
// backward products).
template <SavedBinaryKind K>
struct SavedBinaryNode final : BackwardOp {
  StorageHandle lhs_data, rhs_data;
  std::uint64_t lhs, rhs;
  WantedGradients wanted;
  SavedBinaryNode(StorageHandle ld, StorageHandle rd, std::uint64_t l, std::uint64_t r,
                  WantedGradients w = WantedGradients::Both)
      : lhs_data(std::move(ld)), rhs_data(std::move(rd)), lhs(l), rhs(r), wanted(w) {}
  Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const override;
};
using MulNode = SavedBinaryNode<SavedBinaryKind::Mul>;
using DivNode = SavedBinaryNode<SavedBinaryKind::Div>;
using MatmulNode = SavedBinaryNode<SavedBinaryKind::Matmul>;

struct ReluNode final : BackwardOp {
  StorageHandle input_data;
  std::uint64_t input;
  ReluNode(StorageHandle d, std::uint64_t i) : input_data(std::move(d)), input(i) {}
  Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const override;
};

struct ReshapeNode final : BackwardOp {
  Shape input_shape, output_shape;
  std::uint64_t input;
  ReshapeNode(Shape in, Shape out, std::uint64_t i)
      : input_shape(std::move(in)), output_shape(std::move(out)), input(i) {}
  Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const override;
};

struct TransposeNode final : BackwardOp {
  std::uint64_t input, rank, dim0, dim1;  // rank: the input's number of axes
  TransposeNode(std::uint64_t i, std::uint64_t n, std::uint64_t a, std::uint64_t b)
      : input(i), rank(n), dim0(a), dim1(b) {}
  Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const override;
};

// Pass-through of scalar_add and scalar_sub: the input receives g.
struct ScalarAddNode final : BackwardOp {
  std::uint64_t input;
  explicit ScalarAddNode(std::uint64_t i) : input(i) {}
  Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const override;
};

// Scaled pass-through: the input receives g x factor, s for scalar_mul and
// 1/s for scalar_div, whose kernel multiplies by that reciprocal.
struct ScalarMulNode final : BackwardOp {
  std::uint64_t input;
  float factor;
  ScalarMulNode(std::uint64_t i, float f) : input(i), factor(f) {}
  Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const override;
};
using ScalarDivNode = ScalarMulNode;

}  // namespace vessik
