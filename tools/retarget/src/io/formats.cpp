#include "norvo/retarget/io/formats.h"

#include <algorithm>
#include <fstream>
#include <new>

#include <sys/stat.h>

#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/io/fbx.h"
#include "norvo/retarget/io/gltf.h"
#include "norvo/retarget/io/rigfile.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

namespace {

Outcome<Asset> ReadBvhAsset(const std::string& path, const ReadOptions&) {
  std::int64_t unread = 0;
  RETARGET_ASSIGN(Motion motion, ReadBvhFile(path, {}, &unread));
  try {
    Asset asset;
    if (unread > 0)
      asset.warnings.push_back(path + ": " + std::to_string(unread) + (unread == 1 ? " frame line" : " frame lines") +
                               " after the " + std::to_string(motion.FrameCount()) + " frames that Frames says " +
                               (unread == 1 ? "was" : "were") + " not read");
    asset.motion = std::move(motion);
    return asset;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Asset> ReadRigAsset(const std::string& path, const ReadOptions&) {
  RETARGET_ASSIGN(Rig rig, ReadRigFile(path));
  try {
    Asset asset;
    asset.motion.skeleton = rig.skeleton;
    asset.rig = std::move(rig);
    asset.animated = false;
    return asset;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> BvhInPieces(const Motion& motion, const MotionContext&, const TextSink& put) {
  return FormatBvhInPieces(motion, put);
}

// A writer that makes the whole text first.
template <Outcome<std::string> (*format)(const Motion&, const MotionContext&)>
Outcome<void> AllAtOnce(const Motion& motion, const MotionContext& context, const TextSink& put) {
  RETARGET_ASSIGN(const std::string text, format(motion, context));
  return put(text);
}

constexpr FileFormat kFormats[] = {
    {"BVH", ".bvh", true, &ReadBvhAsset, &BvhInPieces, nullptr},
    {"rig file", ".json", false, &ReadRigAsset, nullptr, &FormatRigFile},
    {"glTF", ".gltf", true, &ReadGltfAsset, &AllAtOnce<&FormatGltf>, nullptr},
    {"GLB", ".glb", true, &ReadGltfAsset, &AllAtOnce<&FormatGlb>, nullptr},
    {"VRM", ".vrm", true, &ReadGltfAsset, &AllAtOnce<&FormatVrm>, nullptr},
    {"VRM animation", ".vrma", true, &ReadGltfAsset, &AllAtOnce<&FormatVrma>, nullptr},
    {"FBX", ".fbx", true, &ReadFbxAsset, nullptr, nullptr},
};

char Lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool EndsWith(std::string_view path, std::string_view extension) noexcept {
  if (path.size() <= extension.size()) return false;
  const std::string_view end = path.substr(path.size() - extension.size());
  return std::equal(end.begin(), end.end(), extension.begin(), [](char a, char b) { return Lower(a) == Lower(b); });
}

// The format of a file whose name does not tell: by its first word.
const FileFormat* FormatByContent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char start[32] = {};
  in.read(start, sizeof start);
  std::string_view text(start, std::size_t(std::max<std::streamsize>(in.gcount(), 0)));
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty() && (text[0] == ' ' || text[0] == '\t' || text[0] == '\r' || text[0] == '\n'))
    text.remove_prefix(1);
  if (text.starts_with("HIERARCHY")) return &kFormats[0];
  if (text.starts_with("glTF")) return &kFormats[3];
  if (LooksLikeFbx(text)) return &kFormats[6];
  if (text.starts_with("{")) return &kFormats[1];
  return nullptr;
}

// "a, b or c" of the extensions of the formats that pass `test`.
template <class Test>
std::string Extensions(Test test) {
  std::vector<std::string_view> found;
  for (const FileFormat& format : kFormats)
    if (test(format)) found.push_back(format.extension);
  std::string text;
  for (std::size_t i = 0; i < found.size(); ++i)
    text += std::string(i == 0 ? "" : i + 1 == found.size() ? " or " : ", ") + std::string(found[i]);
  return text;
}

Outcome<const FileFormat*> Writer(const std::string& path, bool motion) {
  try {
    // Standard output, and a device such as /dev/null, take the first
    // format of the table that writes it.
    const FileFormat* format = FormatOf(path);
    struct stat status;
    const bool stream = path == "-" || (::stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode));
    for (const FileFormat& first : kFormats)
      if (stream && !format && (motion ? first.formatMotion != nullptr : first.formatRig != nullptr)) format = &first;
    if (format && (motion ? format->formatMotion != nullptr : format->formatRig != nullptr)) return format;
    const std::string what = motion ? "motion" : "a rig";
    const std::string extensions =
        Extensions([&](const FileFormat& f) { return motion ? f.formatMotion != nullptr : f.formatRig != nullptr; });
    return MakeFailure(FailureKind::Usage,
                       "cannot write " + what + " to " + path + ": give a file name that ends in " + extensions);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace

std::span<const FileFormat> FileFormats() noexcept { return kFormats; }

const FileFormat* FormatOf(std::string_view path) noexcept {
  for (const FileFormat& format : kFormats)
    if (EndsWith(path, format.extension)) return &format;
  return nullptr;
}

Outcome<Asset> ReadAsset(const std::string& path, const ReadOptions& options) {
  try {
    // Before any format looks at it: a FIFO would keep a reader waiting.
    RETARGET_TRY(CheckNotSpecial(path));
    const FileFormat* format = FormatOf(path);
    if (!format) format = FormatByContent(path);
    if (!format)
      return MakeFailure(
          FailureKind::BadInput,
          "no format reads this file: give a " + Extensions([](const FileFormat&) { return true; }) + " file", path);
    return format->read(path, options);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> CheckMotionOutput(const std::string& path) {
  RETARGET_TRY(Writer(path, true));
  return {};
}

Outcome<void> CheckRigOutput(const std::string& path) {
  RETARGET_TRY(Writer(path, false));
  return {};
}

namespace {

// A failure to write a file names it, when memory is left for its name.
Failure Naming(Failure failure, const std::string& path) noexcept {
  try {
    if (failure.file.empty()) failure.file = path;
  } catch (const std::bad_alloc&) {
  }
  return failure;
}

// `produce` hands the text of the file to the sink it is given.
template <class Produce>
Outcome<void> Write(Produce produce, const std::string& path, bool motion) {
  try {
    RETARGET_ASSIGN(const FileFormat* found, Writer(path, motion));
    Outcome<void> written = WriteTextFile(path, [&](const TextSink& put) { return produce(*found, put); });
    if (!written) return Naming(std::move(written).failure(), path);
    return {};
  } catch (const std::bad_alloc&) {
    return Naming(OutOfMemory(), path);
  }
}

}  // namespace

Outcome<void> WriteMotion(const Motion& motion, const std::string& path, const MotionContext& context) {
  return Write([&](const FileFormat& format, const TextSink& put) { return format.formatMotion(motion, context, put); },
               path, true);
}

Outcome<void> WriteRig(const Rig& rig, const std::string& path) {
  return Write(
      [&](const FileFormat& format, const TextSink& put) -> Outcome<void> {
        RETARGET_ASSIGN(const std::string text, format.formatRig(rig));
        return put(text);
      },
      path, false);
}

}  // namespace norvo::retarget
