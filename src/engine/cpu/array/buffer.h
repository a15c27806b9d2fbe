#pragma once
// Raw element buffers. Large buffers are 2 MiB aligned and advised to use
// transparent huge pages: every operation returns a fresh result, and
// faulting in 4 KiB pages dominates the cost of filling a large one.

#include <cstddef>
#include <memory>

namespace vessik {

struct BufferFree {
  void operator()(void* p) const noexcept;
};
using RawBuffer = std::unique_ptr<void, BufferFree>;

// Uninitialised memory for `bytes` bytes, or null on exhaustion.
// A request of 0 bytes yields null as well; callers test the size first.
RawBuffer allocate_buffer(std::size_t bytes) noexcept;

}  // namespace vessik
