#include "autograd/nodes.h"

#include <optional>
#include <type_traits>

#include "autograd/context.h"
#include "engine/cpu/operation_lists.h"

namespace vessik {

namespace {

Result<void> pass_scaled(AutogradContext& ctx, std::uint64_t input, const Storage& g, float factor) {
  auto scaled = g.scalar_mul(factor);
  if (!scaled) return std::unexpected(std::move(scaled.error()));
  return ctx.accumulate(input, share(std::move(*scaled)));
}

// The scalar rules refuse a Bool gradient, as the copy by 1.0 they replace did.
Result<void> pass_on(AutogradContext& ctx, std::uint64_t input, const StorageHandle& g) {
  if (g->dtype() == DType::Bool) return pass_scaled(ctx, input, *g, 1.0f);
  return ctx.accumulate(input, g);
}

}  // namespace

Result<void> AddNode::backward(AutogradContext& ctx, const StorageHandle& g) const {
  if (auto ok = pass_on(ctx, lhs, g); !ok) return ok;
  return pass_on(ctx, rhs, g);
}

Result<void> SubNode::backward(AutogradContext& ctx, const StorageHandle& g) const {
  if (auto ok = pass_on(ctx, lhs, g); !ok) return ok;
  return pass_scaled(ctx, rhs, *g, -1.0f);
}

// g with the axes among its last two that broadcast the product's result
// summed away: the product's rule needs those two axes exactly.
Result<std::optional<Storage>> matrix_axes_reduced(const Storage& g, const Storage& lhs, const Storage& rhs) {
  Shape target = g.shape();
  const Shape a = lhs.shape(), b = rhs.shape();
  const std::size_t d = target.size();
  if (d < 2 || a.size() < 2 || b.size() < 2) return std::optional<Storage>{};
  const std::uint64_t m = a[a.size() - 2], n = b[b.size() - 1];
  if (target[d - 2] == m && target[d - 1] == n) return std::optional<Storage>{};
  target[d - 2] = m;
  target[d - 1] = n;
  auto reduced = g.sum_to_shape(target);
  if (!reduced) return std::unexpected(std::move(reduced.error()));
  return std::optional<Storage>{std::move(*reduced)};
}

template <SavedBinaryKind K>
Result<void> SavedBinaryNode<K>::backward(AutogradContext& ctx, const StorageHandle& g_handle) const {
  const Storage& g_in = *g_handle;
  std::optional<Storage> reduced;
  if constexpr (K == SavedBinaryKind::Matmul) {
    auto r = matrix_axes_reduced(g_in, *lhs_data, *rhs_data);
    if (!r) return std::unexpected(std::move(r.error()));
    reduced = std::move(*r);
  }
  const Storage& g = reduced ? *reduced : g_in;
  auto grads = [&] {
#define VESSIK_RULE(kernel, member, node) \
  if constexpr (std::is_same_v<SavedBinaryNode, node>) return Storage::member(*lhs_data, g, *rhs_data, wanted);
    VESSIK_GRADIENT_OPS(VESSIK_RULE)
#undef VESSIK_RULE
    if constexpr (K == SavedBinaryKind::Matmul) return Storage::backward_matmul(*lhs_data, g, *rhs_data, wanted);
  }();
  if (!grads) return std::unexpected(std::move(grads.error()));
  if (wanted != WantedGradients::RhsOnly) {
    if (auto ok = ctx.accumulate(lhs, share(std::move(grads->first))); !ok) return ok;
  }
  if (wanted == WantedGradients::LhsOnly) return {};
  return ctx.accumulate(rhs, share(std::move(grads->second)));
}

template struct SavedBinaryNode<SavedBinaryKind::Mul>;
template struct SavedBinaryNode<SavedBinaryKind::Div>;
template struct SavedBinaryNode<SavedBinaryKind::Matmul>;

Result<void> ReluNode::backward(AutogradContext& ctx, const StorageHandle& g) const {
  auto grad = Storage::backward_relu(*input_data, *g);
  if (!grad) return std::unexpected(std::move(grad.error()));
  return ctx.accumulate(input, share(std::move(*grad)));
}

// g's extra leading axes stay; each trailing block of the result's rank,
// summed over the axes that broadcast it, is reshaped to the input's shape.
Result<void> ReshapeNode::backward(AutogradContext& ctx, const StorageHandle& g_handle) const {
  const Storage& g = *g_handle;
  const Shape g_shape = g.shape();
  if (g_shape.size() < output_shape.size()) {
    return kernel_fail("Gradient " + shape_to_string(g_shape) + " has fewer axes than the reshape result " +
                       shape_to_string(output_shape));
  }
  const auto lead = static_cast<std::ptrdiff_t>(g_shape.size() - output_shape.size());
  Shape block = Shape(g_shape.begin(), g_shape.begin() + lead);
  Shape target = block;
  block.append(output_shape.begin(), output_shape.end());
  target.append(input_shape.begin(), input_shape.end());
  // reshape reads a row-major gradient; copy or sum into one only when g is not.
  std::optional<Storage> row_major;
  if (block != g_shape || !is_row_major_contiguous(g_shape, g.strides())) {
    auto made = block == g_shape ? g.to_row_major() : g.sum_to_shape(block);
    if (!made) return std::unexpected(std::move(made.error()));
    row_major.emplace(std::move(*made));
  }
  auto grad = (row_major ? *row_major : g).reshape(target);
  if (!grad) return std::unexpected(std::move(grad.error()));
  return ctx.accumulate(input, share(std::move(*grad)));
}

// Counted from the right: the input's axes are g's last `rank` axes.
Result<void> TransposeNode::backward(AutogradContext& ctx, const StorageHandle& g) const {
  const std::uint64_t extra = g->ndim() >= rank ? g->ndim() - rank : 0;
  auto grad = g->transpose(dim0 + extra, dim1 + extra);
  if (!grad) return std::unexpected(std::move(grad.error()));
  return ctx.accumulate(input, share(std::move(*grad)));
}

Result<void> ScalarAddNode::backward(AutogradContext& ctx, const StorageHandle& g) const {
  return pass_on(ctx, input, g);
}

Result<void> ScalarMulNode::backward(AutogradContext& ctx, const StorageHandle& g) const {
  return pass_scaled(ctx, input, *g, factor);
}

}  // namespace vessik
