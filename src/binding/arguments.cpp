#include "binding/arguments.h"

namespace vessik::api {

namespace {

// Index of the parameter named `keyword`, or -1.
Py_ssize_t find_parameter(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                    PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const auto count = static_cast<Py_ssize_t>(signature.names.size());
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", signature.function, count,
                 count == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t i = find_parameter(signature, keyword);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function, keyword);
      return false;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", signature.function,
                   signature.names[static_cast<std::size_t>(i)], i + 1);
      return false;
    }
    out[i] = args[nargs + k];
  }
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature.function,
                   signature.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace vessik::api
