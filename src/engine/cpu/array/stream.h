#pragma once
// Streaming (non-temporal) stores for results that, with their operands,
// overflow the last-level cache. See Note [Streaming results].

#include <cstddef>
#include <cstdint>

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

}  // namespace vessik
