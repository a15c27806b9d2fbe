#pragma once
// The boundary between error values and Python exceptions. Every C-API
// callback of the module is noexcept and runs its body through `guarded`,
// so no C++ exception ever reaches the interpreter.

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "engine/cpu/error.h"

namespace vessik::api {

// Raises `error` as the Python exception of its kind. Returns nullptr so a
// callback can `return raise(e);`.
PyObject* raise(const Error& error) noexcept;

// Called from `guarded` for an escaped C++ exception.
void raise_current_exception() noexcept;

// Runs `body`; a C++ exception escaping it becomes MemoryError (bad_alloc)
// or RuntimeError, and the callback returns `on_error`.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return on_error;
  }
}

// Re-raises the pending exception with "FUNCTION() argument 'NAME': " before its text,
// keeping its class, so conversion errors name the argument they concern.
void prefix_pending_error(std::string_view function, std::string_view argument);

}  // namespace vessik::api
