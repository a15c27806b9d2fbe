#include "autograd/backward_pass.h"

#include "autograd/context.h"
#include "autograd/tape.h"

namespace vessik {

Result<void> run_backward(const NodeId& start_id, Storage seed) {
  return TapeAccess::exclusive([&](Tape& tape) -> Result<void> {
    if (!tape.owns(start_id)) {
      return fail(ErrorKind::RuntimeError,
                  "backward() called on a tensor whose graph was cleared or belongs to another thread: call "
                  "backward() on the thread that built the graph, before Tensor.clear_graph()");
    }
    const std::uint64_t start = start_id.index;
    // Inputs precede their nodes, so the pass reaches no slot above start.
    AutogradContext ctx(start + 1);
    ctx.set_grad(start, share(std::move(seed)));
    // Descending index order is a topological order: Note [Tape index order].
    for (std::uint64_t i = start + 1; i-- > 0;) {
      StorageHandle g = ctx.take(i);
      if (!g) continue;
      if (const BackwardOp* node = tape.node(i)) {
        if (auto ok = node->backward(ctx, g); !ok) return ok;
      }
      ctx.set_grad(i, std::move(g));
    }
    auto& slots = ctx.slots();
    for (std::uint64_t i = 0; i < slots.size(); ++i) {
      if (slots[i]) tape.set_grad(i, std::move(slots[i]));
    }
    return {};
  });
}

}  // namespace vessik
