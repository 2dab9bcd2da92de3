#include "norvo/number.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace norvo {

std::size_t FormatFloat(char* out, Float64 value, Int charsBefore, Int charsAfter, Bool exponent,
                        char fillChar) noexcept {
  if (std::isnan(value)) {
    std::memcpy(out, "nan", 4);
    return 3;
  }
  if (std::isinf(value)) {
    const char* text = value < 0 ? "-inf" : "inf";
    std::size_t length = std::strlen(text);
    std::memcpy(out, text, length + 1);
    return length;
  }
  int digits = int(charsAfter < 0 ? -charsAfter : charsAfter);
  if (digits > 60) digits = 60;
  char text[kFloatTextCapacity];
  int length = std::snprintf(text, sizeof text, exponent ? "%.*e" : "%.*f", digits, value);
  if (length < 0 || length >= int(sizeof text)) length = 0;
  std::string_view mantissa(text, std::size_t(length));
  std::string_view tail;
  if (exponent) {
    std::size_t e = mantissa.find('e');
    if (e != std::string_view::npos) {
      tail = mantissa.substr(e);
      mantissa = mantissa.substr(0, e);
    }
  }
  if (charsAfter < 0 && mantissa.find('.') != std::string_view::npos) {
    while (mantissa.ends_with('0')) mantissa.remove_suffix(1);
    if (mantissa.ends_with('.')) mantissa.remove_suffix(1);
  }
  // A text that shows only zeros carries no sign.
  bool negative = mantissa.starts_with('-');
  if (negative && mantissa.find_first_not_of("-0.") == std::string_view::npos) {
    mantissa.remove_prefix(1);
    negative = false;
  }
  std::size_t point = mantissa.find('.');
  std::size_t before = point == std::string_view::npos ? mantissa.size() : point;
  std::size_t width = charsBefore > 0 ? std::size_t(charsBefore < 320 ? charsBefore : 320) : 0;
  std::size_t pad = width > before ? width - before : 0;
  std::size_t at = 0;
  if (negative && fillChar == '0') {
    out[at++] = '-';
    mantissa.remove_prefix(1);
  }
  for (std::size_t i = 0; i < pad; ++i) out[at++] = fillChar;
  for (std::string_view part : {mantissa, tail}) {
    if (part.empty()) continue;
    std::memcpy(out + at, part.data(), part.size());
    at += part.size();
  }
  out[at] = '\0';
  return at;
}

String FloatToString(Float64 value, Int charsBefore, Int charsAfter, Bool exponent, char fillChar,
                     const FormatStatement*) noexcept {
  char text[kFloatTextCapacity];
  std::size_t length = FormatFloat(text, value, charsBefore, charsAfter, exponent, fillChar);
  Result<String> s = String::Make(std::string_view(text, length));
  return s ? std::move(s).value() : String();
}

String IntToString(Int value, const FormatStatement*) noexcept {
  char text[32];
  int length = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  Result<String> s = String::Make(std::string_view(text, std::size_t(length)));
  return s ? std::move(s).value() : String();
}

}  // namespace norvo
