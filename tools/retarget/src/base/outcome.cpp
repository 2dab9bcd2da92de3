#include "norvo/retarget/base/outcome.h"

#include <cstdio>
#include <new>

namespace norvo::retarget {

std::string Failure::Text() const {
  std::string text;
  if (!file.empty()) {
    text += file;
    if (line > 0) {
      text += ':';
      text += std::to_string(line);
    }
    text += ": ";
  }
  return text + message;
}

std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\x%02X", byte);
      out += escaped;
    }
  }
  return out;
}

std::string Excerpt(std::string_view input, std::size_t most) {
  if (input.size() <= most) return std::string(input);
  std::size_t end = most;
  while (end > 0 && (static_cast<unsigned char>(input[end]) & 0xC0) == 0x80) --end;
  return std::string(input.substr(0, end)) + "...";
}

// A message past this many bytes quotes more of an input than anyone
// reads: its middle is left out.
constexpr std::size_t kLongestMessage = 2000;

Failure MakeFailure(FailureKind kind, std::string message, std::string file, std::int64_t line, SourceLocation where) {
  if (message.size() > kLongestMessage)
    message = Excerpt(message, kLongestMessage / 2) + " (" + std::to_string(message.size()) + " bytes in all)";
  Failure failure;
  failure.kind = kind;
  failure.message = std::move(message);
  failure.file = std::move(file);
  failure.line = line;
  failure.where = where;
  return failure;
}

Failure FromError(const Error& error, const char* doing) {
  FailureKind kind = error.kind() == ErrorKind::OutOfMemory ? FailureKind::OutOfMemory : FailureKind::Internal;
  std::string message = std::string(ErrorKindName(error.kind())) + " while " + doing;
  if (*error.message()) message += std::string(": ") + error.message();
  return MakeFailure(kind, std::move(message));
}

Failure OutOfMemory(SourceLocation where) noexcept {
  // Short enough for the string's inline buffer: nothing is allocated.
  Failure failure;
  failure.kind = FailureKind::OutOfMemory;
  failure.message = "out of memory";
  failure.where = where;
  return failure;
}

}  // namespace norvo::retarget
