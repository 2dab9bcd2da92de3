// A double in fixed notation with six decimals, the same text as
// std::to_chars(..., std::chars_format::fixed, 6) gives, made with integer
// arithmetic: BVH files hold millions of such numbers.
#pragma once
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>

namespace norvo::retarget {

__extension__ typedef unsigned __int128 FixedSixWide;  // GCC and Clang have it

// Writes the text to `out` (room for 32 characters) and returns its length,
// or 0 for a value it does not take (not finite, or 2^52 and more in
// magnitude), which the caller then hands to std::to_chars. A value that
// rounds to zero is written without its minus sign.
//
// A finite double is m * 2^e exactly; below 2^52 e is negative, and its
// millionths are m * 10^6 / 2^-e, rounded half to even (std::to_chars
// rounds the exact value so).
inline std::size_t FormatFixedSix(char* out, double value) noexcept {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const int biased = int((bits >> 52) & 0x7ff);
  if (biased == 0x7ff) return 0;
  std::uint64_t m = bits & ((std::uint64_t(1) << 52) - 1);
  int e = -1074;
  if (biased) {
    m |= std::uint64_t(1) << 52;
    e = biased - 1075;
  }
  if (e >= 0) return 0;
  const int shift = -e;
  const FixedSixWide scaled = static_cast<FixedSixWide>(m) * 1000000u;  // below 2^73
  FixedSixWide q = 0;
  if (shift <= 73) {
    q = scaled >> shift;
    const FixedSixWide rest = scaled - (q << shift), half = static_cast<FixedSixWide>(1) << (shift - 1);
    if (rest > half || (rest == half && (q & 1))) ++q;
  }
  if (q >> 64) return 0;
  const std::uint64_t millionths = static_cast<std::uint64_t>(q);
  char* at = out;
  if ((bits >> 63) && millionths) *at++ = '-';
  at = std::to_chars(at, at + 20, millionths / 1000000).ptr;
  *at++ = '.';
  std::uint32_t fraction = std::uint32_t(millionths % 1000000);
  for (int i = 5; i >= 0; --i) {
    at[i] = char('0' + fraction % 10);
    fraction /= 10;
  }
  return std::size_t(at + 6 - out);
}

}  // namespace norvo::retarget
