// The private extension vessik._cpu: what the kernel dispatch found and
// chose, for vessik.show_config() and the import-time warning about a
// VESSIK_CPU_LEVEL that names no level. vessik_core's members stay those of
// the Tensor API.

#include <Python.h>

#include <cstring>

#include "engine/cpu/dispatch/level.h"
#include "engine/cpu/features.h"

#ifndef VESSIK_BUILD_LEVELS
#define VESSIK_BUILD_LEVELS ""
#endif

namespace {

int set_bool(PyObject* dict, const char* key, bool value) {
  return PyDict_SetItemString(dict, key, value ? Py_True : Py_False);
}

int set_string(PyObject* dict, const char* key, const char* value) {
  PyObject* s = PyUnicode_DecodeUTF8(value, static_cast<Py_ssize_t>(std::strlen(value)), "replace");
  if (s == nullptr) return -1;
  const int r = PyDict_SetItemString(dict, key, s);
  Py_DECREF(s);
  return r;
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

// info() -> dict: level, highest, requested, requested_valid, reason,
// features, build_levels, compiler.
PyObject* info(PyObject*, PyObject*) {
  const vessik::LevelChoice& c = vessik::level_choice();
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  PyObject* features = features_dict();
  const bool ok = features != nullptr && PyDict_SetItemString(d, "features", features) == 0 &&
                  set_string(d, "level", vessik::level_name(c.level)) == 0 &&
                  set_string(d, "highest", vessik::level_name(c.highest)) == 0 &&
                  set_string(d, "requested", c.requested.c_str()) == 0 &&
                  set_bool(d, "requested_valid", c.requested_valid) == 0 &&
                  set_string(d, "reason", c.reason.c_str()) == 0 &&
                  set_string(d, "build_levels", VESSIK_BUILD_LEVELS) == 0 &&
                  set_string(d, "compiler", "g++ " __VERSION__) == 0;
  Py_XDECREF(features);
  if (!ok) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

PyMethodDef methods[] = {
    {"info", info, METH_NOARGS, "info() -> dict: the processor features, the kernel level chosen and why."},
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
