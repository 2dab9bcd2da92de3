// The file formats the tool reads and writes, chosen by extension. Each
// format is one entry of a table: how to read a file into an asset and how
// to write a motion or a rig as its text. Every file is written through
// WriteTextFile (textfile.h): to a temporary file beside it, then renamed.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

// What to read of a file that holds more than one skeleton or motion
// (glTF): the skin whose joints make the skeleton, the animation, and the
// rate it is sampled at.
struct ReadOptions {
  std::int64_t skin = -1;  // -1: the first skin (see gltf.h)
  std::string animation;   // a name or an index; empty: the first
  double fps = 0.0;        // 0: the rate of the animation's keys
};

// What a file holds: a skeleton with its motion (no frames for a rig file
// or a model without animation), and the filled rig when the file names its
// body parts: a rig file's as the file has them, or a model's humanoid
// table (`humanoid`), which a preset given for it replaces.
struct Asset {
  Motion motion;
  std::optional<Rig> rig;
  bool humanoid = false;
  // A file of several animations: the one read and the others' names.
  std::string animation;
  std::vector<std::string> otherAnimations;
  // What the file says of itself that the summary shows (FBX: its unit and
  // up axis); empty for none.
  std::string note;
  // What a reader took otherwise than the file says (a BVH file's frame
  // lines past its Frames count), each a warning.
  std::vector<std::string> warnings;
  bool animated = true;  // false: the file holds a model and no animation
};

// What a motion writer may use beyond the motion: the rig it is on (whose
// body parts name a VRM animation's humanoid bones) and the name to give
// its animation (glTF).
struct MotionContext {
  const Rig* rig = nullptr;
  std::string animation;
};

struct FileFormat {
  std::string_view name;       // "BVH"
  std::string_view extension;  // ".bvh"
  bool motion;                 // its files carry frames: a source clip can be one
  Outcome<Asset> (*read)(const std::string& path, const ReadOptions& options);
  // Hands the motion's text to `put`, whole or in pieces; null: motion is
  // not written as it.
  Outcome<void> (*formatMotion)(const Motion& motion, const MotionContext& context, const TextSink& put);
  Outcome<std::string> (*formatRig)(const Rig& rig);  // null: rigs are not written as it
};

std::span<const FileFormat> FileFormats() noexcept;
// The format of a path's extension, letter case aside; nullptr for none.
const FileFormat* FormatOf(std::string_view path) noexcept;

// Reads a file by its format. BadInput when no format reads it.
Outcome<Asset> ReadAsset(const std::string& path, const ReadOptions& options = {});
// Writes a motion or a rig in the format of the path's extension; Usage,
// naming the extensions that can be written, when that format writes none.
Outcome<void> WriteMotion(const Motion& motion, const std::string& path, const MotionContext& context = {});
Outcome<void> WriteRig(const Rig& rig, const std::string& path);
// Whether a motion (a rig) can be written to `path`: the same Usage failure
// as the writers, found before any work is done.
Outcome<void> CheckMotionOutput(const std::string& path);
Outcome<void> CheckRigOutput(const std::string& path);

}  // namespace norvo::retarget
