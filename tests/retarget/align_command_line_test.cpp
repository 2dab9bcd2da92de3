// norvo-retarget's rest alignment options as a user runs them: the default
// aligned run and its figures, --no-align, --round-trip, --spread-chains.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "norvo/retarget/pipeline.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

using test::ReadAll;
using test::SharedPath;

// The number that follows `label` in `text`, or -1.
double NumberAfter(const std::string& text, const std::string& label) {
  const std::size_t at = text.find(label);
  return at == std::string::npos ? -1.0 : std::strtod(text.c_str() + at + label.size(), nullptr);
}

using AlignCommandLine = test::WithTool<test::WithModule>;

TEST_F(AlignCommandLine, AlignsByDefaultAndPrintsAndReportsTheFigures) {
  const std::string common = SharedPath("cmu_02_01_walk.bvh") + " --target " +
                             SharedPath("makehuman_zombie_walk.bvh") + " -o ";
  Run run = Tool(common + Path("out.bvh") + " --round-trip --report " + Path("report.json"));
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
  const std::string json = ReadAll(Path("report.json"));
  EXPECT_NEAR(NumberAfter(json, "\"quality\": {\n    \"mean\": "), quality, 0.01) << json;
  EXPECT_NE(json.find("\"footSliding\": {\n    \"source\": {\n      \"left\": "), std::string::npos) << json;
  EXPECT_NE(json.find("\"roundTrip\": {\n    \"mean\": "), std::string::npos);
  EXPECT_NE(json.find("      \"LeftForeArm\": {\n        \"mean\": "), std::string::npos);

  // No chains spread; without --round-trip the report leaves it out.
  run = Tool(common + Path("unspread.bvh") + " --spread-chains none --report " + Path("report.json"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\nrest    aligned to the source's bone directions\n"), std::string::npos) << run.out;
  EXPECT_EQ(ReadAll(Path("report.json")).find("roundTrip"), std::string::npos);

  // --no-align writes what the plain solver gives, byte for byte.
  run = Tool(common + Path("plain.bvh") + " --no-align -q");
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

}  // namespace
}  // namespace norvo::retarget
