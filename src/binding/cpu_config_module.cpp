// The private extension vessik._cpu: what the kernel dispatch found and
// chose, for vessik.show_config() and the import-time warning about a
// VESSIK_CPU_LEVEL that names no level. vessik_core's members stay those of
// the Tensor API.

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "binding/errors.h"
#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/dispatch/level.h"
#include "engine/cpu/dispatch/probe_table.h"
#include "engine/cpu/processor/cache.h"
#include "engine/cpu/processor/features.h"

#ifndef VESSIK_BUILD_LEVELS
#define VESSIK_BUILD_LEVELS ""
#endif

namespace {

// Stores `value`, a new reference or nullptr on failure, and releases it.
int set_owned(PyObject* dict, const char* key, PyObject* value) {
  const int r = value == nullptr ? -1 : PyDict_SetItemString(dict, key, value);
  Py_XDECREF(value);
  return r;
}

int set_bool(PyObject* dict, const char* key, bool value) { return set_owned(dict, key, PyBool_FromLong(value)); }

int set_string(PyObject* dict, const char* key, const char* value) {
  return set_owned(dict, key, PyUnicode_DecodeUTF8(value, static_cast<Py_ssize_t>(std::strlen(value)), "replace"));
}

PyObject* features_dict() {
  const vessik::CpuFeatures& f = vessik::cpu_features();
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  const struct {
    const char* name;
    bool value;
  } flags[] = {
      {"sse4.2", f.sse42},       {"popcnt", f.popcnt},         {"avx2", f.avx2},
      {"fma", f.fma},            {"f16c", f.f16c},             {"bmi1", f.bmi1},
      {"bmi2", f.bmi2},          {"lzcnt", f.lzcnt},           {"movbe", f.movbe},
      {"avx512f", f.avx512f},    {"avx512bw", f.avx512bw},     {"avx512cd", f.avx512cd},
      {"avx512dq", f.avx512dq},  {"avx512vl", f.avx512vl},     {"avx512_bf16", f.avx512_bf16},
      {"avx512_fp16", f.avx512_fp16},
  };
  for (const auto& flag : flags) {
    if (set_bool(d, flag.name, flag.value) < 0) {
      Py_DECREF(d);
      return nullptr;
    }
  }
  return d;
}

// The names of the levels from the lowest, up to `last`, as a list.
PyObject* level_names(vessik::CpuLevel last) {
  PyObject* list = PyList_New(0);
  for (const vessik::CpuLevel level : vessik::kAllLevels) {
    if (list == nullptr || level > last) break;
    PyObject* name = PyUnicode_FromString(vessik::level_name(level));
    if (name == nullptr || PyList_Append(list, name) < 0) Py_CLEAR(list);
    Py_XDECREF(name);
  }
  return list;
}

// The caches and the matrix product's tile and blocks at the chosen level.
std::string gemm_summary() {
  const vessik::CacheSizes& c = vessik::cache_sizes();
  const vessik::GemmBlocking& g = vessik::kernels().probes->gemm_blocking();
  return "tile " + std::to_string(g.tile_rows) + "x" + std::to_string(g.tile_columns) + ", k_c " +
         std::to_string(g.depth) + ", m_c " + std::to_string(g.rows) + ", n_c " + std::to_string(g.columns) +
         (g.b_panel_in_l1 ? ", b panel in L1" : ", a panel in L1") + " (caches: L1d " + std::to_string(c.l1d >> 10) +
         " KiB, L2 " + std::to_string(c.l2 >> 10) + " KiB, L3 share " + std::to_string(c.l3 >> 10) + " KiB)";
}

// multiply_add_probe(steps) -> int: runs the chosen level's multiply-add
// loop and returns the floating-point operations done, for the benchmarks.
PyObject* multiply_add_probe(PyObject*, PyObject* arg) noexcept {
  return vessik::api::guarded<PyObject*>(nullptr, [arg]() -> PyObject* {
    const unsigned long long steps = PyLong_AsUnsignedLongLong(arg);
    if (steps == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    return PyLong_FromUnsignedLongLong(vessik::kernels().probes->multiply_add_probe(steps));
  });
}

// info() -> dict: level, highest, levels (every name, lowest first),
// runnable (those up to highest), requested, requested_valid, reason,
// features, build_levels, compiler, gemm.
PyObject* info(PyObject*, PyObject*) noexcept {
  return vessik::api::guarded<PyObject*>(nullptr, []() -> PyObject* {
    const vessik::LevelChoice& c = vessik::level_choice();
    const std::string gemm = gemm_summary();  // before any reference is owned
    PyObject* d = PyDict_New();
    if (d == nullptr) return nullptr;
    const bool ok = set_owned(d, "features", features_dict()) == 0 &&
                    set_string(d, "level", vessik::level_name(c.level)) == 0 &&
                    set_string(d, "highest", vessik::level_name(c.highest)) == 0 &&
                    set_owned(d, "levels", level_names(vessik::kAllLevels[std::size(vessik::kAllLevels) - 1])) == 0 &&
                    set_owned(d, "runnable", level_names(c.highest)) == 0 &&
                    set_string(d, "requested", c.requested.c_str()) == 0 &&
                    set_bool(d, "requested_valid", c.requested_valid) == 0 &&
                    set_string(d, "reason", c.reason.c_str()) == 0 &&
                    set_string(d, "build_levels", VESSIK_BUILD_LEVELS) == 0 &&
                    set_string(d, "compiler", "g++ " __VERSION__) == 0 &&
                    set_string(d, "gemm", gemm.c_str()) == 0;
    if (!ok) {
      Py_DECREF(d);
      return nullptr;
    }
    return d;
  });
}

PyMethodDef methods[] = {
    {"info", info, METH_NOARGS, "info() -> dict: the processor features, the kernel level chosen and why."},
    {"multiply_add_probe", multiply_add_probe, METH_O,
     "multiply_add_probe(steps) -> int: runs the level's multiply-add loop; returns the operations done."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vessik._cpu", "Kernel dispatch: processor features and the chosen level.", 0, methods,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__cpu() { return PyModuleDef_Init(&module_def); }
