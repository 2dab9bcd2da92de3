// norvo-retarget as a user runs it: exit codes, one line on stderr for each
// error, the summary, --quiet, the built-in sample.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "retarget_support.h"

namespace norvo::retarget {
namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("norvo-retarget-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name)) << text;
    return Path(name);
  }

  // Runs the tool with `arguments` (already quoted where needed).
  ToolRun Tool(const std::string& arguments) const {
    ToolRun run;
    const std::string command = std::string(NORVO_RETARGET_TOOL) + " " + arguments + " >" + Path("out.txt") + " 2>" +
                                Path("err.txt") + " </dev/null";
    int status = std::system(command.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadAll(Path("out.txt"));
    run.err = ReadAll(Path("err.txt"));
    return run;
  }

  std::filesystem::path dir_;
};

std::string Clip(const char* file) { return test::SharedPath(file); }

// An error is one line: the tool's name, "error:", what was wrong.
void ExpectOneErrorLine(const ToolRun& run, const std::string& text) {
  EXPECT_EQ(run.err, "norvo-retarget: error: " + text + "\n");
  EXPECT_EQ(run.out, "");
}

TEST_F(CommandLine, HelpListsTheOptionsAndTheShippedPresets) {
  ToolRun run = Tool("--help");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("norvo-retarget SOURCE.bvh --target TARGET.bvh -o OUT.bvh"), std::string::npos);
  EXPECT_NE(run.out.find("--translation-scale"), std::string::npos);
  EXPECT_NE(run.out.find("  cmu: CMU-style"), std::string::npos);
  EXPECT_NE(run.out.find("  makehuman-game: MakeHuman"), std::string::npos);
  EXPECT_EQ(run.err, "");
}

TEST_F(CommandLine, UsageErrorsExitWithOne) {
  const std::string walk = Clip("cmu_02_01_walk.bvh"), other = Clip("cmu_12_03.bvh");
  const std::string out = " -o " + Path("out.bvh");
  struct Case {
    std::string arguments;
    std::string error;
  };
  const Case cases[] = {
      {"--colour red", "The following argument was not expected: --colour (see --help)"},
      {walk + out, "--target TARGET.bvh is needed: the rig that receives the motion"},
      {walk + " --target " + other, "-o OUT.bvh is needed: the file to write"},
      {"--target " + other + out,
       "SOURCE.bvh is missing: give SOURCE.bvh --target TARGET.bvh -o OUT.bvh, or no arguments for the built-in sample"},
      {walk + " --target " + other + out + " --translation-scale big",
       "--translation-scale takes auto, none or a number above 0; found 'big'"},
      {walk + " --target " + other + out + " --preset mixamo",
       "unknown preset 'mixamo': give a JSON file or one of the shipped presets: cmu, makehuman-game"},
      {walk + " --target " + other + out + " --frames 10",
       "--frames takes A:B, the frames from A up to but not including B, counted from 0; found '10'"},
      {walk + " --target " + other + out + " --frames 300:400",
       "--frames 300:400 is not within the source's 344 frames (0:344)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    ToolRun run = Tool(c.arguments);
    EXPECT_EQ(run.status, 1);
    ExpectOneErrorLine(run, c.error);
  }
  EXPECT_FALSE(std::filesystem::exists(Path("out.bvh")));
}

TEST_F(CommandLine, BadInputFilesExitWithTwoNamingFileAndLine) {
  const std::string walk = Clip("cmu_02_01_walk.bvh");
  const std::string bad = Write("bad.bvh", "HIERARCHY\nROOT Hips\nOFFSET 0 0 0\n");
  const std::string badPreset = Write("bad.json", "{\n  \"bodyParts\": {\n    \"Hip\": {}\n  }\n}\n");
  const std::string out = " -o " + Path("out.bvh");
  struct Case {
    std::string arguments;
    std::string error;
  };
  const Case cases[] = {
      {bad + " --target " + walk + out, bad + ":3: expected '{' after ROOT Hips, found 'OFFSET 0 0 0'"},
      {walk + " --target " + bad + out, bad + ":3: expected '{' after ROOT Hips, found 'OFFSET 0 0 0'"},
      {Path("missing.bvh") + " --target " + walk + out, Path("missing.bvh") + ": cannot open the file"},
      {walk + " --target " + walk + out + " --preset " + badPreset,
       badPreset + ": unknown body part \"Hip\"; the body parts are Hips, Spine, Chest, Neck, Head, LeftShoulder, "
                   "LeftUpperArm, LeftForeArm, LeftHand, LeftThumb, LeftFingers, RightShoulder, RightUpperArm, "
                   "RightForeArm, RightHand, RightThumb, RightFingers, LeftUpperLeg, LeftLowerLeg, LeftFoot, "
                   "LeftToes, RightUpperLeg, RightLowerLeg, RightFoot, RightToes"},
      {walk + " --target " + walk + " -o " + Path("no/such/folder/out.bvh"),
       Path("no/such/folder/out.bvh") + ": cannot create the file: there is no folder " + Path("no/such/folder")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    ToolRun run = Tool(c.arguments);
    EXPECT_EQ(run.status, 2);
    ExpectOneErrorLine(run, c.error);
  }
}

TEST_F(CommandLine, RetargetsTheSharedClipsAndPrintsItsSummary) {
  ToolRun run = Tool(Clip("cmu_02_01_walk.bvh") + " --target " + Clip("makehuman_zombie_walk.bvh") + " -o " +
                 Path("out.bvh") + " --frames 1:101");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err,
            "norvo-retarget: warning: source cmu_02_01_walk stands along +Y, target makehuman_zombie_walk along +Z: "
            "joint rotations are carried over as they are, so the result leans by the difference\n");
  std::istringstream lines(run.out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line);
  ASSERT_EQ(got.size(), 5u) << run.out;
  EXPECT_EQ(got[0],
            "source  cmu_02_01_walk.bvh: 31 joints, 344 frames at 120 fps; preset cmu puts 31 joints into body parts");
  EXPECT_EQ(got[1], "target  makehuman_zombie_walk.bvh: 75 joints; preset makehuman-game puts 59 joints into body parts");
  EXPECT_EQ(got[2], "paired  25 of 25 body parts; 31 source and 59 target nodes in them, 29 node pairs");
  EXPECT_EQ(got[3].substr(0, 48), "motion  29 of 75 target joints driven; root tran");
  EXPECT_EQ(got[4].substr(0, 8 + Path("out.bvh").size() + 23),
            "wrote   " + Path("out.bvh") + ": frames 1 to 100 (100)");
  BvhClip written = test::Ok(ReadBvhFile(Path("out.bvh")));
  EXPECT_EQ(written.FrameCount(), 100);
  EXPECT_EQ(written.skeleton.joints.size(), 75u);

  ToolRun quiet = Tool(Clip("cmu_02_01_walk.bvh") + " --target " + Clip("cmu_12_03.bvh") + " -o " + Path("quiet.bvh") +
                   " --quiet");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  EXPECT_TRUE(std::filesystem::exists(Path("quiet.bvh")));
}

TEST_F(CommandLine, ARigThatNoPresetFillsWarnsAndRetargetsWhatItCan) {
  const std::string stub = Write("stub.bvh",
                                 "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\n"
                                 "CHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"
                                 "JOINT Head\n{\nOFFSET 0 5 0\nCHANNELS 3 Zrotation Yrotation Xrotation\n"
                                 "End Site\n{\nOFFSET 0 1 0\n}\n}\n}\nMOTION\nFrames: 1\nFrame Time: 0.1\n0 0 0 0 0 0 0 0 0\n");
  ToolRun run = Tool(Clip("cmu_02_01_walk.bvh") + " --target " + stub + " -o " + Path("out.bvh") + " -q");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "norvo-retarget: warning: target stub: preset cmu finds no joints for Spine, Chest, Neck, LeftShoulder, "
            "LeftUpperArm, LeftForeArm, LeftHand, LeftThumb, LeftFingers, RightShoulder, RightUpperArm, RightForeArm, "
            "RightHand, RightThumb, RightFingers, LeftUpperLeg, LeftLowerLeg, LeftFoot, LeftToes, RightUpperLeg, "
            "RightLowerLeg, RightFoot, RightToes; their motion is left out\n"
            "norvo-retarget: warning: cannot measure the hip height of stub (it needs joints in its Hips and Head "
            "body parts, and below its hips); the root's displacement is not scaled\n");
}

TEST_F(CommandLine, WithoutArgumentsRunsTheBuiltInSample) {
  ToolRun run = Tool("");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::string marker = "The files are in ";
  std::size_t at = run.out.find(marker);
  ASSERT_NE(at, std::string::npos) << run.out;
  std::string folder = run.out.substr(at + marker.size(), run.out.find(":\n", at) - at - marker.size());
  for (const char* file : {"walk.bvh", "other_rig.bvh", "walk_on_other_rig.bvh"})
    EXPECT_TRUE(std::filesystem::exists(folder + "/" + file)) << folder << "/" << file;
  BvhClip result = test::Ok(ReadBvhFile(folder + "/walk_on_other_rig.bvh"));
  EXPECT_EQ(result.FrameCount(), 120);
  EXPECT_EQ(result.skeleton.joints.size(), 33u);
  EXPECT_NE(run.out.find("paired  25 of 25 body parts"), std::string::npos) << run.out;
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace norvo::retarget
