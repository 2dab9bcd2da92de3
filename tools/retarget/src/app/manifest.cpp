#include "manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "jsontext.h"
#include "norvo/retarget/app/arguments.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

namespace {

// A manifest larger than this is not read back (some millions of clips).
constexpr std::int64_t kMaxManifestBytes = std::int64_t(1) << 31;

Failure ManifestFailure(const char* doing, int error, const std::string& path) {
  if (error == ENOMEM) return OutOfMemory();
  const char* reason = error == EFBIG ? "the file is larger than the system allows" : std::strerror(error);
  return MakeFailure(FailureKind::Io, std::string(doing) + " the manifest: " + reason, path);
}

// What a line says of its clip: false for a line that is no object with an
// "input" text; `output` empty unless the line says "done" with an output.
bool ReadLine(std::string_view line, std::string& input, std::string& output) {
  jsontext::Builder builder(jsontext::Builder::Duplicates::kKeepLast);
  jsontext::ParseFault fault;
  if (!jsontext::Parse(line, builder, fault, 4) || !builder.Get().is_object()) return false;
  const jsontext::Value& value = builder.Get();
  const auto text = [&](const char* key) -> const std::string* {
    const auto found = value.find(key);
    return found != value.end() && found->is_string() ? found->get_ptr<const std::string*>() : nullptr;
  };
  const std::string *in = text("input"), *out = text("output"), *status = text("status");
  if (!in) return false;
  input = *in;
  output = out && status && *status == "done" ? *out : std::string();
  return true;
}

}  // namespace

Outcome<Manifest> Manifest::Open(const std::string& path, std::map<std::string, std::string>* done) {
  try {
    // Without waiting: a FIFO without a reader is refused rather than waited on.
    std::string name = path;  // before the file is open, so that it cannot be left open
    const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0666);
    if (file < 0) return ManifestFailure("cannot open", errno, path);
    Manifest manifest(file, std::move(name));
    struct stat status;
    if (::fstat(file, &status) != 0) return ManifestFailure("cannot read", errno, path);
    if (!S_ISREG(status.st_mode)) return MakeFailure(FailureKind::Io, "is not a regular file", path);
    RETARGET_ASSIGN(const std::string text, ReadFileBytes(path, kMaxManifestBytes, "manifest"));
    // A writer stopped inside its line leaves a part of it: cut off, so
    // that the next line starts on a line of its own.
    const std::size_t end = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
    if (end < text.size() && ::ftruncate(file, off_t(end)) != 0) return ManifestFailure("cannot write", errno, path);
    if (!done) return manifest;
    std::string input, output;
    for (std::size_t from = 0; from < end;) {
      const std::size_t newline = text.find('\n', from);
      const std::string_view line(text.data() + from, newline - from);
      from = newline + 1;
      // An input's last line says what became of it.
      if (!ReadLine(line, input, output)) continue;
      if (output.empty()) {
        done->erase(input);
      } else {
        (*done)[input] = output;
      }
    }
    return manifest;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Manifest::~Manifest() {
  if (file_ >= 0) ::close(file_);
}

Outcome<void> Manifest::Append(const BatchClip& clip) const {
  try {
    const std::string line = ManifestLine(clip);
    // One write: appended whole, so that two writers of one manifest never
    // mix their lines. A write cut short leaves a partial line, which the
    // next opening cuts off.
    for (;;) {
      const ssize_t n = ::write(file_, line.data(), line.size());
      if (n == ssize_t(line.size())) break;
      if (n > 0) {
        // Cut short: the write of the rest says why (a full disk, the
        // file size limit).
        const ssize_t rest = ::write(file_, line.data() + n, line.size() - std::size_t(n));
        return ManifestFailure("cannot write", rest < 0 ? errno : ENOSPC, path_);
      }
      if (n == 0) return ManifestFailure("cannot write", EIO, path_);
      if (errno != EINTR) return ManifestFailure("cannot write", errno, path_);
    }
    if (::fdatasync(file_) != 0) return ManifestFailure("cannot write", errno, path_);
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

bool NamedExactly(std::string_view path) noexcept { return jsontext::IsUtf8(path); }

std::string ManifestLine(const BatchClip& clip) {
  jsontext::Writer::Style style;
  style.replaceFaultyText = true;
  jsontext::Writer json(style);
  const ClipResult* result = clip.result ? &*clip.result : nullptr;
  const bool done = result && !clip.failure;
  const auto number = [&](const char* key, bool taken, double value) {
    json.Key(key);
    taken ? json.Value(value) : json.Value(nullptr);
  };
  json.Open('{');
  json.Key("input").Value(clip.input);
  json.Key("output").Value(clip.outputs.motion);
  json.Key("status").Value(done ? "done" : "failed");
  json.Key("exit_code").Value(done ? 0 : ExitCode(clip.failure ? clip.failure->kind : FailureKind::Internal));
  json.Key("message").Value(clip.failure ? clip.failure->Text() : std::string());
  json.Key("frames");
  done ? json.Value(result->last - result->first) : json.Value(nullptr);
  json.Key("preset");
  done && result->source ? json.Value(result->source->preset.name) : json.Value(nullptr);
  const bool quality = done && result->quality && result->quality->all.count > 0;
  number("quality_mean_degrees", quality, quality ? result->quality->all.mean : 0);
  number("quality_p95_degrees", quality, quality ? result->quality->all.p95 : 0);
  number("quality_max_degrees", quality, quality ? result->quality->all.max : 0);
  // Per segment measured its mean and largest angle, and the segments not
  // measured.
  json.Key("quality_segments");
  if (quality) {
    json.Open('{');
    for (const SegmentFigure& segment : result->quality->segments) {
      if (!segment.measured) continue;
      json.Key(segment.name).Open('{');
      json.Key("mean").Value(segment.figure.mean);
      json.Key("max").Value(segment.figure.max);
      json.Close('}');
    }
    json.Close('}');
    json.Key("quality_not_measured").Texts(result->quality->NotMeasured());
  } else {
    json.Value(nullptr);
    json.Key("quality_not_measured").Value(nullptr);
  }
  const bool feet = done && result->resultFeet && result->resultFeet->measured;
  number("feet_sliding_left", feet, feet ? result->resultFeet->sliding[0] : 0);
  number("feet_sliding_right", feet, feet ? result->resultFeet->sliding[1] : 0);
  const bool trip = done && result->roundTrip;
  number("round_trip_mean_degrees", trip, trip ? result->roundTrip->all.mean : 0);
  number("round_trip_p95_degrees", trip, trip ? result->roundTrip->all.p95 : 0);
  number("round_trip_max_degrees", trip, trip ? result->roundTrip->all.max : 0);
  json.Key("seconds").Value(clip.seconds);
  json.Close('}');
  return std::move(json.text) + "\n";
}

}  // namespace norvo::retarget
