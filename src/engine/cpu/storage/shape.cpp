// The layout and the shape operations of CpuStorage: every element type.

#include "engine/cpu/array/shape_ops.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

Shape CpuStorage::shape() const {
  return visit([](const auto& a) { return a.shape(); });
}

Strides CpuStorage::strides() const {
  return visit([](const auto& a) { return a.strides(); });
}

std::size_t CpuStorage::ndim() const {
  return visit([](const auto& a) { return a.ndim(); });
}

Result<CpuStorage> CpuStorage::zeros_like() const {
  return visit([](const auto& a) { return to_storage(shape_ops::zeros_like(a)); });
}

Result<CpuStorage> CpuStorage::ones_like() const {
  return visit([](const auto& a) { return to_storage(shape_ops::ones_like(a)); });
}

Result<CpuStorage> CpuStorage::reshape(const Shape& new_shape) const {
  return visit([&](const auto& a) { return to_storage(shape_ops::reshape(a, new_shape)); });
}

Result<CpuStorage> CpuStorage::transpose(std::uint64_t dim0, std::uint64_t dim1) const {
  return visit([&](const auto& a) { return to_storage(shape_ops::transpose(a, dim0, dim1)); });
}

Result<CpuStorage> CpuStorage::to_row_major() const {
  return visit([](const auto& a) { return to_storage(shape_ops::to_row_major(a)); });
}

}  // namespace vessik
