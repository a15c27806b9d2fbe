#pragma once

#include <cstdint>

#include "engine/cpu/error.h"
#include "values/storage.h"

namespace vessik {

// Runs the backward pass of the calling thread's tape from node `start`
// with gradient `seed`. On success every gathered gradient replaces the
// one stored on the tape; on failure the tape is exactly as before.
Result<void> run_backward(std::uint64_t start, Storage seed);

}  // namespace vessik
