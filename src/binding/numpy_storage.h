#pragma once
// Construction of storage from a NumPy array: it speaks NumPy's C API, so it
// lives in the binding, not in the Python-free engine library.

#include <string_view>

#include "engine/cpu/error.h"
#include "engine/cpu/storage/cpu_storage.h"

struct _object;
using PyObject = _object;

namespace vessik {

// Copies `array` (a NumPy array whose dtype is the one `dtype_name` selects:
// "f32"/"float32", "f16"/"float16", "bf16"/"bfloat16" or "bool") into new
// row-major storage, bit for bit. NumPy's C API must be bound.
Result<CpuStorage> from_numpy(PyObject* array, std::string_view dtype_name);

// Whether `obj` is exactly a NumPy array (no subclass) of `dtype`'s element
// type in native byte order: from_numpy can copy it as it is.
bool is_plain_array_of(PyObject* obj, DType dtype);

// Copies the elements of a strided source into `dst` in row-major index
// order (last axis fastest). Byte strides may be negative and the source
// need not be aligned. `shape` must have at least one axis and no zero length.
void copy_row_major(char* dst, const char* src, const Shape& shape, const std::int64_t* byte_strides,
                    std::size_t elsize);

}  // namespace vessik
