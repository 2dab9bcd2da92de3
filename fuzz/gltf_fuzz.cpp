// Fuzzes the glTF reader: any bytes, as a .gltf text or a GLB, are read or
// refused with a failure, never a crash; no file is opened (no folder is
// given). What is read is checked as asset_check.h says.
#include <cstddef>
#include <cstdint>
#include <string>

#include "asset_check.h"
#include "norvo/retarget/io/gltf.h"

using namespace norvo::retarget;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Limits that keep one run short; the reader's checks are the same at any
  // size.
  GltfLimits limits;
  limits.fileBytes = 1 << 20;
  limits.nodes = 4096;
  limits.elements = 1 << 16;
  limits.frames = 4096;
  limits.samples = 1 << 18;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckAsset(ParseGltf(bytes, "fuzz.glb", "", {}, limits));
  return 0;
}
