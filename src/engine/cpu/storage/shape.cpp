// Shape operations of CpuStorage: every element type. Bool arrays use the
// same generic operations as the numeric ones (boolean/ops/shape.h).

#include "engine/cpu/boolean/ops/shape.h"
#include "engine/cpu/numeric/ops/shape.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

Result<CpuStorage> CpuStorage::zeros_like() const {
  return visit([](const auto& a) { return to_storage(numeric::zeros_like(a)); });
}

Result<CpuStorage> CpuStorage::ones_like() const {
  return visit([](const auto& a) { return to_storage(numeric::ones_like(a)); });
}

Result<CpuStorage> CpuStorage::reshape(const Shape& new_shape) const {
  return visit([&](const auto& a) { return to_storage(numeric::reshape(a, new_shape)); });
}

Result<CpuStorage> CpuStorage::transpose(std::uint64_t dim0, std::uint64_t dim1) const {
  return visit([&](const auto& a) { return to_storage(numeric::transpose(a, dim0, dim1)); });
}

}  // namespace vessik
