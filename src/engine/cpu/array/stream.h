#pragma once
// Streaming (non-temporal) stores for results that, with their operands,
// overflow the last-level cache. See Note [Streaming results].

#include <cstddef>

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

}  // namespace vessik
