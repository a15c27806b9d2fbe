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

Result<CpuStorage> CpuStorage::clone() const {
  return visit([](const auto& a) { return to_storage(a.clone()); });
}

}  // namespace vessik
