#pragma once
// Streaming (non-temporal) stores for results that, with their operands,
// overflow the last-level cache. See Note [Streaming results].

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__AVX512F__)
#include <immintrin.h>
#endif

namespace vessik {

// Bytes a kernel should fill before each stream_store: small enough that
// the chunk stays in the first-level cache between the fill and the copy.
inline constexpr std::size_t kStreamChunkBytes = 2048;

// Whether a kernel that reads and writes `touched_bytes` in all should write
// its result through stream_store.
bool worth_streaming(std::size_t touched_bytes) noexcept;

// Copies `bytes` bytes from `src` to `dst`, writing whole cache lines around
// the cache. Visible to other threads after stream_fence().
void stream_store(void* dst, const void* src, std::size_t bytes) noexcept;
void stream_fence() noexcept;

// How far ahead of the element being computed a streaming kernel asks for
// its operands. The hardware prefetchers alone leave one core's reads about
// a tenth short of what it can take in; further ahead (4 KiB) measured worse.
inline constexpr std::size_t kPrefetchAheadBytes = 2048;

// Asks for the cache lines holding [p, p + count), `ahead` bytes further
// on, into the second-level cache. Only a hint: lines past the end of the
// buffer are never read, and the address is formed as an integer so that no
// pointer leaves its array.
template <class T>
inline void prefetch_ahead(const T* p, std::int64_t count, std::size_t ahead = kPrefetchAheadBytes) noexcept {
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(p) + ahead;
  const std::uintptr_t bytes = static_cast<std::uintptr_t>(count) * sizeof(T);
  for (std::uintptr_t at = 0; at < bytes; at += 64) {
    __builtin_prefetch(reinterpret_cast<const void*>(first + at), 0, 2);
  }
}

namespace loops {

// Fills o[0, n) in chunks through fill(dst, first, count), which writes
// elements [first, first + count) to dst[0, count), and streams each chunk
// out (Note [Streaming results]). `sources` are the operands read at the
// same index as o. The caller fences.
template <class R, class Fill, class... Src>
inline void fill_streamed(R* o, std::int64_t n, Fill fill, const Src*... sources) {
#if defined(__AVX512F__)
  if constexpr (std::is_same_v<R, float>) {
    // Built for AVX-512, a binary32 chunk can be a single cache line that
    // the compiler keeps in a register: no copy through the first-level
    // cache, which costs a third of the time of a tiled walk. (16-bit
    // arithmetic converts in bulk, and bool results, a quarter of the bytes
    // read, measured faster in the larger chunks.)
    constexpr auto kLine = static_cast<std::int64_t>(64 / sizeof(R));
    const auto misaligned = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(o) % 64 / sizeof(R));
    std::int64_t c = misaligned == 0 ? 0 : std::min(n, kLine - misaligned);
    if (c > 0) fill(o, 0, c);
    for (; c + kLine <= n; c += kLine) {
      alignas(64) R line[kLine];
      fill(line, c, kLine);
      _mm512_stream_si512(reinterpret_cast<__m512i*>(o + c), _mm512_load_si512(line));
    }
    if (c < n) fill(o + c, c, n - c);
    return;
  }
#endif
  constexpr auto kChunkElements = static_cast<std::int64_t>(kStreamChunkBytes / sizeof(R));
  // A result narrower than its operands (a comparison's bools) leaves the
  // reads to set the pace, and the hardware prefetchers alone leave some of
  // one core's read bandwidth unused: the operands are asked for ahead, in
  // pieces of 256 bytes of operand, since a burst for a whole chunk stalls
  // the loads behind it. (For results as wide as their operands, asking
  // ahead measured no faster, and slower for relu.)
  constexpr std::size_t kWidest = std::max({sizeof(R), sizeof(Src)...});
  constexpr bool kAskAhead = kWidest > sizeof(R);
  constexpr std::int64_t kPieceElements =
      kAskAhead ? static_cast<std::int64_t>(256 / kWidest) : kChunkElements;
  alignas(64) R chunk[kChunkElements];
  for (std::int64_t c = 0; c < n; c += kChunkElements) {
    const std::int64_t m = std::min(kChunkElements, n - c);
    for (std::int64_t p = 0; p < m; p += kPieceElements) {
      const std::int64_t k = std::min(kPieceElements, m - p);
      if constexpr (kAskAhead) (prefetch_ahead(sources + c + p, k), ...);
      fill(chunk + p, c + p, k);
    }
    stream_store(o + c, chunk, static_cast<std::size_t>(m) * sizeof(R));
  }
}

// Fills o[0, n) through fill as above: streamed when the result and its
// operands, `touched_bytes` in all, overflow the cache, else in one call.
template <class R, class Fill, class... Src>
inline void fill_flat(R* o, std::int64_t n, std::size_t touched_bytes, Fill fill, const Src*... sources) {
  if (!worth_streaming(touched_bytes)) {
    fill(o, 0, n);
    return;
  }
  fill_streamed(o, n, fill, sources...);
  stream_fence();
}

}  // namespace loops

}  // namespace vessik
