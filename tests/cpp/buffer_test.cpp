// Buffers from 64 KiB up: freed ones are handed out again, from any thread, and the
// memory is whole and writable each time.

#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/cpu/array/buffer.h"

namespace vessik {
namespace {

constexpr std::size_t kLarge = std::size_t{9} << 20;  // 2 MiB aligned

void fill_and_check(void* p, std::size_t bytes, unsigned char value) {
  auto* b = static_cast<unsigned char*>(p);
  std::memset(b, value, bytes);
  for (std::size_t i = 0; i < bytes; i += 4093) ASSERT_EQ(b[i], value);
  ASSERT_EQ(b[bytes - 1], value);
}

class FreedBuffers : public ::testing::TestWithParam<std::size_t> {};

// 800 KiB: below the huge-page size, where glibc's heap trimming once made
// the same product fault in its result on every call.
INSTANTIATE_TEST_SUITE_P(Sizes, FreedBuffers, ::testing::Values(std::size_t{800} << 10, kLarge));

TEST_P(FreedBuffers, AreReused) {
  const std::size_t bytes = GetParam();
  void* first = nullptr;
  {
    RawBuffer a = allocate_buffer(bytes);
    ASSERT_TRUE(a);
    first = a.get();
    fill_and_check(a.get(), bytes, 1);
  }
  // Same rounded size: the parked buffer comes back; a different size does not take it.
  RawBuffer other = allocate_buffer(bytes + (std::size_t{4} << 20));
  ASSERT_TRUE(other);
  EXPECT_NE(other.get(), first);
  RawBuffer again = allocate_buffer(bytes - 40);
  ASSERT_TRUE(again);
  EXPECT_EQ(again.get(), first);
  fill_and_check(again.get(), bytes - 40, 2);
  again.reset();
  release_recycled_buffers();
  RawBuffer fresh = allocate_buffer(bytes);
  ASSERT_TRUE(fresh);
  fill_and_check(fresh.get(), bytes, 3);
}

TEST(Buffers, ThreadsAllocateAndFreeConcurrently) {
  constexpr int kThreads = 6;
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < 40; ++i) {
        const std::size_t bytes = kLarge + static_cast<std::size_t>(i % 3) * (std::size_t{2} << 20);
        RawBuffer b = allocate_buffer(bytes);
        if (!b) {
          ++failures[t];
          continue;
        }
        auto* p = static_cast<unsigned char*>(b.get());
        const auto mark = static_cast<unsigned char>(t * 40 + i);
        p[0] = mark;
        p[bytes - 1] = mark;
        // A buffer handed to two threads at once would show the other's mark.
        std::this_thread::yield();
        if (p[0] != mark || p[bytes - 1] != mark) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace vessik
