#include "norvo/result.h"

#include <cstdio>
#include <cstdlib>

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

void detail::AbortOnValueOfError(const Error& error) noexcept {
  std::fprintf(stderr, "value() of a Result that holds %s \"%s\" raised at %s:%u\n", ErrorKindName(error.kind()),
               error.message(), error.file(), unsigned(error.line()));
  std::abort();
}

void detail::AbortOnErrorOfValue() noexcept {
  std::fputs("error() of a Result that holds a value\n", stderr);
  std::abort();
}

}  // namespace norvo
