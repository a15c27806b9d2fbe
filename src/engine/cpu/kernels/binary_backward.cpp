#include "engine/cpu/numeric/backward/binary.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "engine/cpu/array/iterate.h"
#include "engine/cpu/numeric/core/element_loops.h"
#include "engine/cpu/numeric/core/tensor_ops.h"
#include "engine/cpu/numeric/ops/binary.h"
#include "engine/cpu/array/broadcast.h"

namespace vessik::numeric {

// (g × rhs, g × lhs), each the forward broadcasting multiplication.
template <NumericElement T>
Result<GradientPair<T>> mul_backward(const NdArray<T>& g, const NdArray<T>& lhs, const NdArray<T>& rhs,
                                     WantedGradients wanted) {
  GradientPair<T> out;
  if (wanted != WantedGradients::RhsOnly) {
    auto for_lhs = mul(g, rhs);
    if (!for_lhs) return std::unexpected(std::move(for_lhs.error()));
    out.first = std::move(*for_lhs);
  }
  if (wanted != WantedGradients::LhsOnly) {
    auto for_rhs = mul(g, lhs);
    if (!for_rhs) return std::unexpected(std::move(for_rhs.error()));
    out.second = std::move(*for_rhs);
  }
  return out;
}

namespace {

// Pointers and steps of one run of the joint walk: the two results, then
// g, lhs and rhs.
template <class T>
struct DivRun {
  T* gl;
  std::int64_t sgl;
  T* gr;
  std::int64_t sgr;
  const T* g;
  std::int64_t sg;
  const T* l;
  std::int64_t sl;
  const T* r;
  std::int64_t sr;
  std::int64_t n;
};

// Note [Division gradient order]
// gl = g ÷ r and gr = ((−g) × l) ÷ (r × r), in exactly this order, every
// intermediate rounded to the element type. For 16-bit types that is four
// separate roundings (r × r overflows F16 once |r| > 256, making gr a signed
// zero), so the chunked path below rounds each intermediate back through T.
inline void div_run(const DivRun<float>& run) {
  for (std::int64_t i = 0; i < run.n; ++i) {
    const float g = run.g[i * run.sg], l = run.l[i * run.sl], r = run.r[i * run.sr];
    run.gl[i * run.sgl] = TensorOps<float>::kernel_div(g, r);
    run.gr[i * run.sgr] = TensorOps<float>::kernel_div(TensorOps<float>::kernel_mul(TensorOps<float>::neg(g), l),
                                                       TensorOps<float>::kernel_mul(r, r));
  }
}

// Rounds binary32 values to T and widens them back: one operation's rounding.
template <HalfElement T>
inline void round_through(float* v, std::int64_t m) {
  alignas(64) T rounded[loops::kChunk];
  loops::narrow(v, m, rounded, 1);
  loops::widen(rounded, 1, m, v);
}

// The same operations in binary32 chunks (Note [Bulk 16-bit arithmetic]),
// each rounded to T before the next uses it.
template <HalfElement T>
void div_run(const DivRun<T>& run) {
  alignas(64) float g[loops::kChunk], l[loops::kChunk], r[loops::kChunk];
  alignas(64) float num[loops::kChunk], den[loops::kChunk];
  for (std::int64_t c = 0; c < run.n; c += loops::kChunk) {
    const std::int64_t m = std::min(loops::kChunk, run.n - c);
    loops::widen(run.g + c * run.sg, run.sg, m, g);
    loops::widen(run.l + c * run.sl, run.sl, m, l);
    loops::widen(run.r + c * run.sr, run.sr, m, r);
    for (std::int64_t i = 0; i < m; ++i) num[i] = g[i] / r[i];
    loops::narrow(num, m, run.gl + c * run.sgl, run.sgl);
    // Negating the widened g is exact and equals widening the negated g.
    for (std::int64_t i = 0; i < m; ++i) num[i] = -g[i] * l[i];
    for (std::int64_t i = 0; i < m; ++i) den[i] = r[i] * r[i];
    round_through<T>(num, m);
    round_through<T>(den, m);
    for (std::int64_t i = 0; i < m; ++i) num[i] = num[i] / den[i];
    loops::narrow(num, m, run.gr + c * run.sgr, run.sgr);
  }
}

}  // namespace

// (g ÷ r, ((−g) × l) ÷ (r × r)) in one joint pass over the three broadcast
// views, each operation rounded to T; both results row-major. Both are
// computed whatever is wanted: the pass costs little more than g ÷ r alone,
// and the forward division would lay that one out differently.
template <NumericElement T>
Result<GradientPair<T>> div_backward(const NdArray<T>& g, const NdArray<T>& lhs, const NdArray<T>& rhs,
                                     WantedGradients) {
  auto gl_views = broadcast_tensors(g, lhs);
  if (!gl_views) return std::unexpected(std::move(gl_views.error()));
  auto shape = broadcast_shapes(gl_views->first.shape, rhs.shape());
  if (!shape) return std::unexpected(std::move(shape.error()));
  // g's and lhs's views fail only when the shape is too large to address.
  auto failed = [&](const char* what, const Shape& from) {
    return kernel_fail(std::string("Broadcast failed for ") + what + ": " + shape_to_string(from) + " -> " +
                       shape_to_string(*shape));
  };
  auto vg = broadcast_view(gl_views->first, *shape);
  if (!vg) return failed("gradient", g.shape());
  auto vl = broadcast_view(gl_views->second, *shape);
  if (!vl) return failed("LHS", lhs.shape());
  auto vr = broadcast_view(rhs.view(), *shape);
  if (!vr) return failed("RHS", rhs.shape());

  auto for_lhs = NdArray<T>::uninitialized_row_major(*shape);
  if (!for_lhs) return std::unexpected(std::move(for_lhs.error()));
  auto for_rhs = NdArray<T>::uninitialized_row_major(*shape);
  if (!for_rhs) return std::unexpected(std::move(for_rhs.error()));

  T* const pgl = for_lhs->data();
  T* const pgr = for_rhs->data();
  for_each_run<5>(*shape, {&for_lhs->strides(), &for_rhs->strides(), &vg->strides, &vl->strides, &vr->strides},
                  [&](const Offsets<5>& at, const Offsets<5>& step, std::int64_t n) {
                    div_run(DivRun<T>{pgl + at[0], step[0], pgr + at[1], step[1], vg->data + at[2], step[2],
                                      vl->data + at[3], step[3], vr->data + at[4], step[4], n});
                  });
  return GradientPair<T>{std::move(*for_lhs), std::move(*for_rhs)};
}

#define VESSIK_INSTANTIATE(kernel, ...) VESSIK_INSTANTIATE_NUMERIC(kernel)
VESSIK_GRADIENT_OPS(VESSIK_INSTANTIATE)
#undef VESSIK_INSTANTIATE

}  // namespace vessik::numeric
