#include "tensor/core.h"

#include <array>
#include <memory>
#include <type_traits>

#include "autograd/backward_pass.h"
#include "autograd/tape.h"
#include "autograd/nodes.h"

namespace vessik {

namespace {

using StorageResult = Result<Storage>;

Result<Tensor> wrap(StorageResult storage) {
  if (!storage) return std::unexpected(std::move(storage.error()));
  return Tensor{share(std::move(*storage)), false, std::nullopt};
}

std::unexpected<Error> stale_operand() {
  return fail(ErrorKind::RuntimeError,
              "Tensor belongs to a graph that Tensor.clear_graph() cleared, or to another thread's graph: after "
              "clear_graph(), make it again from its values (Tensor(t.to_numpy(), requires_grad=True)); to "
              "compute with it on another thread, pass a tensor made without requires_grad, or its values");
}

// The recording pattern of every differentiable operation: decide whether
// the result requires a gradient, compute, and only on success record the
// node (with a fresh leaf for each operand that has no node), so a failure
// leaves the tape as it was. An operand of another epoch is refused before
// anything is computed (Note [Tape epochs]).
template <std::size_t N, class Build, class Compute>
Result<Tensor> differentiable(const std::array<const Tensor*, N>& operands, Build&& build, Compute&& compute) {
  bool requires_grad = false;
  for (const Tensor* t : operands) requires_grad = requires_grad || t->requires_grad;
  if (!requires_grad) return wrap(compute());
  return TapeAccess::exclusive([&](Tape& tape) -> Result<Tensor> {
    std::array<std::optional<NodeId>, N> inputs;
    for (std::size_t i = 0; i < N; ++i) {
      inputs[i] = operands[i]->node_id;
      if (inputs[i] && !tape.owns(*inputs[i])) return stale_operand();
    }
    StorageResult storage = compute();
    if (!storage) return std::unexpected(std::move(storage.error()));
    const NodeId id = tape.record(inputs, build);
    return Tensor{share(std::move(*storage)), true, id};
  });
}

// Only the operands that require a gradient need one: Note [Gradients nobody reads].
WantedGradients wanted_gradients(const Tensor& self, const Tensor& other) {
  if (self.requires_grad && other.requires_grad) return WantedGradients::Both;
  return self.requires_grad ? WantedGradients::LhsOnly : WantedGradients::RhsOnly;
}

// A node whose rule needs the operands' values (mul, div, matmul) keeps their
// storage; the others (add, sub) are built from the operands' indices alone.
template <class Node>
Result<Tensor> binary(const Tensor& self, const Tensor& other, StorageResult (Storage::*op)(const Storage&) const) {
  return differentiable(
      std::array{&self, &other},
      [&](const std::array<std::uint64_t, 2>& ids) {
        if constexpr (std::is_constructible_v<Node, std::uint64_t, std::uint64_t>) {
          return std::make_unique<Node>(ids[0], ids[1]);
        } else {
          return std::make_unique<Node>(self.storage, other.storage, ids[0], ids[1], wanted_gradients(self, other));
        }
      },
      [&] { return ((*self.storage).*op)(*other.storage); });
}

template <class Node>
Result<Tensor> unary(const Tensor& self, StorageResult (Storage::*op)() const) {
  return differentiable(
      std::array{&self},
      [&](const std::array<std::uint64_t, 1>& ids) { return std::make_unique<Node>(self.storage, ids[0]); },
      [&] { return ((*self.storage).*op)(); });
}

// The kernel applies s; a scaling node records it as its factor.
template <class Node>
Result<Tensor> scalar_with_node(const Tensor& self, float s, StorageResult (Storage::*op)(float) const) {
  return differentiable(
      std::array{&self},
      [&](const std::array<std::uint64_t, 1>& ids) {
        if constexpr (std::is_constructible_v<Node, std::uint64_t, float>) {
          return std::make_unique<Node>(ids[0], s);
        } else {
          return std::make_unique<Node>(ids[0]);
        }
      },
      [&] { return ((*self.storage).*op)(s); });
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

#define VESSIK_ARITHMETIC(name, functor, node) \
  Result<Tensor> name(const Tensor& self, const Tensor& other) { return binary<node>(self, other, &Storage::name); }
#define VESSIK_UNARY(name, functor, node) \
  Result<Tensor> name(const Tensor& self) { return unary<node>(self, &Storage::name); }
#define VESSIK_BOOLEAN(name, ...) \
  Result<Tensor> name(const Tensor& self, const Tensor& other) { return wrap(self.storage->name(*other.storage)); }
#define VESSIK_SCALAR_COMPARISON(name, ...) \
  Result<Tensor> name(const Tensor& self, float s) { return wrap(self.storage->name(s)); }
VESSIK_ARITHMETIC_OPS(VESSIK_ARITHMETIC)
VESSIK_UNARY_OPS(VESSIK_UNARY)
VESSIK_COMPARISON_OPS(VESSIK_BOOLEAN)
VESSIK_LOGICAL_OPS(VESSIK_BOOLEAN)
VESSIK_SCALAR_COMPARISON_OPS(VESSIK_SCALAR_COMPARISON)
#undef VESSIK_ARITHMETIC
#undef VESSIK_UNARY
#undef VESSIK_BOOLEAN
#undef VESSIK_SCALAR_COMPARISON

Result<Tensor> matmul(const Tensor& self, const Tensor& other) {
  return binary<MatmulNode>(self, other, &Storage::matmul);
}

// The scalar forms by hand: the node does not follow the kernel (x - s
// records a ScalarAddNode) and scalar_div and scalar_rdiv have no kernel of
// their own.
Result<Tensor> scalar_add(const Tensor& self, float s) {
  return scalar_with_node<ScalarAddNode>(self, s, &Storage::scalar_add);
}
Result<Tensor> scalar_sub(const Tensor& self, float s) {
  // x - s passes its gradient on unchanged, as x + s does.
  return scalar_with_node<ScalarAddNode>(self, s, &Storage::scalar_sub);
}
Result<Tensor> scalar_mul(const Tensor& self, float s) {
  return scalar_with_node<ScalarMulNode>(self, s, &Storage::scalar_mul);
}
Result<Tensor> scalar_div(const Tensor& self, float s) {
  // Division by a scalar is multiplication by its binary32 reciprocal.
  return scalar_with_node<ScalarDivNode>(self, 1.0f / s, &Storage::scalar_mul);
}

Result<Tensor> scalar_rdiv(const Tensor& self, float s) {
  auto constant = scalar_storage_like(*self.storage, s);
  if (!constant) return std::unexpected(std::move(constant.error()));
  const Tensor numerator{share(std::move(*constant)), false, std::nullopt};
  return binary<DivNode>(numerator, self, &Storage::div);
}

Result<Tensor> reshape(const Tensor& self, const Shape& shape) {
  return differentiable(
      std::array{&self},
      [&](const std::array<std::uint64_t, 1>& ids) {
        return std::make_unique<ReshapeNode>(self.storage->shape(), shape, ids[0]);
      },
      [&] { return self.storage->reshape(shape); });
}

Result<Tensor> transpose(const Tensor& self, std::uint64_t dim0, std::uint64_t dim1) {
  return differentiable(
      std::array{&self},
      [&](const std::array<std::uint64_t, 1>& ids) {
        return std::make_unique<TransposeNode>(ids[0], self.storage->shape().size(), dim0, dim1);
      },
      [&] { return self.storage->transpose(dim0, dim1); });
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

StorageHandle grad(const Tensor& self) {
  if (!self.node_id) return nullptr;
  const NodeId id = *self.node_id;
  return TapeAccess::shared([id](const Tape& tape) -> StorageHandle {
    if (!tape.owns(id)) return nullptr;
    return tape.get_grad(id.index);
  });
}

}  // namespace vessik
