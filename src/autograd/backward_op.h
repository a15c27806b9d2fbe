#pragma once

#include "engine/cpu/error.h"
#include "values/storage.h"

namespace vessik {

class AutogradContext;

// A node of the tape: the record a differentiable operation leaves behind
// and its gradient rule. Given the node's gathered gradient g, it adds a
// gradient for each input into the pass's working table. Storage is
// immutable, so a rule that passes g on unchanged hands on the same handle.
class BackwardOp {
 public:
  virtual ~BackwardOp() = default;
  virtual Result<void> backward(AutogradContext& ctx, const StorageHandle& g) const = 0;
};

}  // namespace vessik
