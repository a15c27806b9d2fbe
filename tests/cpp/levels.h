#pragma once
// Kernel tests run once per instruction-set level: each level is a separate
// compilation of the kernels, so each can be wrong on its own.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <type_traits>

#include "engine/cpu/dispatch/kernel_table.h"
#include "engine/cpu/dispatch/probe_table.h"

namespace vessik {

// GoogleTest prints a parameter through this.
inline void PrintTo(CpuLevel level, std::ostream* os) { *os << level_name(level); }

}  // namespace vessik

namespace vessik::test {

// Fixture of a test suite parametrised by level; skipped where the
// processor lacks the level.
class AtEachLevel : public ::testing::TestWithParam<CpuLevel> {
 protected:
  void SetUp() override {
    table_ = kernels_at(GetParam());
    if (table_ == nullptr) GTEST_SKIP() << "this processor lacks " << level_name(GetParam());
  }
  const KernelTable& k() const { return *table_; }
  const ProbeTable& probes() const { return *table_->probes; }

 private:
  const KernelTable* table_ = nullptr;
};

inline std::string level_param_name(const ::testing::TestParamInfo<CpuLevel>& info) {
  return level_name(info.param);
}

template <class T>
constexpr const char* type_name() {
  return dtype_name(dtype_of<T>).data();
}

// Calls f.template operator()<T>() for each numeric element type.
template <class F>
void for_each_float_type(F&& f) {
  auto one = [&]<class T>() {
    SCOPED_TRACE(type_name<T>());
    f.template operator()<T>();
  };
#define VESSIK_ONE(e, T, ...) one.template operator()<T>();
  VESSIK_NUMERIC_TYPES(VESSIK_ONE)
#undef VESSIK_ONE
}

}  // namespace vessik::test

// Instantiates the TEST_Ps of `suite` (an alias of AtEachLevel) per level.
#define VESSIK_AT_EACH_LEVEL(suite) \
  INSTANTIATE_TEST_SUITE_P(Level, suite, ::testing::ValuesIn(::vessik::kAllLevels), ::vessik::test::level_param_name)
