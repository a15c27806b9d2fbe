#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "engine/cpu/half/half.h"

namespace vessik {

// Every element type, once: X(enumerator, C++ type, type it computes in,
// engine name, NumPy name, short name). The numeric types come first; the
// order is the enum's values and CpuStorage's variant positions. Every
// other list of element types is expanded from these. Code that holds only
// for binary32 arithmetic requires ComputesInF32, so a new type with another
// compute type does not compile there rather than narrow silently.
#define VESSIK_NUMERIC_TYPES(X)                          \
  X(F16, Half, float, "F16", "float16", "f16")           \
  X(BF16, BFloat16, float, "BF16", "bfloat16", "bf16")   \
  X(F32, float, float, "F32", "float32", "f32")
#define VESSIK_ELEMENT_TYPES(X) VESSIK_NUMERIC_TYPES(X) X(Bool, bool, bool, "Bool", "bool", "bool")

#define VESSIK_ENUMERATOR(e, ...) e,
enum class DType : std::uint8_t { VESSIK_ELEMENT_TYPES(VESSIK_ENUMERATOR) };
#undef VESSIK_ENUMERATOR

#define VESSIK_COUNT(...) +1
inline constexpr std::size_t kElementTypeCount = 0 VESSIK_ELEMENT_TYPES(VESSIK_COUNT);
inline constexpr std::size_t kNumericTypeCount = 0 VESSIK_NUMERIC_TYPES(VESSIK_COUNT);
#undef VESSIK_COUNT

struct DTypeNames {
  std::string_view engine;      // in engine messages
  std::string_view numpy;       // NumPy's, by which the binding finds its dtype
  std::string_view short_name;  // a tensor's dtype attribute
};

constexpr DTypeNames dtype_names(DType d) {
#define VESSIK_NAMES(e, T, C, ...) DTypeNames{__VA_ARGS__},
  constexpr DTypeNames names[] = {VESSIK_ELEMENT_TYPES(VESSIK_NAMES)};
#undef VESSIK_NAMES
  return names[static_cast<std::size_t>(d)];
}

constexpr std::string_view dtype_name(DType d) { return dtype_names(d).engine; }

// The element type a constructor's dtype name selects: exact and
// case-sensitive, the NumPy name or its short form.
constexpr std::optional<DType> dtype_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kElementTypeCount; ++i) {
    const DTypeNames names = dtype_names(static_cast<DType>(i));
    if (name == names.numpy || name == names.short_name) return static_cast<DType>(i);
  }
  return std::nullopt;
}

template <class T> struct DTypeOf;
template <DType D> struct ElementOf;
template <class T> struct ComputeTypeOf;
#define VESSIK_TRAITS(e, T, C, ...)                                             \
  template <> struct DTypeOf<T> { static constexpr DType value = DType::e; }; \
  template <> struct ElementOf<DType::e> { using type = T; };                 \
  template <> struct ComputeTypeOf<T> { using type = C; };
VESSIK_ELEMENT_TYPES(VESSIK_TRAITS)
#undef VESSIK_TRAITS
template <class T> inline constexpr DType dtype_of = DTypeOf<T>::value;
template <DType D> using element_of = typename ElementOf<D>::type;
// Arithmetic on T computes each result in this type and rounds it once to T.
template <class T> using compute_type = typename ComputeTypeOf<T>::type;

#define VESSIK_IS(e, T, ...) || std::same_as<E, T>
template <class E>
concept NumericElement = false VESSIK_NUMERIC_TYPES(VESSIK_IS);
template <class E>
concept Element = false VESSIK_ELEMENT_TYPES(VESSIK_IS);
#undef VESSIK_IS

template <class T>
concept ComputesInF32 = NumericElement<T> && std::same_as<compute_type<T>, float>;

// Into<F<T>...> over every element type T in enum order:
// ForEachElement<std::variant, NdArray> is CpuStorage's variant.
template <template <class...> class Into, template <class> class F,
          class = std::make_index_sequence<kElementTypeCount>>
struct EachElement;
template <template <class...> class Into, template <class> class F, std::size_t... I>
struct EachElement<Into, F, std::index_sequence<I...>> {
  using type = Into<F<element_of<static_cast<DType>(I)>>...>;
};
template <template <class...> class Into, template <class> class F>
using ForEachElement = typename EachElement<Into, F>::type;

// Instantiates the function template f for each numeric element type, each
// with the type f is declared with.
#define VESSIK_INSTANTIATE_NUMERIC(f)         \
  template decltype(f<Half>) f<Half>;         \
  template decltype(f<BFloat16>) f<BFloat16>; \
  template decltype(f<float>) f<float>;
static_assert(kNumericTypeCount == 3, "VESSIK_INSTANTIATE_NUMERIC names every numeric type");

}  // namespace vessik
