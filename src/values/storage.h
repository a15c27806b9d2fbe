#pragma once
// A tensor's data. The CPU is the only back end, so a Storage is exactly
// one CpuStorage. It is immutable once made and shared by handle.

#include <memory>

#include "engine/cpu/dtype.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {

using Storage = CpuStorage;
// Atomic reference count: a handle may be released on any thread.
using StorageHandle = std::shared_ptr<const Storage>;

inline StorageHandle share(Storage&& storage) { return std::make_shared<const Storage>(std::move(storage)); }

}  // namespace vessik
