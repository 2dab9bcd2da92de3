// Fuzzes the FBX path as the tool takes it: any bytes, written to a file,
// are read through the reader process or refused with a failure that names
// the file, whatever the FBX library does with them (a crash or a hang of
// the reader included); never a crash of the tool.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "norvo/retarget/app/install.h"
#include "norvo/retarget/io/fbx.h"

using namespace norvo::retarget;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool programs = (UseInstalledPrograms(), true);
  (void)programs;
  static const std::string path = "/tmp/norvo-fbx-fuzz-" + std::to_string(::getpid()) + ".fbx";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  FbxLimits limits;
  limits.seconds = 10;
  limits.nodes = 4096;
  limits.frames = 4096;
  limits.samples = 1 << 18;
  Outcome<Asset> asset = ReadFbxFile(path, {}, limits);
  if (!asset && (asset.failure().message.empty() || asset.failure().file != path)) __builtin_trap();
  return 0;
}
