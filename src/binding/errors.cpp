#include "binding/errors.h"

#include <string>

namespace vessik::api {

namespace {

PyObject* exception_class(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::TypeError: return PyExc_TypeError;
    case ErrorKind::ValueError: return PyExc_ValueError;
    case ErrorKind::RuntimeError: return PyExc_RuntimeError;
    case ErrorKind::IndexError: return PyExc_IndexError;
    case ErrorKind::MemoryError: return PyExc_MemoryError;
  }
  return PyExc_RuntimeError;
}

}  // namespace

PyObject* raise(const Error& error) noexcept {
  PyErr_SetString(exception_class(error.kind), error.message.c_str());
  return nullptr;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "vessik: unknown internal error");
  }
}

void prefix_pending_error(std::string_view function, std::string_view argument) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  if (text == nullptr) {
    // Keep the original error rather than reporting a secondary one.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return;
  }
  const std::string prefix = std::string(function) + "() argument '" + std::string(argument) + "': ";
  PyObject* message = PyUnicode_FromFormat("%s%U", prefix.c_str(), text);
  Py_DECREF(text);
  // An exception class whose constructor wants more than a message (say
  // UnicodeDecodeError) cannot take the prefix: it is raised as it was.
  PyObject* prefixed = message ? PyObject_CallOneArg(type, message) : nullptr;
  Py_XDECREF(message);
  if (prefixed == nullptr) {
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_SetObject(type, prefixed);
  Py_DECREF(prefixed);
  Py_DECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

}  // namespace vessik::api
