// The file formats the tool reads and writes, chosen by extension. Each
// format is one entry of a table: how to read a file into an asset and how
// to write a motion or a rig as its text. Every file is written through
// WriteTextFile (textfile.h): to a temporary file beside it, then renamed.
#pragma once
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "norvo/retarget/motion.h"
#include "norvo/retarget/outcome.h"
#include "norvo/retarget/rig.h"

namespace norvo::retarget {

// What a file holds: a skeleton with its motion (none for a rig file), and
// for a rig file the filled rig, its body parts as the file has them.
struct Asset {
  Motion motion;
  std::optional<Rig> rig;
};

struct FileFormat {
  std::string_view name;       // "BVH"
  std::string_view extension;  // ".bvh"
  bool motion;                 // its files carry frames: a source clip can be one
  Outcome<Asset> (*read)(const std::string& path);
  Outcome<std::string> (*formatMotion)(const Motion& motion);  // null: motion is not written as it
  Outcome<std::string> (*formatRig)(const Rig& rig);           // null: rigs are not written as it
};

std::span<const FileFormat> FileFormats() noexcept;
// The format of a path's extension, letter case aside; nullptr for none.
const FileFormat* FormatOf(std::string_view path) noexcept;

// Reads a file by its format. BadInput when no format reads it.
Outcome<Asset> ReadAsset(const std::string& path);
// Writes a motion or a rig in the format of the path's extension; Usage,
// naming the extensions that can be written, when that format writes none.
Outcome<void> WriteMotion(const Motion& motion, const std::string& path);
Outcome<void> WriteRig(const Rig& rig, const std::string& path);
// Whether a motion (a rig) can be written to `path`: the same Usage failure
// as the writers, found before any work is done.
Outcome<void> CheckMotionOutput(const std::string& path);
Outcome<void> CheckRigOutput(const std::string& path);

}  // namespace norvo::retarget
