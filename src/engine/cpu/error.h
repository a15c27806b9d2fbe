#pragma once
// Errors are values below the binding: the engine, the tensor core and the
// autograd layer return them, and only the Python binding raises them.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <string>
#include <utility>

namespace vessik {

// The Python exception class an error becomes at the boundary.
enum class ErrorKind : std::uint8_t {
  TypeError,
  ValueError,
  RuntimeError,
  IndexError,
  MemoryError,
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

// Ends the process after "vessik: MESSAGE" on stderr, on a broken internal
// invariant: no input reaches it, and going on would give wrong results.
[[noreturn]] inline void internal_fault(const std::string& message) {
  std::fprintf(stderr, "vessik: %s\n", message.c_str());
  std::abort();
}

inline std::unexpected<Error> fail(ErrorKind kind, std::string message) {
  return std::unexpected(Error{kind, std::move(message)});
}

// Kernel-level failures (broadcasting, matmul shape checks) are RuntimeErrors.
inline std::unexpected<Error> kernel_fail(std::string message) {
  return fail(ErrorKind::RuntimeError, std::move(message));
}

inline std::unexpected<Error> out_of_memory() {
  return fail(ErrorKind::MemoryError, "out of memory while allocating a tensor buffer");
}

}  // namespace vessik
