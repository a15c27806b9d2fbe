// CpuStorage operations: which element types each accepts, and the class
// and exact message of each rejection. Type errors come before shape errors.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

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

struct Expect {
  std::optional<DType> result;  // accepted: the result's type
  ErrorKind kind = ErrorKind::RuntimeError;
  std::string message;
};
Expect ok(DType t) { return {t, {}, {}}; }
Expect error(ErrorKind k, std::string m) { return {std::nullopt, k, std::move(m)}; }

void check(const Result<CpuStorage>& r, const Expect& e, const std::string& name) {
  if (e.result) {
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error().message;
    EXPECT_EQ(r->dtype(), *e.result) << name;
  } else {
    ASSERT_FALSE(r.has_value()) << name;
    EXPECT_EQ(r.error().kind, e.kind) << name;
    EXPECT_EQ(r.error().message, e.message) << name;
  }
}

struct BinaryCase {
  const char* name;
  Binary op;
  DType self, other;
  Expect expect;
};

const std::string kBoolArith = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.";
std::string mismatch(const char* a, const char* b) {
  return std::string("Tensor DType mismatch during binary execution. Cannot operate between ") + a + " and " + b + ".";
}
std::string compare_mismatch(const char* op) {
  return std::string("Tensor device or dtype mismatch for element-wise ") + op + " operation.";
}
const std::string kLogical = "Logical operations are only supported for Bool data types.";

TEST(StorageDispatch, BinaryOperations) {
  using enum DType;
  using C = CpuStorage;
  const BinaryCase cases[] = {
      {"add F32", &C::add, F32, F32, ok(F32)},
      {"sub F16", &C::sub, F16, F16, ok(F16)},
      {"mul BF16", &C::mul, BF16, BF16, ok(BF16)},
      {"div F32", &C::div, F32, F32, ok(F32)},
      {"add Bool", &C::add, Bool, Bool, error(ErrorKind::TypeError, kBoolArith)},
      {"div Bool", &C::div, Bool, Bool, error(ErrorKind::TypeError, kBoolArith)},
      {"add Bool F32", &C::add, Bool, F32, error(ErrorKind::ValueError, mismatch("Bool", "F32"))},
      {"sub F32 Bool", &C::sub, F32, Bool, error(ErrorKind::ValueError, mismatch("F32", "Bool"))},
      {"mul F32 F16", &C::mul, F32, F16, error(ErrorKind::ValueError, mismatch("F32", "F16"))},
      {"div BF16 F16", &C::div, BF16, F16, error(ErrorKind::ValueError, mismatch("BF16", "F16"))},
      {"eq Bool", &C::eq, Bool, Bool, ok(Bool)},
      {"lt F16", &C::lt, F16, F16, ok(Bool)},
      {"ge BF16", &C::ge, BF16, BF16, ok(Bool)},
      {"eq F32 BF16", &C::eq, F32, BF16, error(ErrorKind::RuntimeError, compare_mismatch("=="))},
      {"ge F32 Bool", &C::ge, F32, Bool, error(ErrorKind::RuntimeError, compare_mismatch(">="))},
      {"gt F16 F32", &C::gt, F16, F32, error(ErrorKind::RuntimeError, compare_mismatch(">"))},
      {"le Bool F16", &C::le, Bool, F16, error(ErrorKind::RuntimeError, compare_mismatch("<="))},
      {"lt BF16 F32", &C::lt, BF16, F32, error(ErrorKind::RuntimeError, compare_mismatch("<"))},
      {"and Bool", &C::logical_and, Bool, Bool, ok(Bool)},
      {"or Bool", &C::logical_or, Bool, Bool, ok(Bool)},
      {"xor Bool", &C::logical_xor, Bool, Bool, ok(Bool)},
      {"or Bool F32", &C::logical_or, Bool, F32, error(ErrorKind::RuntimeError, kLogical)},
      {"and F32 F32", &C::logical_and, F32, F32, error(ErrorKind::RuntimeError, kLogical)},
      {"xor F16 Bool", &C::logical_xor, F16, Bool, error(ErrorKind::RuntimeError, kLogical)},
  };
  for (const auto& c : cases) {
    check((of(c.self).*c.op)(of(c.other)), c.expect, c.name);
    // The type check comes first: with unbroadcastable shapes an accepted
    // pair reports the shapes, a rejected one still its type message.
    const Expect shapes = c.expect.result ? error(ErrorKind::RuntimeError, "Shape mismatch: cannot broadcast [2, 3] and [4]")
                                          : c.expect;
    check((of(c.self).*c.op)(of(c.other, {4})), shapes, std::string(c.name) + " [2, 3] with [4]");
  }
}

struct ScalarCase {
  const char* name;
  Scalar op;
  DType self;
  Expect expect;
};

TEST(StorageDispatch, ScalarOperations) {
  using enum DType;
  using C = CpuStorage;
  const ScalarCase cases[] = {
      {"scalar_add F16", &C::scalar_add, F16, ok(F16)},
      {"scalar_mul BF16", &C::scalar_mul, BF16, ok(BF16)},
      {"scalar_sub F32", &C::scalar_sub, F32, ok(F32)},
      {"scalar_lt F32", &C::scalar_lt, F32, ok(Bool)},
      {"scalar_eq F16", &C::scalar_eq, F16, ok(Bool)},
      {"scalar_add Bool", &C::scalar_add, Bool,
       error(ErrorKind::ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar.")},
      {"scalar_mul Bool", &C::scalar_mul, Bool,
       error(ErrorKind::ValueError,
             "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar.")},
      {"scalar_sub Bool", &C::scalar_sub, Bool,
       error(ErrorKind::ValueError, "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar.")},
      {"scalar_eq Bool", &C::scalar_eq, Bool,
       error(ErrorKind::RuntimeError, "Tensor device or dtype mismatch for scalar == operation.")},
      {"scalar_ge Bool", &C::scalar_ge, Bool,
       error(ErrorKind::RuntimeError, "Tensor device or dtype mismatch for scalar >= operation.")},
      {"scalar_gt Bool", &C::scalar_gt, Bool,
       error(ErrorKind::RuntimeError, "Tensor device or dtype mismatch for scalar > operation.")},
      {"scalar_le Bool", &C::scalar_le, Bool,
       error(ErrorKind::RuntimeError, "Tensor device or dtype mismatch for scalar <= operation.")},
      {"scalar_lt Bool", &C::scalar_lt, Bool,
       error(ErrorKind::RuntimeError, "Tensor device or dtype mismatch for scalar < operation.")},
  };
  for (const auto& c : cases) check((of(c.self).*c.op)(2.0f), c.expect, c.name);
}

TEST(StorageDispatch, UnaryOperations) {
  using enum DType;
  check(of(F32).relu(), ok(F32), "relu F32");
  check(of(BF16).relu(), ok(BF16), "relu BF16");
  check(of(Bool).relu(), error(ErrorKind::TypeError, "Tensor Dtype not supported for this operation: relu"), "relu Bool");
  check(of(Bool).logical_not(), ok(Bool), "not Bool");
  check(of(F32).logical_not(), error(ErrorKind::RuntimeError, "Logical NOT is only supported for Bool data type."),
        "not F32");
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
