#include "autograd/context.h"

#include <algorithm>
#include <tuple>

#include "engine/cpu/array/broadcast.h"

namespace vessik {

namespace {

// Note [Shares of different shapes]
// Each share of a node's gradient broadcasts the node's result shape S
// (Note [Unreduced gradients]). Two shares may be added as they are when
// neither repeats in the broadcast sum, that is when both have the sum's
// element count. Otherwise each is summed down to the axes the two have in
// common: aligned from the right, the fewer axes of the two, each axis the
// shared length or 1 where they differ. S broadcasts to that shape, since
// where the shares differ S can only have length 1, so the sum of the two
// summed shares is again a share of the node's gradient.
Shape common_axes(const Shape& a, const Shape& b) {
  const std::size_t n = std::min(a.size(), b.size());
  Shape out(n);
  for (std::size_t i = 1; i <= n; ++i) {
    const std::uint64_t la = a[a.size() - i], lb = b[b.size() - i];
    out[n - i] = la == lb ? la : 1;
  }
  return out;
}

bool repeats_in_sum(const Shape& a, const Shape& b) {
  if (a == b) return false;
  auto sum = broadcast_shapes(a, b);
  if (!sum) return true;
  const auto count = checked_element_count(*sum);
  return !count || checked_element_count(a) != count || checked_element_count(b) != count;
}

Result<Storage> add_shares(const Storage& a, const Storage& b) {
  const Shape sa = a.shape(), sb = b.shape();
  if (!repeats_in_sum(sa, sb)) return a.add(b);
  // See Note [Shares of different shapes].
  const Shape common = common_axes(sa, sb);
  std::optional<Storage> ra, rb;
  for (auto [share, shape, out] : {std::tuple{&a, &sa, &ra}, std::tuple{&b, &sb, &rb}}) {
    if (*shape == common) continue;
    auto summed = share->sum_to_shape(common);
    if (!summed) return summed;
    out->emplace(std::move(*summed));
  }
  return (ra ? *ra : a).add(rb ? *rb : b);
}

}  // namespace

void AutogradContext::ensure_slot(std::uint64_t k) {
  if (k >= grads_.size()) grads_.resize(k + 1);
}

Result<void> AutogradContext::accumulate(std::uint64_t k, StorageHandle g) {
  ensure_slot(k);
  auto& slot = grads_[k];
  if (!slot) {
    slot = std::move(g);
    return {};
  }
  auto sum = add_shares(*slot, *g);
  if (!sum) return std::unexpected(std::move(sum.error()));
  slot = share(std::move(*sum));
  return {};
}

void AutogradContext::set_grad(std::uint64_t k, StorageHandle g) {
  ensure_slot(k);
  grads_[k] = std::move(g);
}

StorageHandle AutogradContext::take(std::uint64_t k) {
  if (k >= grads_.size()) return nullptr;
  return std::move(grads_[k]);
}

}  // namespace vessik
