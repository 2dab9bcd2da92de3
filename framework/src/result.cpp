#include "norvo/result.h"

namespace norvo {

const char* ErrorKindName(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::Nullptr: return "NullptrError";
    case ErrorKind::OutOfMemory: return "OutOfMemoryError";
    case ErrorKind::IllegalArgument: return "IllegalArgumentError";
    case ErrorKind::Unexpected: return "UnexpectedError";
    case ErrorKind::Unresolved: return "UnresolvedError";
  }
  return "UnknownError";
}

}  // namespace norvo
