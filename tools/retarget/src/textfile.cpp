#include "norvo/retarget/textfile.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <new>

#include <fcntl.h>
#include <unistd.h>

namespace norvo::retarget {

Failure TooLarge(std::int64_t limit, const std::string& file, const char* what) {
  return MakeFailure(FailureKind::BadInput,
                     std::string("the ") + what + " is larger than the limit of " + std::to_string(limit) + " bytes",
                     file);
}

Outcome<std::string> ReadTextFile(const std::string& path, std::int64_t maxBytes, const char* what) {
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return MakeFailure(FailureKind::Io, std::string("cannot open the ") + what, path);
    // The size first, so that a file past the limit is not read at all; then
    // in one piece: a stream that runs out of memory while it copies into
    // another stream stops quietly, and a cut text would read as malformed.
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0 || !in) return MakeFailure(FailureKind::Io, std::string("cannot read the ") + what, path);
    if (size > std::max<std::int64_t>(maxBytes, 0)) return TooLarge(maxBytes, path, what);
    std::string text(std::size_t(size), '\0');
    in.read(text.data(), size);
    if (in.gcount() != size) return MakeFailure(FailureKind::Io, std::string("cannot read the ") + what, path);
    return text;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

// With the system's calls, which allocate nothing: a file stream allocates
// its buffer after it has emptied the file, so running out of memory there
// would lose the file's old text.
Outcome<void> WriteTextFile(const std::string& path, std::string_view text, const char* what) {
  try {
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file < 0) return MakeFailure(FailureKind::Io, std::string("cannot create the ") + what, path);
    bool written = true;
    for (std::size_t done = 0; written && done < text.size();) {
      const ssize_t n = ::write(file, text.data() + done, text.size() - done);
      if (n > 0) done += std::size_t(n);
      else written = n < 0 && errno == EINTR;
    }
    written = ::close(file) == 0 && written;
    if (!written) return MakeFailure(FailureKind::Io, std::string("cannot write the ") + what, path);
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
