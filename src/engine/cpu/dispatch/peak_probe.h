#pragma once
// The multiply-add rate a level's instructions can reach, for the
// benchmarks to say how close the matrix product comes to it.

#include <cstdint>

namespace vessik {

// Runs `steps` steps of independent multiply-add chains at this level's
// vector width (fused where the level has FMA) and returns the number of
// floating-point operations done (two per multiply-add).
std::uint64_t multiply_add_probe(std::uint64_t steps);

}  // namespace vessik
