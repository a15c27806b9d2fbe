#pragma once
// The per-thread tape: node records in creation order and one gradient slot
// per node.
//
// Note [Tape index order]
// A node is appended only after each of its inputs has an index, so every
// input index is smaller than the node's own. The backward pass therefore
// visits nodes by descending index and reaches a node only after every node
// that can contribute to its gradient. Only nodes of the tape's current
// epoch are ever recorded as inputs (Note [Tape epochs]), so the order holds
// for every graph.
//
// Note [Tape epochs]
// Every tape takes a fresh epoch from a process-wide counter when it is made
// and again at every clear(). A NodeId carries the epoch that issued it, so a
// tensor from before clear_graph(), or from another thread's tape, is told
// apart from the node that now sits at its index: grad() finds nothing for
// it, and backward() and recording refuse it.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "autograd/backward_op.h"
#include "engine/cpu/error.h"
#include "values/storage.h"
#include "values/tensor.h"

namespace vessik {

class Tape {
 public:
  // A leaf is a null node: it has no rule and occupies only its slot.
  using Node = std::unique_ptr<BackwardOp>;

  Tape();

  NodeId register_leaf();

  // Whether `id` names a node of this tape's current graph.
  bool owns(const NodeId& id) const { return id.epoch == epoch_; }

  // Appends a leaf for every input without a node, then the node made by
  // `build(input_indices)`; returns the node's id. Every present input must
  // be owned by this tape.
  template <std::size_t N, class Build>
  NodeId record(const std::array<std::optional<NodeId>, N>& inputs, Build&& build) {
    reserve_for(N + 1);
    std::array<std::uint64_t, N> ids{};
    for (std::size_t i = 0; i < N; ++i) ids[i] = inputs[i] ? inputs[i]->index : append(nullptr);
    Node node = build(ids);
    return {append(std::move(node)), epoch_};
  }

  std::size_t node_count() const { return nodes_.size(); }
  // The node at `index`; null for a leaf. `index` must be below node_count().
  const BackwardOp* node(std::uint64_t index) const { return nodes_[index].get(); }

  // Stores a gradient, growing the slot table when `index` is beyond it.
  void set_grad(std::uint64_t index, StorageHandle grad);
  // The stored gradient; null for an empty or absent slot.
  StorageHandle get_grad(std::uint64_t index) const;

  // Drops every node and gradient and starts a new epoch; keeps the
  // capacity for the next graph.
  void clear();

 private:
  void reserve_for(std::size_t extra);
  std::uint64_t append(Node node);

  std::uint64_t epoch_;
  std::vector<Node> nodes_;
  std::vector<StorageHandle> grads_;
};

// Single-owner access to the calling thread's tape. Exclusive use (record,
// backward, clear) and shared reads (get_grad) never overlap on one thread;
// no tape operation calls back into Python or into another tape operation,
// so a conflict is a broken invariant and aborts.
class TapeAccess {
 public:
  template <class F>
  static decltype(auto) exclusive(F&& f) {
    Guard g(Mode::Exclusive);
    return f(tape());
  }
  template <class F>
  static decltype(auto) shared(F&& f) {
    Guard g(Mode::Shared);
    return f(static_cast<const Tape&>(tape()));
  }

 private:
  enum class Mode { Exclusive, Shared };
  struct Guard {
    explicit Guard(Mode mode);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Mode mode;
  };
  static Tape& tape();
};

// Convenience entries on the calling thread's tape.
NodeId register_leaf();
void clear_tape();

}  // namespace vessik
