// norvo-retarget --batch on a folder of clips with a broken one among them:
// the good ones written, one error line, exit code 2; the same results with
// one worker or several.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
    EXPECT_NE(run.out.find("total   3 of 4 clips written to " + out.string() + ", 1 failed; 941 frames in "),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(std::string(" with ") + jobs + " workers\n"), std::string::npos) << run.out;
  }
  // The workers make no difference to the results.
  for (const char* clip : {"cmu_02_01_walk.bvh", "cmu_12_03.bvh", "makehuman_zombie_walk.bvh"})
    EXPECT_EQ(ReadAll(dir_ / "out1" / clip), ReadAll(dir_ / "out2" / clip)) << clip;

  // The clips' own folder as the output would overwrite them.
  const Run same = Tool(common + clips);
  EXPECT_EQ(same.status, 1);
  EXPECT_EQ(same.err, "norvo-retarget: error: -o " + clips +
                          " is the folder of the clips; the results would overwrite them\n");
}

}  // namespace
}  // namespace norvo::retarget
