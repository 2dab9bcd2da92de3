#include "norvo/retarget/io/gltf.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>

#include "humanoid.h"
#include "jsontext.h"
#include "trs.h"
#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/rig/rig.h"
#include "norvo/retarget/base/textfile.h"

// tinygltf parses, and nothing more: no image decoder is built, no file is
// opened but through the callbacks below, and its JSON is RapidJSON with the
// C allocator, whose documents free without allocating. RapidJSON makes its
// allocator objects with the C allocator too: it does not expect a throwing
// operator new in the middle of a parse.
namespace norvo::retarget::rapidjson_memory {
template <class T>
T* Make() {
  void* block = std::malloc(sizeof(T));
  if (!block) throw std::bad_alloc();
  return new (block) T();
}
template <class T>
void Free(T* object) noexcept {
  if (!object) return;
  object->~T();
  std::free(object);
}
}  // namespace norvo::retarget::rapidjson_memory
#define RAPIDJSON_NEW(x) ::norvo::retarget::rapidjson_memory::Make<decltype(x)>()
#define RAPIDJSON_DELETE(x) ::norvo::retarget::rapidjson_memory::Free(x)
#define TINYGLTF_IMPLEMENTATION
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#define TINYGLTF_NO_FS
#define TINYGLTF_USE_RAPIDJSON
#define TINYGLTF_USE_RAPIDJSON_CRTALLOCATOR
#define TINYGLTF_NO_INCLUDE_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/rapidjson.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <tiny_gltf.h>

namespace norvo::retarget {

namespace {

namespace fs = std::filesystem;
using json = jsontext::Value;

constexpr std::uint32_t kGlbMagic = 0x46546C67;  // "glTF"
constexpr std::uint32_t kJsonChunk = 0x4E4F534A, kBinChunk = 0x004E4942;

std::uint32_t Word(std::string_view bytes, std::size_t at) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

std::string Number(std::uint64_t n) { return std::to_string(n); }

// --- Before tinygltf: the GLB chunks and the JSON -------------------------

// Where the JSON and the BIN chunk of a GLB lie; the JSON is all of a .gltf.
struct Layout {
  bool binary = false;
  std::string_view json;
};

Outcome<Layout> Chunks(std::string_view bytes, const std::string& file) {
  auto bad = [&](const std::string& message) { return MakeFailure(FailureKind::BadInput, message, file); };
  if (bytes.size() < 4 || Word(bytes, 0) != kGlbMagic) return Layout{false, bytes};
  if (bytes.size() < 20) return bad("the GLB header is cut short");
  if (Word(bytes, 4) != 2) return bad("the GLB is version " + Number(Word(bytes, 4)) + "; version 2 is read");
  if (Word(bytes, 8) != bytes.size())
    return bad("the GLB header gives a length of " + Number(Word(bytes, 8)) + " bytes, the file has " +
               Number(bytes.size()));
  const std::uint64_t jsonLength = Word(bytes, 12);
  if (Word(bytes, 16) != kJsonChunk) return bad("the GLB's first chunk is not JSON");
  if (jsonLength == 0 || 20 + jsonLength > bytes.size())
    return bad("the GLB's JSON chunk runs past the end of the file");
  const std::uint64_t bin = 20 + jsonLength;
  if (bin < bytes.size()) {
    // tinygltf takes a second chunk as the BIN chunk, 4 bytes at least.
    if (bin + 12 > bytes.size()) return bad("the GLB's second chunk is cut short");
    const std::uint64_t binLength = Word(bytes, std::size_t(bin));
    if (Word(bytes, std::size_t(bin) + 4) != kBinChunk) return bad("the GLB's second chunk is not BIN");
    if (binLength < 4 || binLength % 4 != 0 || bin + 8 + binLength > bytes.size())
      return bad("the GLB's BIN chunk runs past the end of the file or is not padded to 4 bytes");
  }
  return Layout{true, bytes.substr(20, std::size_t(jsonLength))};
}

// The text of a URI as tinygltf opens it: %XX decoded.
std::string Decoded(const std::string& uri) {
  std::string out;
  for (std::size_t i = 0; i < uri.size(); ++i) {
    auto hex = [](char c) {
      return c >= '0' && c <= '9'   ? c - '0'
             : c >= 'a' && c <= 'f' ? c - 'a' + 10
             : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                    : -1;
    };
    if (uri[i] == '%' && i + 2 < uri.size() && hex(uri[i + 1]) >= 0 && hex(uri[i + 2]) >= 0) {
      out += char(hex(uri[i + 1]) * 16 + hex(uri[i + 2]));
      i += 2;
    } else {
      out += uri[i];
    }
  }
  return out;
}

// Whether a file URI stays in the file's folder: relative, without "..".
bool StaysInFolder(const std::string& uri) {
  for (const std::string& text : {uri, Decoded(uri)}) {
    if (text.empty() || text[0] == '/' || text[0] == '\\' || text.find(':') != std::string::npos) return false;
    if (text.find('\0') != std::string::npos) return false;
    std::size_t from = 0;
    while (from <= text.size()) {
      const std::size_t end = std::min(text.find_first_of("/\\", from), text.size());
      if (text.compare(from, end - from, "..") == 0) return false;
      from = end + 1;
    }
  }
  return true;
}

const json* Member(const json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

// A whole number >= 0 of a JSON value, or -1.
std::int64_t Index(const json* value) {
  if (!value || !value->is_number_integer()) return -1;
  if (value->is_number_unsigned())
    return value->get<std::uint64_t>() > std::uint64_t(1) << 62 ? -1 : std::int64_t(value->get<std::uint64_t>());
  return std::max<std::int64_t>(value->get<std::int64_t>(), -1);
}

// The whole-number members that are read: tinygltf takes a fraction, a
// negative number or an index past an int as another number or as none,
// so each must be a JSON integer of 0 or more (an index: up to INT_MAX).
// A member is named by its path below an element of `list` ("*": every
// element of an array there); a missing member is left to tinygltf.
struct WholeMember {
  const char* list;
  const char* path[4];
  bool index;
};
constexpr WholeMember kWholeMembers[] = {
    {"scenes", {"nodes", "*"}, true},
    {"nodes", {"children", "*"}, true},
    {"skins", {"joints", "*"}, true},
    {"animations", {"channels", "*", "sampler"}, true},
    {"animations", {"channels", "*", "target", "node"}, true},
    {"animations", {"samplers", "*", "input"}, true},
    {"animations", {"samplers", "*", "output"}, true},
    {"accessors", {"bufferView"}, true},
    {"accessors", {"componentType"}, true},
    {"accessors", {"byteOffset"}, false},
    {"accessors", {"count"}, false},
    {"bufferViews", {"buffer"}, true},
    {"bufferViews", {"byteOffset"}, false},
    {"bufferViews", {"byteLength"}, false},
    {"bufferViews", {"byteStride"}, false},
    {"bufferViews", {"extensions", "EXT_meshopt_compression", "buffer"}, true},
    {"bufferViews", {"extensions", "EXT_meshopt_compression", "byteOffset"}, false},
    {"buffers", {"byteLength"}, false},
    {"images", {"bufferView"}, true},
};

// The name of an element of a top-level list in messages.
std::string ElementName(std::string_view list) {
  if (list == "bufferViews") return "buffer view";
  return std::string(list.substr(0, list.size() - 1));
}

// Checks the members of `value` at `path` (see WholeMember); `name` says
// where `value` is, for the message.
Outcome<void> CheckWhole(const json& value, std::span<const char* const> path, bool index, const std::string& name,
                         const std::string& file) {
  if (path.empty()) {
    const std::uint64_t limit = index ? std::uint64_t(std::numeric_limits<int>::max())
                                      : std::numeric_limits<std::uint64_t>::max();
    if (value.is_number_unsigned() && value.get<std::uint64_t>() <= limit) return {};
    return MakeFailure(
        FailureKind::BadInput,
        name + (index ? " is not a whole number from 0 to 2147483647" : " is not a whole number of 0 or more"), file);
  }
  if (std::strcmp(path[0], "*") == 0) {
    if (!value.is_array()) return {};
    for (std::size_t i = 0; i < value.size(); ++i)
      RETARGET_TRY(CheckWhole(value[i], path.subspan(1), index, name + "[" + std::to_string(i) + "]", file));
    return {};
  }
  const json* member = Member(value, path[0]);
  if (!member) return {};
  return CheckWhole(*member, path.subspan(1), index, name + (name.ends_with("'s") ? " " : ".") + path[0], file);
}

// Extensions whose data the reader would have to decode to read the
// skeleton or the animation.
constexpr const char* kUndecodedExtensions[] = {"EXT_meshopt_compression", "KHR_meshopt_compression"};

Outcome<void> CheckMembers(const json& root, const std::string& file) {
  if (const json* required = Member(root, "extensionsRequired"); required && required->is_array())
    for (const json& name : *required)
      for (const char* undecoded : kUndecodedExtensions)
        if (name.is_string() && name.get_ref<const std::string&>() == undecoded)
          return MakeFailure(FailureKind::BadInput,
                             std::string("the file uses ") + undecoded + ", which this tool cannot decode", file);
  if (const json* scene = Member(root, "scene")) RETARGET_TRY(CheckWhole(*scene, {}, true, "the default scene", file));
  for (const WholeMember& rule : kWholeMembers) {
    const json* list = Member(root, rule.list);
    if (!list || !list->is_array()) continue;
    const std::span<const char* const> path(
        rule.path, std::size_t(std::find(std::begin(rule.path), std::end(rule.path), nullptr) - rule.path));
    for (std::size_t i = 0; i < list->size(); ++i)
      RETARGET_TRY(
          CheckWhole((*list)[i], path, rule.index, ElementName(rule.list) + " " + std::to_string(i) + "'s", file));
  }
  return {};
}

// What tinygltf would do unsafely is refused here first: JSON nested past
// the limit (its parse and its values recurse), file URIs that leave the
// folder, and images whose buffer view runs past its buffer (it hands the
// image loader a pointer into the buffer without checking); and what it
// would read wrongly: whole-number members that are not, and extensions
// the reader cannot decode that the file requires.
Outcome<void> CheckJson(std::string_view text, const std::string& file, const GltfLimits& limits,
                        json* keep = nullptr) {
  auto bad = [&](const std::string& message) { return MakeFailure(FailureKind::BadInput, message, file); };
  jsontext::Builder parsed(jsontext::Builder::Duplicates::kKeepLast);
  jsontext::ParseFault fault;
  if (!jsontext::Parse(text, parsed, fault, std::size_t(std::max<std::int64_t>(limits.depth, 1)))) {
    if (fault.kind == jsontext::ParseFault::Kind::kTooDeep)
      return bad("the JSON nests deeper than the limit of " + std::to_string(limits.depth));
    return bad("the JSON is malformed at byte " + std::to_string(fault.byte));
  }
  const json& root = parsed.Get();
  if (!root.is_object()) return bad("the JSON is not an object");
  RETARGET_TRY(CheckMembers(root, file));
  for (const char* list : {"buffers", "images"}) {
    const json* items = Member(root, list);
    if (!items || !items->is_array()) continue;
    for (std::size_t i = 0; i < items->size(); ++i) {
      const json* uri = Member((*items)[i], "uri");
      if (!uri || !uri->is_string()) continue;
      const std::string& text = uri->get_ref<const std::string&>();
      if (text.starts_with("data:")) continue;
      if (!StaysInFolder(text))
        return bad(std::string(list).substr(0, std::strlen(list) - 1) + " " + std::to_string(i) +
                   "'s URI leaves the file's folder: " + text);
    }
  }
  const json* images = Member(root, "images");
  const json* views = Member(root, "bufferViews");
  const json* buffers = Member(root, "buffers");
  if (images && images->is_array()) {
    for (std::size_t i = 0; i < images->size(); ++i) {
      const json* view = Member((*images)[i], "bufferView");
      if (!view) continue;
      const std::int64_t v = Index(view);
      const json* viewObject =
          views && views->is_array() && v >= 0 && std::size_t(v) < views->size() ? &(*views)[std::size_t(v)] : nullptr;
      const std::int64_t b = viewObject ? Index(Member(*viewObject, "buffer")) : -1;
      const json* buffer = buffers && buffers->is_array() && b >= 0 && std::size_t(b) < buffers->size()
                               ? &(*buffers)[std::size_t(b)]
                               : nullptr;
      const json* offsetValue = viewObject ? Member(*viewObject, "byteOffset") : nullptr;
      const std::int64_t offset = offsetValue ? Index(offsetValue) : 0;
      const std::int64_t length = viewObject ? Index(Member(*viewObject, "byteLength")) : -1;
      const std::int64_t size = buffer ? Index(Member(*buffer, "byteLength")) : -1;
      if (offset < 0 || length < 0 || size < 0 || offset > size || length > size - offset)
        return bad("image " + std::to_string(i) + "'s buffer view does not lie within a buffer");
    }
  }
  if (keep) *keep = std::move(parsed.Get());
  return {};
}

// --- tinygltf's file access -------------------------------------------------

struct Files {
  std::string folder;   // with a '/' at its end; empty: no file is read
  fs::path realFolder;  // the folder with its links followed; empty: not there
  std::int64_t maxBytes = 0;
  std::string problem;                              // the first file that could not be read, and why
  std::vector<std::vector<unsigned char>> inlined;  // buffers of data URIs, decoded (InlineDataUris)
};

// A buffer's data URI is decoded once, here, straight from the file's
// text, rather than by tinygltf, whose JSON document and buffer would each
// hold another copy of its text while it decodes it through a string of its
// own: five times the file at its peak. In the text handed on, the URI
// becomes the name of a file no other URI names, whose bytes are the
// decoded ones: tinygltf reads it through the file access below, and the
// JSON kept for a copy of the model leaves the text out. It starts with
// "data:" and is no data URI tinygltf knows, so it is neither checked as a
// file in the folder nor decoded.
constexpr std::string_view kInlined = "data:norvo-decoded,";

struct Inlining {
  std::string json;  // the text with each such URI replaced; empty: none is
  std::vector<std::vector<unsigned char>> buffers;
};

// Base64 decoded as tinygltf does: up to the first byte that is not base64.
std::vector<unsigned char> Base64(std::string_view text) {
  std::vector<unsigned char> bytes;
  bytes.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const int value = c >= 'A' && c <= 'Z'   ? c - 'A'
                      : c >= 'a' && c <= 'z' ? c - 'a' + 26
                      : c >= '0' && c <= '9' ? c - '0' + 52
                      : c == '+'             ? 62
                      : c == '/'             ? 63
                                             : -1;
    if (value < 0) break;
    bits = bits << 6 | std::uint32_t(value);
    if (++count == 4) {
      bytes.insert(bytes.end(), {(unsigned char)(bits >> 16), (unsigned char)(bits >> 8), (unsigned char)bits});
      bits = 0;
      count = 0;
    }
  }
  if (count > 1) {
    bits <<= 6 * (4 - count);
    bytes.push_back((unsigned char)(bits >> 16));
    if (count == 3) bytes.push_back((unsigned char)(bits >> 8));
  }
  return bytes;
}

// Every JSON string in the text that is a buffer data URI without escapes.
// Where one lies (a buffer's "uri", or some other string) is told by
// TakesInlining once the new text is parsed.
Inlining InlineDataUris(std::string_view text) {
  Inlining out;
  std::size_t copied = 0;
  for (std::size_t at = text.find("\"data:"); at != std::string_view::npos; at = text.find("\"data:", at + 1)) {
    const std::string_view uri = text.substr(at + 1);
    std::size_t from = 0;
    for (std::string_view header : {"data:application/octet-stream;base64,", "data:application/gltf-buffer;base64,"})
      if (uri.starts_with(header)) from = header.size();
    const std::size_t end = from == 0 ? std::string_view::npos : uri.find_first_of("\"\\", from);
    if (end == std::string_view::npos || uri[end] != '"') continue;
    out.json.append(text.substr(copied, at + 1 - copied));
    out.json.append(kInlined);
    out.json.append(std::to_string(out.buffers.size()));
    out.buffers.push_back(Base64(uri.substr(from, end - from)));
    copied = at + 1 + end;
    at = copied;
  }
  if (!out.buffers.empty()) out.json.append(text.substr(copied));
  return out;
}

// Whether each decoded URI is the "uri" of a buffer, once and nowhere else,
// and decodes to its byteLength. Otherwise tinygltf is given the file as it
// is, and decodes it and fails as it does.
bool TakesInlining(const json& root, const Inlining& inlining) {
  std::size_t named = 0;
  for (std::size_t at = inlining.json.find(kInlined); at != std::string::npos;
       at = inlining.json.find(kInlined, at + 1))
    ++named;
  if (named != inlining.buffers.size() || !root.contains("buffers") || !root["buffers"].is_array()) return false;
  std::vector<bool> found(inlining.buffers.size(), false);
  for (const json& buffer : root["buffers"]) {
    if (!buffer.is_object() || !buffer.contains("uri") || !buffer["uri"].is_string()) continue;
    const std::string& uri = buffer["uri"].get_ref<const std::string&>();
    if (!uri.starts_with(kInlined)) continue;
    std::size_t index = 0;
    const auto read = std::from_chars(uri.data() + kInlined.size(), uri.data() + uri.size(), index);
    if (read.ec != std::errc() || read.ptr != uri.data() + uri.size() || index >= found.size() || found[index])
      return false;
    const json* length = buffer.contains("byteLength") ? &buffer["byteLength"] : nullptr;
    if (!length || !length->is_number_unsigned() || inlining.buffers[index].empty() ||
        length->get<std::uint64_t>() != inlining.buffers[index].size())
      return false;
    found[index] = true;
  }
  return std::all_of(found.begin(), found.end(), [](bool f) { return f; });
}

// The buffer decoded for a path tinygltf makes of such a name, or none.
std::vector<unsigned char>* Inlined(Files& files, const std::string& path) {
  const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
  if (!name.starts_with(kInlined)) return nullptr;
  std::size_t index = 0;
  const auto read = std::from_chars(name.data() + kInlined.size(), name.data() + name.size(), index);
  return read.ec == std::errc() && read.ptr == name.data() + name.size() && index < files.inlined.size()
             ? &files.inlined[index]
             : nullptr;
}

bool Inside(const Files& files, const std::string& path) {
  return !files.folder.empty() && path.starts_with(files.folder) && StaysInFolder(path.substr(files.folder.size()));
}

// Where a file named by a URI really is once its links (and those of the
// folders on its way) are followed: it must be a regular file below the
// real folder of the glTF file, or a link could hand out any file.
enum class Place : std::uint8_t { Missing, Outside, Within };
Place Locate(const Files& files, const std::string& path, fs::path& real) {
  std::error_code error;
  if (files.realFolder.empty() || !Inside(files, path)) return Place::Missing;
  real = fs::canonical(path, error);
  if (error || !fs::is_regular_file(real, error) || error) return Place::Missing;
  auto at = real.begin();
  for (const fs::path& step : files.realFolder)
    if (at == real.end() || *at++ != step) return Place::Outside;
  return at == real.end() ? Place::Outside : Place::Within;
}

std::string PlaceProblem(Place place, const char* what, const std::string& path) {
  return place == Place::Outside
             ? std::string("the ") + what + " " + path + " leads out of the file's folder through a link"
             : std::string("the ") + what + " " + path + " is not there";
}

bool FileExists(const std::string& path, void* user) {
  Files& files = *static_cast<Files*>(user);
  if (Inlined(files, path)) return true;
  fs::path real;
  const Place place = Locate(files, path, real);
  if (place == Place::Within) return true;
  if (files.problem.empty())
    files.problem = files.folder.empty()   ? "a buffer is in a file, and no folder was given to read it from"
                    : path == files.folder ? "a buffer has no URI, and no binary chunk holds it"
                                           : PlaceProblem(place, "buffer file", path);
  return false;
}

std::string ExpandFilePath(const std::string& path, void*) { return path; }

bool ReadWholeFile(std::vector<unsigned char>* out, std::string* err, const std::string& path, void* user) {
  Files& files = *static_cast<Files*>(user);
  if (std::vector<unsigned char>* bytes = Inlined(files, path)) {
    out->swap(*bytes);
    std::vector<unsigned char>().swap(*bytes);
    return true;
  }
  fs::path real;
  if (Locate(files, path, real) != Place::Within) return false;
  Outcome<std::string> bytes = ReadFileBytes(real.string(), files.maxBytes, "buffer file");
  if (!bytes) {
    if (bytes.failure().kind == FailureKind::OutOfMemory) throw std::bad_alloc();
    if (files.problem.empty()) {
      Failure failure = bytes.failure();
      failure.file = path;  // as the file names it
      files.problem = failure.Text();
    }
    if (err) *err = files.problem;
    return false;
  }
  out->assign(bytes.value().begin(), bytes.value().end());
  return true;
}

bool WriteWholeFile(std::string*, const std::string&, const std::vector<unsigned char>&, void*) { return false; }

// Images are never decoded: tinygltf hands over those in buffers and data
// URIs, which stay where they are; those in files are read by ReadImages.
bool KeepImage(tinygltf::Image*, const int, std::string*, std::string*, int, int, const unsigned char*, int, void*) {
  return true;
}

// The bytes of each image in a file beside the glTF file (empty for the
// others), read as buffer files are, for a copy of the model (gltf.h).
Outcome<std::vector<std::string>> ReadImages(const tinygltf::Model& model, const Files& files,
                                             const std::string& file) {
  std::vector<std::string> images(model.images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::string& uri = model.images[i].uri;  // set for a file only
    if (uri.empty()) continue;
    auto bad = [&](const std::string& message) { return MakeFailure(FailureKind::BadInput, message, file); };
    if (files.folder.empty()) return bad("an image is in a file, and no folder was given to read it from");
    const std::string path = files.folder + Decoded(uri);
    fs::path real;
    const Place place = Locate(files, path, real);
    if (place != Place::Within) return bad(PlaceProblem(place, "image file", path));
    Outcome<std::string> bytes = ReadFileBytes(real.string(), files.maxBytes, "image file");
    if (!bytes) {
      if (bytes.failure().kind == FailureKind::OutOfMemory) return std::move(bytes).failure();
      Failure failure = std::move(bytes).failure();
      failure.file = path;
      return bad(failure.Text());
    }
    if (bytes.value().empty()) return bad("the image file " + path + " is empty");
    images[i] = std::move(bytes).value();
  }
  return images;
}

// --- The model ----------------------------------------------------------------

// A channel of the animation, read and checked.
struct Track {
  int node = -1;
  int path = 0;  // 0 translation, 1 rotation, 2 scale
  enum class Kind : std::uint8_t { Linear, Step, Cubic } kind = Kind::Linear;
  std::vector<double> times, values;  // values: 3 or 4 per key (times 3 for a cubic spline)
};

using humanoid::PartOfBone;

class Reader {
 public:
  Reader(const tinygltf::Model& model, const std::string& file, const ReadOptions& options, const GltfLimits& limits)
      : m_(model), file_(file), options_(options), limits_(limits) {}

  Outcome<Asset> Read() {
    if (std::int64_t(m_.nodes.size()) > limits_.nodes)
      return Bad("the file has " + std::to_string(m_.nodes.size()) + " nodes, more than the limit of " +
                 std::to_string(limits_.nodes));
    RETARGET_TRY(Tree());
    RETARGET_TRY(Humanoid());
    RETARGET_TRY(Joints());
    RETARGET_TRY(MakeSkeleton());
    RETARGET_TRY(ReadAnimation());
    RETARGET_TRY(HumanoidRig());
    return std::move(asset_);
  }

 private:
  Failure Bad(const std::string& message) const { return MakeFailure(FailureKind::BadInput, message, file_); }
  std::string NodeText(std::int64_t n) const { return "node " + std::to_string(n); }

  // Parents, cycles, the scene, and every node's rest.
  Outcome<void> Tree() {
    const std::size_t n = m_.nodes.size();
    parent_.assign(n, -1);
    for (std::size_t i = 0; i < n; ++i)
      for (int c : m_.nodes[i].children) {
        if (c < 0 || std::size_t(c) >= n)
          return Bad(NodeText(std::int64_t(i)) + " lists child " + std::to_string(c) + ", which the file has not");
        if (std::size_t(c) == i) return Bad("the node tree has a cycle through " + NodeText(c));
        if (parent_[std::size_t(c)] >= 0) return Bad(NodeText(c) + " is the child of more than one node");
        parent_[std::size_t(c)] = int(i);
      }
    // From the roots down: a node not reached hangs in a cycle.
    order_.clear();
    std::vector<int> stack;
    for (std::size_t i = n; i-- > 0;)
      if (parent_[i] < 0) stack.push_back(int(i));
    std::vector<bool> reached(n, false);
    while (!stack.empty()) {
      const int at = stack.back();
      stack.pop_back();
      reached[std::size_t(at)] = true;
      order_.push_back(at);
      const std::vector<int>& children = m_.nodes[std::size_t(at)].children;
      for (auto c = children.rbegin(); c != children.rend(); ++c) stack.push_back(*c);
    }
    for (std::size_t i = 0; i < n; ++i)
      if (!reached[i]) return Bad("the node tree has a cycle through " + NodeText(std::int64_t(i)));
    // The scene: the default one, else the first; without one, every root.
    inScene_.assign(n, m_.scenes.empty());
    const int scene = m_.defaultScene >= 0 ? m_.defaultScene : m_.scenes.empty() ? -1 : 0;
    if (scene >= int(m_.scenes.size()))
      return Bad("the default scene " + std::to_string(scene) + " is not in the file");
    if (scene >= 0) {
      for (int root : m_.scenes[std::size_t(scene)].nodes) {
        if (root < 0 || std::size_t(root) >= n || parent_[std::size_t(root)] >= 0)
          return Bad("scene " + std::to_string(scene) + " lists " + NodeText(root) + ", which is not a root node");
        inScene_[std::size_t(root)] = true;
      }
      for (int at : order_)
        if (parent_[std::size_t(at)] >= 0 && inScene_[std::size_t(parent_[std::size_t(at)])])
          inScene_[std::size_t(at)] = true;
    }
    rest_.resize(n);
    for (std::size_t i = 0; i < n; ++i) RETARGET_TRY(RestOfNode(i));
    return {};
  }

  Outcome<void> RestOfNode(std::size_t i) {
    const tinygltf::Node& node = m_.nodes[i];
    const std::string what = NodeText(std::int64_t(i));
    auto finite = [](const std::vector<double>& v) {
      return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
    };
    if (!finite(node.matrix) || !finite(node.translation) || !finite(node.rotation) || !finite(node.scale))
      return Bad(what + " has a value that is not finite");
    // Its values go into the floats of a glTF copy (and its accessors).
    auto fits = [](const std::vector<double>& v) {
      return std::all_of(v.begin(), v.end(), [](double x) { return std::abs(x) <= std::numeric_limits<float>::max(); });
    };
    if (!fits(node.matrix) || !fits(node.translation) || !fits(node.rotation) || !fits(node.scale))
      return Bad(what + " has a value too large for a 32-bit float");
    Trs& trs = rest_[i];
    if (!node.matrix.empty()) {
      if (node.matrix.size() != 16) return Bad(what + "'s matrix is not 16 numbers");
      const std::vector<double>& a = node.matrix;
      matrix_.resize(m_.nodes.size());
      hasMatrix_.resize(m_.nodes.size(), false);
      matrix_[i] = {{a[12], a[13], a[14]}, {a[0], a[1], a[2]}, {a[4], a[5], a[6]}, {a[8], a[9], a[10]}};
      hasMatrix_[i] = true;
      return {};
    }
    if (!node.translation.empty()) {
      if (node.translation.size() != 3) return Bad(what + "'s translation is not 3 numbers");
      trs.t = {node.translation[0], node.translation[1], node.translation[2]};
    }
    if (!node.scale.empty()) {
      if (node.scale.size() != 3) return Bad(what + "'s scale is not 3 numbers");
      trs.s = {node.scale[0], node.scale[1], node.scale[2]};
    }
    if (!node.rotation.empty()) {
      if (node.rotation.size() != 4) return Bad(what + "'s rotation is not 4 numbers");
      for (int k = 0; k < 4; ++k) trs.q[k] = node.rotation[std::size_t(k)];
      if (!Normalize(trs.q)) return Bad(what + "'s rotation is not a quaternion of unit length");
    }
    return {};
  }

  static bool Normalize(double q[4]) noexcept {
    const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(length > 1e-6) || !std::isfinite(length)) return false;
    for (int k = 0; k < 4; ++k) q[k] /= length;
    return true;
  }

  bool IsMatrix(std::size_t i) const { return i < hasMatrix_.size() && hasMatrix_[i]; }

  // The humanoid table: VRM 1.0, VRM 0.x or a VRM animation's.
  Outcome<void> Humanoid() {
    const tinygltf::Value* table = nullptr;
    bool list = false;
    for (const char* name : {"VRMC_vrm", "VRMC_vrm_animation", "VRM"}) {
      auto found = m_.extensions.find(name);
      if (found == m_.extensions.end()) continue;
      const tinygltf::Value& extension = found->second;
      list = std::strcmp(name, "VRM") == 0;
      asset_.motion.skeleton.format.facing = list ? Facing::MinusZ : Facing::PlusZ;
      const tinygltf::Value* humanoid = extension.IsObject() ? &extension.Get("humanoid") : nullptr;
      table = humanoid && humanoid->IsObject() ? &humanoid->Get("humanBones") : nullptr;
      if (!table || !(list ? table->IsArray() : table->IsObject()))
        return Bad(std::string("the ") + name + " extension has no humanoid table of human bones");
      break;
    }
    if (!table) return {};
    humanoid_.resize(StandardBodyParts().size());
    auto take = [&](const std::string& bone, const tinygltf::Value& node) -> Outcome<void> {
      const double index = node.IsNumber() ? node.GetNumberAsDouble() : -1.0;
      if (!(index >= 0 && index < double(m_.nodes.size()) && index == std::floor(index)))
        return Bad("the humanoid table gives " + bone + " no node of the file");
      if (bone == "hips") hips_ = int(index);
      const int part = PartOfBone(bone);
      if (part >= 0) humanoid_[std::size_t(part)].push_back(int(index));
      return {};
    };
    if (list) {
      for (std::size_t i = 0; i < table->ArrayLen(); ++i) {
        const tinygltf::Value& entry = table->Get(int(i));
        if (!entry.IsObject() || !entry.Get("bone").IsString())
          return Bad("the humanoid table's entry " + std::to_string(i) + " names no bone");
        RETARGET_TRY(take(entry.Get("bone").Get<std::string>(), entry.Get("node")));
      }
    } else {
      for (const std::string& bone : table->Keys()) {
        const tinygltf::Value& entry = table->Get(bone);
        RETARGET_TRY(take(bone, entry.IsObject() ? entry.Get("node") : tinygltf::Value()));
      }
    }
    hasHumanoid_ = true;
    return {};
  }

  // Which nodes are joints.
  Outcome<void> Joints() {
    const std::size_t n = m_.nodes.size();
    isJoint_.assign(n, false);
    const std::int64_t chosen = options_.skin;
    if (chosen >= std::int64_t(m_.skins.size()) || chosen < -1)
      return MakeFailure(FailureKind::Usage,
                         "--skin " + std::to_string(chosen) + " is not a skin of the file, which has " +
                             std::to_string(m_.skins.size()) + " (counted from 0)",
                         file_);
    if (chosen >= 0 || (!m_.skins.empty() && hips_ < 0)) {
      const std::size_t s = std::size_t(std::max<std::int64_t>(chosen, 0));
      for (int j : m_.skins[s].joints) {
        if (j < 0 || std::size_t(j) >= n)
          return Bad("skin " + std::to_string(s) + " lists " + NodeText(j) + ", which the file has not");
        if (!inScene_[std::size_t(j)])
          return Bad("skin " + std::to_string(s) + " lists " + NodeText(j) + ", which is not in the scene");
        if (isJoint_[std::size_t(j)]) return Bad("skin " + std::to_string(s) + " lists " + NodeText(j) + " twice");
        isJoint_[std::size_t(j)] = true;
      }
    } else if (hips_ >= 0) {
      if (!inScene_[std::size_t(hips_)])
        return Bad("the humanoid table's hips, " + NodeText(hips_) + ", are not in the scene");
      for (int at : order_)
        isJoint_[std::size_t(at)] = at == hips_ ||
                                    (parent_[std::size_t(at)] >= 0 && isJoint_[std::size_t(parent_[std::size_t(at)])]);
    } else {
      for (std::size_t i = 0; i < n; ++i) isJoint_[i] = inScene_[i];
    }
    // One root: the nearest node above every top joint joins the joints.
    std::vector<int> depth(n, 0);
    for (int at : order_)
      if (parent_[std::size_t(at)] >= 0) depth[std::size_t(at)] = depth[std::size_t(parent_[std::size_t(at)])] + 1;
    int common = -2;  // -2: no top joint yet; -1: none in common
    for (int at : order_) {
      if (!isJoint_[std::size_t(at)] || JointAbove(at) >= 0) continue;
      if (common == -2) {
        common = at;
        continue;
      }
      int a = common, b = at;
      while (a >= 0 && b >= 0 && a != b) {
        if (depth[std::size_t(a)] >= depth[std::size_t(b)]) a = parent_[std::size_t(a)];
        else b = parent_[std::size_t(b)];
      }
      common = a >= 0 && a == b ? a : -1;
      if (common < 0) break;
    }
    if (common == -2) return Bad("the file has no nodes to make a skeleton of");
    if (common >= 0) isJoint_[std::size_t(common)] = true;
    else addedRoot_ = true;
    return {};
  }

  // The nearest joint above a node, or -1.
  int JointAbove(int node) const {
    for (int at = parent_[std::size_t(node)]; at >= 0; at = parent_[std::size_t(at)])
      if (isJoint_[std::size_t(at)]) return at;
    return -1;
  }

  Outcome<void> MakeSkeleton() {
    const std::size_t n = m_.nodes.size();
    jointOf_.assign(n, -1);
    used_.assign(n, false);
    JointNames names;
    auto name = [&](std::string text, std::int64_t node) {
      return names.Take(std::move(text), node < 0 ? "root" : "node" + std::to_string(node));
    };
    Motion& motion = asset_.motion;
    if (addedRoot_) {
      motion.skeleton.joints.emplace_back();
      motion.skeleton.joints.back().name = name("root", -1);
    }
    for (int at : order_) {
      if (!isJoint_[std::size_t(at)]) continue;
      const int above = JointAbove(at);
      jointOf_[std::size_t(at)] = int(motion.skeleton.joints.size());
      Joint joint;
      joint.parent = above >= 0 ? jointOf_[std::size_t(above)] : addedRoot_ ? 0 : -1;
      joint.name = name(m_.nodes[std::size_t(at)].name, at);
      const auto rest = [&](int node) { return RestLocal(node); };
      joint.format.fold = FoldAbove(at, rest);
      joint.rest = Multiply(joint.format.fold, rest(at));
      joint.format.node = at;
      motion.skeleton.joints.push_back(std::move(joint));
      joints_.push_back(at);
      for (int up = at; up >= 0 && !used_[std::size_t(up)]; up = parent_[std::size_t(up)])
        used_[std::size_t(up)] = true;
    }
    for (bool u : used_) usedCount_ += u;
    return {};
  }

  Matrix RestLocal(int node) const {
    return IsMatrix(std::size_t(node)) ? matrix_[std::size_t(node)] : FromTrs(rest_[std::size_t(node)]);
  }

  // A joint's local matrix: the nodes between it and its parent joint (or
  // the top), then its own.
  template <class Local>
  Matrix FoldedLocal(int joint, Local local) const {
    return Multiply(FoldAbove(joint, local), local(joint));
  }
  // The nodes between a joint and its parent joint (or the top).
  template <class Local>
  Matrix FoldAbove(int joint, Local local) const {
    Matrix m;
    for (int at = parent_[std::size_t(joint)]; at >= 0 && !isJoint_[std::size_t(at)]; at = parent_[std::size_t(at)])
      m = Multiply(local(at), m);
    return m;
  }

  // --- The animation ------------------------------------------------------

  Outcome<int> ChosenAnimation() {
    const std::string& wanted = options_.animation;
    if (m_.animations.empty()) {
      if (!wanted.empty())
        return MakeFailure(FailureKind::Usage, "--animation " + wanted + ": the file has no animation", file_);
      return -1;
    }
    if (wanted.empty()) return 0;
    for (std::size_t i = 0; i < m_.animations.size(); ++i)
      if (m_.animations[i].name == wanted) return int(i);
    if (wanted.find_first_not_of("0123456789") == std::string::npos && wanted.size() < 10 &&
        std::stoll(wanted) < std::int64_t(m_.animations.size()))
      return int(std::stoll(wanted));
    std::string names;
    for (std::size_t i = 0; i < m_.animations.size(); ++i) names += (i ? ", " : "") + AnimationName(i);
    return MakeFailure(FailureKind::Usage,
                       "--animation " + wanted + ": the file has no such animation; it has " + names, file_);
  }

  std::string AnimationName(std::size_t i) const {
    return m_.animations[i].name.empty() ? "animation " + std::to_string(i) : m_.animations[i].name;
  }

  Outcome<void> ReadAnimation() {
    RETARGET_ASSIGN(const int chosen, ChosenAnimation());
    if (chosen < 0) {
      asset_.animated = false;
      return {};
    }
    asset_.animation = AnimationName(std::size_t(chosen));
    for (std::size_t i = 0; i < m_.animations.size(); ++i)
      if (int(i) != chosen) asset_.otherAnimations.push_back(AnimationName(i));
    const tinygltf::Animation& animation = m_.animations[std::size_t(chosen)];
    const std::string what = "animation " + std::to_string(chosen) + "'s ";
    std::vector<Track> tracks;
    for (std::size_t c = 0; c < animation.channels.size(); ++c) {
      const tinygltf::AnimationChannel& channel = animation.channels[c];
      const std::string where = what + "channel " + std::to_string(c);
      const char* const paths[] = {"translation", "rotation", "scale"};
      const int path = int(std::find(paths, paths + 3, channel.target_path) - paths);
      if (channel.target_path == "weights") continue;
      if (path == 3) return Bad(where + " animates '" + channel.target_path + "', which is not a node property");
      if (channel.target_node < 0 || std::size_t(channel.target_node) >= m_.nodes.size())
        return Bad(where + " animates no node of the file");
      if (channel.sampler < 0 || std::size_t(channel.sampler) >= animation.samplers.size())
        return Bad(where + " has sampler " + std::to_string(channel.sampler) + ", which the animation has not");
      const tinygltf::AnimationSampler& sampler = animation.samplers[std::size_t(channel.sampler)];
      Track track;
      track.node = channel.target_node;
      track.path = path;
      if (sampler.interpolation == "STEP") track.kind = Track::Kind::Step;
      else if (sampler.interpolation == "CUBICSPLINE") track.kind = Track::Kind::Cubic;
      else if (!sampler.interpolation.empty() && sampler.interpolation != "LINEAR")
        return Bad(where + " has the interpolation '" + sampler.interpolation +
                   "', which is not LINEAR, STEP or CUBICSPLINE");
      RETARGET_ASSIGN(track.times, Floats(sampler.input, 1, false));
      if (track.times.empty()) return Bad(where + " has no keys");
      for (std::size_t k = 1; k < track.times.size(); ++k)
        if (!(track.times[k] > track.times[k - 1])) return Bad(where + " has keys whose times do not increase");
      const int width = path == 1 ? 4 : 3;
      RETARGET_ASSIGN(track.values, Floats(sampler.output, width, path == 1));
      const std::size_t perKey = track.kind == Track::Kind::Cubic ? 3 : 1;
      if (track.values.size() != track.times.size() * perKey * std::size_t(width))
        return Bad(where + " has " + std::to_string(track.values.size() / std::size_t(width)) + " values for " +
                   std::to_string(track.times.size()) + " keys");
      for (std::size_t k = 0; path == 1 && k < track.times.size(); ++k) {
        double q[4];
        std::copy_n(&track.values[(perKey * k + perKey / 2) * 4], 4, q);
        if (!Normalize(q)) return Bad(where + " has a rotation that is not a quaternion of unit length");
      }
      if (used_[std::size_t(track.node)] && IsMatrix(std::size_t(track.node)))
        return Bad(where + " animates " + NodeText(track.node) + ", which has a matrix instead of TRS");
      if (used_[std::size_t(track.node)]) tracks.push_back(std::move(track));
    }
    return Sample(tracks);
  }

  // Reads an accessor of floats: `width` per element; normalized integers
  // too when `normalized` allows them (rotations).
  Outcome<std::vector<double>> Floats(int index, int width, bool normalized) {
    const std::string what = "accessor " + std::to_string(index);
    if (index < 0 || std::size_t(index) >= m_.accessors.size()) return Bad(what + " is not in the file");
    const tinygltf::Accessor& a = m_.accessors[std::size_t(index)];
    const int type = width == 1 ? TINYGLTF_TYPE_SCALAR : width == 3 ? TINYGLTF_TYPE_VEC3 : TINYGLTF_TYPE_VEC4;
    if (a.type != type) return Bad(what + " holds " + TypeText(a.type) + " where " + TypeText(type) + " are needed");
    int size = 0;
    switch (a.componentType) {
      case TINYGLTF_COMPONENT_TYPE_FLOAT: size = 4; break;
      case TINYGLTF_COMPONENT_TYPE_BYTE:
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: size = normalized && a.normalized ? 1 : 0; break;
      case TINYGLTF_COMPONENT_TYPE_SHORT:
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: size = normalized && a.normalized ? 2 : 0; break;
      default: break;
    }
    if (size == 0)
      return Bad(what + " has component type " + std::to_string(a.componentType) +
                 (normalized ? ", not float or a normalized integer" : ", not float"));
    if (a.sparse.isSparse) return Bad(what + " is sparse, which is not read");
    if (std::int64_t(std::min<std::size_t>(a.count, std::size_t(1) << 62)) > limits_.elements)
      return Bad(what + " holds " + std::to_string(a.count) + " elements, more than the limit of " +
                 std::to_string(limits_.elements));
    const std::size_t count = a.count, element = std::size_t(size * width);
    std::vector<double> out(count * std::size_t(width), 0.0);
    if (a.bufferView < 0 || count == 0) return out;  // no buffer view: zeros
    if (std::size_t(a.bufferView) >= m_.bufferViews.size()) return Bad(what + "'s buffer view is not in the file");
    const tinygltf::BufferView& view = m_.bufferViews[std::size_t(a.bufferView)];
    if (view.buffer < 0 || std::size_t(view.buffer) >= m_.buffers.size())
      return Bad(what + "'s buffer is not in the file");
    const std::vector<unsigned char>& buffer = m_.buffers[std::size_t(view.buffer)].data;
    if (view.byteOffset > buffer.size() || view.byteLength > buffer.size() - view.byteOffset)
      return Bad("buffer view " + std::to_string(a.bufferView) + " runs past the end of its buffer");
    const std::size_t stride = view.byteStride == 0 ? element : view.byteStride;
    if (stride < element || stride > 252)
      return Bad(what + "'s buffer view has a stride that does not fit its elements");
    if (a.byteOffset > view.byteLength || (count - 1) > (view.byteLength - a.byteOffset) / stride ||
        (count - 1) * stride + element > view.byteLength - a.byteOffset)
      return Bad(what + " runs past the end of its buffer view");
    const unsigned char* data = buffer.data() + view.byteOffset + a.byteOffset;
    for (std::size_t i = 0; i < count; ++i) {
      for (int k = 0; k < width; ++k) {
        const unsigned char* p = data + i * stride + std::size_t(k * size);
        double value = 0.0;
        switch (a.componentType) {
          case TINYGLTF_COMPONENT_TYPE_FLOAT: {
            float f;
            std::memcpy(&f, p, 4);
            value = f;
            break;
          }
          case TINYGLTF_COMPONENT_TYPE_BYTE: value = std::max(double(std::int8_t(p[0])) / 127.0, -1.0); break;
          case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: value = double(p[0]) / 255.0; break;
          case TINYGLTF_COMPONENT_TYPE_SHORT: {
            std::int16_t v;
            std::memcpy(&v, p, 2);
            value = std::max(double(v) / 32767.0, -1.0);
            break;
          }
          default: {
            std::uint16_t v;
            std::memcpy(&v, p, 2);
            value = double(v) / 65535.0;
            break;
          }
        }
        if (!std::isfinite(value)) return Bad(what + " holds a value that is not finite");
        out[i * std::size_t(width) + std::size_t(k)] = value;
      }
    }
    return out;
  }

  static std::string TypeText(int type) {
    switch (type) {
      case TINYGLTF_TYPE_SCALAR: return "SCALAR values";
      case TINYGLTF_TYPE_VEC2: return "VEC2 values";
      case TINYGLTF_TYPE_VEC3: return "VEC3 values";
      case TINYGLTF_TYPE_VEC4: return "VEC4 values";
      default: return "matrices";
    }
  }

  Outcome<void> Sample(const std::vector<Track>& tracks) {
    double start = 0.0, end = 0.0, step = 0.0;
    bool first = true;
    double smallest = std::numeric_limits<double>::infinity(), average = std::numeric_limits<double>::infinity();
    for (const Track& track : tracks) {
      start = first ? track.times.front() : std::min(start, track.times.front());
      end = first ? track.times.back() : std::max(end, track.times.back());
      first = false;
      const std::size_t keys = track.times.size();
      if (keys < 2) continue;
      average = std::min(average, (track.times.back() - track.times.front()) / double(keys - 1));
      for (std::size_t k = 1; k < keys; ++k) smallest = std::min(smallest, track.times[k] - track.times[k - 1]);
    }
    const double duration = end - start;
    std::int64_t frames = 1;
    Motion& motion = asset_.motion;
    if (options_.fps > 0) {
      step = 1.0 / options_.fps;
      const double count = std::floor(duration / step + 1e-6) + 1.0;
      if (!(count <= double(limits_.frames))) return TooManyFrames(count);
      frames = std::int64_t(count);
      motion.frameTime = step;
    } else if (duration > 0) {
      // Keys evenly spaced give their rate exactly; else the closest two.
      step = smallest >= 0.99 * average ? average : smallest;
      const double count = std::round(duration / step) + 1.0;
      if (!(count <= double(limits_.frames))) return TooManyFrames(count);
      frames = std::int64_t(count);
      step = duration / double(frames - 1);
      motion.frameTime = step;
    }
    if (double(frames) * double(usedCount_ + joints_.size()) > double(limits_.samples))
      return Bad("the animation samples to " + std::to_string(frames) + " frames of " + std::to_string(joints_.size()) +
                 " joints, more than the limit of " + std::to_string(limits_.samples) + " values");
    const std::size_t n = m_.nodes.size();
    std::vector<Trs> pose(n);
    std::vector<Matrix> local(n);
    motion.locals.reserve(std::size_t(frames) * joints_.size() + (addedRoot_ ? std::size_t(frames) : 0));
    for (std::int64_t f = 0; f < frames; ++f) {
      const double time = std::min(start + double(f) * step, end);
      for (std::size_t i = 0; i < n; ++i)
        if (used_[i]) pose[i] = rest_[i];
      for (const Track& track : tracks) Apply(track, time, pose[std::size_t(track.node)]);
      for (std::size_t i = 0; i < n; ++i)
        if (used_[i]) local[i] = IsMatrix(i) ? matrix_[i] : FromTrs(pose[i]);
      if (addedRoot_) motion.locals.push_back(Matrix{});
      for (int joint : joints_)
        motion.locals.push_back(FoldedLocal(joint, [&](int node) { return local[std::size_t(node)]; }));
    }
    return {};
  }

  Failure TooManyFrames(double count) const {
    return Bad("the animation samples to " +
               (std::isfinite(count) && count < 1e18 ? std::to_string(std::int64_t(count)) : std::string("too many")) +
               " frames, more than the limit of " + std::to_string(limits_.frames));
  }

  static void Apply(const Track& track, double time, Trs& trs) {
    const std::size_t width = track.path == 1 ? 4 : 3, keys = track.times.size();
    const bool cubic = track.kind == Track::Kind::Cubic;
    // The value of key k, or its in/out tangent (-1/+1) for a cubic spline.
    auto at = [&](std::size_t k, int part, std::size_t c) {
      return track.values[(cubic ? (3 * k + std::size_t(1 + part)) : k) * width + c];
    };
    double v[4];
    const std::size_t next =
        std::size_t(std::upper_bound(track.times.begin(), track.times.end(), time) - track.times.begin());
    if (next == 0 || next == keys) {
      const std::size_t k = next == 0 ? 0 : keys - 1;
      for (std::size_t c = 0; c < width; ++c) v[c] = at(k, 0, c);
    } else {
      const std::size_t k = next - 1;
      const double dt = track.times[next] - track.times[k], u = (time - track.times[k]) / dt;
      if (track.kind == Track::Kind::Step) {
        for (std::size_t c = 0; c < width; ++c) v[c] = at(k, 0, c);
      } else if (cubic) {
        const double u2 = u * u, u3 = u2 * u;
        for (std::size_t c = 0; c < width; ++c)
          v[c] = (2 * u3 - 3 * u2 + 1) * at(k, 0, c) + (u3 - 2 * u2 + u) * dt * at(k, 1, c) +
                 (-2 * u3 + 3 * u2) * at(next, 0, c) + (u3 - u2) * dt * at(next, -1, c);
      } else if (width == 4) {
        Slerp(&track.values[k * 4], &track.values[next * 4], u, v);
      } else {
        for (std::size_t c = 0; c < width; ++c) v[c] = at(k, 0, c) + u * (at(next, 0, c) - at(k, 0, c));
      }
    }
    if (track.path == 0) trs.t = {v[0], v[1], v[2]};
    else if (track.path == 2) trs.s = {v[0], v[1], v[2]};
    else if (Normalize(v)) std::copy(v, v + 4, trs.q);
  }

  // Spherical interpolation along the shorter arc.
  static void Slerp(const double* a, const double* b, double u, double* out) noexcept {
    double qa[4] = {a[0], a[1], a[2], a[3]}, qb[4] = {b[0], b[1], b[2], b[3]};
    if (!Normalize(qa) || !Normalize(qb)) {
      std::copy(qa, qa + 4, out);
      return;
    }
    double dot = qa[0] * qb[0] + qa[1] * qb[1] + qa[2] * qb[2] + qa[3] * qb[3];
    if (dot < 0) {
      for (double& c : qb) c = -c;
      dot = -dot;
    }
    double wa = 1 - u, wb = u;
    if (dot < 0.9995) {
      const double angle = std::acos(std::min(dot, 1.0)), sine = std::sin(angle);
      wa = std::sin((1 - u) * angle) / sine;
      wb = std::sin(u * angle) / sine;
    }
    for (int c = 0; c < 4; ++c) out[c] = wa * qa[c] + wb * qb[c];
  }

  // --- The rig of a humanoid table ---------------------------------------

  Outcome<void> HumanoidRig() {
    if (!hasHumanoid_) return {};
    std::vector<std::vector<std::int64_t>> parts(humanoid_.size());
    for (std::size_t p = 0; p < humanoid_.size(); ++p) {
      for (int node : humanoid_[p])
        if (jointOf_[std::size_t(node)] >= 0) parts[p].push_back(jointOf_[std::size_t(node)]);
      std::sort(parts[p].begin(), parts[p].end());
      parts[p].erase(std::unique(parts[p].begin(), parts[p].end()), parts[p].end());
    }
    const std::string name = fs::path(file_).stem().string();
    RETARGET_ASSIGN(asset_.rig,
                    BuildRigWithParts(name.empty() ? "model" : name, asset_.motion.skeleton, kHumanoidTable, parts));
    asset_.humanoid = true;
    return {};
  }

  const tinygltf::Model& m_;
  const std::string& file_;
  const ReadOptions& options_;
  const GltfLimits& limits_;
  Asset asset_;
  std::vector<int> parent_, order_;  // order_: the nodes in pre-order from the roots
  std::vector<bool> inScene_, isJoint_, used_, hasMatrix_;
  std::vector<Trs> rest_;
  std::vector<Matrix> matrix_;
  int hips_ = -1;
  bool hasHumanoid_ = false;
  std::vector<std::vector<int>> humanoid_;  // per standard body part, its nodes
  bool addedRoot_ = false;
  std::vector<int> jointOf_, joints_;  // joints_: the node of each joint after an added root
  std::size_t usedCount_ = 0;
};

// The first line of a tinygltf message.
std::string FirstLine(const std::string& text) {
  std::string_view line = std::string_view(text).substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.remove_suffix(1);
  return line.empty() ? "it cannot be parsed" : Excerpt(line);
}

}  // namespace

Outcome<Asset> ParseGltf(std::string_view bytes, const std::string& fileName, const std::string& folder,
                         const ReadOptions& options, const GltfLimits& limits) {
  try {
    if (std::int64_t(bytes.size()) > std::max<std::int64_t>(std::min<std::int64_t>(limits.fileBytes, 0xFFFFFFF0), 0))
      return TooLarge(limits.fileBytes, fileName);
    RETARGET_ASSIGN(const Layout layout, Chunks(bytes, fileName));
    // A .gltf's buffer data URIs decoded here (InlineDataUris), or none.
    Inlining inlining;
    if (!layout.binary) inlining = InlineDataUris(layout.json);
    if (!inlining.buffers.empty()) {
      // Emptied however the block is left: freeing a full value allocates.
      json root;
      struct Drained {
        json& value;
        ~Drained() { jsontext::Drain(value); }
      } drained{root};
      if (!CheckJson(inlining.json, fileName, limits, &root) || !TakesInlining(root, inlining)) inlining = {};
    }
    if (inlining.buffers.empty()) RETARGET_TRY(CheckJson(layout.json, fileName, limits));
    const std::string_view text = inlining.buffers.empty() ? layout.json : std::string_view(inlining.json);
    Files files;
    files.inlined = std::move(inlining.buffers);
    if (!folder.empty()) {
      files.folder = folder.back() == '/' ? folder : folder + "/";
      std::error_code missing;
      files.realFolder = fs::canonical(files.folder, missing);
      if (missing) files.realFolder.clear();
    }
    files.maxBytes = limits.fileBytes;
    tinygltf::TinyGLTF parser;
    parser.SetFsCallbacks({&FileExists, &ExpandFilePath, &ReadWholeFile, &WriteWholeFile, &files});
    parser.SetImageLoader(&KeepImage, nullptr);
    tinygltf::Model model;
    std::string error, warning;
    const std::string base = files.folder.empty() ? std::string() : files.folder.substr(0, files.folder.size() - 1);
    const bool parsed =
        layout.binary ? parser.LoadBinaryFromMemory(&model, &error, &warning,
                                                    reinterpret_cast<const unsigned char*>(bytes.data()),
                                                    unsigned(bytes.size()), base)
                      : parser.LoadASCIIFromString(&model, &error, &warning, text.data(), unsigned(text.size()), base);
    if (!parsed && error.starts_with("std::bad_alloc")) return OutOfMemory();
    if (!parsed)
      return MakeFailure(FailureKind::BadInput,
                         files.problem.empty() ? "not glTF that can be read: " + FirstLine(error) : files.problem,
                         fileName);
    RETARGET_ASSIGN(std::vector<std::string> images, ReadImages(model, files, fileName));
    RETARGET_ASSIGN(Asset asset, Reader(model, fileName, options, limits).Read());
    auto copy = std::make_shared<GltfModel>();
    copy->json = text;
    // A GLB's BIN chunk is copied from the file, once tinygltf's copy of it
    // is given back: one copy of it at a time besides the file.
    const std::string_view bin = layout.binary && bytes.size() >= 28 + layout.json.size()
                                     ? bytes.substr(28 + layout.json.size())
                                     : std::string_view();
    for (tinygltf::Buffer& buffer : model.buffers) {
      const std::size_t size = buffer.data.size();
      const bool inFile =
          size > 0 && size <= bin.size() &&
          std::equal(buffer.data.begin(), buffer.data.end(), reinterpret_cast<const unsigned char*>(bin.data()));
      if (!inFile) copy->buffers.emplace_back(buffer.data.begin(), buffer.data.end());
      std::vector<unsigned char>().swap(buffer.data);
      if (inFile) copy->buffers.emplace_back(bin.substr(0, size));
    }
    copy->images = std::move(images);
    copy->vrm = model.extensions.contains("VRMC_vrm") || model.extensions.contains("VRM");
    if (asset.rig) asset.rig->skeleton.format.model = copy;
    asset.motion.skeleton.format.model = std::move(copy);
    return asset;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  } catch (const std::exception& e) {
    return MakeFailure(FailureKind::BadInput, std::string("not glTF that can be read: ") + e.what(), fileName);
  }
}

Outcome<Asset> ReadGltfFile(const std::string& path, const ReadOptions& options, const GltfLimits& limits) {
  RETARGET_ASSIGN(const std::string bytes, ReadFileBytes(path, limits.fileBytes));
  try {
    const std::string folder = fs::path(path).parent_path().string();
    return ParseGltf(bytes, path, folder.empty() ? "." : folder, options, limits);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Asset> ReadGltfAsset(const std::string& path, const ReadOptions& options) {
  return ReadGltfFile(path, options);
}

}  // namespace norvo::retarget
