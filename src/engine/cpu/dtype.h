#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "engine/cpu/half/half.h"

namespace vessik {

// The numeric values are the variant positions of CpuStorage.
enum class DType : std::uint8_t { F16 = 0, BF16 = 1, F32 = 2, Bool = 3 };

// Display name used in engine messages.
constexpr std::string_view dtype_name(DType d) {
  switch (d) {
    case DType::F16: return "F16";
    case DType::BF16: return "BF16";
    case DType::F32: return "F32";
    case DType::Bool: return "Bool";
  }
  return "?";
}

// The element type a constructor's dtype name selects: exact and
// case-sensitive, the NumPy name or its short form.
constexpr std::optional<DType> dtype_from_name(std::string_view name) {
  if (name == "float32" || name == "f32") return DType::F32;
  if (name == "float16" || name == "f16") return DType::F16;
  if (name == "bfloat16" || name == "bf16") return DType::BF16;
  if (name == "bool") return DType::Bool;
  return std::nullopt;
}

template <class T> struct DTypeOf;
template <> struct DTypeOf<Half> { static constexpr DType value = DType::F16; };
template <> struct DTypeOf<BFloat16> { static constexpr DType value = DType::BF16; };
template <> struct DTypeOf<float> { static constexpr DType value = DType::F32; };
template <> struct DTypeOf<bool> { static constexpr DType value = DType::Bool; };
template <class T> inline constexpr DType dtype_of = DTypeOf<T>::value;

template <class T>
concept NumericElement = std::same_as<T, Half> || std::same_as<T, BFloat16> || std::same_as<T, float>;

template <class T>
concept Element = NumericElement<T> || std::same_as<T, bool>;

// Instantiates the function template f for each numeric element type, each
// with the type f is declared with.
#define VESSIK_INSTANTIATE_NUMERIC(f)         \
  template decltype(f<Half>) f<Half>;         \
  template decltype(f<BFloat16>) f<BFloat16>; \
  template decltype(f<float>) f<float>;

}  // namespace vessik
