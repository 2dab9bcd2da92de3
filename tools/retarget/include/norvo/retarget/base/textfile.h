// Reading a whole text file under a size limit, and writing one safely, for
// the tool's readers and writers.
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

// BadInput "the <what> is larger than the limit of N bytes".
Failure TooLarge(std::int64_t limit, const std::string& file, const char* what = "file");

// The bytes of `path`, refused unread when there are more than `maxBytes`.
// Io "cannot open the <what>" / "cannot read the <what>"; OutOfMemory.
Outcome<std::string> ReadFileBytes(const std::string& path, std::int64_t maxBytes, const char* what = "file");
// The text of `path`, refused unread when it is larger than `maxBytes`.
// Io "cannot open the <what>" / "cannot read the <what>"; OutOfMemory.
Outcome<std::string> ReadTextFile(const std::string& path, std::int64_t maxBytes, const char* what = "file");

// Io "is a folder" or "is not a regular file" (a FIFO, a device) when
// `path` names one; nothing for a regular file or one that is not there.
Outcome<void> CheckNotSpecial(const std::string& path);

// The same for a file to be written, where a character device (/dev/null, a
// terminal) is also taken: it is written directly, with nothing to replace.
Outcome<void> CheckWritable(const std::string& path);

// Writes `text` to `path`, replacing what was there ("-": to standard
// output): into a temporary file in the same folder, flushed to the disk,
// then renamed over `path`. A write
// that fails or is cut short leaves the old file as it was and no temporary
// file; of two writers of one path, the last rename wins and the file is
// whole. A new file gets the permissions a created file gets; a replaced
// one keeps its own.
// Io "cannot create the <what>: <reason>" / "cannot write the <what>:
// <reason>"; OutOfMemory.
Outcome<void> WriteTextFile(const std::string& path, std::string_view text, const char* what = "file");

// Takes the next piece of a text being written; a failure stops the writer.
using TextSink = std::function<Outcome<void>(std::string_view piece)>;
// A sink that appends each piece to `text`; OutOfMemory when it cannot grow.
TextSink AppendingTo(std::string& text);
// WriteTextFile of a text made in pieces, so that a long one is never held
// whole: `produce` hands each piece to the sink in order. A failure of
// `produce` (or of the sink, which it passes on) is returned as it is, and
// the old file stays as it was, with no temporary file left. Standard
// output gets the text once every piece is made.
Outcome<void> WriteTextFile(const std::string& path, const std::function<Outcome<void>(const TextSink&)>& produce,
                            const char* what = "file");

// The name of the output a temporary file of WriteTextFile was made for
// (".NAME.PID.N.tmp" gives "NAME"), from the temporary's name without its
// folder; empty for a name that is no such temporary file.
std::string_view TemporaryFor(std::string_view file) noexcept;

// A file the tool is given, and the option or argument that names it.
struct NamedFile {
  std::string role;  // "SOURCE", "--target", "-o", ...
  std::string path;  // empty: not given; "-": standard input or output
};

// Usage when an output is one of the inputs or another output: the same
// file (device and inode) where it exists, the same resolved path where it
// does not, or standard output twice. Names both roles and the file.
Outcome<void> CheckOutputsApart(std::span<const NamedFile> inputs, std::span<const NamedFile> outputs);

// For a command-line tool: SIGINT and SIGTERM remove the temporary files
// being written (the files they would replace stay as they were), print
// "<tool>: interrupted" and end the process with 130 or 143; SIGXFSZ is
// ignored, so that a write past the file size limit fails as a write.
void HandleSignals(const char* tool) noexcept;

// `bytes` in base64 (RFC 4648, with padding).
std::string Base64(std::string_view bytes);

}  // namespace norvo::retarget
