#pragma once
// Raw element buffers. From 64 KiB up they are cache-line aligned (from
// 4 MiB, 2 MiB aligned and advised to use transparent huge pages), and a few
// freed ones are kept for reuse: every operation returns a fresh result, and
// faulting in new pages costs as much as filling a large result. See
// Note [Recycled buffers].

#include <cstddef>
#include <memory>

namespace vessik {

// Frees a buffer; `bytes` is its rounded size when it may be recycled and
// 0 for a plain malloc block.
struct BufferFree {
  std::size_t bytes = 0;
  void operator()(void* p) const noexcept;
};
using RawBuffer = std::unique_ptr<void, BufferFree>;

// Uninitialised memory for `bytes` bytes, or null on exhaustion.
// A request of 0 bytes yields null as well; callers test the size first.
RawBuffer allocate_buffer(std::size_t bytes) noexcept;

// Frees every recycled buffer (used before reporting exhaustion).
void release_recycled_buffers() noexcept;

}  // namespace vessik
