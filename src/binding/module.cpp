// The extension module vessik_core: multi-phase initialisation whose
// execution step registers Tensor and the nn.functional submodule.

#include <Python.h>

#include "engine/cpu/dispatch/kernel_table.h"
#include "binding/nn_functional.h"
#include "binding/errors.h"
#include "binding/free_threading.h"
#include "binding/py_tensor.h"

namespace {

// Appends `name` to the module's __all__ (created empty when missing), then
// sets the attribute. 0 on success, -1 with an error set.
int add_object(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  }
  if (!PyList_Check(all)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'list' (module __all__)", Py_TYPE(all)->tp_name);
    Py_DECREF(all);
    return -1;
  }
  const int appended = PyList_Append(all, name);
  Py_DECREF(all);
  if (appended < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int add_object(PyObject* module, const char* name, PyObject* value) {
  PyObject* key = PyUnicode_FromString(name);
  if (key == nullptr) return -1;
  const int result = add_object(module, key, value);
  Py_DECREF(key);
  return result;
}

// Adds a submodule under the text after the last "." of its __name__. The
// submodule is not entered in sys.modules, so only attribute access reaches it.
int add_submodule(PyObject* module, PyObject* submodule) {
  PyObject* full = PyModule_GetNameObject(submodule);
  if (full == nullptr) return -1;
  const Py_ssize_t length = PyUnicode_GetLength(full);
  const Py_ssize_t dot = PyUnicode_FindChar(full, '.', 0, length, -1);
  PyObject* name = dot < 0 ? Py_NewRef(full) : PyUnicode_Substring(full, dot + 1, length);
  Py_DECREF(full);
  if (name == nullptr) return -1;
  const int result = add_object(module, name, submodule);
  Py_DECREF(name);
  return result;
}

PyObject* new_module(const char* name) {
  PyObject* key = PyUnicode_FromString(name);
  if (key == nullptr) return nullptr;
  PyObject* module = PyModule_NewObject(key);
  Py_DECREF(key);
  return module;
}

int populate_functional(PyObject* functional) {
  PyObject* relu = vessik::api::new_relu_function(functional);
  if (relu == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(relu, "__name__");
  const int result = name == nullptr ? -1 : add_object(functional, name, relu);
  Py_XDECREF(name);
  Py_DECREF(relu);
  return result;
}

int populate_nn(PyObject* nn) {
  PyObject* functional = new_module("functional");
  if (functional == nullptr) return -1;
  const int result = populate_functional(functional) < 0 ? -1 : add_submodule(nn, functional);
  Py_DECREF(functional);
  return result;
}

int exec_module(PyObject* module) noexcept {
  // The kernel level is chosen now, at import, rather than at the first
  // operation: VESSIK_CPU_LEVEL is read while the importer's environment is
  // the one it meant.
  return vessik::api::guarded(-1, [module] {
    (void)vessik::kernels();
    PyTypeObject* type = vessik::api::tensor_type();
    if (type == nullptr) return -1;
    if (add_object(module, "Tensor", reinterpret_cast<PyObject*>(type)) < 0) return -1;
    PyObject* nn = new_module("nn");
    if (nn == nullptr) return -1;
    const int result = populate_nn(nn) < 0 ? -1 : add_submodule(module, nn);
    Py_DECREF(nn);
    return result;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    VESSIK_MOD_GIL_SLOT
    VESSIK_MOD_INTERPRETERS_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vessik_core",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vessik_core() { return PyModuleDef_Init(&module_def); }
