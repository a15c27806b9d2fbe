#define VESSIK_OWNS_NUMPY_API
#include "binding/numpy_api.h"

#include <array>
#include <atomic>
#include <mutex>
#include <string_view>

#include "binding/process_cache.h"

namespace vessik::api {

// The versions named in the mismatch messages are the ones this module is
// compiled for; the build pins them.
static_assert(NPY_VERSION == 0x2000000, "built against NumPy 2 headers");
static_assert(NPY_FEATURE_VERSION == 0xc, "targets the NumPy 1.15 C API");

namespace {

// The table and runtime version are plain globals that NumPy's macros read.
// They are written once, under the mutex, before `bound` is released; every
// reader checks `bound` first (see Note [Publishing process-wide values] for
// why nothing is locked while Python runs).
std::mutex publish_mutex;
std::atomic<bool> bound{false};
PyObject* array_function = nullptr;

using VersionFn = unsigned int (*)();
using EndiannessFn = int (*)();

PyObject* import_attr(const char* module, const char* attr) {
  PyObject* m = PyImport_ImportModule(module);
  if (m == nullptr) return nullptr;
  PyObject* value = PyObject_GetAttrString(m, attr);
  Py_DECREF(m);
  return value;
}

// NumpyVersion(numpy.__version__).major, or -1 with an error set.
long numpy_major_version() {
  PyObject* version = import_attr("numpy", "__version__");
  if (version == nullptr) return -1;
  PyObject* numpy_version_class = import_attr("numpy.lib", "NumpyVersion");
  if (numpy_version_class == nullptr) {
    Py_DECREF(version);
    return -1;
  }
  PyObject* parsed = PyObject_CallOneArg(numpy_version_class, version);
  Py_DECREF(numpy_version_class);
  Py_DECREF(version);
  if (parsed == nullptr) return -1;
  PyObject* major = PyObject_GetAttrString(parsed, "major");
  Py_DECREF(parsed);
  if (major == nullptr) return -1;
  const long value = PyLong_AsLong(major);
  Py_DECREF(major);
  return value;
}

void** read_api_table(long major) {
  PyObject* capsule = import_attr(major < 2 ? "numpy.core.multiarray" : "numpy._core.multiarray", "_ARRAY_API");
  if (capsule == nullptr) return nullptr;
  if (!PyCapsule_CheckExact(capsule)) {
    Py_DECREF(capsule);
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
    return nullptr;
  }
  // The capsule belongs to NumPy's extension module, which is never unloaded.
  void** table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
  Py_DECREF(capsule);
  return table;
}

// Index positions of the version queries in NumPy's table; the macros that
// name them read the global table, which is not published yet.
constexpr int kGetNDArrayCVersion = 0;
constexpr int kGetEndianness = 210;
constexpr int kGetNDArrayCFeatureVersion = 211;

bool check_versions(void** table, unsigned int* feature_version) {
  const unsigned int abi = reinterpret_cast<VersionFn>(table[kGetNDArrayCVersion])();
  if (abi > 0x2000000u) {
    PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x2000000 but this version of numpy is 0x%x",
                 abi);
    return false;
  }
  *feature_version = reinterpret_cast<VersionFn>(table[kGetNDArrayCFeatureVersion])();
  if (*feature_version < 0xcu) {
    PyErr_Format(PyExc_RuntimeError,
                 "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running NumPy has "
                 "C-API version 0x%x",
                 *feature_version);
    return false;
  }
  if (reinterpret_cast<EndiannessFn>(table[kGetEndianness])() != NPY_CPU_LITTLE) {
    PyErr_SetString(PyExc_RuntimeError, "module compiled as little endian, but detected different endianness at runtime");
    return false;
  }
  return true;
}

bool bind_slow() {
  const long major = numpy_major_version();
  if (major == -1 && PyErr_Occurred()) return false;
  void** table = read_api_table(major);
  if (table == nullptr) return false;
  unsigned int feature_version = 0;
  if (!check_versions(table, &feature_version)) return false;
  PyObject* array = import_attr("numpy", "array");
  if (array == nullptr) return false;

  std::lock_guard lock(publish_mutex);
  if (bound.load(std::memory_order_relaxed)) {
    Py_DECREF(array);
    return true;
  }
  PyArray_API = table;
  PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
  array_function = array;
  bound.store(true, std::memory_order_release);
  return true;
}

std::array<ProcessCache<PyArray_Descr>, kElementTypeCount> descr_cache;

}  // namespace

bool bind_numpy() noexcept {
  if (bound.load(std::memory_order_acquire)) return true;
  return bind_slow();
}

bool numpy_bound() noexcept { return bound.load(std::memory_order_acquire); }

PyObject* numpy_array_function() noexcept { return array_function; }

PyArray_Descr* descr_of(DType d) noexcept {
  return descr_cache[static_cast<std::size_t>(d)].get([d]() -> PyArray_Descr* {
    const std::string_view numpy_name = dtype_names(d).numpy;
    PyObject* name = PyUnicode_FromStringAndSize(numpy_name.data(), static_cast<Py_ssize_t>(numpy_name.size()));
    if (name == nullptr) return nullptr;
    PyArray_Descr* descr = nullptr;
    const int ok = PyArray_DescrConverter(name, &descr);
    Py_DECREF(name);
    return ok ? descr : nullptr;
  });
}

PyArray_Descr* new_descr(DType d) noexcept {
  PyArray_Descr* descr = descr_of(d);
  Py_XINCREF(descr);
  return descr;
}

}  // namespace vessik::api
