#pragma once

#include <cstdint>
#include <optional>

#include "values/storage.h"

namespace vessik {

// A node on one tape: its index, and the epoch of the tape that issued it.
// Every tape creation and every clear_graph() starts a new epoch, so an
// index from a cleared tape or another thread's tape never names a node of
// the current graph. See Note [Tape epochs].
struct NodeId {
  std::uint64_t index = 0;
  std::uint64_t epoch = 0;
};

// The core tensor value: immutable data plus its autograd identity.
// node_id is present exactly when requires_grad is true.
struct Tensor {
  StorageHandle storage;
  bool requires_grad = false;
  std::optional<NodeId> node_id;
};

}  // namespace vessik
