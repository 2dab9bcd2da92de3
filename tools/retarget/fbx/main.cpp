// norvo-fbx-read FILE [--animation A] [--fps N] [--memory BYTES] [--seconds S] [--watch FD]
//
// Reads an FBX file for norvo-retarget, which runs it as a process of its
// own: the FBX library may crash, hang or fill memory on a damaged file, and
// then only this process dies, within the memory and processor time it was
// given. Writes the skeleton and its frames, or why the file is not read,
// to standard output (src/io/fbxwire.h); exit code 0 whenever it wrote them.
//
// With --watch, FD is the reading end of a pipe the tool holds open and
// never writes to: it reads end of file once the tool has ended, however it
// ended (the kernel closes a dead process's files), and this process then
// ends too, so no reader outlives the tool.
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "convert.h"
#include "fbxwire.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using norvo::retarget::fbxwire::kBadInput;

bool WriteAll(const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += std::size_t(n);
  }
  return true;
}

void Limit(int resource, unsigned long long value) {
  const rlimit limit{rlim_t(value), rlim_t(value)};
  ::setrlimit(resource, &limit);
}

std::string Answer(norvo::retarget::fbxwire::Status status, const std::string& message) {
  namespace wire = norvo::retarget::fbxwire;
  std::string out(wire::kMagic, 4);
  wire::Put(out, wire::kVersion);
  wire::Put(out, std::uint8_t(status));
  wire::PutText(out, message);
  return out;
}

// Ends the process once nothing can write to `fd` any more (see above).
bool EndWithWriter(int fd) {
  try {
    std::thread([fd] {
      char byte;
      for (;;) {
        const ssize_t n = ::read(fd, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(3);
      }
    }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// --- The animation curves, checked against the file ---------------------
//
// assimp takes an array's count and bytes as the file gives them: a count
// its bytes do not hold, or compressed bytes that do not inflate, leave
// values it makes up or drops; and it samples keys as they come, NaN or
// out of order. So every array of a binary file is checked here (its
// encoding, and its bytes against its count), and every animation curve of
// a binary or ASCII file: as many values as key times, the times in order,
// the values finite. A fault is one line; none is an empty text.

struct Curve {
  std::string id;
  std::vector<double> times, values;
  bool hasTimes = false, hasValues = false;
};

std::string CheckCurve(const Curve& curve) {
  const std::string name = "animation curve " + curve.id;
  if (!curve.hasTimes && !curve.hasValues) return {};
  if (curve.times.size() != curve.values.size())
    return name + " has " + std::to_string(curve.times.size()) + " key times and " +
           std::to_string(curve.values.size()) + " values";
  for (std::size_t k = 0; k < curve.times.size(); ++k) {
    if (!std::isfinite(curve.times[k])) return name + "'s key time " + std::to_string(k) + " is not a number";
    if (k > 0 && curve.times[k] < curve.times[k - 1]) return name + "'s key times go back at key " + std::to_string(k);
    if (!std::isfinite(curve.values[k]) || std::abs(curve.values[k]) > std::numeric_limits<float>::max())
      return name + "'s value at key " + std::to_string(k) + " is not a finite number";
  }
  return {};
}

class Binary {
 public:
  explicit Binary(std::string_view bytes) : b_(bytes) {}

  std::string Check() {
    if (b_.size() < 27) return {};
    std::uint32_t version = 0;
    std::memcpy(&version, b_.data() + 23, 4);
    wide_ = version >= 7500;
    // Each open record: its end, its name; a curve's values on the way.
    struct Open {
      std::uint64_t end;
      std::string name;
    };
    std::vector<Open> open;
    std::uint64_t at = 27;
    Curve curve;
    bool inCurve = false;
    for (;;) {
      while (!open.empty() && at >= open.back().end) {
        if (open.size() == 2 && inCurve) {
          inCurve = false;
          if (std::string fault = CheckCurve(curve); !fault.empty()) return fault;
        }
        at = open.back().end;
        open.pop_back();
      }
      const std::uint64_t head = wide_ ? 25 : 13;
      if (at + head > b_.size()) return {};
      const std::uint64_t end = Word(at, wide_), properties = Word(at + (wide_ ? 8 : 4), wide_),
                          length = Word(at + (wide_ ? 16 : 8), wide_);
      const std::uint64_t nameLength = std::uint8_t(b_[std::size_t(at + head - 1)]);
      if (end == 0) {
        // The end of a list of records: the top level ends here.
        if (open.empty()) return {};
        at = open.back().end;
        continue;
      }
      const std::uint64_t first = at + head + nameLength;
      if (end <= at || end > b_.size() || first > end || length > end - first) return {};  // assimp's to tell
      std::string name(b_.substr(std::size_t(at + head), std::size_t(nameLength)));
      const std::string parent = open.empty() ? std::string() : open.back().name;
      if (open.size() == 1 && parent == "Objects" && name == "AnimationCurve") {
        curve = Curve{};
        inCurve = true;
      }
      if (auto ended = Properties(name, open.size(), properties, first, length, inCurve, curve)) return *ended;
      open.push_back({end, std::move(name)});
      at = first + length;
    }
  }

 private:
  // Checks a record's properties: its arrays, and an animation curve's id
  // and keys on the way. Returns what Check returns when it ends here (a
  // fault, or empty when the rest is assimp's to tell), or nothing to go on.
  std::optional<std::string> Properties(const std::string& name, std::size_t depth, std::uint64_t properties,
                                        std::uint64_t first, std::uint64_t length, bool inCurve, Curve& curve) {
    const bool keys = inCurve && depth == 2 && (name == "KeyTime" || name.starts_with("KeyValue"));
    std::uint64_t p = first;
    for (std::uint64_t i = 0; i < properties && p < first + length; ++i) {
      const char type = b_[std::size_t(p++)];
      std::uint64_t size = 0;
      switch (type) {
        case 'C': size = 1; break;
        case 'Y': size = 2; break;
        case 'I':
        case 'F': size = 4; break;
        case 'D':
        case 'L':
          if (depth == 1 && inCurve && i == 0 && name == "AnimationCurve" && p + 8 <= b_.size()) {
            std::int64_t id = 0;
            std::memcpy(&id, b_.data() + p, 8);
            curve.id = std::to_string(id);
          }
          size = 8;
          break;
        case 'S':
        case 'R':
          if (p + 4 > first + length) return std::string();
          size = 4 + Word(p, false);
          break;
        case 'f':
        case 'i':
        case 'd':
        case 'l':
        case 'b': {
          if (p + 12 > first + length) return std::string();
          std::vector<double>* into = nullptr;
          if (keys && i == 0) {
            into = name == "KeyTime" ? &curve.times : &curve.values;
            (name == "KeyTime" ? curve.hasTimes : curve.hasValues) = true;
          }
          if (std::string fault = Array(name, type, p - 1, first + length, into); !fault.empty()) return fault;
          size = 12 + Word(p + 8, false);
          break;
        }
        default: return std::string();
      }
      if (size > first + length - p) return std::string();
      p += size;
    }
    return std::nullopt;
  }

  std::uint64_t Word(std::uint64_t at, bool wide) const {
    std::uint64_t value = 0;
    if (wide) {
      std::memcpy(&value, b_.data() + at, 8);
    } else {
      std::uint32_t word = 0;
      std::memcpy(&word, b_.data() + at, 4);
      value = word;
    }
    return value;
  }

  // An array property at `at` (its type byte): a count, an encoding (0 raw,
  // 1 zlib) and the length of its bytes. Its values go `into` a curve.
  std::string Array(const std::string& name, char type, std::uint64_t at, std::uint64_t limit,
                    std::vector<double>* into) const {
    const std::uint64_t count = Word(at + 1, false), encoding = Word(at + 5, false), length = Word(at + 9, false);
    const std::uint64_t element = type == 'b' ? 1 : type == 'i' || type == 'f' ? 4 : 8;
    const std::string what = "the array " + name + " at byte " + std::to_string(at);
    if (length > limit - (at + 13)) return {};  // past its record: assimp's to tell
    const std::string_view stored = b_.substr(std::size_t(at + 13), std::size_t(length));
    const std::uint64_t want = count * element;
    std::vector<char> values;
    if (encoding == 0) {
      if (length != want)
        return what + " gives " + std::to_string(count) + " values and holds " + std::to_string(length) + " bytes";
      if (into) values.assign(stored.begin(), stored.end());
    } else if (encoding == 1) {
      if (!Inflate(stored, want, into ? &values : nullptr))
        return what + " is not zlib data of the " + std::to_string(count) + " values it gives";
    } else {
      return what + " has encoding " + std::to_string(encoding) + ", neither 0 (raw) nor 1 (zlib)";
    }
    if (into) {
      into->resize(std::size_t(count));
      for (std::size_t k = 0; k < into->size(); ++k) {
        const char* v = values.data() + k * element;
        if (type == 'f') {
          float x;
          std::memcpy(&x, v, 4);
          (*into)[k] = x;
        } else if (type == 'd') {
          double x;
          std::memcpy(&x, v, 8);
          (*into)[k] = x;
        } else if (type == 'l') {
          std::int64_t x;
          std::memcpy(&x, v, 8);
          (*into)[k] = double(x);
        } else if (type == 'i') {
          std::int32_t x;
          std::memcpy(&x, v, 4);
          (*into)[k] = x;
        } else {
          (*into)[k] = double(std::uint8_t(*v));
        }
      }
    }
    return {};
  }

  // Whether `in` is one zlib stream of exactly `want` bytes; they are kept
  // in `out` when it is given, else only counted.
  static bool Inflate(std::string_view in, std::uint64_t want, std::vector<char>* out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) throw std::bad_alloc();
    struct Ending {
      z_stream& z;
      ~Ending() { inflateEnd(&z); }
    } ending{z};
    char chunk[65536];
    std::uint64_t got = 0;
    int result = Z_OK;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = uInt(in.size());
    while (result == Z_OK) {
      z.next_out = reinterpret_cast<Bytef*>(chunk);
      z.avail_out = sizeof chunk;
      result = inflate(&z, Z_NO_FLUSH);
      const std::uint64_t made = sizeof chunk - z.avail_out;
      if (got + made > want) break;
      got += made;
      if (out) out->insert(out->end(), chunk, chunk + made);
    }
    if (result == Z_MEM_ERROR) throw std::bad_alloc();
    return result == Z_STREAM_END && got == want;
  }

  std::string_view b_;
  bool wide_ = false;
};

// An ASCII file: "AnimationCurve: ID, ..." opens a curve, whose
// "KeyTime: *N { a: ... }" and "KeyValueFloat: *N { a: ... }" are read.
std::string CheckAscii(std::string_view text) {
  Curve curve;
  bool inCurve = false;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t lineEnd = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, lineEnd - at);
    const std::size_t from = line.find_first_not_of(" \t\r");
    line.remove_prefix(std::min(from, line.size()));
    const std::size_t next = lineEnd + 1;
    if (line.starts_with("AnimationCurve:")) {
      if (inCurve)
        if (std::string fault = CheckCurve(curve); !fault.empty()) return fault;
      curve = Curve{};
      inCurve = true;
      std::string_view id = line.substr(15);
      id = id.substr(0, id.find(','));
      const std::size_t start = id.find_first_not_of(" \t");
      curve.id = std::string(id.substr(std::min(start, id.size())));
      at = next;
      continue;
    }
    const bool times = line.starts_with("KeyTime:"), values = line.starts_with("KeyValue");
    if (!inCurve || (!times && !values)) {
      at = next;
      continue;
    }
    // "*N {", then "a:" and the numbers up to "}".
    const std::string_view name = line.substr(0, line.find(':'));
    const std::size_t star = line.find('*');
    std::uint64_t count = 0;
    if (star == std::string_view::npos ||
        std::from_chars(line.data() + star + 1, line.data() + line.size(), count).ec != std::errc())
      return "the array " + std::string(name) + " of animation curve " + curve.id + " gives no count";
    const std::size_t open = text.find('{', at), close = open == std::string_view::npos ? open : text.find('}', open);
    if (close == std::string_view::npos)
      return "the array " + std::string(name) + " of animation curve " + curve.id + " has no end";
    std::string_view body = text.substr(open + 1, close - open - 1);
    const std::size_t a = body.find("a:");
    body.remove_prefix(a == std::string_view::npos ? body.size() : a + 2);
    std::vector<double>& into = times ? curve.times : curve.values;
    (times ? curve.hasTimes : curve.hasValues) = true;
    into.clear();
    while (!body.empty() && std::strchr(" \t\r\n", body.back())) body.remove_suffix(1);
    for (std::size_t p = 0; p < body.size();) {
      const std::size_t comma = std::min(body.find(',', p), body.size());
      std::string_view number = body.substr(p, comma - p);
      while (!number.empty() && std::strchr(" \t\r\n", number.front())) number.remove_prefix(1);
      while (!number.empty() && std::strchr(" \t\r\n", number.back())) number.remove_suffix(1);
      double value = 0;
      const auto parsed = std::from_chars(number.data(), number.data() + number.size(), value);
      if (number.empty() || parsed.ptr != number.data() + number.size())
        return "the array " + std::string(name) + " of animation curve " + curve.id + " holds \"" +
               std::string(number.substr(0, 40)) + "\", which is not a number";
      into.push_back(parsed.ec == std::errc::result_out_of_range ? INFINITY : value);
      p = comma + 1;
    }
    if (into.size() != count)
      return "the array " + std::string(name) + " of animation curve " + curve.id + " gives " + std::to_string(count) +
             " values and holds " + std::to_string(into.size());
    at = close + 1;
  }
  return inCurve ? CheckCurve(curve) : std::string();
}

std::string CheckCurves(std::string_view bytes) {
  if (bytes.starts_with("Kaydara FBX Binary")) return Binary(bytes).Check();
  return CheckAscii(bytes);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace norvo::retarget;
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: norvo-fbx-read FILE [--animation A] [--fps N] [--memory BYTES] [--seconds S] [--watch FD]\n");
    return 64;
  }
  fbx::Request request;
  unsigned long long memory = 0, seconds = 0;
  int watch = -1;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--animation") request.animation = argv[i + 1];
    else if (option == "--fps") request.fps = std::strtod(argv[i + 1], nullptr);
    else if (option == "--memory") memory = std::strtoull(argv[i + 1], nullptr, 10);
    else if (option == "--seconds") seconds = std::strtoull(argv[i + 1], nullptr, 10);
    else if (option == "--watch") watch = std::atoi(argv[i + 1]);
  }
  if (watch >= 0 && !EndWithWriter(watch)) return 1;
  // Tests that stop the tool while its reader is at work hold the reader
  // here, where it is at work as far as the tool can tell.
  if (const char* hold = std::getenv("NORVO_FBX_READ_TEST_HOLD")) ::sleep(unsigned(std::clamp(std::atoi(hold), 0, 60)));
    // A sanitizer's shadow memory takes more address space than any limit.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  if (memory > 0) Limit(RLIMIT_AS, memory);
#endif
  if (seconds > 0) Limit(RLIMIT_CPU, seconds);
  std::string out;
  try {
    std::ifstream in(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    {
#if defined(__SANITIZE_ADDRESS__)
      // assimp leaves a damaged compressed array's inflate state behind;
      // the process ends right after, and what leaks is assimp's alone.
      __lsan::ScopedDisabler assimpLeaks;
#endif
      out = fbx::Convert(bytes, request);
    }
    // What assimp read is kept only when the file's curves hold what it
    // says; its own refusal, if any, is told first.
    if (out.size() > 8 && out[8] == char(fbxwire::kRead))
      if (const std::string fault = CheckCurves(bytes); !fault.empty()) out = Answer(kBadInput, fault);
  } catch (const std::bad_alloc&) {
    out =
        Answer(kBadInput, "the file needs more memory to read than the limit of " + std::to_string(memory) + " bytes");
  }
  return WriteAll(out) ? 0 : 1;
}
