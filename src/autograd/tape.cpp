#include "autograd/tape.h"

#include <algorithm>
#include <atomic>

namespace vessik {

namespace {

// Readers > 0, exclusive owner -1, free 0. Per thread, like the tape.
thread_local int tape_users = 0;

[[noreturn]] void tape_reentered() {
  internal_fault("internal error: the autograd tape was re-entered while in use");
}

// Epoch 0 is never issued: a default NodeId names no tape.
std::atomic<std::uint64_t> epochs_issued{0};

std::uint64_t new_epoch() { return epochs_issued.fetch_add(1, std::memory_order_relaxed) + 1; }

}  // namespace

Tape::Tape() : epoch_(new_epoch()) {}

NodeId Tape::register_leaf() {
  reserve_for(1);
  return {append(nullptr), epoch_};
}

void Tape::reserve_for(std::size_t extra) {
  // Reserve both arrays up front so an allocation failure leaves them equal.
  const std::size_t needed = nodes_.size() + extra;
  if (needed > nodes_.capacity()) nodes_.reserve(std::max(needed, nodes_.capacity() * 2));
  const std::size_t grads_needed = grads_.size() + extra;
  if (grads_needed > grads_.capacity()) grads_.reserve(std::max(grads_needed, grads_.capacity() * 2));
}

std::uint64_t Tape::append(Node node) {
  const std::uint64_t index = nodes_.size();
  nodes_.push_back(std::move(node));
  grads_.emplace_back();
  return index;
}

void Tape::set_grad(std::uint64_t index, StorageHandle grad) {
  if (index >= grads_.size()) grads_.resize(index + 1);
  grads_[index] = std::move(grad);
}

StorageHandle Tape::get_grad(std::uint64_t index) const {
  return index < grads_.size() ? grads_[index] : nullptr;
}

void Tape::clear() {
  nodes_.clear();
  grads_.clear();
  epoch_ = new_epoch();
}

TapeAccess::Guard::Guard(Mode m) : mode(m) {
  if (mode == Mode::Exclusive) {
    if (tape_users != 0) tape_reentered();
    tape_users = -1;
  } else {
    if (tape_users < 0) tape_reentered();
    ++tape_users;
  }
}

TapeAccess::Guard::~Guard() {
  if (mode == Mode::Exclusive) {
    tape_users = 0;
  } else {
    --tape_users;
  }
}

Tape& TapeAccess::tape() {
  // Created on the thread's first use, destroyed with its nodes and
  // gradients when the thread ends.
  thread_local Tape instance;
  return instance;
}

NodeId register_leaf() {
  return TapeAccess::exclusive([](Tape& t) { return t.register_leaf(); });
}

void clear_tape() {
  TapeAccess::exclusive([](Tape& t) { t.clear(); });
}

}  // namespace vessik
