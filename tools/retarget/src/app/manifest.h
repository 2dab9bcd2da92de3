// A batch's manifest: a JSON-lines file that gets one line per clip as it
// finishes (batch.h says what a line holds). Lines are only ever appended.
#pragma once
#include <map>
#include <string>

#include "norvo/retarget/app/batch.h"

namespace norvo::retarget {

class Manifest {
 public:
  // Opens `path` for appending, made when it is not there, and cuts off a
  // partial last line. `done` (when given) gets, by each input's last line,
  // the inputs whose line says "done", with their outputs; lines that do
  // not read as such an object are passed over.
  static Outcome<Manifest> Open(const std::string& path, std::map<std::string, std::string>* done);

  Manifest(Manifest&& other) noexcept : file_(other.file_), path_(std::move(other.path_)) { other.file_ = -1; }
  Manifest& operator=(Manifest&&) = delete;
  ~Manifest();

  // The clip's line, written with one write and flushed to the disk.
  Outcome<void> Append(const BatchClip& clip) const;

 private:
  Manifest(int file, std::string path) : file_(file), path_(std::move(path)) {}
  int file_;
  std::string path_;
};

// Whether a path is written as it is (UTF-8), so that a line names it.
bool NamedExactly(std::string_view path) noexcept;

// The clip's line, with its newline.
std::string ManifestLine(const BatchClip& clip);

}  // namespace norvo::retarget
