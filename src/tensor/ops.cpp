#include "tensor/ops.h"

#include <array>
#include <memory>

#include "autograd/backward_pass.h"
#include "autograd/tape.h"
#include "autograd/nodes.h"

namespace vessik {

namespace {

using StorageResult = Result<Storage>;

Result<Tensor> wrap(StorageResult storage, bool requires_grad = false, std::optional<std::uint64_t> node_id = {}) {
  if (!storage) return std::unexpected(std::move(storage.error()));
  return Tensor{share(std::move(*storage)), requires_grad, node_id};
}

// The recording pattern of every differentiable operation: decide whether
// the result requires a gradient, record the node (with a fresh leaf for
// each operand that has no index) before computing, then compute.
template <std::size_t N, class Build, class Compute>
Result<Tensor> differentiable(const std::array<const Tensor*, N>& operands, Build&& build, Compute&& compute) {
  bool requires_grad = false;
  for (const Tensor* t : operands) requires_grad = requires_grad || t->requires_grad;
  std::optional<std::uint64_t> node_id;
  if (requires_grad) {
    std::array<std::optional<std::uint64_t>, N> inputs;
    for (std::size_t i = 0; i < N; ++i) inputs[i] = operands[i]->node_id;
    node_id = TapeAccess::exclusive([&](Tape& tape) { return tape.record(inputs, build); });
  }
  return wrap(compute(), requires_grad, node_id);
}

template <class Node>
Result<Tensor> binary_with_node(const Tensor& self, const Tensor& other,
                                StorageResult (Storage::*op)(const Storage&) const) {
  return differentiable(
      std::array{&self, &other},
      [](const std::array<std::uint64_t, 2>& ids) { return std::make_unique<Node>(ids[0], ids[1]); },
      [&] { return ((*self.storage).*op)(*other.storage); });
}

// Only the operands that require a gradient need one: Note [Gradients nobody reads].
WantedGradients wanted_gradients(const Tensor& self, const Tensor& other) {
  if (self.requires_grad && other.requires_grad) return WantedGradients::Both;
  return self.requires_grad ? WantedGradients::LhsOnly : WantedGradients::RhsOnly;
}

template <class Node>
Result<Tensor> binary_saving_operands(const Tensor& self, const Tensor& other,
                                      StorageResult (Storage::*op)(const Storage&) const) {
  return differentiable(
      std::array{&self, &other},
      [&](const std::array<std::uint64_t, 2>& ids) {
        return std::make_unique<Node>(self.storage, other.storage, ids[0], ids[1], wanted_gradients(self, other));
      },
      [&] { return ((*self.storage).*op)(*other.storage); });
}

template <class Node>
Result<Tensor> scalar_with_node(const Tensor& self, float recorded, float applied,
                                StorageResult (Storage::*op)(float) const) {
  return differentiable(
      std::array{&self},
      [&](const std::array<std::uint64_t, 1>& ids) { return std::make_unique<Node>(ids[0], recorded); },
      [&] { return ((*self.storage).*op)(applied); });
}

// A zero-axis storage of `like`'s element type holding s, rounded to that
// type as the scalar operations round their scalar.
StorageResult scalar_storage_like(const Storage& like, float s) {
  return like.visit([s]<class T>(const NdArray<T>&) -> StorageResult {
    if constexpr (std::same_as<T, bool>) {
      return to_storage(NdArray<bool>::filled({}, s != 0.0f));
    } else {
      return to_storage(NdArray<T>::filled({}, T(s)));
    }
  });
}

}  // namespace

Result<Tensor> add(const Tensor& self, const Tensor& other) {
  return binary_with_node<AddNode>(self, other, &Storage::add);
}
Result<Tensor> sub(const Tensor& self, const Tensor& other) {
  return binary_with_node<SubNode>(self, other, &Storage::sub);
}
Result<Tensor> mul(const Tensor& self, const Tensor& other) {
  return binary_saving_operands<MulNode>(self, other, &Storage::mul);
}
Result<Tensor> div(const Tensor& self, const Tensor& other) {
  return binary_saving_operands<DivNode>(self, other, &Storage::div);
}
Result<Tensor> matmul(const Tensor& self, const Tensor& other) {
  return binary_saving_operands<MatmulNode>(self, other, &Storage::matmul);
}

Result<Tensor> scalar_add(const Tensor& self, float s) {
  return scalar_with_node<ScalarAddNode>(self, s, s, &Storage::scalar_add);
}
Result<Tensor> scalar_sub(const Tensor& self, float s) {
  // x - s passes its gradient on unchanged, as x + s does.
  return scalar_with_node<ScalarAddNode>(self, s, s, &Storage::scalar_sub);
}
Result<Tensor> scalar_mul(const Tensor& self, float s) {
  return scalar_with_node<ScalarMulNode>(self, s, s, &Storage::scalar_mul);
}
Result<Tensor> scalar_div(const Tensor& self, float s) {
  // Division by a scalar is multiplication by its binary32 reciprocal.
  const float r = 1.0f / s;
  return scalar_with_node<ScalarDivNode>(self, r, r, &Storage::scalar_mul);
}

Result<Tensor> scalar_rdiv(const Tensor& self, float s) {
  auto constant = scalar_storage_like(*self.storage, s);
  if (!constant) return std::unexpected(std::move(constant.error()));
  const Tensor numerator{share(std::move(*constant)), false, std::nullopt};
  return binary_saving_operands<DivNode>(numerator, self, &Storage::div);
}

Result<Tensor> reshape(const Tensor& self, const Shape& shape) {
  return differentiable(
      std::array{&self},
      [&](const std::array<std::uint64_t, 1>& ids) { return std::make_unique<ReshapeNode>(self.storage->shape(), ids[0]); },
      [&] { return self.storage->reshape(shape); });
}

Result<Tensor> transpose(const Tensor& self, std::uint64_t dim0, std::uint64_t dim1) {
  return differentiable(
      std::array{&self},
      [&](const std::array<std::uint64_t, 1>& ids) { return std::make_unique<TransposeNode>(ids[0], dim0, dim1); },
      [&] { return self.storage->transpose(dim0, dim1); });
}

Result<Tensor> relu(const Tensor& self) {
  return differentiable(
      std::array{&self},
      [&](const std::array<std::uint64_t, 1>& ids) { return std::make_unique<ReluNode>(self.storage, ids[0]); },
      [&] { return self.storage->relu(); });
}

Result<Tensor> eq(const Tensor& self, const Tensor& other) { return wrap(self.storage->eq(*other.storage)); }
Result<Tensor> ge(const Tensor& self, const Tensor& other) { return wrap(self.storage->ge(*other.storage)); }
Result<Tensor> gt(const Tensor& self, const Tensor& other) { return wrap(self.storage->gt(*other.storage)); }
Result<Tensor> le(const Tensor& self, const Tensor& other) { return wrap(self.storage->le(*other.storage)); }
Result<Tensor> lt(const Tensor& self, const Tensor& other) { return wrap(self.storage->lt(*other.storage)); }
Result<Tensor> scalar_eq(const Tensor& self, float s) { return wrap(self.storage->scalar_eq(s)); }
Result<Tensor> scalar_ge(const Tensor& self, float s) { return wrap(self.storage->scalar_ge(s)); }
Result<Tensor> scalar_gt(const Tensor& self, float s) { return wrap(self.storage->scalar_gt(s)); }
Result<Tensor> scalar_le(const Tensor& self, float s) { return wrap(self.storage->scalar_le(s)); }
Result<Tensor> scalar_lt(const Tensor& self, float s) { return wrap(self.storage->scalar_lt(s)); }
Result<Tensor> logical_and(const Tensor& self, const Tensor& other) {
  return wrap(self.storage->logical_and(*other.storage));
}
Result<Tensor> logical_or(const Tensor& self, const Tensor& other) {
  return wrap(self.storage->logical_or(*other.storage));
}
Result<Tensor> logical_xor(const Tensor& self, const Tensor& other) {
  return wrap(self.storage->logical_xor(*other.storage));
}
Result<Tensor> logical_not(const Tensor& self) { return wrap(self.storage->logical_not()); }
Result<Tensor> zeros_like(const Tensor& self) { return wrap(self.storage->zeros_like()); }
Result<Tensor> ones_like(const Tensor& self) { return wrap(self.storage->ones_like()); }

Result<void> backward(const Tensor& self) {
  if (!self.requires_grad) return fail(ErrorKind::ValueError, "backward() called on tensor that does not require grad");
  if (!self.node_id) return fail(ErrorKind::ValueError, "backward() called on a constant tensor with no node_id");
  // A seed of ones: backward() differentiates the sum of the elements.
  auto seed = self.storage->ones_like();
  if (!seed) return std::unexpected(std::move(seed.error()));
  return run_backward(*self.node_id, std::move(*seed));
}

Result<std::optional<Storage>> grad(const Tensor& self) {
  if (!self.node_id) return std::optional<Storage>{};
  const std::uint64_t id = *self.node_id;
  return TapeAccess::shared([id](const Tape& tape) { return tape.get_grad(id); });
}

}  // namespace vessik
