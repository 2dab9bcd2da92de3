// norvo-retarget --batch on a folder of clips with a broken one among them:
// the good ones written, one error line, exit code 2; the same results with
// one worker or several; and every option a clip takes gives in a batch
// what it gives that clip alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

namespace fs = std::filesystem;
using test::ReadAll;
using test::SharedPath;

class Batch : public test::WithTool<> {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "clips");
    // The shared clips linked in, not copied, beside a broken one.
    for (const char* clip : {"cmu_02_01_walk.bvh", "cmu_12_03.bvh", "makehuman_zombie_walk.bvh"})
      fs::create_symlink(SharedPath(clip), dir_ / "clips" / clip);
    std::ofstream(dir_ / "clips" / "broken.bvh") << "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0\n";
    std::ofstream(dir_ / "clips" / "notes.txt") << "not a clip\n";
    std::ofstream(dir_ / "clips" / "odd\nname.txt") << "not a clip either\n";
  }
};

TEST_F(Batch, WritesTheGoodClipsAndReportsTheBrokenOne) {
  const std::string clips = (dir_ / "clips").string();
  const std::string common = "--batch " + clips + " --target " + SharedPath("cmu_12_03.bvh") + " -o ";
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(jobs);
    const fs::path out = dir_ / (std::string("out") + jobs);
    fs::create_directories(out);
    const Run run = Tool(common + out.string() + " --jobs " + jobs);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "norvo-retarget: error: " + clips + "/broken.bvh:4: OFFSET needs 3 numbers, found 2\n");
    for (const char* clip : {"cmu_02_01_walk.bvh", "cmu_12_03.bvh", "makehuman_zombie_walk.bvh"}) {
      EXPECT_NE(run.out.find(std::string("ok      ") + clip + ": "), std::string::npos) << clip << "\n" << run.out;
      EXPECT_TRUE(fs::exists(out / clip)) << clip;
    }
    EXPECT_FALSE(fs::exists(out / "broken.bvh"));
    EXPECT_EQ(run.out.substr(0, run.out.find("target")),
              "skipped notes.txt: not a motion file\nskipped odd\\nname.txt: not a motion file\n");
    EXPECT_NE(run.out.find("total   3 of 4 clips written to " + out.string() + ", 1 failed, 2 skipped; 941 frames in "),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(std::string(" with ") + jobs + (jobs == std::string("1") ? " worker\n" : " workers\n")),
              std::string::npos)
        << run.out;
  }
  // The workers make no difference to the results.
  for (const char* clip : {"cmu_02_01_walk.bvh", "cmu_12_03.bvh", "makehuman_zombie_walk.bvh"})
    EXPECT_EQ(ReadAll(dir_ / "out1" / clip), ReadAll(dir_ / "out2" / clip)) << clip;

  // The clips' own folder as the output would overwrite them.
  const Run same = Tool(common + clips);
  EXPECT_EQ(same.status, 1);
  EXPECT_EQ(same.err,
            "norvo-retarget: error: -o " + clips + " is the folder of the clips; the results would overwrite them\n");
}

// Rig files hold fresh Uuids: the same rig saved twice differs in them alone.
std::string WithoutUuids(const std::string& text) {
  static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  return std::regex_replace(text, uuid, "uuid");
}

TEST_F(Batch, EachOptionGivesEveryClipWhatItGivesTheClipAlone) {
  fs::remove(dir_ / "clips" / "broken.bvh");
  const std::string clips = (dir_ / "clips").string(), target = " --target " + SharedPath("cmu_12_03.bvh");
  const std::string sourceRig = Path("walk.rig.json");
  ASSERT_EQ(Tool("--target " + SharedPath("cmu_02_01_walk.bvh") + " --save-rig " + sourceRig + " -q").status, 0);
  const struct {
    std::string option;
    std::vector<std::string> files;  // what each clip writes beside its motion, by their batch names
  } cases[] = {
      {"", {}},
      {"--no-align", {}},
      {"--in-place", {}},
      {"--round-trip", {}},
      {"--lock-feet --no-contacts", {}},
      {"--source-rig " + sourceRig, {}},
      {"--report report.json", {"report.json"}},
      {"--svg sheet.svg", {"sheet.svg"}},
      {"--save-rig rig.json", {"rig.json"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    const fs::path out = dir_ / "batch", alone = dir_ / "alone";
    fs::remove_all(out);
    fs::remove_all(alone);
    fs::create_directories(alone);
    // Frames 0 to 29: every shared clip has them, and the runs stay short.
    const Run batch = Tool("--batch " + clips + target + " -o " + out.string() + " --frames 0:30 " + c.option);
    for (const char* clip : {"cmu_02_01_walk", "cmu_12_03", "makehuman_zombie_walk"}) {
      SCOPED_TRACE(clip);
      std::string files;
      for (const std::string& file : c.files) {
        const std::string option = c.option.substr(0, c.option.find(' '));
        files += " " + option + " " + (alone / (std::string(clip) + "." + file)).string();
      }
      const std::string options = c.files.empty() ? c.option : "";
      const Run one = Tool(SharedPath(std::string(clip) + ".bvh") + target + " -o " + (alone / clip).string() +
                           ".bvh --frames 0:30 -q " + options + files);
      // A clip the option does not fit fails alone as in the batch.
      if (one.status != 0) {
        EXPECT_NE(batch.err.find(one.err.substr(one.err.find(": error: "))), std::string::npos) << batch.err;
        EXPECT_FALSE(fs::exists(out / (std::string(clip) + ".bvh")));
        continue;
      }
      EXPECT_EQ(ReadAll(out / (std::string(clip) + ".bvh")), ReadAll(alone / (std::string(clip) + ".bvh")));
      for (const std::string& file : c.files) {
        const std::string name = std::string(clip) + "." + file;
        ASSERT_TRUE(fs::exists(out / name)) << name << "\n" << batch.out << batch.err;
        EXPECT_EQ(WithoutUuids(ReadAll(out / name)), WithoutUuids(ReadAll(alone / name))) << name;
      }
    }
    // Only the source rig does not fit a clip: the zombie's joints are others.
    EXPECT_EQ(batch.status, c.option.starts_with("--source-rig") ? 2 : 0) << batch.err;
  }
  // The round trip's figure is on each clip's line.
  const Run trip =
      Tool("--batch " + clips + target + " -o " + (dir_ / "trip").string() + " --frames 0:30 --round-trip");
  EXPECT_NE(trip.out.find("ok      cmu_12_03.bvh: 30 frames, preset cmu, round trip 0.00 / 0.00 / 0.00, "),
            std::string::npos)
      << trip.out;
  // What a batch cannot do is refused and named.
  const Run text = Tool("--batch " + clips + target + " -o " + (dir_ / "text").string() + " --report -");
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(text.err, "norvo-retarget: error: --report - prints one clip's file; with --batch give a file name "
                      "(each clip writes CLIP.NAME)\n");
}

}  // namespace
}  // namespace norvo::retarget
