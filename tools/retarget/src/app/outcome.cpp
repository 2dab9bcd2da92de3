#include "norvo/retarget/outcome.h"

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

Failure MakeFailure(FailureKind kind, std::string message, std::string file, std::int64_t line, SourceLocation where) {
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
