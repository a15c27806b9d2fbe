#include "autograd/backward_pass.h"

#include "autograd/context.h"
#include "autograd/tape.h"

namespace vessik {

Result<void> run_backward(std::uint64_t start, Storage seed) {
  return TapeAccess::exclusive([&](Tape& tape) -> Result<void> {
    // A tensor made before clear_graph(), or on another thread, may name an
    // index beyond this tape; there is no node to run, and guessing would
    // compute nonsense.
    if (start >= tape.node_count()) {
      return fail(ErrorKind::RuntimeError,
                  "backward() called on a tensor whose graph was cleared or belongs to another thread");
    }
    AutogradContext ctx(tape.node_count());
    ctx.set_grad(start, std::move(seed));
    // Descending index order is a topological order: Note [Tape index order].
    for (std::uint64_t i = start + 1; i-- > 0;) {
      std::optional<Storage> g = ctx.take(i);
      if (!g) continue;
      if (const BackwardOp* node = tape.node(i)) {
        if (auto ok = node->backward(ctx, *g); !ok) return ok;
      }
      ctx.set_grad(i, std::move(*g));
    }
    auto& slots = ctx.slots();
    for (std::uint64_t i = 0; i < slots.size(); ++i) {
      if (slots[i]) tape.set_grad(i, std::move(*slots[i]));
    }
    return {};
  });
}

}  // namespace vessik
