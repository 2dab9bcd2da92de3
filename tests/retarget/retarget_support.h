// Helpers of the retargeting tool's tests: the shared clips, and the module
// loaded once for the tests that need it.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "norvo/registry.h"
#include "norvo/retarget/bvh.h"
#include "norvo/retarget/install.h"
#include "norvo/retarget/preset.h"
#include "norvo/retarget/rig.h"

namespace norvo::retarget::test {

inline std::string SharedPath(const std::string& file) { return std::string(NORVO_SHARED_BVH_DIR) + "/" + file; }

// The clip of a text that must be valid.
inline BvhClip Clip(const std::string& text) {
  Outcome<BvhClip> clip = ParseBvh(text, "test.bvh");
  EXPECT_TRUE(clip.has_value()) << (clip ? "" : clip.failure().Text());
  return clip ? std::move(clip).value() : BvhClip();
}

inline BvhClip SharedClip(const std::string& file) {
  Outcome<BvhClip> clip = ReadBvhFile(SharedPath(file));
  EXPECT_TRUE(clip.has_value()) << (clip ? "" : clip.failure().Text());
  return clip ? std::move(clip).value() : BvhClip();
}

// The value of an outcome that must hold one.
template <class T>
T Ok(Outcome<T> outcome) {
  if (!outcome) {
    ADD_FAILURE() << outcome.failure().Text();
    std::abort();
  }
  return std::move(outcome).value();
}

inline std::vector<Preset> ShippedPresets() { return Ok(ReadPresetFolder(ShippedPresetFolder())); }

inline Preset ShippedPreset(const std::string& name) {
  for (Preset& preset : ShippedPresets())
    if (preset.name == name) return preset;
  ADD_FAILURE() << "no shipped preset " << name;
  return Preset();
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
