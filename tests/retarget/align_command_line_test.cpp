// norvo-retarget's rest alignment options as a user runs them: the default
// aligned run and its figures, --no-align, --round-trip, --spread-chains.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "norvo/retarget/pipeline.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::SharedPath;

std::string ReadAll(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

class AlignCommandLine : public test::WithModule {
 protected:
  struct Run {
    int status;
    std::string out, err;
  };
  void SetUp() override { std::filesystem::create_directories(dir_); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  Run Tool(const std::string& arguments) const {
    const std::string command = std::string(NORVO_RETARGET_TOOL) + " " + arguments + " >" + Path("out.txt") + " 2>" +
                                Path("err.txt") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(Path("out.txt")), ReadAll(Path("err.txt"))};
  }
  // The number that follows `label` in `text`, or -1.
  static double NumberAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    return at == std::string::npos ? -1.0 : std::strtod(text.c_str() + at + label.size(), nullptr);
  }

  const std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
      ("norvo-align-test-" + std::to_string(::getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  const std::string walk_ = SharedPath("cmu_02_01_walk.bvh");
  const std::string zombie_ = SharedPath("makehuman_zombie_walk.bvh");
};

TEST_F(AlignCommandLine, AlignsByDefaultAndPrintsTheFigures) {
  Run run = Tool(walk_ + " --target " + zombie_ + " -o " + Path("out.bvh") + " --round-trip");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");  // the rigs stand along other axes, but the result does not lean
  EXPECT_NE(run.out.find("\nrest    aligned to the source's bone directions; chains spread: Neck (2 joints onto 1)\n"),
            std::string::npos)
      << run.out;
  const double quality = NumberAfter(run.out, "quality paired bones point ");
  EXPECT_GT(quality, 0.0);
  EXPECT_LE(quality, 3.0);
  EXPECT_NE(run.out.find("\nfeet    sliding in contact, leg lengths per second: source left "), std::string::npos);
  EXPECT_NE(run.out.find("\nround   trip back onto cmu_02_01_walk, bone directions against the clip's in degrees "
                         "(mean / 95th percentile / largest): all "),
            std::string::npos);
  EXPECT_NE(run.out.find("\n          LeftForeArm    0.00 / 0.00 / 0.00\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nwrote   " + Path("out.bvh")), std::string::npos);

  // --no-align writes what the plain solver gives, byte for byte.
  run = Tool(walk_ + " --target " + zombie_ + " -o " + Path("plain.bvh") + " --no-align -q");
  ASSERT_EQ(run.status, 0) << run.err;
  const BvhClip clip = test::SharedClip("cmu_02_01_walk.bvh"), target = test::SharedClip("makehuman_zombie_walk.bvh");
  const Rig sourceRig = test::MakeRig(clip.skeleton, "cmu", "walk");
  const Rig targetRig = test::MakeRig(target.skeleton, "makehuman-game", "zombie");
  RetargetOptions plain;
  plain.align = false;
  plain.spreadBodyParts.clear();
  auto retargeter = test::Ok(Retargeter::Create(sourceRig, targetRig, plain));
  const BvhClip expected = test::Ok(RetargetClip(*retargeter, clip, targetRig, 0, clip.FrameCount()));
  EXPECT_EQ(ReadAll(Path("plain.bvh")), test::Ok(FormatBvh(expected)));
  EXPECT_NE(ReadAll(Path("plain.bvh")), ReadAll(Path("out.bvh")));
}

TEST_F(AlignCommandLine, TheReportCarriesTheFigures) {
  Run run = Tool(walk_ + " --target " + zombie_ + " -o " + Path("out.bvh") + " --round-trip -q --report " +
                 Path("report.json"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  const std::string json = ReadAll(Path("report.json"));
  const double quality = NumberAfter(json, "\"quality\": {\n    \"mean\": ");
  EXPECT_GT(quality, 0.0);
  EXPECT_LE(quality, 3.0);
  EXPECT_NE(json.find("\"footSliding\": {\n    \"source\": {\n      \"left\": "), std::string::npos) << json;
  EXPECT_NE(json.find("\"roundTrip\": {\n    \"mean\": "), std::string::npos);
  EXPECT_NE(json.find("      \"LeftForeArm\": {\n        \"mean\": "), std::string::npos);

  // Without --round-trip the report leaves it out.
  run = Tool(walk_ + " --target " + zombie_ + " -o " + Path("out.bvh") + " -q --report " + Path("report.json"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadAll(Path("report.json")).find("roundTrip"), std::string::npos);
}

TEST_F(AlignCommandLine, ChecksTheChainsToSpread) {
  Run run = Tool(walk_ + " --target " + zombie_ + " -o " + Path("out.bvh") + " --spread-chains Spine,Tail");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "norvo-retarget: error: --spread-chains takes none or body parts separated by commas (Spine, Neck, "
            "LeftUpperArm, ...); found 'Tail'\n");
  EXPECT_FALSE(std::filesystem::exists(Path("out.bvh")));

  run = Tool(walk_ + " --target " + zombie_ + " -o " + Path("out.bvh") + " --spread-chains none");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\nrest    aligned to the source's bone directions\n"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace norvo::retarget
