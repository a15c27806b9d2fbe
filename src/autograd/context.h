#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/cpu/error.h"
#include "values/storage.h"

namespace vessik {

// The working table of one backward pass: the gradient gathered so far for
// each node. Gradients are shared handles, moved in and out, never copied.
class AutogradContext {
 public:
  explicit AutogradContext(std::size_t node_count) : grads_(node_count) {}

  // Adds `g` into slot k. Gradients keep the shape they arrive with (see
  // Note [Unreduced gradients]), so two gradients of one node may differ
  // in shape; see Note [Shares of different shapes] for how they combine.
  // On failure the slot keeps its previous gradient.
  Result<void> accumulate(std::uint64_t k, StorageHandle g);
  void set_grad(std::uint64_t k, StorageHandle g);
  // Moves the gradient out of slot k, leaving it empty (null when it was).
  StorageHandle take(std::uint64_t k);

  std::vector<StorageHandle>& slots() { return grads_; }

 private:
  void ensure_slot(std::uint64_t k);

  std::vector<StorageHandle> grads_;
};

}  // namespace vessik
