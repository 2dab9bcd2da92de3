// Text of numbers.
#pragma once
#include "norvo/string.h"
#include "norvo/types.h"

namespace norvo {

// The text of `value`.
// - charsAfter >= 0: exactly that many digits after the point (none and no
//   point for 0). charsAfter = -n: at most n digits, trailing zeros dropped,
//   and the point too when no digit remains.
// - charsBefore = -1: as many characters before the point as needed; a
//   positive count pads the part before the point (sign included) on the left
//   with fillChar up to that width.
// - exponent: scientific notation, d.ddd followed by "e" and the exponent.
// - A result that shows only zeros has no sign ("-0.0001" with -3 gives "0");
//   NaN prints "nan", infinities "inf" and "-inf".
// So with (-1, -3): 1.0 gives "1", 0.5 "0.5", -2/3 "-0.667", 0.0004 "0".
// The format statement is passed through and not read. Out of memory the
// text is empty.
String FloatToString(Float64 value, Int charsBefore = -1, Int charsAfter = -3, Bool exponent = false,
                     char fillChar = '0', const FormatStatement* format = nullptr) noexcept;

// Writes the text of FloatToString into `out` (at least kFloatTextCapacity bytes) and
// returns its length; it never allocates.
inline constexpr std::size_t kFloatTextCapacity = 512;
std::size_t FormatFloat(char* out, Float64 value, Int charsBefore, Int charsAfter, Bool exponent,
                        char fillChar) noexcept;

// The decimal text of an integer.
String IntToString(Int value, const FormatStatement* format = nullptr) noexcept;

}  // namespace norvo
