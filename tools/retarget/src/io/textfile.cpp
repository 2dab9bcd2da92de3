#include "norvo/retarget/textfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

namespace norvo::retarget {

Failure TooLarge(std::int64_t limit, const std::string& file, const char* what) {
  return MakeFailure(FailureKind::BadInput,
                     std::string("the ") + what + " is larger than the limit of " + std::to_string(limit) + " bytes",
                     file);
}

namespace {

// What is wrong with a file that is not a regular one, in the user's terms.
Failure NotAFile(const struct stat& status, const std::string& path) {
  return MakeFailure(FailureKind::Io, S_ISDIR(status.st_mode) ? "is a folder" : "is not a regular file", path);
}

// Whether a text is UTF-16: a byte order mark, or a NUL beside each of the
// first letters.
bool IsUtf16(std::string_view text) noexcept {
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) return true;
  return text.size() >= 4 && (text[0] == '\0') != (text[1] == '\0') && (text[2] == '\0') != (text[3] == '\0');
}

}  // namespace

Outcome<void> CheckNotSpecial(const std::string& path) {
  try {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) return NotAFile(status, path);
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

// With the system's calls: the file is opened without waiting (a FIFO would
// block an ordinary open) and read only when it is a regular file.
Outcome<std::string> ReadFileBytes(const std::string& path, std::int64_t maxBytes, const char* what) {
  try {
    const int file = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0)
      return MakeFailure(FailureKind::Io, std::string("cannot open the ") + what + ": " + std::strerror(errno), path);
    struct Closing {
      int file;
      ~Closing() { ::close(file); }
    } closing{file};
    struct stat status;
    if (::fstat(file, &status) != 0)
      return MakeFailure(FailureKind::Io, std::string("cannot read the ") + what + ": " + std::strerror(errno), path);
    if (!S_ISREG(status.st_mode)) return NotAFile(status, path);
    // The size first, so that a file past the limit is not read at all.
    if (status.st_size > std::max<std::int64_t>(maxBytes, 0)) return TooLarge(maxBytes, path, what);
    std::string text(std::size_t(status.st_size), '\0');
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::read(file, text.data() + done, text.size() - done);
      if (n > 0) {
        done += std::size_t(n);
      } else if (n == 0) {
        text.resize(done);  // the file became shorter while it was read
      } else if (errno != EINTR) {
        return MakeFailure(FailureKind::Io, std::string("cannot read the ") + what + ": " + std::strerror(errno), path);
      }
    }
    return text;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<std::string> ReadTextFile(const std::string& path, std::int64_t maxBytes, const char* what) {
  RETARGET_ASSIGN(std::string text, ReadFileBytes(path, maxBytes, what));
  try {
    if (IsUtf16(text)) return MakeFailure(FailureKind::BadInput, "is UTF-16 text: save it as UTF-8", path);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  return text;
}

namespace {

// Out of memory, naming the file when memory is left for its name.
Failure OutOfMemoryWriting(const std::string& path) noexcept {
  Failure failure = OutOfMemory();
  try {
    failure.file = path;
  } catch (const std::bad_alloc&) {
  }
  return failure;
}

Failure CannotWrite(const char* doing, const char* what, int error, const std::string& path) {
  if (error == ENOMEM) return OutOfMemoryWriting(path);
  return MakeFailure(FailureKind::Io, std::string(doing) + what + ": " + std::strerror(error), path);
}

// Writes all of `text` to `file`; the error number, or 0.
int WriteAll(int file, std::string_view text) noexcept {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(file, text.data() + done, text.size() - done);
    if (n > 0) {
      done += std::size_t(n);
    } else if (n < 0 && errno != EINTR) {
      return errno;
    } else if (n == 0) {
      return EIO;
    }
  }
  return ::fsync(file) == 0 ? 0 : errno;
}

}  // namespace

// With the system's calls, which allocate nothing once the temporary file's
// name is made: running out of memory can never cost the old file.
Outcome<void> WriteTextFile(const std::string& path, std::string_view text, const char* what) {
  try {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Only a regular file is replaced: not a folder, a FIFO or a device.
    struct stat old;
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) return NotAFile(old, path);
    // A name of its own: this process's id and a count that no other
    // thread of it takes.
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    int file = -1;
    for (int attempt = 0; file < 0 && attempt < 100; ++attempt) {
      temporary = folder + "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
      // Created as any new file is (the umask applies) unless the old one
      // has permissions of its own.
      file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (file < 0 && errno != EEXIST) break;
    }
    if (file < 0) return CannotWrite("cannot create the ", what, errno, path);
    const bool keep = exists;
    int error = !keep || ::fchmod(file, old.st_mode & 07777) == 0 ? WriteAll(file, text) : errno;
    if (::close(file) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
      ::unlink(temporary.c_str());
      return CannotWrite("cannot write the ", what, error, path);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemoryWriting(path);
  }
}

}  // namespace norvo::retarget
