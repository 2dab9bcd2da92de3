// Rig files: a saved rig reads back as the rig it was saved from, the tool
// retargets onto it exactly as onto the BVH file and keeps a hand-corrected
// mapping, and files that are not rigs are refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "norvo/retarget/io/rigfile.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

using test::SharedPath;

using test::ReadAll;

class RigFile : public test::WithModule {};

TEST_F(RigFile, ReadsBackTheRigItWasSavedFrom) {
  const Motion zombie = test::SharedClip("makehuman_zombie_walk.bvh");
  const Rig rig = test::MakeRig(zombie.skeleton, "makehuman-game", "zombie");
  const std::string text = test::Ok(FormatRigFile(rig));
  const Rig loaded = test::Ok(ParseRigFile(text, "zombie.json"));
  // What the file holds writes back the same, and the rig works out the
  // same from it.
  EXPECT_EQ(test::Ok(FormatRigFile(loaded)), text);
  EXPECT_EQ(loaded.restGlobals, rig.restGlobals);
  EXPECT_EQ(loaded.parts.joints, rig.parts.joints);
  EXPECT_EQ(loaded.parts.covered, rig.parts.covered);
  EXPECT_EQ(loaded.parts.empty, rig.parts.empty);
  EXPECT_EQ(loaded.measured, rig.measured);
  EXPECT_EQ(loaded.hipHeight, rig.hipHeight);

  // A name that is not UTF-8 has no place in the file.
  Skeleton latin = zombie.skeleton;
  latin.joints[3].name = "Spine\xe9";
  Outcome<std::string> refused = FormatRigFile(test::MakeRig(latin, "makehuman-game"));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.failure().Text(), "the rig has a joint name that is not UTF-8 text");
}

TEST_F(RigFile, RefusesFilesThatAreNotRigs) {
  const Rig rig = test::MakeRig(test::SharedClip("cmu_02_01_walk.bvh").skeleton, "cmu", "walk");
  const std::string text = test::Ok(FormatRigFile(rig));
  auto replaced = [&](const std::string& from, const std::string& to) { return test::Replaced(text, from, to); };
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {text.substr(0, 100), "rig.json: not a rig file: byte 101: malformed JSON"},
      {replaced(",\"sections\":{\"norvo-retarget\"", ",\"sections\":{\"other\""),
       "rig.json: not a rig file: the section \"norvo-retarget\" is missing"},
      {replaced("\"name\":\"Hips\"", "\"name\":\"Hip\""),
       "rig.json: the skeleton tree does not list the rig's joints in order"},
      {replaced("\"name\":\"Hips\"", "\"name\":\"Hips}\\n\""),
       "rig.json: joint 0 has a name that a BVH file cannot hold"},
      {replaced("\"name\":\"Hips\"", "\"name\":\"Hips \""), "rig.json: joint 0 has a name that a BVH file cannot hold"},
      {replaced("\"parent\":0", "\"parent\":5"),
       "rig.json: joint 1 has parent 5: a joint's parent comes before it, and only the first joint is a root"},
      {replaced("\"_identifier\":\"Head\"", "\"_identifier\":\"Skull\""), "rig.json: the body part Head is missing"},
      {replaced("{\"channels\":[\"Zrotation\",\"Yrotation\",\"Xrotation\"]",
                "{\"channels\":[\"Zrotation\",\"Yrotation\"]"),
       "rig.json: joint 1 does not have 0, 3 or 6 channels"},
      // Layouts the BVH reader refuses: a rotation three times, positions alone.
      {replaced("{\"channels\":[\"Zrotation\",\"Yrotation\",\"Xrotation\"]",
                "{\"channels\":[\"Xrotation\",\"Xrotation\",\"Xrotation\"]"),
       "rig.json: joint 1's channels are not three rotations, alone or with three positions, each once"},
      {replaced("{\"channels\":[\"Zrotation\",\"Yrotation\",\"Xrotation\"]",
                "{\"channels\":[\"Xposition\",\"Yposition\",\"Zposition\"]"),
       "rig.json: joint 1's channels are not three rotations, alone or with three positions, each once"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Outcome<Rig> loaded = ParseRigFile(c.text, "rig.json");
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.failure().kind, FailureKind::BadInput);
    EXPECT_EQ(loaded.failure().Text(), c.message);
  }
  // Every name the BVH reader takes reads back, spaces inside it too.
  Skeleton biped = rig.skeleton;
  biped.joints[1].name = "Bip01 L Thigh";
  const Rig spaced = test::Ok(BuildRig("biped", biped, test::ShippedPresets()[2]));
  EXPECT_EQ(test::Ok(ParseRigFile(test::Ok(FormatRigFile(spaced)), "rig.json")).skeleton.joints[1].name,
            "Bip01 L Thigh");
}

class RigFileTool : public test::WithTool<> {
 protected:
  // Quiet runs; the exit code.
  int Tool(const std::string& arguments) const { return WithTool::Tool("-q " + arguments).status; }

  const std::string walk_ = SharedPath("cmu_02_01_walk.bvh");
  const std::string zombie_ = SharedPath("makehuman_zombie_walk.bvh");
};

TEST_F(RigFileTool, RetargetsOntoASavedRigAsOntoItsMotionFile) {
  ASSERT_EQ(Tool("--target " + zombie_ + " --save-rig " + Path("zombie.json")), 0) << ReadAll(Path("err.txt"));
  ASSERT_EQ(Tool(walk_ + " --target " + zombie_ + " -o " + Path("direct.bvh") + " --save-rig " + Path("again.json")),
            0);
  ASSERT_EQ(Tool(walk_ + " --target " + Path("zombie.json") + " -o " + Path("saved.bvh")), 0)
      << ReadAll(Path("err.txt"));
  const std::string direct = ReadAll(Path("direct.bvh"));
  ASSERT_FALSE(direct.empty());
  EXPECT_EQ(ReadAll(Path("saved.bvh")), direct);

  // The source from a saved rig too.
  ASSERT_EQ(Tool("--target " + walk_ + " --save-rig " + Path("walk.json")), 0);
  ASSERT_EQ(Tool(walk_ + " --source-rig " + Path("walk.json") + " --target " + Path("zombie.json") + " -o " +
                 Path("both.bvh")),
            0)
      << ReadAll(Path("err.txt"));
  EXPECT_EQ(ReadAll(Path("both.bvh")), direct);
  // A source rig of other joints does not fit the clip.
  EXPECT_EQ(Tool(walk_ + " --source-rig " + Path("zombie.json") + " --target " + zombie_ + " -o " + Path("x.bvh")), 2);

  // A hand-corrected mapping is what the tool uses: with the head's body part
  // emptied in the file, the head no longer follows the motion.
  std::string rig = ReadAll(Path("zombie.json"));
  const std::size_t head = rig.find("\"_identifier\":\"Head\"");
  ASSERT_NE(head, std::string::npos);
  const std::size_t nodes = rig.find("\"_skeletonNodes\":[", head) + 18;
  rig.replace(nodes, rig.find(']', nodes) - nodes, "");
  std::ofstream(Path("edited.json"), std::ios::binary) << rig;
  ASSERT_EQ(Tool(walk_ + " --target " + Path("edited.json") + " -o " + Path("edited.bvh")), 0)
      << ReadAll(Path("err.txt"));
  EXPECT_NE(ReadAll(Path("edited.bvh")), direct);
  // Nor does a preset change it.
  const Run preset = WithTool::Tool("--target " + Path("zombie.json") + " --preset cmu --save-rig " + Path("x.json"));
  EXPECT_EQ(preset.status, 1);
  EXPECT_EQ(preset.err,
            "norvo-retarget: error: --preset does not apply to a rig file: its body parts are kept as they are\n");
}

// A rig saved from a target of any format reads back and takes the motion as
// the target itself does; a run that fails leaves no rig behind.
TEST_F(RigFileTool, SavedRigsOfEveryTargetFormatReadBack) {
  for (const std::string& target :
       {zombie_, SharedPath("../gltf/bcn_skinned_human.glb"), SharedPath("../gltf/makehuman_zombie_walk.glb"),
        SharedPath("../vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm"),
        SharedPath("../fbx/makehuman_zombie_walk.fbx")}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(Tool("--target " + target + " --save-rig " + Path("saved.json")), 0) << ReadAll(Path("err.txt"));
    ASSERT_EQ(Tool(walk_ + " --target " + target + " -o " + Path("direct.bvh")), 0) << ReadAll(Path("err.txt"));
    ASSERT_EQ(Tool(walk_ + " --target " + Path("saved.json") + " -o " + Path("saved.bvh")), 0)
        << ReadAll(Path("err.txt"));
    EXPECT_EQ(ReadAll(Path("saved.bvh")), ReadAll(Path("direct.bvh")));
  }

  // Values that overflow in the solve: the clip fails after its rigs are
  // made, and its rig is not written.
  const std::string far = Write(
      "far.bvh",
      std::regex_replace(ReadAll(walk_), std::regex("\nFrame Time: ([^\n]*)\n[^\n ]+"), "\nFrame Time: $1\n1e308"));
  const Run failed = WithTool::Tool(far + " --target " + zombie_ + " -o " + Path("far.out.bvh") + " --save-rig " +
                                    Path("far.json") + " --translation-scale 1000");
  EXPECT_EQ(failed.status, 2) << failed.err;
  EXPECT_NE(failed.err.find("too large to compute"), std::string::npos) << failed.err;
  EXPECT_FALSE(std::filesystem::exists(Path("far.json")));
  EXPECT_FALSE(std::filesystem::exists(Path("far.out.bvh")));
}

}  // namespace
}  // namespace norvo::retarget
