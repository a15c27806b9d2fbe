#include "engine/cpu/numeric/ops/gemm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "engine/cpu/half/half_convert.h"
#include "engine/cpu/numeric/core/element_loops.h"
#include "engine/cpu/processor/cache.h"
#include "engine/cpu/processor/fused_multiply_add.h"
#include "engine/cpu/processor/vector_width.h"

namespace vessik {

namespace {

// The tile of this level: rows of sums as many vectors wide as the
// registers hold beside the strips of b and one broadcast value of a.
// Measured on Zen 4: at avx512, 6 x 4 vectors beat 12 x 2, 14 x 2 and 8 x 3
// (one broadcast feeds four multiply-adds); at avx2, 6 x 2 beat 4 x 3 and
// 5 x 2; at baseline, where each broadcast costs a shuffle on the ports of
// the separate multiplies and adds, 3 x 4 beat 6 x 2, 4 x 3 and 3 x 3.
#if defined(__AVX512F__)
constexpr int kTileRows = 6;
constexpr int kTileVectors = 4;
#elif defined(__AVX__)
constexpr int kTileRows = 6;
constexpr int kTileVectors = 2;
#else
constexpr int kTileRows = 3;
constexpr int kTileVectors = 4;
#endif
constexpr int kTileColumns = kVectorFloats * kTileVectors;
// Floats per value of a in a packed panel. Below AVX a broadcast costs a
// shuffle on the ports of the multiplies and adds, so each value is packed
// already broadcast across a vector (measured 8 % faster at 256³ and
// 1024³); from AVX on, broadcasts come free with the loads.
#if defined(__AVX__)
constexpr int kAWidth = 1;
#else
constexpr int kAWidth = kVectorFloats;
#endif
// The deepest block, for the per-row staging of a panel on the stack.
constexpr std::int64_t kMaxDepth = 1024;

// The kernel of Note [Packed products]:
// c = (accumulate ? c : 0) + the kc steps of the first Rows rows of an a
// panel (kTileRows values per step) times Panels adjacent b panels
// (kTileColumns per step each, panel_stride apart). c has unit column stride
// and all Panels * kTileColumns columns.
template <int Rows = kTileRows, int Panels = 1>
[[gnu::always_inline]] inline void tile(std::int64_t kc, const float* ap, const float* bp, float* c, std::int64_t ldc,
                                        bool accumulate, std::int64_t panel_stride = 0) {
  constexpr int kVectors = Panels * kTileVectors;
  F32Vector acc[Rows][kVectors];
  for (int r = 0; r < Rows; ++r) {
    for (int t = 0; t < kVectors; ++t) {
      if (accumulate) {
        std::memcpy(&acc[r][t], c + r * ldc + t * kVectorFloats, sizeof(F32Vector));
      } else {
        acc[r][t] = F32Vector{};
      }
    }
  }
  for (std::int64_t p = 0; p < kc; ++p) {
    F32Vector bv[kVectors];
    for (int q = 0; q < Panels; ++q) {
      for (int t = 0; t < kTileVectors; ++t) {
        std::memcpy(&bv[q * kTileVectors + t], bp + q * panel_stride + t * kVectorFloats, sizeof(F32Vector));
      }
    }
    for (int r = 0; r < Rows; ++r) {
      if constexpr (kAWidth == 1) {
        const float av = ap[r];
        for (int t = 0; t < kVectors; ++t) acc[r][t] = fused_multiply_add(bv[t], av, acc[r][t]);
      } else {
        F32Vector av;
        std::memcpy(&av, ap + r * kAWidth, sizeof(F32Vector));
        for (int t = 0; t < kVectors; ++t) acc[r][t] = fused_multiply_add(bv[t], av, acc[r][t]);
      }
    }
    ap += kTileRows * kAWidth;
    bp += kTileColumns;
  }
  for (int r = 0; r < Rows; ++r) {
    for (int t = 0; t < kVectors; ++t) std::memcpy(c + r * ldc + t * kVectorFloats, &acc[r][t], sizeof(F32Vector));
  }
}

std::int64_t round_down(std::int64_t x, std::int64_t to) { return x / to * to; }
std::int64_t round_up(std::int64_t x, std::int64_t to) { return (x + to - 1) / to * to; }
std::int64_t magnitude(std::int64_t s) { return s < 0 ? -s : s; }

// The step that cuts `total` into as few blocks of at most `most` as
// possible, all about the same size (a multiple of `unit`): a last sliver of
// a block would reuse its packed panels too few times to pay for them.
std::int64_t even_step(std::int64_t total, std::int64_t most, std::int64_t unit) {
  const std::int64_t blocks = (total + most - 1) / most;
  return std::min(most, round_up((total + blocks - 1) / blocks, unit));
}

GemmBlocking choose_blocking() {
  const CacheSizes& c = cache_sizes();
  GemmBlocking g;
  g.tile_rows = kTileRows;
  g.tile_columns = kTileColumns;
  const std::int64_t outer = c.l3 > c.l2 ? c.l3 : c.l2;  // this core's L3 share, or L2 without L3
  // A b panel may fill two thirds of L1, the rest left to the a panel
  // streaming past it: fewer passes over out (at avx2, 512 steps beat 384
  // by 3 % at 1024^3).
  const std::int64_t b_panel_depth = round_down(c.l1d * 2 / 3 / (4 * kTileColumns), 16);
  g.b_panel_in_l1 = b_panel_depth >= 256;
  if (g.b_panel_in_l1) {
    // A block of a fills half of L2 and a block of b half of the L3 share.
    g.depth = std::min(b_panel_depth, kMaxDepth);
    g.rows = std::clamp<std::int64_t>(round_down(c.l2 / 2 / (4 * g.depth * kAWidth), kTileRows), kTileRows, 8192);
    g.columns = std::clamp<std::int64_t>(round_down(outer / 2 / (4 * g.depth), kTileColumns), kTileColumns, 8192);
  } else {
    // An a panel fills half of L1, a block of b half of L2 and a block of a
    // half of the L3 share.
    g.depth = std::clamp<std::int64_t>(round_down(c.l1d / 2 / (4 * kTileRows * kAWidth), 16), 64, kMaxDepth);
    g.columns = std::clamp<std::int64_t>(round_down(c.l2 / 2 / (4 * g.depth), kTileColumns), kTileColumns, 8192);
    g.rows = std::clamp<std::int64_t>(round_down(outer / 2 / (4 * g.depth * kAWidth), kTileRows), kTileRows, 8192);
  }
  return g;
}

// n values at src, stride apart, as F32 at dst.
template <ComputesInF32 T>
void widen_run(const T* src, std::int64_t stride, std::int64_t n, float* dst) {
  if constexpr (std::is_same_v<T, Half>) {
    if (stride == 1) {
      widen_f16(src, dst, static_cast<std::size_t>(n));
      return;
    }
  }
  if (stride == 1) {  // a loop of its own, which the compiler vectorises
    for (std::int64_t i = 0; i < n; ++i) dst[i] = static_cast<float>(src[i]);
    return;
  }
  for (std::int64_t i = 0; i < n; ++i) dst[i] = static_cast<float>(src[i * stride]);
}

// Spreads each value of a panel over kAWidth floats, from the end down, in
// place.
void spread_panel(float* panel, std::int64_t kc) {
  if constexpr (kAWidth > 1) {
    for (std::int64_t q = kc * kTileRows - 1; q >= 0; --q) {
      const float v = panel[q];
      for (int l = 0; l < kAWidth; ++l) panel[q * kAWidth + l] = v;
    }
  }
}

// Whole panels of a column-major a: each step of k is one run down all
// their rows, dealt out kTileRows at a time, eight steps to a panel before
// the next. A panel at a time met a new line of a at every step, and lines
// a power of two apart share one set of L1 ([2048, 512] @ [512, 64] at
// avx512 spent 60 % of its time packing a); binary16 also widened six values
// a call. 16-bit runs are widened first, all eight before any is dealt: read
// back at once, they stalled on store forwarding.
template <ComputesInF32 T>
void deal_columns(MatrixRef<const T> a, std::int64_t rows, std::int64_t kc, float* dst) {
  constexpr std::int64_t kRunRows = 256 / kTileRows * kTileRows;
  constexpr std::int64_t kSteps = 8;
  constexpr bool kF32 = std::is_same_v<T, float>;
  float runs[kSteps][kRunRows];  // of 16-bit columns
  const std::int64_t panel = kc * kTileRows * kAWidth;
  for (std::int64_t i0 = 0; i0 < rows; i0 += kRunRows) {
    const std::int64_t len = std::min(kRunRows, rows - i0);
    float* const panels = dst + i0 / kTileRows * panel;
    for (std::int64_t p0 = 0; p0 < kc; p0 += kSteps) {
      const std::int64_t steps = std::min(kSteps, kc - p0);
      if constexpr (!kF32) {
        for (std::int64_t t = 0; t < steps; ++t) widen_run(&a(i0, p0 + t), 1, len, runs[t]);
      }
      for (std::int64_t q = 0; q * kTileRows < len; ++q) {
        for (std::int64_t t = 0; t < steps; ++t) {
          float* const to = panels + q * panel + (p0 + t) * kTileRows;
          if constexpr (kF32) {
            std::memcpy(to, &a(i0 + q * kTileRows, p0 + t), kTileRows * sizeof(float));
          } else {
            std::memcpy(to, runs[t] + q * kTileRows, kTileRows * sizeof(float));
          }
        }
      }
    }
  }
}

// Rows of a, kc deep, as panels of kTileRows interleaved rows (value (r, p)
// at (p * kTileRows + r) * kAWidth); rows past the end are zero.
template <ComputesInF32 T>
void pack_a(MatrixRef<const T> a, std::int64_t rows, std::int64_t kc, float* dst) {
  float run[kMaxDepth > kTileRows ? kMaxDepth : kTileRows];
  const MatrixStrides s = a.strides;
  const std::int64_t panel = kc * kTileRows * kAWidth;
  std::int64_t i0 = 0;
  if (s.row_stride == 1 && magnitude(s.col_stride) > 1) {
    i0 = rows / kTileRows * kTileRows;
    deal_columns(a, i0, kc, dst);
    for (std::int64_t q = 0; q < i0 / kTileRows; ++q) spread_panel(dst + q * panel, kc);
  }
  for (; i0 < rows; i0 += kTileRows) {
    float* const d = dst + i0 / kTileRows * panel;
    const std::int64_t live = std::min<std::int64_t>(kTileRows, rows - i0);
    if (!std::is_same_v<T, Half> && s.col_stride == 1 && live == kTileRows) {
      // The common row-major case, interleaved in one pass (binary16 goes
      // through the bulk conversion below instead).
      const T* row[kTileRows];
      for (int r = 0; r < kTileRows; ++r) row[r] = &a(i0 + r, 0);
      for (std::int64_t p = 0; p < kc; ++p) {
        for (int r = 0; r < kTileRows; ++r) d[p * kTileRows + r] = static_cast<float>(row[r][p]);
      }
    } else if (magnitude(s.col_stride) <= magnitude(s.row_stride)) {
      for (std::int64_t r = 0; r < live; ++r) {
        widen_run(&a(i0 + r, 0), s.col_stride, kc, run);
        for (std::int64_t p = 0; p < kc; ++p) d[p * kTileRows + r] = run[p];
      }
    } else {
      for (std::int64_t p = 0; p < kc; ++p) widen_run(&a(i0, p), s.row_stride, live, d + p * kTileRows);
    }
    for (std::int64_t p = 0; p < kc && live < kTileRows; ++p) {
      std::fill(d + p * kTileRows + live, d + (p + 1) * kTileRows, 0.0f);
    }
    spread_panel(d, kc);
  }
}

constexpr std::int64_t kColumnSteps = 16;

// Four F32 columns of b, four steps each, src[c * stride + p], into four
// packed rows dst[p * kTileColumns + c]: a transpose in registers instead of
// sixteen scalar stores.
[[gnu::always_inline]] inline void transpose_4x4(const float* src, std::int64_t stride, float* dst) {
  typedef float Quad __attribute__((vector_size(16)));
  Quad c[4];
  for (int i = 0; i < 4; ++i) std::memcpy(&c[i], src + i * stride, sizeof(Quad));
  const Quad low01 = __builtin_shufflevector(c[0], c[1], 0, 4, 1, 5);
  const Quad high01 = __builtin_shufflevector(c[0], c[1], 2, 6, 3, 7);
  const Quad low23 = __builtin_shufflevector(c[2], c[3], 0, 4, 1, 5);
  const Quad high23 = __builtin_shufflevector(c[2], c[3], 2, 6, 3, 7);
  const Quad rows[4] = {__builtin_shufflevector(low01, low23, 0, 1, 4, 5),
                        __builtin_shufflevector(low01, low23, 2, 3, 6, 7),
                        __builtin_shufflevector(high01, high23, 0, 1, 4, 5),
                        __builtin_shufflevector(high01, high23, 2, 3, 6, 7)};
  for (int p = 0; p < 4; ++p) std::memcpy(dst + p * kTileColumns, &rows[p], sizeof(Quad));
}

// kc rows of b as panels of kTileColumns columns (value (p, c) at
// p * kTileColumns + c); columns past the end are zero.
template <ComputesInF32 T>
void pack_b(MatrixRef<const T> b, std::int64_t kc, std::int64_t cols, float* dst) {
  const MatrixStrides s = b.strides;
  std::int64_t j0 = 0;
  if constexpr (std::is_same_v<T, float>) {
    // Four panels at a time, in copies of fixed size: each row of b is met
    // once for four lines, not once a line (at avx2, [512, 1024] @ [1024,
    // 2048] ran 2-3 % faster).
    constexpr std::int64_t kPanels = 4;
    for (std::int64_t panels; s.col_stride == 1 && (panels = std::min(kPanels, (cols - j0) / kTileColumns)) > 0;
         j0 += panels * kTileColumns, dst += panels * kc * kTileColumns) {
      for (std::int64_t p = 0; p < kc; ++p) {
        for (std::int64_t q = 0; q < panels; ++q) {
          std::memcpy(dst + (q * kc + p) * kTileColumns, &b(p, j0 + q * kTileColumns), kTileColumns * sizeof(T));
        }
      }
    }
  }
  for (; j0 < cols; j0 += kTileColumns, dst += kc * kTileColumns) {
    const std::int64_t live = std::min<std::int64_t>(kTileColumns, cols - j0);
    if (magnitude(s.col_stride) <= magnitude(s.row_stride)) {
      for (std::int64_t p = 0; p < kc; ++p) widen_run(&b(p, j0), s.col_stride, live, dst + p * kTileColumns);
    } else {
      // Columns run along k: transposed 16 steps at a time, so that the rows
      // written stay in L1 (a whole column at a time wrote kc lines, 256
      // bytes apart, and took 7 cycles an element).
      for (std::int64_t p0 = 0; p0 < kc; p0 += kColumnSteps) {
        const std::int64_t steps = std::min(kColumnSteps, kc - p0);
        if constexpr (std::is_same_v<T, float>) {
          if (s.row_stride == 1 && steps == kColumnSteps && live == kTileColumns) {
            for (std::int64_t c = 0; c < live; c += 4) {
              for (std::int64_t p = 0; p < steps; p += 4) {
                transpose_4x4(&b(p0 + p, j0 + c), s.col_stride, dst + (p0 + p) * kTileColumns + c);
              }
            }
            continue;
          }
        }
        for (std::int64_t c = 0; c < live; ++c) {
          float run[kColumnSteps];
          widen_run(&b(p0, j0 + c), s.row_stride, steps, run);
          for (std::int64_t p = 0; p < steps; ++p) dst[(p0 + p) * kTileColumns + c] = run[p];
        }
      }
    }
    for (std::int64_t p = 0; p < kc && live < kTileColumns; ++p) {
      std::fill(dst + p * kTileColumns + live, dst + (p + 1) * kTileColumns, 0.0f);
    }
  }
}

struct PackingBuffers {
  float* a = nullptr;
  float* b = nullptr;
  PackingBuffers() = default;
  PackingBuffers(const PackingBuffers&) = delete;
  PackingBuffers& operator=(const PackingBuffers&) = delete;
  ~PackingBuffers() {
    std::free(a);
    std::free(b);
  }
};

thread_local PackingBuffers packing_buffers;

float* allocate_floats(std::int64_t count) {
  const auto bytes = static_cast<std::size_t>(round_up(count * static_cast<std::int64_t>(sizeof(float)), 64));
  return static_cast<float*>(std::aligned_alloc(64, bytes));
}

// One tile of out at (i, j), rows x cols of it live, from an a and a b panel
// kc deep: the first block starts the sums from zero, the last rounds a
// 16-bit output once; between blocks the sums live in `sums`.
template <ComputesInF32 T>
[[gnu::always_inline]] inline void product_tile(std::int64_t kc, const float* ap, const float* bp, std::int64_t rows,
                                                std::int64_t cols, std::int64_t i, std::int64_t j, bool first,
                                                bool last, MatrixRef<T> out, MatrixRef<float> sums) {
  constexpr bool kF32 = std::is_same_v<T, float>;
  if (rows == kTileRows && cols == kTileColumns) {
    if constexpr (kF32) {
      if (out.strides.col_stride == 1) {
        tile(kc, ap, bp, &out(i, j), out.strides.row_stride, !first);
        return;
      }
    } else if (!(first && last)) {
      // Deeper than one block: the sums live in `sums` until the last block
      // rounds them (staged, they cost two copies of variable size a block).
      tile(kc, ap, bp, &sums(i, j), sums.strides.row_stride, !first);
      for (std::int64_t r = 0; last && r < rows; ++r) {
        loops::narrow(&sums(i + r, j), cols, &out(i + r, j), out.strides.col_stride);
      }
      return;
    }
  }
  // Edge tiles, other output strides and 16-bit outputs go through a full
  // tile on the stack.
  float staged[kTileRows * kTileColumns];
  if (!first) {
    for (std::int64_t r = 0; r < rows; ++r) {
      for (std::int64_t c = 0; c < cols; ++c) staged[r * kTileColumns + c] = sums(i + r, j + c);
    }
  }
  tile(kc, ap, bp, staged, kTileColumns, !first);
  for (std::int64_t r = 0; r < rows; ++r) {
    if constexpr (!kF32) {
      if (last) {
        loops::narrow(staged + r * kTileColumns, cols, &out(i + r, j), out.strides.col_stride);
        continue;
      }
    }
    for (std::int64_t c = 0; c < cols; ++c) sums(i + r, j + c) = staged[r * kTileColumns + c];
  }
}

// Tiles of `Rows` rows over the full b panels among `cols` columns, as
// many panels at once as give eight independent chains of multiply-adds
// (four 16-wide panels for one row at avx2). Returns the columns done.
template <int Rows>
std::int64_t edge_tiles_of(std::int64_t kc, const float* ap, const float* bp, std::int64_t cols, float* c,
                           std::int64_t ldc, bool accumulate) {
  constexpr int kPanels = kAWidth == 1 ? std::max(1, 8 / (Rows * kTileVectors)) : 1;
  std::int64_t j = 0;
  for (; j + kPanels * kTileColumns <= cols; j += kPanels * kTileColumns) {
    tile<Rows, kPanels>(kc, ap, bp + j * kc, c + j, ldc, accumulate, kc * kTileColumns);
  }
  for (; j + kTileColumns <= cols; j += kTileColumns) tile<Rows>(kc, ap, bp + j * kc, c + j, ldc, accumulate);
  return j;
}

// The last rows of a block, fewer than a tile, over `cols` columns of
// packed b panels from j: tiles of just those rows where the output (F32
// with unit column stride, or the running sums of a deep 16-bit product)
// takes them directly, the rest through product_tile. As a whole tile, the
// 2 rows left of [32, k] cost an eighth of the product's multiply-adds.
template <ComputesInF32 T>
void edge_tiles(std::int64_t kc, const float* ap, const float* bp, std::int64_t rows, std::int64_t cols,
                std::int64_t i, std::int64_t j, bool first, bool last, MatrixRef<T> out, MatrixRef<float> sums) {
  float* c = nullptr;
  std::int64_t ldc = 0;
  if constexpr (std::is_same_v<T, float>) {
    if (out.strides.col_stride == 1) c = &out(i, j), ldc = out.strides.row_stride;
  } else if (!(first && last)) {
    c = &sums(i, j), ldc = sums.strides.row_stride;
  }
  std::int64_t done = 0;
  if (c != nullptr) {
    [&]<int... R>(std::integer_sequence<int, R...>) {
      (void)((rows == R + 1 && (done = edge_tiles_of<R + 1>(kc, ap, bp, cols, c, ldc, !first), true)) || ...);
    }(std::make_integer_sequence<int, kTileRows - 1>{});
  }
  if constexpr (!std::is_same_v<T, float>) {
    for (std::int64_t r = 0; last && done > 0 && r < rows; ++r) {
      loops::narrow(&sums(i + r, j), done, &out(i + r, j), out.strides.col_stride);
    }
  }
  for (std::int64_t jr = done; jr < cols; jr += kTileColumns) {
    product_tile<T>(kc, ap, bp + jr * kc, rows, std::min<std::int64_t>(kTileColumns, cols - jr), i, j + jr, first,
                    last, out, sums);
  }
}

// The sums of the tile at (i, j) on their way into the cache while the tile
// before it runs: walking down a column of tiles, their rows lie a whole
// output row apart, a stride no hardware prefetcher follows.
void prefetch_tile(MatrixRef<float> sums, std::int64_t i, std::int64_t j, std::int64_t cols) {
  for (std::int64_t r = i; r < i + kTileRows; ++r) {
    __builtin_prefetch(&sums(r, j), 1);
    __builtin_prefetch(&sums(r, j + cols - 1), 1);
  }
}

}  // namespace

const GemmBlocking& gemm_blocking() {
  static const GemmBlocking blocking = choose_blocking();
  return blocking;
}

Result<void> reserve_gemm_buffers() {
  PackingBuffers& buffers = packing_buffers;
  if (buffers.a != nullptr && buffers.b != nullptr) return {};
  const GemmBlocking& g = gemm_blocking();
  if (buffers.a == nullptr) buffers.a = allocate_floats(g.rows * g.depth * kAWidth);
  if (buffers.b == nullptr) buffers.b = allocate_floats(g.columns * g.depth);
  if (buffers.a == nullptr || buffers.b == nullptr) {
    return fail(ErrorKind::MemoryError, "out of memory while allocating the matrix product's packing buffers");
  }
  return {};
}

template <ComputesInF32 T>
bool needs_partial_sums(std::int64_t k) {
  return !std::is_same_v<T, float> && k > gemm_blocking().depth;
}

template <ComputesInF32 T>
void packed_product(std::int64_t m, std::int64_t k, std::int64_t n, MatrixRef<T> out, MatrixRef<const T> a,
                    MatrixRef<const T> b, float* partial) {
  constexpr bool kF32 = std::is_same_v<T, float>;
  if (k == 0) {
    for (std::int64_t i = 0; i < m; ++i) {
      for (std::int64_t j = 0; j < n; ++j) out(i, j) = T(0.0f);
    }
    return;
  }
  const GemmBlocking& g = gemm_blocking();
  float* const packed_a = packing_buffers.a;
  float* const packed_b = packing_buffers.b;
  // Running sums between k_c blocks: the output itself for F32, else
  // `partial` (needed only when there is more than one block).
  MatrixRef<float> sums;
  if constexpr (kF32) {
    sums = out;
  } else {
    sums = {partial, {n, 1}};
  }
  const std::int64_t row_step = even_step(m, g.rows, kTileRows);
  const std::int64_t depth_step = even_step(k, g.depth, 1);
  const std::int64_t column_step = even_step(n, g.columns, kTileColumns);
  if (g.b_panel_in_l1) {
    // With one block of rows each b panel is used once: packed four at a
    // time just before their tiles run, they reach them through L1 and L2
    // instead of L3 ([32, 2048] @ [2048, 2048] at avx2: 57-62 GFLOP/s packed
    // whole; 65-70 a panel at a time, 73-80 four at a time, where the copy
    // reads four lines of each row of b).
    constexpr std::int64_t kPanelsAhead = 4;
    constexpr std::int64_t ahead = kPanelsAhead * kTileColumns;
    const bool pack_as_used = m <= row_step;
    for (std::int64_t jc = 0; jc < n; jc += column_step) {
      const std::int64_t nc = std::min(column_step, n - jc);
      for (std::int64_t pc = 0; pc < k; pc += depth_step) {
        const std::int64_t kc = std::min(depth_step, k - pc);
        const bool first = pc == 0, last = pc + kc == k;
        if (!pack_as_used) pack_b(b.block(pc, jc), kc, nc, packed_b);
        for (std::int64_t ic = 0; ic < m; ic += row_step) {
          const std::int64_t mc = std::min(row_step, m - ic);
          const std::int64_t full_rows = mc / kTileRows * kTileRows;
          pack_a(a.block(ic, pc), mc, kc, packed_a);
          for (std::int64_t jg = 0; jg < nc; jg += ahead) {
            const std::int64_t group = std::min(ahead, nc - jg);
            if (pack_as_used) pack_b(b.block(pc, jc + jg), kc, group, packed_b);
            const float* const gb = packed_b + (pack_as_used ? 0 : jg * kc);
            for (std::int64_t jr = 0; jr < group; jr += kTileColumns) {
              const std::int64_t cols = std::min<std::int64_t>(kTileColumns, group - jr);
              for (std::int64_t ir = 0; ir < full_rows; ir += kTileRows) {
                if (sums.data != nullptr && ir + 2 * kTileRows <= mc) {
                  prefetch_tile(sums, ic + ir + kTileRows, jc + jg + jr, cols);
                }
                product_tile<T>(kc, packed_a + ir * kc * kAWidth, gb + jr * kc, kTileRows, cols, ic + ir,
                                jc + jg + jr, first, last, out, sums);
              }
            }
            if (full_rows < mc) {
              edge_tiles<T>(kc, packed_a + full_rows * kc * kAWidth, gb, mc - full_rows, group, ic + full_rows,
                            jc + jg, first, last, out, sums);
            }
          }
        }
      }
    }
    return;
  }
  for (std::int64_t ic = 0; ic < m; ic += row_step) {
    const std::int64_t mc = std::min(row_step, m - ic);
    for (std::int64_t pc = 0; pc < k; pc += depth_step) {
      const std::int64_t kc = std::min(depth_step, k - pc);
      pack_a(a.block(ic, pc), mc, kc, packed_a);
      for (std::int64_t jc = 0; jc < n; jc += column_step) {
        const std::int64_t nc = std::min(column_step, n - jc);
        pack_b(b.block(pc, jc), kc, nc, packed_b);
        const std::int64_t full_rows = mc / kTileRows * kTileRows;
        for (std::int64_t ir = 0; ir < full_rows; ir += kTileRows) {
          for (std::int64_t jr = 0; jr < nc; jr += kTileColumns) {
            const std::int64_t cols = std::min<std::int64_t>(kTileColumns, nc - jr);
            product_tile<T>(kc, packed_a + ir * kc * kAWidth, packed_b + jr * kc, kTileRows, cols, ic + ir,
                            jc + jr, pc == 0, pc + kc == k, out, sums);
          }
        }
        if (full_rows < mc) {
          edge_tiles<T>(kc, packed_a + full_rows * kc * kAWidth, packed_b, mc - full_rows, nc, ic + full_rows, jc,
                        pc == 0, pc + kc == k, out, sums);
        }
      }
    }
  }
}

VESSIK_INSTANTIATE_NUMERIC(needs_partial_sums)
VESSIK_INSTANTIATE_NUMERIC(packed_product)

}  // namespace vessik
