#include "engine/cpu/numeric/ops/matmul_slice.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "engine/cpu/array/transpose_tile.h"
#include "engine/cpu/numeric/core/tensor_ops.h"
#include "engine/cpu/numeric/ops/gemm.h"
#include "engine/cpu/processor/fused_multiply_add.h"
#include "engine/cpu/processor/vector_width.h"

namespace vessik {

// This level's vector registers. AVX-512's thirty-two hold a tile of 6 rows
// by 4 vectors (24 accumulators, 4 strips of b); sixteen hold 6 by 2, and
// wider tiles would spill.
inline constexpr bool kWideTiles = kVectorBytes == 64;
// The sums of a dot tile and its loads fit these registers: at avx512 12 + 7
// of 32, at avx2 2 x (2 + 4) of 16, at baseline 4 x (1 + 2) of 16.
inline constexpr int kDotRows = kWideTiles ? 3 : kVectorBytes == 32 ? 2 : 1;
inline constexpr int kDotColumns = kWideTiles ? 4 : 2;
// The widest dot tile: at avx512 3 x 5 sums and 8 loads.
inline constexpr int kDotWidest = kWideTiles ? 5 : kDotColumns;

namespace {

SlicePath direct_or_packed(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides b) {
  if (m == 0 || k == 0 || n == 0) return SlicePath::Small;
  // Up to three rows of a would use a packed b too few times to pay for the
  // packing: the loop reads b once too ([1, 256] @ [256, 256] ran 4x NumPy).
  if (b.col_stride == 1 && m < 4) return SlicePath::Small;
  if (k > kSmallPanelFloats || n > kSmallPanelFloats) return SlicePath::Gemm;
  // While b's contiguous rows stay in L2, the loop wins whatever m is when
  // they are narrower than the packed tile (which would mostly multiply
  // padding), and with 32 vector registers for any width.
  const bool narrow = n < static_cast<std::uint64_t>(gemm_blocking().tile_columns);
  if (b.col_stride == 1 && k * n <= kSmallPanelFloats && (narrow || (kWideTiles && m >= 4))) return SlicePath::Small;
  const bool strips = b.col_stride == 1 && n >= 8 && m >= 4;
  if (m > kSmallMidWork) return SlicePath::Gemm;
  const std::uint64_t work = m * k * n;
  if (work <= kSmallSliceWork) return SlicePath::Small;
  // Mid-sized slices with vector strips of b still beat packing.
  return strips && work <= kSmallMidWork ? SlicePath::Small : SlicePath::Gemm;
}

// The columns of out a transposed product computes into scratch at a time.
constexpr std::int64_t kTransposedColumns = 1024;

// The most rows of out the Stream path keeps as running sums at a time.
constexpr int kStreamRows = 6;

std::int64_t padded_columns(std::int64_t n) { return (n + kVectorFloats - 1) / kVectorFloats * kVectorFloats; }

bool column_major(MatrixStrides b) { return b.row_stride == 1 && b.col_stride != 1; }

// One row of a against a narrow row-major b, whose sums along k run across
// its columns (Note [Sums along k]).
bool lone_row_over_rows(std::uint64_t m, std::uint64_t n, MatrixStrides b) {
  return m == 1 && b.col_stride == 1 && b.row_stride != 1 && n >= 4 && n <= 16;
}

// Measured over a perceptron's g @ W.T on an AVX-512 Xeon: the sums along k
// win for a row or three of a ([1, 256] @ [256, 784]^T: 3.65x NumPy before,
// 0.66x after) and for a narrow b against a short a and a long k. They read
// sizes and strides alone, so every level takes the same path.
bool dot_pays(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides a, MatrixStrides b) {
  // The x @ W of a classifier at a batch of one: [1, 784] @ [784, 10] at
  // avx2 1.14x NumPy as one chain per output, 0.50x so; [1, 2048] @ [2048,
  // 10] 1.31x and 0.69x.
  if (lone_row_over_rows(m, n, b) && k >= 64) return true;
  if (a.col_stride != 1 || b.row_stride != 1 || k < 64) return false;
  return m < 4 || (n < 16 && k >= 128 && m <= 64);
}

// Measured at B = 1 over x @ W on an AVX-512 Xeon (see Note [Rows of b in
// turn]): a narrow b not a whole number of vectors wide ([1, 784] @ [784,
// 10]: 2.5x NumPy before, 1.0x after), and any b past the size of L2. At 16
// vector registers, where a tile holds two strips of b, a single row of a
// gains from 32 columns on; below that the running sums are too few to hide
// their trips through memory. There a column-major a of up to 16 rows (the
// x.T of x.T @ g for a layer of 10 inputs) against a b past L2 gains too:
// the loop would read b once per tile of rows ([512, 10]^T @ [512, 1024]:
// 1.04x NumPy in the loop, 0.59x so at avx2; 2.86x and 1.22x at baseline).
bool stream_pays(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides a, MatrixStrides b) {
  if (b.col_stride != 1) return false;
  if (m >= 4) return !kWideTiles && m <= 16 && column_major(a) && k * n >= 2 * kSmallPanelFloats;
  if (n > 4 && n < static_cast<std::uint64_t>(gemm_blocking().tile_columns) && n % kVectorFloats != 0) return true;
  const bool large = k * n >= 2 * kSmallPanelFloats;
  return kWideTiles ? m == 1 && large : large || (m == 1 && n >= 32);
}

// Whether out^T = b^T a^T, copies included, beats packing a column-major b.
// At 32 registers it pays where each output sums a row at least as long as
// the rows of a are many, for up to 64 of them, and four times as long
// beyond (on a Xeon: [64, 128] @ [128, 784]^T 1.45x NumPy packed, 0.86x so;
// [256, 256] @ [256, 256]^T 1.04x packed, 1.19x so). At 16 registers it
// pays wherever the loop alone would not below 16 rows; from 16 rows on,
// packing wins at baseline (0.72-0.79x NumPy against 0.80-0.92 for
// [16-64, 64-2048] @ [64-2048, 256-2048]^T), and at avx2 unless the rows of
// b are four times as long as a has rows, or past 32 rows eight times and
// b has more than 128 of them ([64, 1024] @ [1024, 64]^T: 0.97x packed,
// 1.07-1.12x so; [32, 128] @ [128, 784]^T: 0.87x and 0.80x).
bool transposed_pays(std::uint64_t m, std::uint64_t k, std::uint64_t n) {
  if (kWideTiles || m > 64) {
    return k >= (m <= 64 ? m : 4 * m) &&
           direct_or_packed(n, k, m, {static_cast<std::int64_t>(m), 1}) == SlicePath::Small;
  }
  if (m < 16) return k >= m;
  if (kVectorBytes == 16) return false;
  return m <= 32 ? k >= 4 * m : k >= 8 * m && n > 128;
}

}  // namespace

// See Note [Narrow and column-major b].
SlicePath choose_slice_path(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides a, MatrixStrides b) {
  const SlicePath base = direct_or_packed(m, k, n, b);
  if (m == 0 || k == 0 || n == 0) return base;
  if (dot_pays(m, k, n, a, b)) return SlicePath::Dot;
  if (stream_pays(m, k, n, a, b)) return SlicePath::Stream;
  const bool narrow = n > 4 && n < static_cast<std::uint64_t>(gemm_blocking().tile_columns);
  const auto np = static_cast<std::int64_t>(padded_columns(static_cast<std::int64_t>(n)));
  // A narrow b with unit columns gains unless its width is one tile already
  // (4, 8 or whole vectors); of other strides it is copied dense, whatever
  // its width, where the loop would then run. At 16 registers the loop on
  // the copy also beats packing it past 64 rows of a (g @ W.T for a layer
  // of 10 inputs, [512, 2048] @ [2048, 10] at avx2: 1.32x NumPy packed,
  // 0.71x so).
  const bool padding_pays =
      b.col_stride == 1
          ? base == SlicePath::Small && n != 4 && n != 8 && n % kVectorFloats != 0
          : k * static_cast<std::uint64_t>(np) <= kSmallPanelFloats &&
                (direct_or_packed(m, k, static_cast<std::uint64_t>(np), {np, 1}) == SlicePath::Small ||
                 (!kWideTiles && m > 64));
  // A column-major a (the x.T of x.T @ g) against a narrow b: out^T = b^T a^T
  // reads both in place, a^T as rows of b, and fills every lane of its tiles
  // ([256, 256]^T @ [256, 10]: 1.63x NumPy padded, 0.67x so; [512, 2048]^T @
  // [512, 10] at avx512 1.25x padded, 0.59x so).
  if (narrow && n < 16 && column_major(a)) return SlicePath::Transposed;
  if (narrow && padding_pays) return SlicePath::Padded;
  // A few rows of a against a very short k are cheaper in the loop, which
  // reads b in place ([1, 10] @ [10, 2048]^T: 1.31x NumPy transposed at
  // avx2, 1.00x in the loop; [4, 10] @ [10, 2048]^T at avx512 1.14x and
  // 0.86x).
  if (column_major(b) && k < 16 && m <= 4) return SlicePath::Small;
  if (column_major(b) && m * k <= kSmallPanelFloats && transposed_pays(m, k, n)) return SlicePath::Transposed;
  // A column-major b of very few rows against up to 64 rows of a is cheaper
  // to copy dense than to pack ([32, 10] @ [10, 784]^T: 1.46x NumPy packed,
  // 0.89x so, on a Xeon at avx512; 1.96x and 1.07x at avx2).
  if (b.col_stride != 1 && base == SlicePath::Gemm && k < 16 && m <= 64 && padding_pays) return SlicePath::Padded;
  // The loop meets a new line of a column-major a at every step of k, once
  // per strip of the output: past the size of L2, or across a wide output,
  // packing wins (x.T @ g, x [512, 2048], g [512, 256]: 1.68x NumPy in the
  // loop, 1.05x packed, on a Xeon; x [256, 1024], g [256, 1024]: 1.21x and
  // 0.88x).
  if (base == SlicePath::Small && kWideTiles && column_major(a) &&
      n >= static_cast<std::uint64_t>(gemm_blocking().tile_columns) &&
      (m * k >= 2 * kSmallPanelFloats || (n >= 512 && m * k * n >= (std::uint64_t{1} << 25)))) {
    return SlicePath::Gemm;
  }
  return base;
}

namespace {

// The calling thread's scratch floats, grown on demand and kept.
struct Scratch {
  std::unique_ptr<float[]> data;
  std::size_t size = 0;
};
thread_local Scratch scratch;

Result<void> reserve_scratch(std::size_t floats) {
  if (floats > scratch.size) {
    scratch.data.reset(new (std::nothrow) float[floats]);
    scratch.size = scratch.data ? floats : 0;
    if (!scratch.data) return out_of_memory();
  }
  return {};
}


// Loops over a tile's rows and strips, unrolled before GCC decides where
// the accumulators live: left as loops, the accumulator array stays in
// memory around the loop over k, cleared with rep stos and stored through
// the stack.
#define VESSIK_UNROLL _Pragma("GCC unroll 16")

// F32Lanes pass by reference: wide vectors by value would depend on the
// vector ABI, which differs between builds.
template <int W, bool Unit>
inline void load_lanes(F32Lanes<W>& v, const float* p, std::int64_t stride) {
  if constexpr (W == 1) {
    v = *p;
  } else if constexpr (Unit) {
    v = *reinterpret_cast<const UnalignedF32Lanes<W>*>(p);
  } else {
    float gathered[W];
    for (int l = 0; l < W; ++l) gathered[l] = p[l * stride];
    std::memcpy(&v, gathered, sizeof v);
  }
}

template <int W, bool Unit>
inline void store_lanes(float* p, std::int64_t stride, const F32Lanes<W>& v) {
  if constexpr (W == 1) {
    *p = v;
  } else if constexpr (Unit) {
    *reinterpret_cast<UnalignedF32Lanes<W>*>(p) = v;
  } else {
    for (int l = 0; l < W; ++l) p[l * stride] = v[l];
  }
}

// One step of an output's chain of multiply-adds (Note [Fused on purpose]).
template <int W>
inline void multiply_add(F32Lanes<W>& acc, const F32Lanes<W>& b, float a) {
  acc = fused_multiply_add(b, a, acc);
}

// Note [Strips of b in registers]
// Left alone, GCC folds the loads of b's strips into the multiply-adds as
// memory operands for some tile shapes, loading each strip once per row of
// the tile instead of once per step of k; the loads then bound the loop
// (up to half again slower). An empty asm that claims to change the value pins it to
// a register. Only for vectors that fit one register.
template <class V>
inline void keep_in_register(V& v) {
#if defined(__x86_64__) && defined(__GNUC__)
  if constexpr (sizeof(V) <= kVectorBytes && sizeof(V) > sizeof(float)) asm("" : "+v"(v));
#else
  (void)v;
#endif
}

// Note [Asking for the next slice]
// A slice of a batch reads operands and writes an output that the previous
// slices never touched, so its first tiles wait on memory. While a slice is
// computed, each of its tiles asks for k cache lines of the next slice (a's,
// then b's, then the output's), one per step of k, which spreads the
// requests over the slice; the tiles of a 64 x 64 x 64 slice cover 704 of
// its 768 lines. Only for matrices that are one dense block each (an output
// that is not is skipped). A tile with nothing left to ask for repeats one
// line already in cache (a step of 0), which keeps the loop free of
// branches. A batch of 64 x 64 x 64 slices gains 3 to 5 %.
class NextSliceLines {
 public:
  // Below this many floats of operands a slice arrives with the hardware
  // prefetchers' help, and asking costs more than it gains.
  static constexpr std::int64_t kAskAheadFloats = 4096;

  // Where a tile's requests start and how far apart they are.
  struct Lines {
    std::uintptr_t first;
    std::uintptr_t step;
  };

  NextSliceLines(NextSlice next, const float* current, std::int64_t m, std::int64_t k, std::int64_t n,
                 MatrixStrides a, MatrixStrides b, MatrixStrides out)
      : k_(static_cast<std::uintptr_t>(k)), current_(reinterpret_cast<std::uintptr_t>(current)) {
    const bool dense_a = a.col_stride == 1 && a.row_stride == k;
    const bool dense_b = b.col_stride == 1 && b.row_stride == n;
    const bool large = m * k + k * n >= kAskAheadFloats;
    if (next.a == nullptr || next.b == nullptr || !dense_a || !dense_b || !large) return;
    a_ = reinterpret_cast<std::uintptr_t>(next.a);
    b_ = reinterpret_cast<std::uintptr_t>(next.b);
    a_lines_ = lines(m * k);
    ab_lines_ = a_lines_ + lines(k * n);
    total_ = ab_lines_;
    if (next.out != nullptr && out.col_stride == 1 && out.row_stride == n) {
      out_ = reinterpret_cast<std::uintptr_t>(next.out);
      total_ += lines(m * n);
    }
  }

  bool active() const { return total_ != 0; }

  Lines next_tile() {
    const std::uintptr_t line = line_;
    if (line >= total_) return {current_, 0};
    line_ += k_;
    if (line < a_lines_) return {a_ + 64 * line, 64};
    if (line < ab_lines_) return {b_ + 64 * (line - a_lines_), 64};
    return {out_ + 64 * (line - ab_lines_), 64};
  }

 private:
  static std::uintptr_t lines(std::int64_t floats) {
    return (static_cast<std::uintptr_t>(floats) * sizeof(float) + 63) / 64;
  }

  std::uintptr_t k_, current_, a_ = 0, b_ = 0, out_ = 0, a_lines_ = 0, ab_lines_ = 0, total_ = 0, line_ = 0;
};

}  // namespace

// How a tile reads b and writes its output, and whether it asks for the
// next slice's lines.
struct TileLayout {
  bool unit_b, unit_out, ask_ahead;
};

struct SliceKernels {
  static constexpr int kRows = 6;
  // A row of the output that is one narrow strip of b gives each row one
  // chain of multiply-adds; twice the rows keep enough chains in flight to
  // hide the multiply-add latency.
  static constexpr int kNarrowRows = 12;
  // One tile of the output: R rows of a against S adjacent W-column strips
  // of b, R·S accumulators kept in registers over the whole of k.
  // Inlined into its row block, where the strides and pointers it needs
  // stay in registers across tiles.
  template <int R, int W, int S, TileLayout L>
  [[gnu::always_inline]] static inline void tile(const SliceProduct& s, float* out, const float* a, const float* b,
                                                 std::int64_t i0, std::int64_t j0, NextSliceLines& ahead) {
    F32Lanes<W> acc[R][S];
    VESSIK_UNROLL for (int r = 0; r < R; ++r) {
      VESSIK_UNROLL for (int t = 0; t < S; ++t) acc[r][t] = F32Lanes<W>{};
    }
    const std::int64_t k = s.k_, a_rs = s.a_.row_stride, a_cs = s.a_.col_stride;
    const std::int64_t b_rs = s.b_.row_stride, b_cs = s.b_.col_stride;
    const float* arow = a + i0 * a_rs;
    const float* bcol = b + j0 * b_cs;
    const auto [ask, ask_step] = ahead.next_tile();  // Note [Asking for the next slice]
    for (std::int64_t p = 0; p < k; ++p) {
      if constexpr (L.ask_ahead) {
        __builtin_prefetch(reinterpret_cast<const void*>(ask + ask_step * static_cast<std::uintptr_t>(p)), 0, 2);
      }
      F32Lanes<W> bv[S];
      VESSIK_UNROLL for (int t = 0; t < S; ++t) {
        load_lanes<W, L.unit_b>(bv[t], bcol + p * b_rs + t * W * b_cs, b_cs);
        keep_in_register(bv[t]);
      }
      const float* ap = arow + p * a_cs;
      VESSIK_UNROLL for (int r = 0; r < R; ++r) {
        const float av = ap[r * a_rs];
        VESSIK_UNROLL for (int t = 0; t < S; ++t) multiply_add<W>(acc[r][t], bv[t], av);
      }
    }
    VESSIK_UNROLL for (int r = 0; r < R; ++r) {
      float* orow = out + (i0 + r) * s.out_.row_stride + j0 * s.out_.col_stride;
      VESSIK_UNROLL for (int t = 0; t < S; ++t) {
        store_lanes<W, L.unit_out>(orow + t * W * s.out_.col_stride, s.out_.col_stride, acc[r][t]);
      }
    }
  }

  // Tiles of this level's vector width W, as many strips of b at once as
  // the registers hold beside the accumulators (R x S of them). The columns
  // left, fewer than 2W, take the narrowest one tile that covers them, placed
  // to end at the last column: the columns it shares with the tile before
  // are computed again, to the same bits, since each output is the same
  // chain of multiply-adds whichever tile computes it. Only where no such
  // tile fits in the matrix do narrower tiles advance, then single columns.
  template <int R, TileLayout L>
  static void row_block(const SliceProduct& s, float* out, const float* a, const float* b, std::int64_t i0,
                        NextSliceLines& ahead) {
    constexpr int W = kVectorFloats;
    const std::int64_t n = s.n_;
    std::int64_t j = 0;
    if constexpr (kWideTiles) {
      for (; j + 4 * W <= n; j += 4 * W) tile<R, W, 4, L>(s, out, a, b, i0, j, ahead);
    }
    for (; j + 2 * W <= n; j += 2 * W) tile<R, W, 2, L>(s, out, a, b, i0, j, ahead);
    while (j < n) {
      const std::int64_t rest = n - j;
      if (n >= 4 && rest <= 4) return tile<R, 4, 1, L>(s, out, a, b, i0, n - 4, ahead);
      if constexpr (W > 4) {
        if (n >= 8 && rest <= 8) return tile<R, 8, 1, L>(s, out, a, b, i0, n - 8, ahead);
      }
      if constexpr (W > 8) {
        if (n >= W && rest <= W) return tile<R, W, 1, L>(s, out, a, b, i0, n - W, ahead);
      }
      if (rest >= W) {
        tile<R, W, 1, L>(s, out, a, b, i0, j, ahead);
        j += W;
        continue;
      }
      if constexpr (W > 8) {
        if (rest >= 8) {
          tile<R, 8, 1, L>(s, out, a, b, i0, j, ahead);
          j += 8;
          continue;
        }
      }
      if constexpr (W > 4) {
        if (rest >= 4) {
          tile<R, 4, 1, L>(s, out, a, b, i0, j, ahead);
          j += 4;
          continue;
        }
      }
      tile<R, 1, 1, L>(s, out, a, b, i0, j, ahead);
      ++j;
    }
  }

  template <TileLayout L>
  static void rows(const SliceProduct& s, float* out, const float* a, const float* b, NextSliceLines& ahead) {
    std::int64_t i = 0;
    if (s.n_ < 2 * kVectorFloats) {
      for (; i + kNarrowRows <= s.m_; i += kNarrowRows) row_block<kNarrowRows, L>(s, out, a, b, i, ahead);
      // Eight chains still hide the latency; a last block of 2 would not.
      if (i + 8 <= s.m_) {
        row_block<8, L>(s, out, a, b, i, ahead);
        i += 8;
      }
    }
    for (; i + kRows <= s.m_; i += kRows) row_block<kRows, L>(s, out, a, b, i, ahead);
    switch (s.m_ - i) {
      case 5: row_block<5, L>(s, out, a, b, i, ahead); break;
      case 4: row_block<4, L>(s, out, a, b, i, ahead); break;
      case 3: row_block<3, L>(s, out, a, b, i, ahead); break;
      case 2: row_block<2, L>(s, out, a, b, i, ahead); break;
      case 1: row_block<1, L>(s, out, a, b, i, ahead); break;
      default: break;
    }
  }

  // See Note [Two slice paths].
  template <bool UnitB, bool UnitOut>
  static void small(const SliceProduct& s, float* out, const float* a, const float* b, NextSlice next) {
    NextSliceLines ahead(next, a, s.m_, s.k_, s.n_, s.a_, s.b_, s.out_);
    // A loop that asks for nothing leaves the request out: even a request for
    // a line already in cache costs a third of a narrow tile's time.
    if (ahead.active()) {
      rows<TileLayout{UnitB, UnitOut, true}>(s, out, a, b, ahead);
    } else {
      rows<TileLayout{UnitB, UnitOut, false}>(s, out, a, b, ahead);
    }
  }

  // The packed product reads its panels in its own order: nothing is asked
  // for ahead.
  static void packed(const SliceProduct& s, float* out, const float* a, const float* b, NextSlice) {
    packed_product<float>(s.m_, s.k_, s.n_, {out, s.out_}, {a, s.a_}, {b, s.b_}, nullptr);
  }

  // b copied into whole vectors of columns, the loop run into a padded
  // output, and its first n columns copied out.
  static void padded(const SliceProduct& s, float* out, const float* a, const float* b, NextSlice) {
    const std::int64_t m = s.m_, k = s.k_, n = s.n_, np = padded_columns(n);
    float* const pb = scratch.data.get();
    float* const po = pb + k * np;
    if (column_major(s.b_)) {
      // In blocks through registers, not a float at a time ([32, 10] @ [10,
      // 2048]^T at avx2: 23.5 us one at a time, 20.5 so).
      transpose_tile(b, s.b_.col_stride, pb, np, n, k, sizeof(float));
      // Zeros past n, as copy_padded leaves them: stale scratch could hold
      // subnormals, slow to multiply.
      if (np != n) {
        for (std::int64_t p = 0; p < k; ++p) std::fill(pb + p * np + n, pb + (p + 1) * np, 0.0f);
      }
    } else {
      for (std::int64_t p = 0; p < k; ++p) copy_padded(b + p * s.b_.row_stride, s.b_.col_stride, n, pb + p * np);
    }
    const MatrixStrides dense{np, 1};
    // A b already whole vectors wide (a column-major one copied dense) needs
    // no padded output ([32, 10] @ [10, 2048]^T at avx2: 1.07x NumPy through
    // a padded output, 0.84x without).
    if (np == n && s.out_.col_stride == 1) {
      SliceProduct(m, k, n, s.out_, s.a_, dense, SlicePath::Small)(out, a, pb);
      return;
    }
    SliceProduct(m, k, np, dense, s.a_, dense, SlicePath::Small)(po, a, pb);
    for (std::int64_t i = 0; i < m; ++i) {
      float* row = out + i * s.out_.row_stride;
      const float* from = po + i * np;
      if (s.out_.col_stride == 1) {
        copy_short(from, n, row);
      } else {
        for (std::int64_t j = 0; j < n; ++j) row[j * s.out_.col_stride] = from[j];
      }
    }
  }

  // n contiguous floats in moves of fixed size, the last one overlapping
  // the one before: left to the compiler, each short row was a call of
  // memcpy (and one of memset for its padding), a third of [32, 784] @
  // [784, 10] at avx512.
  static void copy_short(const float* src, std::int64_t n, float* dst) {
    auto moves = [&]<std::size_t Floats>() {
      std::int64_t j = 0;
      for (; j + static_cast<std::int64_t>(Floats) < n; j += Floats) std::memcpy(dst + j, src + j, Floats * 4);
      std::memcpy(dst + n - Floats, src + n - Floats, Floats * 4);
    };
    if (n >= 16) {
      moves.template operator()<16>();
    } else if (n >= 8) {
      moves.template operator()<8>();
    } else if (n >= 4) {
      moves.template operator()<4>();
    } else {
      for (std::int64_t j = 0; j < n; ++j) dst[j] = src[j];
    }
  }

  // n values at src, stride apart, into whole vectors at dst, zero past n.
  static void copy_padded(const float* src, std::int64_t stride, std::int64_t n, float* dst) {
    if (n % kVectorFloats != 0) {
      const F32Lanes<kVectorFloats> zero{};
      std::memcpy(dst + n / kVectorFloats * kVectorFloats, &zero, kVectorBytes);
    }
    if (stride == 1) return copy_short(src, n, dst);
    for (std::int64_t j = 0; j < n; ++j) dst[j] = src[j * stride];
  }

  // out^T = b^T a^T, b^T read in place as the rows of the left operand.
  static void transposed(const SliceProduct& s, float* out, const float* a, const float* b, NextSlice) {
    const std::int64_t m = s.m_, k = s.k_, n = s.n_;
    const MatrixStrides bt{s.b_.col_stride, s.b_.row_stride};
    if (column_major(s.a_)) {
      // a^T has contiguous rows already: read in place too. b is narrow
      // here, so the rows of out are short and out^T is written in place.
      // With 16 vector registers the loop reads a^T once per tile of rows
      // of out^T; past L2, reading it once at all pays for keeping those
      // rows in memory ([512, 1024]^T @ [512, 10] at avx2: 1.17x NumPy in
      // the loop, 0.82x so; at baseline 3.13x and 1.31x).
      const MatrixStrides ot{s.out_.col_stride, s.out_.row_stride};
      const bool stream = !kWideTiles && static_cast<std::uint64_t>(k * m) >= kSmallPanelFloats;
      return SliceProduct(n, k, m, ot, bt, {s.a_.col_stride, 1}, stream ? SlicePath::Stream : SlicePath::Small)(
          out, b, a);
    }
    // 16 rows of a at a time: each step writes one run of a^T and reads
    // one element from each of 16 rows, all advancing together.
    float* const at = scratch.data.get();
    for (std::int64_t i0 = 0; i0 < m; i0 += 16) {
      const std::int64_t rows = std::min<std::int64_t>(16, m - i0);
      for (std::int64_t p = 0; p < k; ++p) {
        const float* col = a + i0 * s.a_.row_stride + p * s.a_.col_stride;
        for (std::int64_t i = 0; i < rows; ++i) at[p * m + i0 + i] = col[i * s.a_.row_stride];
      }
    }
    // out^T goes dense into scratch, kTransposedColumns columns of out at a
    // time, then into out in square blocks: stored straight into out, each
    // tile would write one line in each of many rows, and rows a power of
    // two apart fall into one set of the cache.
    float* const ot = at + k * m;
    for (std::int64_t c0 = 0; c0 < n; c0 += kTransposedColumns) {
      const std::int64_t c1 = std::min(c0 + kTransposedColumns, n);
      SliceProduct(c1 - c0, k, m, {m, 1}, bt, {m, 1}, SlicePath::Small)(ot, b + c0 * s.b_.col_stride, at);
      for (std::int64_t i0 = 0; i0 < m; i0 += 16) {
        const std::int64_t i1 = std::min<std::int64_t>(i0 + 16, m);
        for (std::int64_t j0 = c0; j0 < c1; j0 += 16) {
          const std::int64_t j1 = std::min<std::int64_t>(j0 + 16, c1);
          for (std::int64_t i = i0; i < i1; ++i) {
            float* to = out + i * s.out_.row_stride;
            for (std::int64_t j = j0; j < j1; ++j) to[j * s.out_.col_stride] = ot[(j - c0) * m + i];
          }
        }
      }
    }
  }

  // See Note [Sums along k]. R rows of a against S columns of b, one
  // kDotLanes-float running sum per output.
  static constexpr int kDotParts = kDotLanes / kVectorFloats;
  using DotSum = F32Lanes<kVectorFloats>[kDotParts];

  template <bool Unit>
  [[gnu::always_inline]] static inline void load_run(DotSum& v, const float* p, std::int64_t stride) {
    VESSIK_UNROLL for (int q = 0; q < kDotParts; ++q) {
      load_lanes<kVectorFloats, Unit>(v[q], p + q * kVectorFloats * stride, stride);
    }
  }

  // The fixed tree of Note [Sums along k]: lanes i and i + 8, then i and
  // i + 4 (to here in `quarter_sums`), i and i + 2, the last two.
  template <class V, int P>
  static F32Lanes<4> quarter_sums(const V (&v)[P]) {
    if constexpr (P == 1) {
      const auto s8 = __builtin_shufflevector(v[0], v[0], 0, 1, 2, 3, 4, 5, 6, 7) +
                      __builtin_shufflevector(v[0], v[0], 8, 9, 10, 11, 12, 13, 14, 15);
      return __builtin_shufflevector(s8, s8, 0, 1, 2, 3) + __builtin_shufflevector(s8, s8, 4, 5, 6, 7);
    } else if constexpr (P == 2) {
      const auto s8 = v[0] + v[1];
      return __builtin_shufflevector(s8, s8, 0, 1, 2, 3) + __builtin_shufflevector(s8, s8, 4, 5, 6, 7);
    } else {
      return (v[0] + v[2]) + (v[1] + v[3]);
    }
  }

  // The last two steps of the tree for two outputs at once, in one register.
  static void finish_pair(F32Lanes<4> x, F32Lanes<4> y, float* to_x, float* to_y) {
    const F32Lanes<4> u = __builtin_shufflevector(x, y, 0, 1, 4, 5) + __builtin_shufflevector(x, y, 2, 3, 6, 7);
    const F32Lanes<4> w = u + __builtin_shufflevector(u, u, 1, 0, 3, 2);
    *to_x = w[0];
    *to_y = w[2];
  }

  template <int R, int S, bool Unit>
  static void dot_tile(const SliceProduct& s, float* out, const float* a, const float* b, std::int64_t i0,
                       std::int64_t j0) {
    DotSum acc[R][S];
    VESSIK_UNROLL for (int r = 0; r < R; ++r) {
      VESSIK_UNROLL for (int t = 0; t < S; ++t) {
        VESSIK_UNROLL for (int q = 0; q < kDotParts; ++q) acc[r][t][q] = F32Lanes<kVectorFloats>{};
      }
    }
    const std::int64_t k = s.k_, a_cs = s.a_.col_stride, b_rs = s.b_.row_stride;
    const float* arow = a + i0 * s.a_.row_stride;
    const float* bcol = b + j0 * s.b_.col_stride;
    auto step = [&](const float* const (&ap)[R], const float* const (&bp)[S], std::int64_t as, std::int64_t bs) {
      DotSum av[R], bv[S];
      VESSIK_UNROLL for (int r = 0; r < R; ++r) load_run<Unit>(av[r], ap[r], as);
      VESSIK_UNROLL for (int t = 0; t < S; ++t) load_run<Unit>(bv[t], bp[t], bs);
      // Note [Strips of b in registers]; at 16 registers the loads folded run
      // faster (at avx2 [1, 784] @ [784, 128]^T 1.13x NumPy pinned, 0.78x
      // folded; at avx512 [64, 1024] @ [1024, 10]^T 1.17x folded, 0.84x).
      if constexpr (kWideTiles) {
        VESSIK_UNROLL for (int t = 0; t < S; ++t) {
          VESSIK_UNROLL for (int q = 0; q < kDotParts; ++q) keep_in_register(bv[t][q]);
        }
      }
      VESSIK_UNROLL for (int r = 0; r < R; ++r) {
        VESSIK_UNROLL for (int t = 0; t < S; ++t) {
          VESSIK_UNROLL for (int q = 0; q < kDotParts; ++q) {
            acc[r][t][q] = fused_multiply_add(bv[t][q], av[r][q], acc[r][t][q]);
          }
        }
      }
    };
    const std::int64_t whole = k / kDotLanes * kDotLanes;
    for (std::int64_t p = 0; p < whole; p += kDotLanes) {
      const float* ap[R];
      const float* bp[S];
      VESSIK_UNROLL for (int r = 0; r < R; ++r) ap[r] = arow + r * s.a_.row_stride + p * a_cs;
      VESSIK_UNROLL for (int t = 0; t < S; ++t) bp[t] = bcol + t * s.b_.col_stride + p * b_rs;
      step(ap, bp, a_cs, b_rs);
    }
    if (whole < k) {
      // The last run of fewer than kDotLanes terms, padded with zeros:
      // adding +0 leaves every running sum as it was.
      float ta[R][kDotLanes] = {}, tb[S][kDotLanes] = {};
      const float* ap[R];
      const float* bp[S];
      for (int r = 0; r < R; ++r) {
        for (std::int64_t p = whole; p < k; ++p) ta[r][p - whole] = arow[r * s.a_.row_stride + p * a_cs];
        ap[r] = ta[r];
      }
      for (int t = 0; t < S; ++t) {
        for (std::int64_t p = whole; p < k; ++p) tb[t][p - whole] = bcol[t * s.b_.col_stride + p * b_rs];
        bp[t] = tb[t];
      }
      step(ap, bp, 1, 1);
    }
    for (int r = 0; r < R; ++r) {
      float* const row = out + (i0 + r) * s.out_.row_stride + j0 * s.out_.col_stride;
      const std::int64_t cs = s.out_.col_stride;
      VESSIK_UNROLL for (int t = 0; t < S; t += 2) {
        const int u = t + 1 < S ? t + 1 : t;  // an odd last column pairs with itself
        finish_pair(quarter_sums(acc[r][t]), quarter_sums(acc[r][u]), row + t * cs, row + u * cs);
      }
    }
  }

  // Note [Sums along k], a lone row of a against a row-major b: V vectors
  // of W columns, the last placed to end at n (a column in two of them gets
  // the same bits in both), C running sums each: kRowChains, or one, the
  // loop's chain.
  static constexpr int kRowChains = 4;

  template <int C, int W, int V>
  static void row_vectors(const SliceProduct& s, std::int64_t n, float* out, const float* a, const float* b) {
    const std::int64_t k = s.k_, a_cs = s.a_.col_stride, b_rs = s.b_.row_stride, o_cs = s.out_.col_stride;
    std::int64_t at[V];
    for (int v = 0; v < V; ++v) at[v] = std::min<std::int64_t>(v * W, n - W);
    F32Lanes<W> acc[C][V];
    VESSIK_UNROLL for (int c = 0; c < C; ++c) {
      VESSIK_UNROLL for (int v = 0; v < V; ++v) acc[c][v] = F32Lanes<W>{};
    }
    auto row = [&](int c, std::int64_t p) {
      const float x = a[p * a_cs];
      VESSIK_UNROLL for (int v = 0; v < V; ++v) {
        F32Lanes<W> bv;
        load_lanes<W, true>(bv, b + p * b_rs + at[v], 1);
        multiply_add<W>(acc[c][v], bv, x);
      }
    };
    std::int64_t p = 0;
    for (; p + C <= k; p += C) {
      VESSIK_UNROLL for (int c = 0; c < C; ++c) row(c, p + c);
    }
    for (int c = 0; p < k; ++p, ++c) row(c, p);
    VESSIK_UNROLL for (int v = 0; v < V; ++v) {
      F32Lanes<W> sum = acc[0][v];
      if constexpr (C == 4) sum = (acc[0][v] + acc[1][v]) + (acc[2][v] + acc[3][v]);
      if (o_cs == 1) {
        store_lanes<W, true>(out + at[v], 1, sum);
      } else {
        store_lanes<W, false>(out + at[v] * o_cs, o_cs, sum);
      }
    }
  }

  // A lone row of a against a row-major b at least a vector wide keeps its
  // outputs in registers over all of k, in up to kRowPasses passes of up to
  // kRowVectors vectors while b stays in L2. Past it, or in more passes,
  // each reading part of every row of b, it ran slower than Stream's whole
  // rows ([1, 2048] @ [2048, 256] at avx2: 1.15x Stream's time in four
  // passes; [1, 128] @ [128, 2048] at baseline 1.3x in 64; [1, 2048] @
  // [2048, 128] at avx2 0.84x in two, [1, 1024] @ [1024, 64] 0.70x in one).
  static constexpr int kRowVectors = 8, kRowPasses = 4;

  static bool row_in_registers_pays(const SliceProduct& s) {
    return s.b_.col_stride == 1 && s.n_ >= kVectorFloats &&
           (s.n_ <= kRowVectors * kVectorFloats ||
            (s.n_ <= kRowPasses * kRowVectors * kVectorFloats &&
             static_cast<std::uint64_t>(s.k_ * s.n_) <= kSmallPanelFloats));
  }

  static void row_in_registers(const SliceProduct& s, float* out, const float* a, const float* b, NextSlice) {
    const std::int64_t vectors = (s.n_ + kVectorFloats - 1) / kVectorFloats;
    const std::int64_t passes = (vectors + kRowVectors - 1) / kRowVectors;
    const std::int64_t per_pass = (vectors + passes - 1) / passes * kVectorFloats;
    for (std::int64_t j = 0; j < s.n_; j += per_pass) {
      const std::int64_t w = std::min(per_pass, s.n_ - j);
      const std::int64_t pass_vectors = (w + kVectorFloats - 1) / kVectorFloats;
      [&]<int... V>(std::integer_sequence<int, V...>) {
        (void)((pass_vectors == V + 1 &&
                (row_vectors<1, kVectorFloats, V + 1>(s, w, out + j * s.out_.col_stride, a, b + j), true)) ||
               ...);
      }(std::make_integer_sequence<int, kRowVectors>{});
    }
  }

  static void dot_row(const SliceProduct& s, float* out, const float* a, const float* b, NextSlice) {
    const std::int64_t n = s.n_;
    if constexpr (kVectorFloats >= 16) {
      if (n >= 16) return row_vectors<kRowChains, 16, 1>(s, n, out, a, b);
    }
    if constexpr (kVectorFloats >= 8) {
      if (n == 8) return row_vectors<kRowChains, 8, 1>(s, n, out, a, b);
      if (n > 8) return row_vectors<kRowChains, 8, 2>(s, n, out, a, b);
    }
    if (n == 4) return row_vectors<kRowChains, 4, 1>(s, n, out, a, b);
    if (n <= 8) return row_vectors<kRowChains, 4, 2>(s, n, out, a, b);
    if (n <= 12) return row_vectors<kRowChains, 4, 3>(s, n, out, a, b);
    row_vectors<kRowChains, 4, 4>(s, n, out, a, b);
  }

  // A block of columns of b stays in L1 while every row of a meets it.
  template <int S, bool Unit>
  static void dot_columns(const SliceProduct& s, float* out, const float* a, const float* b, std::int64_t j0) {
    std::int64_t i = 0;
    for (; i + kDotRows <= s.m_; i += kDotRows) dot_tile<kDotRows, S, Unit>(s, out, a, b, i, j0);
    for (; i < s.m_; ++i) dot_tile<1, S, Unit>(s, out, a, b, i, j0);
  }

  // A lone row of a takes columns enough for eight chains of multiply-adds
  // ([1, 784] @ [784, 128]^T at avx2: 1.21x NumPy with four, 0.83x so).
  static constexpr int kLoneRowColumns = std::max(kDotColumns, 8 / kDotParts);

  // At 16 registers of 4 lanes, where a tile holds two outputs, a lone row
  // of a runs its tiles in one loop, their setup hoisted ([1, 64] @ [64,
  // 2048]^T at baseline: 1.61-1.69x NumPy a call per tile, 1.05x so). At avx2
  // the same loop ran slower.
  template <bool Unit>
  [[gnu::flatten]] static void dot_lone_row(const SliceProduct& s, float* out, const float* a, const float* b) {
    std::int64_t j = 0;
    for (; j + kDotColumns <= s.n_; j += kDotColumns) dot_tile<1, kDotColumns, Unit>(s, out, a, b, 0, j);
    for (; j < s.n_; ++j) dot_tile<1, 1, Unit>(s, out, a, b, 0, j);
  }

  template <bool Unit>
  static void dot(const SliceProduct& s, float* out, const float* a, const float* b, NextSlice) {
    if constexpr (kVectorBytes == 16) {
      if (s.m_ == 1) return dot_lone_row<Unit>(s, out, a, b);
    }
    std::int64_t j = 0;
    if constexpr (kLoneRowColumns > kDotColumns) {
      for (; s.m_ < kDotRows && j + kLoneRowColumns <= s.n_; j += kLoneRowColumns) {
        dot_columns<kLoneRowColumns, Unit>(s, out, a, b, j);
      }
    }
    // Each pass over the columns reads all of a again, and a narrow one waits
    // on its few chains: the rest go in passes of one width, up to
    // kDotWidest ([64, 1024] @ [1024, 10]^T at avx512: 1.23x NumPy in passes
    // of 4, 4, 1 and 1 columns).
    const std::int64_t passes = (s.n_ - j + kDotWidest - 1) / kDotWidest;
    const std::int64_t width = passes > 0 ? (s.n_ - j + passes - 1) / passes : 0;
    for (; j < s.n_; j += width) {
      const std::int64_t w = std::min(width, s.n_ - j);
      [&]<int... W>(std::integer_sequence<int, W...>) {
        (void)((w == W + 1 && (dot_columns<W + 1, Unit>(s, out, a, b, j), true)) || ...);
      }(std::make_integer_sequence<int, kDotWidest>{});
    }
  }

  // See Note [Rows of b in turn]. kStreamDepth rows of b at a time meet
  // every strip of the output rows, so each strip is loaded and stored once
  // per kStreamDepth multiply-adds.
  static constexpr int kStreamDepth = 4;

  template <int R, int U, int W>
  [[gnu::always_inline]] static inline void stream_strips(float* const (&o)[R], const float (&av)[R][U],
                                                          const float* bp, std::int64_t b_rs, std::int64_t n,
                                                          std::int64_t& j) {
    for (; j + W <= n; j += W) {
      F32Lanes<W> acc[R];
      VESSIK_UNROLL for (int r = 0; r < R; ++r) load_lanes<W, true>(acc[r], o[r] + j, 1);
      VESSIK_UNROLL for (int q = 0; q < U; ++q) {
        F32Lanes<W> bv;
        load_lanes<W, true>(bv, bp + q * b_rs + j, 1);
        VESSIK_UNROLL for (int r = 0; r < R; ++r) multiply_add<W>(acc[r], bv, av[r][q]);
      }
      VESSIK_UNROLL for (int r = 0; r < R; ++r) store_lanes<W, true>(o[r] + j, 1, acc[r]);
    }
  }

  template <int R, int U>
  static void stream_step(float* const (&o)[R], const float (&av)[R][U], const float* bp, std::int64_t b_rs,
                          std::int64_t n) {
    std::int64_t j = 0;
    stream_strips<R, U, kVectorFloats>(o, av, bp, b_rs, n, j);
    if constexpr (kVectorFloats > 8) stream_strips<R, U, 8>(o, av, bp, b_rs, n, j);
    if constexpr (kVectorFloats > 4) stream_strips<R, U, 4>(o, av, bp, b_rs, n, j);
    stream_strips<R, U, 1>(o, av, bp, b_rs, n, j);
  }

  template <int R>
  static void stream_rows(const SliceProduct& s, float* out, const float* a, const float* b, std::int64_t i0) {
    const std::int64_t k = s.k_, n = s.n_, a_rs = s.a_.row_stride, a_cs = s.a_.col_stride, b_rs = s.b_.row_stride;
    const bool unit_out = s.out_.col_stride == 1;
    float* o[R];
    for (int r = 0; r < R; ++r) {
      o[r] = unit_out ? out + (i0 + r) * s.out_.row_stride : scratch.data.get() + r * n;
      std::fill_n(o[r], n, 0.0f);
    }
    std::int64_t p = 0;
    for (; p + kStreamDepth <= k; p += kStreamDepth) {
      float av[R][kStreamDepth];
      for (int r = 0; r < R; ++r) {
        for (int q = 0; q < kStreamDepth; ++q) av[r][q] = a[(i0 + r) * a_rs + (p + q) * a_cs];
      }
      stream_step<R, kStreamDepth>(o, av, b + p * b_rs, b_rs, n);
    }
    for (; p < k; ++p) {
      float av[R][1];
      for (int r = 0; r < R; ++r) av[r][0] = a[(i0 + r) * a_rs + p * a_cs];
      stream_step<R, 1>(o, av, b + p * b_rs, b_rs, n);
    }
    if (unit_out) return;
    for (int r = 0; r < R; ++r) {
      float* row = out + (i0 + r) * s.out_.row_stride;
      for (std::int64_t j = 0; j < n; ++j) row[j * s.out_.col_stride] = o[r][j];
    }
  }

  static void stream(const SliceProduct& s, float* out, const float* a, const float* b, NextSlice) {
    std::int64_t i = 0;
    for (; i + kStreamRows <= s.m_; i += kStreamRows) stream_rows<kStreamRows>(s, out, a, b, i);
    for (; i + 3 <= s.m_; i += 3) stream_rows<3>(s, out, a, b, i);
    if (s.m_ - i == 2) stream_rows<2>(s, out, a, b, i);
    if (s.m_ - i == 1) stream_rows<1>(s, out, a, b, i);
  }

  static SliceProduct::Run pick(const SliceProduct& s) {
    // Rows of b read a vector at a time need unit columns; else the loop,
    // which gives the same bits.
    if (s.path_ == SlicePath::Small || (s.path_ == SlicePath::Stream && s.b_.col_stride != 1)) {
      const bool unit_b = s.b_.col_stride == 1;
      const bool unit_out = s.out_.col_stride == 1;
      if (unit_b) return unit_out ? &small<true, true> : &small<true, false>;
      return unit_out ? &small<false, true> : &small<false, false>;
    }
    if (s.path_ == SlicePath::Padded) return &padded;
    if (s.path_ == SlicePath::Stream) return s.m_ == 1 && row_in_registers_pays(s) ? &row_in_registers : &stream;
    if (s.path_ == SlicePath::Transposed) return &transposed;
    if (s.path_ == SlicePath::Dot) {
      if (lone_row_over_rows(static_cast<std::uint64_t>(s.m_), static_cast<std::uint64_t>(s.n_), s.b_)) return &dot_row;
      return s.a_.col_stride == 1 && s.b_.row_stride == 1 ? &dot<true> : &dot<false>;
    }
    return &packed;
  }
};

SliceProduct::SliceProduct(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides out, MatrixStrides a,
                           MatrixStrides b)
    : SliceProduct(m, k, n, out, a, b, choose_slice_path(m, k, n, a, b)) {}

SliceProduct::SliceProduct(std::uint64_t m, std::uint64_t k, std::uint64_t n, MatrixStrides out, MatrixStrides a,
                           MatrixStrides b, SlicePath path)
    : m_(static_cast<std::int64_t>(m)),
      k_(static_cast<std::int64_t>(k)),
      n_(static_cast<std::int64_t>(n)),
      out_(out),
      a_(a),
      b_(b),
      path_(path),
      run_(nullptr) {
  run_ = SliceKernels::pick(*this);
}

Result<void> SliceProduct::prepare() const {
  switch (path_) {
    case SlicePath::Small:
    case SlicePath::Dot: return {};
    case SlicePath::Gemm: return reserve_gemm_buffers();
    case SlicePath::Padded: return reserve_scratch(static_cast<std::size_t>((k_ + m_) * padded_columns(n_)));
    case SlicePath::Transposed:
      return column_major(a_) ? reserve_scratch(static_cast<std::size_t>(kStreamRows * m_))
                              : reserve_scratch(static_cast<std::size_t>((k_ + std::min(n_, kTransposedColumns)) * m_));
    case SlicePath::Stream:
      return out_.col_stride == 1 ? Result<void>{} : reserve_scratch(static_cast<std::size_t>(kStreamRows * n_));
  }
  return {};
}

}  // namespace vessik
