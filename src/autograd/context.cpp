#include "autograd/context.h"

namespace vessik {

void AutogradContext::ensure_slot(std::uint64_t k) {
  if (k >= grads_.size()) grads_.resize(k + 1);
}

Result<void> AutogradContext::accumulate(std::uint64_t k, Storage g) {
  ensure_slot(k);
  auto& slot = grads_[k];
  if (!slot) {
    slot.emplace(std::move(g));
    return {};
  }
  auto sum = slot->add(g);
  if (!sum) return std::unexpected(std::move(sum.error()));
  slot.emplace(std::move(*sum));
  return {};
}

void AutogradContext::set_grad(std::uint64_t k, Storage g) {
  ensure_slot(k);
  grads_[k].emplace(std::move(g));
}

std::optional<Storage> AutogradContext::take(std::uint64_t k) {
  if (k >= grads_.size() || !grads_[k]) return std::nullopt;
  std::optional<Storage> g = std::move(grads_[k]);
  grads_[k].reset();
  return g;
}

}  // namespace vessik
