#include "norvo/retarget/base/textfile.h"
#include "../largeblock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
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

Outcome<void> CheckWritable(const std::string& path) {
  try {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISCHR(status.st_mode))
      return NotAFile(status, path);
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

std::string_view TemporaryFor(std::string_view file) noexcept {
  const auto digits = [](std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!file.starts_with('.') || !file.ends_with(".tmp")) return {};
  const std::string_view name = file.substr(1, file.size() - 5);  // NAME.PID.N
  const std::size_t count = name.rfind('.');
  if (count == std::string_view::npos || !digits(name.substr(count + 1))) return {};
  const std::size_t pid = name.rfind('.', count - 1);
  if (pid == std::string_view::npos || pid == 0 || !digits(name.substr(pid + 1, count - pid - 1))) return {};
  return name.substr(0, pid);
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
    std::string text;
    text.reserve(std::size_t(status.st_size));
    const LargeBlock block(text.data(), text.capacity());
    text.resize(std::size_t(status.st_size));
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
  const char* reason = error == EFBIG ? "the file is larger than the system allows" : std::strerror(error);
  return MakeFailure(FailureKind::Io, std::string(doing) + what + ": " + reason, path);
}

// The temporary files being written, for a signal handler to remove: fixed
// slots that the handler reads without locks or allocation. A slot is free
// (0), being filled (1) or holds a name (2).
struct TemporarySlot {
  std::atomic<int> state{0};
  char path[4096];
};
TemporarySlot temporaries[64];

// Takes a slot for `path`; -1 when all are taken or the name is too long
// (the file is then left behind if a signal comes while it is written).
int Remember(const std::string& path) noexcept {
  if (path.size() >= sizeof temporaries[0].path) return -1;
  for (int i = 0; i < int(std::size(temporaries)); ++i) {
    int free = 0;
    if (!temporaries[i].state.compare_exchange_strong(free, 1)) continue;
    std::memcpy(temporaries[i].path, path.c_str(), path.size() + 1);
    temporaries[i].state.store(2);
    return i;
  }
  return -1;
}

void Forget(int slot) noexcept {
  if (slot >= 0) temporaries[slot].state.store(0);
}

const char* signalTool = "";
bool signalTerminal = false;  // standard error shows a progress line to clear

// Only calls that are safe in a signal handler.
extern "C" void OnSignal(int signal) {
  for (TemporarySlot& slot : temporaries)
    if (slot.state.load() == 2) ::unlink(slot.path);
  const char* what = signal == SIGINT ? ": interrupted (SIGINT)\n" : ": interrupted (SIGTERM)\n";
  [[maybe_unused]] ssize_t ignored = signalTerminal ? ::write(STDERR_FILENO, "\r\033[K", 4) : 0;
  ignored = ::write(STDERR_FILENO, signalTool, std::strlen(signalTool));
  ignored = ::write(STDERR_FILENO, what, std::strlen(what));
  ::_exit(128 + signal);
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
  return 0;
}

// Standard output: the text, flushed.
Outcome<void> WriteStandardOutput(std::string_view text, const char* what) {
  std::fflush(stdout);
  const int error = WriteAll(STDOUT_FILENO, text);
  if (error != 0) return CannotWrite("cannot write the ", what, error, "standard output");
  return {};
}

// The temporary file being written, closed and removed unless it was renamed.
struct Temporary {
  const std::string& name;
  int file;
  int slot;
  bool renamed = false;
  ~Temporary() {
    if (file >= 0) ::close(file);
    if (!renamed) ::unlink(name.c_str());
    Forget(slot);
  }
};

}  // namespace

TextSink AppendingTo(std::string& text) {
  return [&text](std::string_view piece) -> Outcome<void> {
    try {
      text += piece;
      return {};
    } catch (const std::bad_alloc&) {
      return OutOfMemory();
    }
  };
}

Outcome<void> WriteTextFile(const std::string& path, std::string_view text, const char* what) {
  return WriteTextFile(
      path, [text](const TextSink& put) { return put(text); }, what);
}

namespace {

// A sink that writes each piece to `file` whole.
TextSink SinkTo(int file, const char* what, const std::string& path) {
  return [file, what, &path](std::string_view piece) -> Outcome<void> {
    const int error = WriteAll(file, piece);
    if (error != 0) return CannotWrite("cannot write the ", what, error, path);
    return {};
  };
}

Outcome<void> WriteDevice(const std::string& path, const std::function<Outcome<void>(const TextSink&)>& produce,
                          const char* what) {
  const int file = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (file < 0) return CannotWrite("cannot open the ", what, errno, path);
  Outcome<void> written = produce(SinkTo(file, what, path));
  if (::close(file) != 0 && written) return CannotWrite("cannot write the ", what, errno, path);
  return written;
}

}  // namespace

// With the system's calls. Whatever fails, running out of memory included,
// the old file stays: it is only ever replaced by the rename.
Outcome<void> WriteTextFile(const std::string& path, const std::function<Outcome<void>(const TextSink&)>& produce,
                            const char* what) {
  try {
    if (path == "-") {
      std::string text;
      RETARGET_TRY(produce(AppendingTo(text)));
      return WriteStandardOutput(text, what);
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Only a regular file is replaced: not a folder, a FIFO or a block
    // device. A character device is written as it is.
    struct stat old;
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists && S_ISCHR(old.st_mode)) return WriteDevice(path, produce, what);
    if (exists && !S_ISREG(old.st_mode)) return NotAFile(old, path);
    // A name of its own: this process's id and a count that no other
    // thread of it takes.
    static std::atomic<unsigned> counter{0};
    std::string temporary;
    int file = -1, slot = -1;
    for (int attempt = 0; file < 0 && attempt < 100; ++attempt) {
      temporary = folder + "." + name + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
      // Remembered before it is created, so that a signal in between does
      // not leave it behind.
      Forget(slot);
      slot = Remember(temporary);
      // Created as any new file is (the umask applies) unless the old one
      // has permissions of its own.
      file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (file < 0 && errno != EEXIST) break;
    }
    if (file < 0) {
      const int error = errno;
      Forget(slot);
      return CannotWrite("cannot create the ", what, error, path);
    }
    Temporary written{temporary, file, slot};
    if (exists && ::fchmod(file, old.st_mode & 07777) != 0) return CannotWrite("cannot write the ", what, errno, path);
    RETARGET_TRY(produce(SinkTo(file, what, path)));
    int error = ::fsync(file) == 0 ? 0 : errno;
    if (::close(std::exchange(written.file, -1)) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) return CannotWrite("cannot write the ", what, error, path);
    written.renamed = true;
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemoryWriting(path);
  }
}

namespace {

// What names a file: its device and inode where it exists, else its path
// with the links of the folders above it resolved; "-" for standard output.
std::string IdentityOf(const std::string& path) {
  if (path == "-") return "-";
  struct stat status;
  if (::stat(path.c_str(), &status) == 0)
    return "=" + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  if (error) resolved = std::filesystem::absolute(path, error).lexically_normal();
  return "/" + resolved.string();
}

}  // namespace

Outcome<void> CheckOutputsApart(std::span<const NamedFile> inputs, std::span<const NamedFile> outputs) {
  try {
    std::map<std::string, const NamedFile*> read, written;
    for (const NamedFile& input : inputs)
      if (!input.path.empty() && input.path != "-") read.emplace(IdentityOf(input.path), &input);
    for (const NamedFile& output : outputs) {
      if (output.path.empty()) continue;
      // A device such as /dev/null takes any number of outputs.
      struct stat status;
      if (output.path != "-" && ::stat(output.path.c_str(), &status) == 0 && S_ISCHR(status.st_mode)) continue;
      const std::string identity = IdentityOf(output.path);
      const auto [earlier, first] = written.emplace(identity, &output);
      if (!first && output.path == "-")
        return MakeFailure(FailureKind::Usage, earlier->second->role + " and " + output.role +
                                                   " both write to standard output; give one of them a file name");
      if (!first)
        return MakeFailure(
            FailureKind::Usage,
            earlier->second->role + " and " + output.role + " name one file; give each a file of its own", output.path);
      if (const auto input = read.find(identity); input != read.end())
        return MakeFailure(FailureKind::Usage,
                           output.role + " would overwrite " + input->second->role + ", the same file; write elsewhere",
                           output.path);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

void HandleSignals(const char* tool) noexcept {
  signalTool = tool;
  signalTerminal = ::isatty(STDERR_FILENO) == 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGXFSZ, SIG_IGN);
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t word = 0;
    for (std::size_t k = 0; k < 3; ++k)
      word = word << 8 | (k < n ? std::uint32_t(static_cast<unsigned char>(bytes[i + k])) : 0);
    for (std::size_t k = 0; k < 4; ++k) out.push_back(k <= n ? kDigits[(word >> (18 - 6 * k)) & 63] : '=');
  }
  return out;
}

}  // namespace norvo::retarget
