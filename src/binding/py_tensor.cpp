#include "binding/py_tensor.h"

#include <new>
#include <utility>

#include "binding/members.h"
#include "binding/process_cache.h"

namespace vessik::api {

namespace {

void tensor_dealloc(PyObject* obj) noexcept {
  auto* self = reinterpret_cast<PyTensor*>(obj);
  PyTypeObject* type = Py_TYPE(obj);
  self->tensor.~Tensor();
  self->borrows.~atomic();
  type->tp_free(obj);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(type);
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

PyType_Slot slots[] = {
    {Py_nb_invert, reinterpret_cast<void*>(tensor_invert)},
    {Py_tp_new, reinterpret_cast<void*>(tensor_new)},
    {Py_nb_add, reinterpret_cast<void*>(tensor_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(tensor_subtract)},
    {Py_nb_multiply, reinterpret_cast<void*>(tensor_multiply)},
    {Py_nb_and, reinterpret_cast<void*>(tensor_and)},
    {Py_nb_or, reinterpret_cast<void*>(tensor_or)},
    {Py_nb_xor, reinterpret_cast<void*>(tensor_xor)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(tensor_matrix_multiply)},
    {Py_nb_true_divide, reinterpret_cast<void*>(tensor_true_divide)},
    {Py_tp_richcompare, reinterpret_cast<void*>(tensor_richcompare)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
    {Py_tp_doc, const_cast<char*>("Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n")},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the type cannot be subclassed. No dict, no weak
// references, no garbage-collector support: a PyTensor holds no Python objects.
PyType_Spec type_spec = {
    .name = "vessik.Tensor",
    .basicsize = static_cast<int>(sizeof(PyTensor)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = slots,
};

ProcessCache<PyTypeObject> type_cache;

}  // namespace

PyTypeObject* tensor_type() noexcept {
  return type_cache.get([]() -> PyTypeObject* {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    // Calls of the type skip the argument tuple; there is no slot for this
    // before Python 3.14, and the field is never inherited.
    if (type != nullptr) type->tp_vectorcall = tensor_vectorcall;
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
