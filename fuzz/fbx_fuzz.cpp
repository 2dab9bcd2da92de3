// Fuzzes the FBX path in one process: any bytes read by the FBX library and
// made into the reader's answer, and that answer read by the tool, are read
// or refused with a failure. What is read holds one local matrix per joint
// and frame, and its joints' parents come before them. A crash here in the
// FBX library itself is what the tool's reader process is there for: the
// tool runs the library in a process of its own (fbx_process_fuzz).
#include <cstddef>
#include <cstdint>
#include <string>

#include "convert.h"
#include "norvo/retarget/fbx.h"

using namespace norvo::retarget;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fbx::Request request;
  request.nodes = 4096;
  request.frames = 4096;
  request.samples = 1 << 18;
  const std::string answer = fbx::Convert(std::string_view(reinterpret_cast<const char*>(data), size), request);
  Outcome<Asset> asset = ReadFbxAnswer(answer, "fuzz.fbx");
  if (!asset) {
    if (asset.failure().message.empty()) __builtin_trap();
    return 0;
  }
  const Motion& motion = asset.value().motion;
  const std::vector<Joint>& joints = motion.skeleton.joints;
  if (joints.empty() || motion.locals.size() % joints.size() != 0) __builtin_trap();
  for (std::size_t j = 0; j < joints.size(); ++j)
    if (joints[j].parent >= std::int64_t(j) || (j > 0 && joints[j].parent < 0)) __builtin_trap();
  return 0;
}
