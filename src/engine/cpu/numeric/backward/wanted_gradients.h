#pragma once
// Which of its two gradients a product's gradient kernel computes. The
// autograd pass asks only for those it will read, and the kernel skips the
// other product: Note [Gradients nobody reads].

namespace vessik {

enum class WantedGradients { Both, LhsOnly, RhsOnly };

}  // namespace vessik
