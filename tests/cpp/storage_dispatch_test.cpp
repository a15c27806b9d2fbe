// CpuStorage operations: which element types each accepts, and the class
// of each rejection. Type errors come before shape errors.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {
namespace {

CpuStorage of(DType t, const Shape& shape = {2, 3}) {
  switch (t) {
    case DType::F16: return CpuStorage(NdArray<Half>::filled(shape, Half(1.0f)).value());
    case DType::BF16: return CpuStorage(NdArray<BFloat16>::filled(shape, BFloat16(1.0f)).value());
    case DType::F32: return CpuStorage(NdArray<float>::filled(shape, 1.0f).value());
    case DType::Bool: return CpuStorage(NdArray<bool>::filled(shape, true).value());
  }
  std::abort();
}

using Binary = Result<CpuStorage> (CpuStorage::*)(const CpuStorage&) const;
using Scalar = Result<CpuStorage> (CpuStorage::*)(float) const;

// Accepted: the result's type; rejected: the error's class (the Python tests
// hold the messages).
struct Expect {
  std::optional<DType> result;
  ErrorKind kind = ErrorKind::RuntimeError;
};
Expect ok(DType t) { return {t, {}}; }
Expect error(ErrorKind k) { return {std::nullopt, k}; }

void check(const Result<CpuStorage>& r, const Expect& e, const std::string& name) {
  if (e.result) {
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error().message;
    EXPECT_EQ(r->dtype(), *e.result) << name;
  } else {
    ASSERT_FALSE(r.has_value()) << name;
    EXPECT_EQ(r.error().kind, e.kind) << name;
  }
}

struct BinaryCase {
  const char* name;
  Binary op;
  DType self, other;
  Expect expect;
};

TEST(StorageDispatch, BinaryOperations) {
  using enum DType;
  using C = CpuStorage;
  const Expect bool_arith = error(ErrorKind::TypeError), mismatch = error(ErrorKind::ValueError),
               runtime = error(ErrorKind::RuntimeError);
  const BinaryCase cases[] = {
      {"add F32", &C::add, F32, F32, ok(F32)},
      {"sub F16", &C::sub, F16, F16, ok(F16)},
      {"mul BF16", &C::mul, BF16, BF16, ok(BF16)},
      {"div F32", &C::div, F32, F32, ok(F32)},
      {"add Bool", &C::add, Bool, Bool, bool_arith},
      {"div Bool", &C::div, Bool, Bool, bool_arith},
      {"add Bool F32", &C::add, Bool, F32, mismatch},
      {"sub F32 Bool", &C::sub, F32, Bool, mismatch},
      {"mul F32 F16", &C::mul, F32, F16, mismatch},
      {"div BF16 F16", &C::div, BF16, F16, mismatch},
      {"eq Bool", &C::eq, Bool, Bool, ok(Bool)},
      {"lt F16", &C::lt, F16, F16, ok(Bool)},
      {"ge BF16", &C::ge, BF16, BF16, ok(Bool)},
      {"eq F32 BF16", &C::eq, F32, BF16, runtime},
      {"ge F32 Bool", &C::ge, F32, Bool, runtime},
      {"gt F16 F32", &C::gt, F16, F32, runtime},
      {"le Bool F16", &C::le, Bool, F16, runtime},
      {"lt BF16 F32", &C::lt, BF16, F32, runtime},
      {"and Bool", &C::logical_and, Bool, Bool, ok(Bool)},
      {"or Bool", &C::logical_or, Bool, Bool, ok(Bool)},
      {"xor Bool", &C::logical_xor, Bool, Bool, ok(Bool)},
      {"or Bool F32", &C::logical_or, Bool, F32, runtime},
      {"and F32 F32", &C::logical_and, F32, F32, runtime},
      {"xor F16 Bool", &C::logical_xor, F16, Bool, runtime},
  };
  const std::string shapes = broadcast_shapes({2, 3}, {4}).error().message;
  for (const auto& c : cases) {
    const auto same = (of(c.self).*c.op)(of(c.other));
    check(same, c.expect, c.name);
    // The type check comes first: with unbroadcastable shapes an accepted
    // pair reports the shapes, a rejected one the same error as before.
    const auto wide = (of(c.self).*c.op)(of(c.other, {4}));
    ASSERT_FALSE(wide.has_value()) << c.name;
    EXPECT_EQ(wide.error().message, same ? shapes : same.error().message) << c.name;
  }
}

TEST(StorageDispatch, ScalarOperations) {
  using enum DType;
  using C = CpuStorage;
  const Expect arithmetic = error(ErrorKind::ValueError), comparison = error(ErrorKind::RuntimeError);
  const std::pair<Scalar, Expect> on_bool[] = {
      {&C::scalar_add, arithmetic}, {&C::scalar_mul, arithmetic}, {&C::scalar_sub, arithmetic},
      {&C::scalar_eq, comparison},  {&C::scalar_ge, comparison},  {&C::scalar_gt, comparison},
      {&C::scalar_le, comparison},  {&C::scalar_lt, comparison},
  };
  for (const auto& [op, expect] : on_bool) {
    check((of(Bool).*op)(2.0f), expect, "on Bool");
    for (DType t : {F16, BF16, F32}) {  // comparisons give Bool
      check((of(t).*op)(2.0f), ok(expect.kind == arithmetic.kind ? t : Bool), "numeric");
    }
  }
}

TEST(StorageDispatch, UnaryOperations) {
  using enum DType;
  check(of(F32).relu(), ok(F32), "relu F32");
  check(of(BF16).relu(), ok(BF16), "relu BF16");
  check(of(Bool).relu(), error(ErrorKind::TypeError), "relu Bool");
  check(of(Bool).logical_not(), ok(Bool), "not Bool");
  check(of(F32).logical_not(), error(ErrorKind::RuntimeError), "not F32");
  for (DType t : {F16, BF16, F32, Bool}) {
    check(of(t).zeros_like(), ok(t), "zeros_like");
    check(of(t).reshape({3, 2}), ok(t), "reshape");
    check(of(t).transpose(0, 1), ok(t), "transpose");
  }
}

TEST(StorageDispatch, OperandsAreNotModified) {
  const CpuStorage a = of(DType::F32);
  const CpuStorage b = of(DType::F32, {3});
  const float* before = a.get_if<float>()->data();
  const auto r = a.add(b);
  EXPECT_NE(r->get_if<float>()->data(), before);
  EXPECT_EQ(a.get_if<float>()->data()[0], 1.0f);
  EXPECT_EQ(r->get_if<float>()->data()[0], 2.0f);
}

}  // namespace
}  // namespace vessik
