#include "engine/cpu/error.h"

#include <cstdio>
#include <cstdlib>

namespace vessik {

void internal_fault(const std::string& message) {
  std::fprintf(stderr, "vessik: %s\n", message.c_str());
  std::abort();
}

}  // namespace vessik
