// Tensor(data, dtype=None, device="cpu", requires_grad=False): NumPy parses
// and converts the data; the result is copied into storage the tensor owns.

#include <string_view>

#include "autograd/tape.h"
#include "binding/numpy_storage.h"
#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/slots.h"
#include "binding/numpy_api.h"
#include "binding/process_cache.h"
#include "binding/py_tensor.h"

namespace vessik::api {

namespace {

ProcessCache<> str_numpy;
ProcessCache<> str_lower;
ProcessCache<> str_name;  // "__name__"
ProcessCache<> str_float32;
ProcessCache<> dtype_kwnames;  // ("dtype",)

std::nullptr_t argument_type_error(const char* argument, const char* expected, PyObject* given) {
  PyErr_Format(PyExc_TypeError, "Tensor() argument '%s' must be %s, not %s", argument, expected,
               Py_TYPE(given)->tp_name);
  return nullptr;
}

// A NumPy boolean scalar can only exist once NumPy is loaded, so NumPy is
// bound for this test only when it already is in sys.modules.
bool is_numpy_bool(PyObject* obj) {
  if (!numpy_bound()) {
    PyObject* name = cached_str(str_numpy, "numpy");
    if (name == nullptr) return false;
    PyObject* numpy = PyImport_GetModule(name);
    if (numpy == nullptr) return false;
    Py_DECREF(numpy);
    if (!bind_numpy()) {
      PyErr_Clear();
      return false;
    }
  }
  return PyObject_TypeCheck(obj, &PyBoolArrType_Type);
}

// True/false, or -1 with an error set.
int read_requires_grad(PyObject* obj) {
  if (obj == nullptr) return 0;
  if (PyBool_Check(obj)) return obj == Py_True;
  if (is_numpy_bool(obj)) return PyObject_IsTrue(obj);
  if (PyErr_Occurred()) return -1;
  argument_type_error("requires_grad", "bool", obj);
  return -1;
}

// Device text lower-cased must be "cpu". 0 when valid, -1 with an error set.
int check_device(PyObject* device) {
  if (device == nullptr || PyUnicode_CompareWithASCIIString(device, "cpu") == 0) return 0;
  // str.lower itself, not a subclass's override.
  PyObject* lowered = PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                                cached_str(str_lower, "lower"), device);
  if (lowered == nullptr) return -1;
  const bool is_cpu = PyUnicode_Check(lowered) && PyUnicode_CompareWithASCIIString(lowered, "cpu") == 0;
  Py_DECREF(lowered);
  if (!is_cpu) {
    PyErr_SetString(PyExc_ValueError, "The device string is invalid or not supported.");
    return -1;
  }
  return 0;
}

// The dtype's name as a new reference to a str, or nullptr with an error set.
PyObject* dtype_name(PyObject* dtype) {
  if (dtype == nullptr) return Py_XNewRef(cached_str(str_float32, "float32"));
  if (PyUnicode_Check(dtype)) return Py_NewRef(dtype);
  PyObject* attr = cached_str(str_name, "__name__");
  if (attr == nullptr) return nullptr;
  if (PyObject* name = PyObject_GetAttr(dtype, attr)) {
    if (PyUnicode_Check(name)) return name;
    PyErr_Format(PyExc_TypeError, "Tensor() argument 'dtype': __name__ must be str, not %s", Py_TYPE(name)->tp_name);
    Py_DECREF(name);
    return nullptr;
  }
  // No usable __name__ (a dtype instance, for one): ask NumPy.
  PyErr_Clear();
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return nullptr;
  PyObject* dtype_function = PyObject_GetAttrString(numpy, "dtype");
  Py_DECREF(numpy);
  if (dtype_function == nullptr) return nullptr;
  PyObject* resolved = PyObject_CallOneArg(dtype_function, dtype);
  Py_DECREF(dtype_function);
  if (resolved == nullptr) return nullptr;
  PyObject* name = PyObject_GetAttrString(resolved, "name");
  Py_DECREF(resolved);
  if (name != nullptr && !PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "Tensor() argument 'dtype': dtype name must be str, not %s", Py_TYPE(name)->tp_name);
    Py_CLEAR(name);
  }
  return name;
}

// numpy.array(data, dtype=<dtype>): a new reference or nullptr. NumPy is
// handed the dtype object for the name rather than the name itself: the same
// lookup ("bfloat16" is still asked for by name, once), without parsing the
// name on every call.
PyObject* numpy_array(PyObject* data, DType dtype) {
  if (!bind_numpy()) return nullptr;
  // numpy.array would copy an array that already has the dtype, and
  // from_numpy copies it again: the second copy alone gives the same bits.
  if (is_plain_array_of(data, dtype)) return Py_NewRef(data);
  PyArray_Descr* descr = new_descr(dtype);
  if (descr == nullptr) return nullptr;
  PyObject* kwnames = dtype_kwnames.get([]() -> PyObject* {
    // Interned, as a compiled call's keyword names are: NumPy matches
    // keywords by identity first.
    PyObject* name = PyUnicode_InternFromString("dtype");
    if (name == nullptr) return nullptr;
    PyObject* names = PyTuple_Pack(1, name);
    Py_DECREF(name);
    return names;
  });
  if (kwnames == nullptr) {
    Py_DECREF(descr);
    return nullptr;
  }
  PyObject* argv[] = {data, reinterpret_cast<PyObject*>(descr)};
  PyObject* array = PyObject_Vectorcall(numpy_array_function(), argv, 1, kwnames);
  Py_DECREF(descr);
  return array;
}

constexpr const char* parameter_names[] = {"data", "dtype", "device", "requires_grad"};
const char* keyword_list[] = {"data", "dtype", "device", "requires_grad", nullptr};

// The constructor proper; parameters not given are nullptr.
PyObject* construct(PyTypeObject* type, PyObject* data, PyObject* dtype, PyObject* device,
                    PyObject* requires_grad_arg) {
  if (dtype == Py_None) dtype = nullptr;
  if (device != nullptr && !PyUnicode_Check(device)) return argument_type_error("device", "str", device);
  const int requires_grad = read_requires_grad(requires_grad_arg);
  if (requires_grad < 0) return nullptr;
  if (check_device(device) < 0) return nullptr;

  PyObject* name = dtype_name(dtype);
  if (name == nullptr) return nullptr;
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  if (text == nullptr) {
    Py_DECREF(name);
    return nullptr;
  }
  const std::string_view name_text(text, static_cast<std::size_t>(length));
  const auto dtype_selected = dtype_from_name(name_text);
  if (!dtype_selected) {
    PyErr_Format(PyExc_ValueError, "Unsupported or invalid data type: '%U'", name);
    Py_DECREF(name);
    return nullptr;
  }

  PyObject* array = numpy_array(data, *dtype_selected);
  if (array == nullptr) {
    Py_DECREF(name);
    return nullptr;
  }
  auto storage = from_numpy(array, name_text);
  Py_DECREF(array);
  Py_DECREF(name);
  if (!storage) return raise(storage.error());

  StorageHandle handle = share(std::move(*storage));
  PyTensor* self = allocate_tensor(type);
  if (self == nullptr) return nullptr;
  self->tensor.storage = std::move(handle);
  self->tensor.requires_grad = requires_grad != 0;
  // Registration comes last, once nothing else can fail, so a failed
  // construction leaves the tape as it was.
  if (requires_grad) {
    try {
      self->tensor.node_id = register_leaf();
    } catch (...) {
      Py_DECREF(self);
      throw;
    }
  }
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace

PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:Tensor", const_cast<char**>(keyword_list), &a[0], &a[1],
                                     &a[2], &a[3])) {
      return nullptr;
    }
    return construct(type, a[0], a[1], a[2], a[3]);
  });
}

PyObject* tensor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr Signature signature{"Tensor", parameter_names, 1};
    PyObject* a[4];
    if (!bind_arguments(signature, args, nargsf, kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a[0], a[1], a[2], a[3]);
  });
}

}  // namespace vessik::api
