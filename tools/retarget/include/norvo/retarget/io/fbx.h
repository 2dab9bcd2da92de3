// FBX files (.fbx, binary and ASCII) as a skeleton with one animation
// sampled into frames; what is made of a file is told in fbx/convert.h.
// The FBX library runs in a process of its own, norvo-fbx-read, with a
// limit on its memory and time: a file that makes it crash, hang or fill
// memory is refused as BadInput naming the file, and the tool goes on.
#pragma once
#include <cstdint>
#include <string>

#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

// The reader program that FBX files are read with (norvo-fbx-read), as the
// host found it where the tool is installed or built (app/install.h); set
// once, before the first file is read. Until then an FBX file is refused.
void SetFbxReader(const char* path) noexcept;

struct FbxLimits {
  std::int64_t fileBytes = std::int64_t(1) << 30;
  std::int64_t seconds = 60;                         // the reader's processor time, and its time in all
  std::int64_t memoryBytes = std::int64_t(4) << 30;  // the reader's address space
  std::int64_t nodes = 100000;                       // nodes of the file
  std::int64_t frames = 1000000;                     // frames the animation samples to
  std::int64_t samples = 20000000;                   // frames times the nodes sampled
};

// Reads an FBX file. Usage for an `animation` the file has not; BadInput
// for anything else that keeps it from being read, naming the file.
Outcome<Asset> ReadFbxFile(const std::string& path, const ReadOptions& options = {}, const FbxLimits& limits = {});
// The same with the default limits, for the table of formats.
Outcome<Asset> ReadFbxAsset(const std::string& path, const ReadOptions& options);
// The asset in what the FBX reader process wrote (its answer), every count
// checked against the bytes; `path` names the file in failures.
Outcome<Asset> ReadFbxAnswer(std::string_view answer, const std::string& path, const FbxLimits& limits = {});
// Whether bytes begin as an FBX file does (binary, or ASCII).
bool LooksLikeFbx(std::string_view start) noexcept;

}  // namespace norvo::retarget
