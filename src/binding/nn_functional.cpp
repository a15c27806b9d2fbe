// nn.functional.relu(py_tensor).

#include "binding/nn_functional.h"

#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/operands.h"
#include "binding/py_tensor.h"
#include "tensor/core.h"

namespace vessik::api {

namespace {

PyObject* relu_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* names[] = {"py_tensor"};
    PyObject* arg = nullptr;
    if (!bind_arguments({"relu", names, 1}, args, static_cast<std::size_t>(nargs), kwnames, &arg)) return nullptr;
    if (!is_tensor(arg)) {
      PyErr_Format(PyExc_TypeError, "relu() argument 'py_tensor' must be vessik.Tensor, not %s", Py_TYPE(arg)->tp_name);
      return nullptr;
    }
    SharedBorrow t(arg);
    if (!t) return nullptr;
    return finish(relu(*t));
  });
}

PyMethodDef relu_def = {"relu", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(relu_function)),
                        METH_FASTCALL | METH_KEYWORDS, "relu(py_tensor)\n--\n\n"};

}  // namespace

PyObject* new_relu_function(PyObject* functional) noexcept {
  PyObject* module_name = PyModule_GetNameObject(functional);
  if (module_name == nullptr) return nullptr;
  PyObject* function = PyCMethod_New(&relu_def, functional, module_name, nullptr);
  Py_DECREF(module_name);
  return function;
}

}  // namespace vessik::api
