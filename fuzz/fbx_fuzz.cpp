// Fuzzes the FBX path in one process: any bytes read by the FBX library and
// made into the reader's answer, and that answer read by the tool, are read
// or refused with a failure; what is read is checked as asset_check.h says.
// A crash here in the FBX library itself is what the tool's reader process
// is there for: the tool runs the library in a process of its own
// (fbx_process_fuzz).
#include <cstddef>
#include <cstdint>
#include <string>

#include "asset_check.h"
#include "convert.h"
#include "norvo/retarget/io/fbx.h"

using namespace norvo::retarget;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fbx::Request request;
  request.nodes = 4096;
  request.frames = 4096;
  request.samples = 1 << 18;
  const std::string answer = fbx::Convert(std::string_view(reinterpret_cast<const char*>(data), size), request);
  CheckAsset(ReadFbxAnswer(answer, "fuzz.fbx"));
  return 0;
}
