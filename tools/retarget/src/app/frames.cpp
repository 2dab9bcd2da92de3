#include "norvo/retarget/app/frames.h"

#include <cstdlib>

#include "norvo/retarget/app/arguments.h"

namespace norvo::retarget {

namespace {

// A frame number: digits only; an empty text leaves `out` as it is.
bool ParseFrame(const std::string& text, std::int64_t& out) {
  if (text.empty()) return true;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || value < 0 || text[0] == '-' || text[0] == '+') return false;
  out = value;
  return true;
}

}  // namespace

Outcome<void> ParseFrames(const std::string& text, std::int64_t count, std::int64_t& first, std::int64_t& last) {
  first = 0;
  last = count;
  if (text.empty()) return {};
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || !ParseFrame(text.substr(0, colon), first) ||
      !ParseFrame(text.substr(colon + 1), last))
    return Usage("--frames takes A:B, the frames from A up to but not including B, counted from 0; found '" +
                 Excerpt(text) + "'");
  if (first >= last || last > count)
    return Usage("--frames " + Excerpt(text) + " is not within the source's " + std::to_string(count) +
                 " frames (0:" + std::to_string(count) + ")");
  return {};
}

}  // namespace norvo::retarget
