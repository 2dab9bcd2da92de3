// Helpers of the retargeting tool's tests: the shared clips, and the module
// loaded once for the tests that need it.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "norvo/registry.h"
#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/app/install.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// The tests read FBX files with the reader built beside them.
inline const bool kInstalledPrograms = (UseInstalledPrograms(), true);

// How an allocation-failure sweep reads an Outcome (allocation_sweep.h).
template <class T>
bool IsOutOfMemory(const Outcome<T>& outcome) {
  return !outcome.has_value() && outcome.failure().kind == FailureKind::OutOfMemory;
}
template <class T>
std::string Describe(const Outcome<T>& outcome) {
  return outcome.has_value() ? "a value" : outcome.failure().Text();
}

}  // namespace norvo::retarget

namespace norvo::retarget::test {

inline std::string SharedPath(const std::string& file) { return std::string(NORVO_SHARED_BVH_DIR) + "/" + file; }

// The value of an outcome that must hold one.
template <class T>
T Ok(Outcome<T> outcome) {
  if (!outcome) {
    ADD_FAILURE() << outcome.failure().Text();
    std::abort();
  }
  return std::move(outcome).value();
}

// A two-joint clip of two frames, and a preset that fills its two body parts:
// small enough that an allocation sweep over them stays quick.
inline constexpr const char* kSmallClip =
    "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\n"
    "CHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"
    "JOINT Spine\n{\nOFFSET 0 1 0\nCHANNELS 3 Zrotation Yrotation Xrotation\n"
    "End Site\n{\nOFFSET 0 1 0\n}\n}\n}\n"
    "MOTION\nFrames: 2\nFrame Time: 0.04\n1 2 3 4 5 6 7 8 9\n1 2 3 40 5 6 7 8 9\n";
inline constexpr const char* kSmallPreset =
    "{\"name\": \"small\", \"discard\": [\"End\"],\n"
    "\"bodyParts\": {\"Hips\": {\"keywords\": [\"Hips\"]}, \"Spine\": {\"keywords\": [\"Spine\"]}}}";

// A glTF of a skin of two joints under a node that is no joint, turned 90
// degrees about X, and an animation "turn" of three keys at 0, 0.5 and 1 s:
// Spine turns 0, 45 and 180 degrees about Y and Hips goes from y 1 to 2 and
// back; a second animation "still" has no channels.
inline constexpr const char* kSmallGltf =
    R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],)"
    R"("nodes":[{"name":"Armature","children":[1],"rotation":[0.70710678,0,0,0.70710678]},)"
    R"({"name":"Hips","children":[2],"translation":[0,1,0]},{"name":"Spine","translation":[0,0.5,0]}],)"
    R"("skins":[{"joints":[1,2]}],"animations":[{"name":"turn","channels":[)"
    R"({"sampler":0,"target":{"node":2,"path":"rotation"}},{"sampler":1,"target":{"node":1,"path":"translation"}}],)"
    R"("samplers":[{"input":0,"output":1,"interpolation":"LINEAR"},{"input":0,"output":2}]},)"
    R"({"name":"still","channels":[],"samplers":[]}],"accessors":[)"
    R"({"bufferView":0,"componentType":5126,"count":3,"type":"SCALAR"},)"
    R"({"bufferView":1,"componentType":5126,"count":3,"type":"VEC4"},)"
    R"({"bufferView":2,"componentType":5126,"count":3,"type":"VEC3"}],"bufferViews":[)"
    R"({"buffer":0,"byteOffset":0,"byteLength":12},{"buffer":0,"byteOffset":12,"byteLength":48},)"
    R"({"buffer":0,"byteOffset":60,"byteLength":36}],"buffers":[{"byteLength":96,"uri":"data:application/octet-stream;base64,)"
    R"(AAAAAAAAAD8AAIA/AAAAAAAAAAAAAAAAAACAPwAAAAAV78M+AAAAAF6DbD8AAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAEAA)"
    R"(AAAAAAAAAAAAgD8AAAAA"}]})";
// A VRM 0.x model without a skin: three nodes named by its humanoid table.
inline constexpr const char* kSmallVrm0 =
    R"({"asset":{"version":"2.0"},"scenes":[{"nodes":[0]}],"nodes":[{"name":"root","children":[1]},)"
    R"({"name":"pelvis","children":[2],"translation":[0,1,0]},{"name":"torso","translation":[0,0.2,0]}],)"
    R"("extensions":{"VRM":{"humanoid":{"humanBones":[{"bone":"hips","node":1},{"bone":"spine","node":2},)"
    R"({"bone":"jaw","node":2}]}}}})";

// A chain of `joints` joints, the last with an End Site, and `frames` frames.
inline std::string ChainText(int joints, int frames) {
  std::string text = "HIERARCHY\nROOT j0\n{\nOFFSET 0 0 0\nCHANNELS 3 Zrotation Yrotation Xrotation\n";
  for (int j = 1; j < joints; ++j)
    text += "JOINT j" + std::to_string(j) + "\n{\nOFFSET 0 1 0\nCHANNELS 3 Zrotation Yrotation Xrotation\n";
  text += "End Site\n{\nOFFSET 0 1 0\n}\n";
  for (int j = 0; j < joints; ++j) text += "}\n";
  text += "MOTION\nFrames: " + std::to_string(frames) + "\nFrame Time: 0.04\n";
  for (int f = 0; f < frames; ++f) {
    for (int v = 0; v < 3 * joints; ++v) text += v ? " 0" : "0";
    text += "\n";
  }
  return text;
}

// The clip of a text, or of a shared clip, that must be valid.
inline Motion Clip(const std::string& text) { return Ok(ParseBvh(text, "test.bvh")); }
inline Motion SharedClip(const std::string& file) { return Ok(ReadBvhFile(SharedPath(file))); }

inline std::vector<Preset> ShippedPresets() { return Ok(ReadPresetFolder(ShippedPresetFolder())); }

// The rig of a skeleton with the shipped preset `preset`.
inline Rig MakeRig(const Skeleton& skeleton, const std::string& preset, const std::string& name = "rig") {
  for (const Preset& shipped : ShippedPresets())
    if (shipped.name == preset) return Ok(BuildRig(name, skeleton, shipped));
  ADD_FAILURE() << "no shipped preset " << preset;
  return Rig();
}

// `text` with its first `from` replaced by `to`.
inline std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The largest distance between the world positions of the joints two
// motions name alike, over the frames both have.
inline double WorstDistance(const Motion& a, const Motion& b) {
  std::map<std::string, std::size_t> inB;
  for (std::size_t j = 0; j < b.skeleton.joints.size(); ++j) inB[b.skeleton.joints[j].name] = j;
  std::vector<Matrix> ga(a.skeleton.joints.size()), gb(b.skeleton.joints.size());
  double worst = 0.0;
  for (std::int64_t f = 0; f < std::min(a.FrameCount(), b.FrameCount()); ++f) {
    FrameGlobals(a, f, ga);
    FrameGlobals(b, f, gb);
    for (std::size_t j = 0; j < ga.size(); ++j)
      if (const auto found = inB.find(a.skeleton.joints[j].name); found != inB.end()) {
        const Vector d = Subtract(ga[j].off, gb[found->second].off);
        worst = std::max(worst, std::sqrt(Dot(d, d)));
      }
  }
  return worst;
}

inline std::int64_t JointNamed(const Skeleton& skeleton, const std::string& name) {
  for (std::size_t j = 0; j < skeleton.joints.size(); ++j)
    if (skeleton.joints[j].name == name) return std::int64_t(j);
  ADD_FAILURE() << "no joint " << name;
  return 0;
}

// Loads the module for a test suite, as the tool does.
class WithModule : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Outcome<Module> module = LoadRetargetModule();
    ASSERT_TRUE(module.has_value()) << module.failure().Text();
    module_ = new Module(std::move(module).value());
  }
  static void TearDownTestSuite() {
    delete module_;
    module_ = nullptr;
  }
  static inline Module* module_ = nullptr;
};

}  // namespace norvo::retarget::test
