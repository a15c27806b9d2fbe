#pragma once
// The element functors of the numeric kernels, each written once over the
// element type. Arithmetic functors are marked `arithmetic`: for Half and
// BFloat16 the kernels apply them to the widened binary32 operands in bulk
// and round each result once, which is exactly TensorOps<T> per element.

#include <bit>
#include <cstdint>
#include <functional>

#include "engine/cpu/numeric/core/tensor_ops.h"

namespace vessik::functors {

// The arithmetic functors: TensorOps<C>'s kernel of each operation.
#define VESSIK_ARITHMETIC_FUNCTOR(Name, kernel)                                   \
  struct Name {                                                                   \
    static constexpr bool arithmetic = true;                                      \
    template <ArithmeticValue C>                                                  \
    constexpr C operator()(C x, C y) const { return TensorOps<C>::kernel(x, y); } \
  };
VESSIK_ARITHMETIC_FUNCTOR(Add, kernel_add)
VESSIK_ARITHMETIC_FUNCTOR(Sub, kernel_sub)
VESSIK_ARITHMETIC_FUNCTOR(Mul, kernel_mul)
VESSIK_ARITHMETIC_FUNCTOR(Div, kernel_div)
#undef VESSIK_ARITHMETIC_FUNCTOR

// IEEE comparisons; Half and BFloat16 compare their patterns (Note [16-bit
// comparisons]), bool orders false < true. A register of binary32 lanes
// compares at once for the transposed walk, giving all-ones lanes where true.
template <class T>
concept ComparableValue = Element<T> || F32LaneVector<T>;

template <class Compare>
struct Comparison {
  static constexpr bool arithmetic = false;
  template <ComparableValue T>
  constexpr auto operator()(T x, T y) const { return Compare{}(x, y); }
};
using Eq = Comparison<std::equal_to<>>;
using Ge = Comparison<std::greater_equal<>>;
using Gt = Comparison<std::greater<>>;
using Le = Comparison<std::less_equal<>>;
using Lt = Comparison<std::less<>>;

// Note [relu of NaN]
// relu(x) is x when x > 0 (+infinity included) and +0 otherwise: -0, negative
// values and NaN all give +0. For binary32 this is IEEE 754-2008 maxNum(x, +0),
// under which a quiet NaN gives +0 but a signalling NaN signals and gives a
// quiet NaN: we return the operand with its quiet bit set. The 16-bit types
// have no such exception: every NaN pattern gives +0.
struct Relu {
  template <std::same_as<float> F>
  constexpr F operator()(F x) const {
    const std::uint32_t u = std::bit_cast<std::uint32_t>(x);
    const bool signalling = (u & 0x7fffffffu) > 0x7f800000u && (u & 0x00400000u) == 0;
    const float other = signalling ? std::bit_cast<float>(u | 0x00400000u) : 0.0f;
    return x > 0.0f ? x : other;
  }
  template <HalfElement T>
  constexpr T operator()(T x) const {
    return ((x.bits() & 0x8000u) == 0) & !x.is_nan() ? x : T::from_bits(0);
  }
};

}  // namespace vessik::functors
