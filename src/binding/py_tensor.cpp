#include "binding/py_tensor.h"

#include <new>
#include <utility>

#include "binding/slots.h"
#include "binding/process_cache.h"

namespace vessik::api {

namespace {

void tensor_dealloc(PyObject* obj) noexcept {
  auto* self = reinterpret_cast<PyTensor*>(obj);
  self->tensor.~Tensor();
  self->borrows.~atomic();
  Py_TYPE(obj)->tp_free(obj);
}

// Member table, in registration order.
PyGetSetDef getset[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class F>
PyCFunction fastcall(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"grad", tensor_grad, METH_NOARGS, "grad($self)\n--\n\n"},
    {"__req__", fastcall(tensor_req), kFastcall, "__req__($self, other)\n--\n\n"},
    {"__rlt__", fastcall(tensor_rlt), kFastcall, "__rlt__($self, other)\n--\n\n"},
    {"__rgt__", fastcall(tensor_rgt), kFastcall, "__rgt__($self, other)\n--\n\n"},
    {"to_numpy", tensor_to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {"zeros_like", tensor_zeros_like, METH_NOARGS, "zeros_like($self)\n--\n\n"},
    {"ones_like", tensor_ones_like, METH_NOARGS, "ones_like($self)\n--\n\n"},
    {"reshape", fastcall(tensor_reshape), kFastcall, "reshape($self, shape)\n--\n\n"},
    {"transpose", fastcall(tensor_transpose), kFastcall, "transpose($self, dim0, dim1)\n--\n\n"},
    {"backward", tensor_backward, METH_NOARGS, "backward($self)\n--\n\n"},
    {"clear_graph", tensor_clear_graph, METH_NOARGS | METH_STATIC, "clear_graph()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyNumberMethods number_methods = [] {
  PyNumberMethods n{};
  n.nb_add = tensor_add;
  n.nb_subtract = tensor_subtract;
  n.nb_multiply = tensor_multiply;
  n.nb_invert = tensor_invert;
  n.nb_and = tensor_and;
  n.nb_or = tensor_or;
  n.nb_xor = tensor_xor;
  n.nb_matrix_multiply = tensor_matrix_multiply;
  n.nb_true_divide = tensor_true_divide;
  return n;
}();

// A static type, made ready once per process (the module supports no
// subinterpreters). Static types are immortal on the free-threaded build,
// so creating and freeing a tensor touches no reference count shared with
// other threads; the instances of a heap type each hold one on their type,
// which every thread then increments and decrements on the same cache line.
// No Py_TPFLAGS_BASETYPE: the type cannot be subclassed. No dict, no weak
// references, no garbage-collector support: a PyTensor holds no Python objects.
PyTypeObject type_object = [] {
  PyTypeObject type{};
  type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
  return type;
}();

ProcessCache<PyTypeObject> type_cache;

}  // namespace

PyTypeObject* tensor_type() noexcept {
  return type_cache.get([]() -> PyTypeObject* {
    PyTypeObject* type = &type_object;
    type->tp_name = "vessik.Tensor";
    type->tp_basicsize = static_cast<Py_ssize_t>(sizeof(PyTensor));
    type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    type->tp_doc = "Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n";
    type->tp_new = tensor_new;
    // Calls of the type skip the argument tuple.
    type->tp_vectorcall = tensor_vectorcall;
    type->tp_dealloc = tensor_dealloc;
    type->tp_richcompare = tensor_richcompare;
    type->tp_as_number = &number_methods;
    type->tp_methods = methods;
    type->tp_getset = getset;
    // First made while the module is imported, which one thread does: no
    // two threads make the same object ready.
    if (PyType_Ready(type) != 0) return nullptr;
    Py_INCREF(type);
    return type;
  });
}

PyTensor* allocate_tensor(PyTypeObject* type) noexcept {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  auto* self = reinterpret_cast<PyTensor*>(obj);
  new (&self->tensor) Tensor{};
  new (&self->borrows) std::atomic<std::int64_t>(0);
  return self;
}

PyObject* wrap_tensor(Tensor tensor) noexcept {
  PyTypeObject* type = tensor_type();
  if (type == nullptr) return nullptr;
  PyTensor* self = allocate_tensor(type);
  if (self == nullptr) return nullptr;
  self->tensor = std::move(tensor);
  return reinterpret_cast<PyObject*>(self);
}

SharedBorrow::SharedBorrow(PyObject* obj) noexcept : self_(reinterpret_cast<PyTensor*>(obj)) {
  if (self_->borrows.fetch_add(1, std::memory_order_acquire) < 0) {
    self_->borrows.fetch_sub(1, std::memory_order_relaxed);
    self_ = nullptr;
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
}

SharedBorrow::~SharedBorrow() {
  if (self_ != nullptr) self_->borrows.fetch_sub(1, std::memory_order_release);
}

}  // namespace vessik::api
