#pragma once

#include <cstdint>

#include "engine/cpu/error.h"
#include "values/storage.h"
#include "values/tensor.h"

namespace vessik {

// Runs the backward pass of the calling thread's tape from node `start`
// with gradient `seed`. On success every gathered gradient replaces the
// one stored on the tape; on failure the tape is exactly as before. A node
// of another epoch (Note [Tape epochs]) is a RuntimeError.
Result<void> run_backward(const NodeId& start, Storage seed);

}  // namespace vessik
