#include "autograd/nodes.h"

#include <type_traits>

#include "autograd/context.h"
#include "engine/cpu/operations.h"

namespace vessik {

namespace {

// Every gradient handed on is a new storage; multiplying by 1 copies g
// exactly (NaNs included) in its own layout.
Result<void> pass_scaled(AutogradContext& ctx, std::uint64_t input, const Storage& g, float factor) {
  auto scaled = g.scalar_mul(factor);
  if (!scaled) return std::unexpected(std::move(scaled.error()));
  return ctx.accumulate(input, std::move(*scaled));
}

}  // namespace

Result<void> AddNode::backward(AutogradContext& ctx, const Storage& g) const {
  if (auto ok = pass_scaled(ctx, lhs, g, 1.0f); !ok) return ok;
  return pass_scaled(ctx, rhs, g, 1.0f);
}

Result<void> SubNode::backward(AutogradContext& ctx, const Storage& g) const {
  if (auto ok = pass_scaled(ctx, lhs, g, 1.0f); !ok) return ok;
  return pass_scaled(ctx, rhs, g, -1.0f);
}

template <BinaryKernel K>
Result<void> SavedBinaryNode<K>::backward(AutogradContext& ctx, const Storage& g) const {
  auto grads = [&] {
#define VESSIK_RULE(kernel, member, node) \
  if constexpr (std::is_same_v<SavedBinaryNode, node>) return Storage::member(*lhs_data, g, *rhs_data);
    VESSIK_GRADIENT_OPS(VESSIK_RULE)
#undef VESSIK_RULE
    if constexpr (K == BinaryKernel::Matmul) return Storage::backward_matmul(*lhs_data, g, *rhs_data, wanted);
  }();
  if (!grads) return std::unexpected(std::move(grads.error()));
  if (wanted != WantedGradients::RhsOnly) {
    if (auto ok = ctx.accumulate(lhs, std::move(grads->first)); !ok) return ok;
  }
  if (wanted == WantedGradients::LhsOnly) return {};
  return ctx.accumulate(rhs, std::move(grads->second));
}

template struct SavedBinaryNode<BinaryKernel::Mul>;
template struct SavedBinaryNode<BinaryKernel::Div>;
template struct SavedBinaryNode<BinaryKernel::Matmul>;

Result<void> ReluNode::backward(AutogradContext& ctx, const Storage& g) const {
  auto grad = Storage::backward_relu(*input_data, g);
  if (!grad) return std::unexpected(std::move(grad.error()));
  return ctx.accumulate(input, std::move(*grad));
}

Result<void> ReshapeNode::backward(AutogradContext& ctx, const Storage& g) const {
  auto grad = g.reshape(input_shape);
  if (!grad) return std::unexpected(std::move(grad.error()));
  return ctx.accumulate(input, std::move(*grad));
}

Result<void> TransposeNode::backward(AutogradContext& ctx, const Storage& g) const {
  auto grad = g.transpose(dim0, dim1);
  if (!grad) return std::unexpected(std::move(grad.error()));
  return ctx.accumulate(input, std::move(*grad));
}

template <ScalarKind K>
Result<void> ScalarNode<K>::backward(AutogradContext& ctx, const Storage& g) const {
  // ScalarAddNode keeps its scalar for the record only: d(x + s)/dx = 1.
  return pass_scaled(ctx, input, g, K == ScalarKind::Add ? 1.0f : scalar);
}

template struct ScalarNode<ScalarKind::Add>;
template struct ScalarNode<ScalarKind::Mul>;
template struct ScalarNode<ScalarKind::Div>;

}  // namespace vessik
