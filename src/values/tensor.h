#pragma once

#include <cstdint>
#include <optional>

#include "values/storage.h"

namespace vessik {

// The core tensor value: immutable data plus its autograd identity.
// node_id is present exactly when requires_grad is true; it indexes the tape
// of the thread that created the tensor.
struct Tensor {
  StorageHandle storage;
  bool requires_grad = false;
  std::optional<std::uint64_t> node_id;
};

}  // namespace vessik
