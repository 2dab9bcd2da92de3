// Fuzzes the glTF reader: any bytes, as a .gltf text or a GLB, are read or
// refused with a failure, never a crash; no file is opened (no folder is
// given). What is read holds one local matrix per joint and frame, its
// joints' parents come before them and their names are ones a BVH file can
// hold, each once.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "norvo/retarget/bvh.h"
#include "norvo/retarget/gltf.h"

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
  Outcome<Asset> asset = ParseGltf(bytes, "fuzz.glb", "", {}, limits);
  if (!asset) {
    if (asset.failure().message.empty()) __builtin_trap();
    return 0;
  }
  const Motion& motion = asset.value().motion;
  const std::vector<Joint>& joints = motion.skeleton.joints;
  if (joints.empty() || motion.locals.size() % joints.size() != 0) __builtin_trap();
  std::set<std::string> names;
  for (std::size_t j = 0; j < joints.size(); ++j) {
    if (joints[j].parent >= std::int64_t(j) || (j > 0 && joints[j].parent < 0) || !IsJointName(joints[j].name) ||
        !names.insert(joints[j].name).second)
      __builtin_trap();
  }
  if (asset.value().rig && asset.value().rig->JointCount() != motion.skeleton.Count()) __builtin_trap();
  return 0;
}
