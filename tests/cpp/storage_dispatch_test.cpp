// CpuStorage operations: which element types each accepts, and the class
// of each rejection. Type errors come before shape errors.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "array_testing.h"
#include "engine/cpu/array/broadcast.h"
#include "engine/cpu/storage/cpu_storage.h"

namespace vessik {
namespace {

CpuStorage of(DType t, const Shape& shape = {2, 3}) { return test::storage_of(t, shape); }

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

TEST(StorageDispatch, BinaryOperations) {
  using enum DType;
  using C = CpuStorage;
  const Binary arithmetic[] = {&C::add, &C::sub, &C::mul, &C::div};
  const Binary comparisons[] = {&C::eq, &C::lt, &C::le, &C::gt, &C::ge};
  const Binary logical[] = {&C::logical_and, &C::logical_or, &C::logical_xor};
  const std::string shapes = broadcast_shapes({2, 3}, {4}).error().message;
  auto run = [&](Binary op, DType a, DType b, const Expect& expect) {
    const std::string name = std::to_string(int(a)) + " with " + std::to_string(int(b));
    const auto same = (of(a).*op)(of(b));
    check(same, expect, name);
    // The type check comes first: with unbroadcastable shapes an accepted
    // pair reports the shapes, a rejected one the same error as before.
    const auto wide = (of(a).*op)(of(b, {4}));
    ASSERT_FALSE(wide.has_value()) << name;
    EXPECT_EQ(wide.error().message, same ? shapes : same.error().message) << name;
  };
  for (DType a : {F16, BF16, F32, Bool}) {
    for (DType b : {F16, BF16, F32, Bool}) {
      const Expect numeric = a != b ? error(ErrorKind::ValueError) : a == Bool ? error(ErrorKind::TypeError) : ok(a);
      for (Binary op : arithmetic) run(op, a, b, numeric);
      for (Binary op : comparisons) run(op, a, b, a == b ? ok(Bool) : error(ErrorKind::RuntimeError));
      for (Binary op : logical) run(op, a, b, a == Bool && b == Bool ? ok(Bool) : error(ErrorKind::RuntimeError));
    }
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
