#pragma once
// Process-wide Python objects made on first use and kept for the life of the
// process.
//
// Note [Publishing process-wide values]
// Making one of these values may run Python code (an import, a type's
// creation) that lets other threads run, and on a free-threaded interpreter
// threads run together anyway. A lock held across that work could deadlock
// with the interpreter's own lock, so no lock is held: each thread that
// finds the slot empty makes a value, the first compare-exchange publishes
// it, and a thread that loses releases its own value and uses the winner's.
// The published reference is never released.

#include <Python.h>

#include <atomic>

namespace vessik::api {

template <class T = PyObject>
class ProcessCache {
 public:
  // The cached object (borrowed), made by `make` (returning a new reference
  // or nullptr with a Python error set) when none is published yet.
  template <class Make>
  T* get(Make&& make) {
    if (T* value = slot_.load(std::memory_order_acquire)) return value;
    T* fresh = make();
    if (fresh == nullptr) return nullptr;
    T* expected = nullptr;
    if (slot_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
      return fresh;
    }
    Py_DECREF(reinterpret_cast<PyObject*>(fresh));
    return expected;
  }

 private:
  std::atomic<T*> slot_{nullptr};
};

// An interned str kept in `cache`; nullptr with an error set on failure.
inline PyObject* cached_str(ProcessCache<>& cache, const char* text) {
  return cache.get([text] { return PyUnicode_InternFromString(text); });
}

}  // namespace vessik::api
