// The clip job's parts as a caller sees them: the frames it retargets, the
// progress it reports, where in-place lives, and the figures its report
// shares with its result.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "norvo/retarget/app/arguments.h"
#include "norvo/retarget/app/frames.h"
#include "norvo/retarget/analysis/page.h"
#include "norvo/retarget/app/install.h"
#include "norvo/retarget/app/job.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

TEST(ClipJob, ParseFramesTakesAToBWithinTheClip) {
  struct Case {
    std::string text;
    std::int64_t first, last;  // -1: refused
  } cases[] = {{"", 0, 10},     {"2:5", 2, 5},   {"4:", 4, 10},  {":3", 0, 3},    {"0:10", 0, 10},
               {"9:10", 9, 10}, {"5:5", -1, 0},  {"6:2", -1, 0}, {"0:11", -1, 0}, {"-1:3", -1, 0},
               {"+1:3", -1, 0}, {"1:3x", -1, 0}, {"5", -1, 0},   {":", 0, 10}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::int64_t first = -7, last = -7;
    const Outcome<void> parsed = ParseFrames(c.text, 10, first, last);
    if (c.first < 0) {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.failure().kind, FailureKind::Usage);
      continue;
    }
    ASSERT_TRUE(parsed) << parsed.failure().Text();
    EXPECT_EQ(std::make_pair(first, last), std::make_pair(c.first, c.last));
  }
  std::int64_t first = 0, last = 0;
  EXPECT_EQ(ParseFrames("3:12", 10, first, last).failure().message,
            "--frames 3:12 is not within the source's 10 frames (0:10)");
}

// --in-place and --root-motion in-place are the same one option of the
// solve; only extract changes what is written.
TEST(ClipJob, InPlaceIsTheSolvesOption) {
  struct Case {
    bool inPlaceFlag;
    std::string rootMotion;
    bool inPlace;
    RootMotion written;
  } cases[] = {{false, "", false, RootMotion::Keep},        {true, "", true, RootMotion::Keep},
               {false, "in-place", true, RootMotion::Keep}, {true, "in-place", true, RootMotion::Keep},
               {false, "keep", false, RootMotion::Keep},    {false, "extract", false, RootMotion::Extract}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rootMotion + (c.inPlaceFlag ? " --in-place" : ""));
    Arguments arguments;
    arguments.inPlace = c.inPlaceFlag;
    arguments.rootMotion = c.rootMotion;
    const Outcome<ClipRequest> made = MakeRequestOptions(arguments);
    ASSERT_TRUE(made) << made.failure().Text();
    EXPECT_EQ(made.value().retarget.inPlace, c.inPlace);
    EXPECT_EQ(made.value().root.motion, c.written);
  }
  Arguments both;
  both.inPlace = true;
  both.rootMotion = "extract";
  EXPECT_EQ(MakeRequestOptions(both).failure().message, "--in-place is --root-motion in-place; give one of them");
}

class ClipJobRun : public test::WithModule {
 protected:
  ClipRequest Request() const {
    ClipRequest request;
    request.source = test::SharedPath("cmu_02_01_walk.bvh");
    request.target = test::SharedPath("makehuman_zombie_walk.bvh");
    request.presets = &presets_;
    request.threads = 1;
    return request;
  }
  const std::vector<Preset> presets_ = test::ShippedPresets();
};

// Each frame reports the frames done so far and the frames of the range.
TEST_F(ClipJobRun, FrameDoneCountsTheFramesOfTheRange) {
  for (const auto& [frames, count] : {std::pair<std::string, std::int64_t>{"", 344}, {"10:25", 15}, {"340:", 4}}) {
    SCOPED_TRACE(frames);
    ClipRequest request = Request();
    request.frames = frames;
    request.figures.take = false;
    std::vector<std::int64_t> done;
    bool sameTotal = true;
    request.frameDone = [&](std::int64_t frame, std::int64_t total) {
      done.push_back(frame);
      sameTotal = sameTotal && total == count;
    };
    const Outcome<ClipResult> result = RunClip(request);
    ASSERT_TRUE(result) << result.failure().Text();
    ASSERT_EQ(std::int64_t(done.size()), count);
    for (std::size_t i = 0; i < done.size(); ++i) ASSERT_EQ(done[i], std::int64_t(i) + 1) << i;
    EXPECT_TRUE(sameTotal);
  }
}

// The report holds the figures of the result, not figures of its own.
TEST_F(ClipJobRun, TheReportCarriesTheResultsFigures) {
  ClipRequest request = Request();
  request.frames = "0:120";
  request.figures.keepReport = true;
  request.figures.roundTrip = true;
  const Outcome<ClipResult> run = RunClip(request);
  ASSERT_TRUE(run) << run.failure().Text();
  const ClipResult& result = run.value();
  ASSERT_TRUE(result.report && result.quality && result.roundTrip && result.sourceFeet && result.resultFeet &&
              result.contacts);
  const MatchReport& report = *result.report;
  ASSERT_TRUE(report.quality && report.roundTrip && report.sourceFeet && report.resultFeet && report.contacts);
  EXPECT_EQ(report.quality->all.mean, result.quality->all.mean);
  EXPECT_EQ(report.roundTrip->all.p95, result.roundTrip->all.p95);
  for (int side = 0; side < 2; ++side) {
    EXPECT_EQ(report.sourceFeet->sliding[side], result.sourceFeet->sliding[side]);
    EXPECT_EQ(report.resultFeet->sliding[side], result.resultFeet->sliding[side]);
    EXPECT_EQ(report.resultFeet->deepest[side], result.resultFeet->deepest[side]);
    EXPECT_EQ(report.resultFeet->planted[side], result.resultFeet->planted[side]);
  }
  EXPECT_EQ(report.contacts->floor, result.contacts->floor);
  EXPECT_NE(report.sourceFeet->planted[0], report.resultFeet->planted[0]);
}


// A long clip has its figures taken on a second thread while it is written,
// or, when it is turned into the target's world, taken first and the clip
// turned in place: either way the same figures and the same file as on one
// thread.
TEST_F(ClipJobRun, ALongClipIsMeasuredWhileItIsWrittenOrBeforeItIsTurned) {
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "clip_job_long";
  std::filesystem::create_directories(folder);
  // The MakeHuman walk 50 times over onto its own rig (one world), and the
  // boxing clip onto the MakeHuman rig (turned).
  const Motion walk = test::SharedClip("makehuman_zombie_walk.bvh");
  Motion longWalk = walk;
  for (int i = 1; i < 50; ++i) longWalk.locals.insert(longWalk.locals.end(), walk.locals.begin(), walk.locals.end());
  for (const bool turned : {false, true}) {
    SCOPED_TRACE(turned ? "turned" : "one world");
    ClipResult results[2];
    std::string written[2];
    for (const unsigned threads : {0u, 1u}) {
      ClipRequest request = Request();
      request.source = turned ? test::SharedPath("boxing_toes.bvh") : "long_walk.bvh";
      if (!turned) request.sourceMotion = &longWalk;
      request.threads = threads;
      request.keepMotion = true;
      request.outputs.motion = (folder / ("out" + std::to_string(threads) + ".bvh")).string();
      Outcome<ClipResult> run = RunClip(request);
      ASSERT_TRUE(run) << run.failure().Text();
      results[threads] = std::move(run).value();
      std::ifstream file(request.outputs.motion);
      written[threads].assign(std::istreambuf_iterator<char>(file), {});
    }
    // Long enough for the second thread: frames times target joints.
    ASSERT_GE(results[0].motion.FrameCount() * results[0].target->JointCount(), 100000);
    EXPECT_EQ(results[0].worldRotation != Matrix{}, turned);
    ASSERT_TRUE(results[0].quality && results[0].resultFeet && results[1].quality && results[1].resultFeet);
    EXPECT_EQ(results[0].quality->all.mean, results[1].quality->all.mean);
    EXPECT_EQ(results[0].resultFeet->sliding[1], results[1].resultFeet->sliding[1]);
    EXPECT_FALSE(written[0].empty());
    EXPECT_EQ(written[0], written[1]);
    // The motion kept is the one written: in the target's world.
    EXPECT_EQ(results[0].motion.locals, results[1].motion.locals);
    EXPECT_EQ(test::Ok(FormatBvh(results[0].motion)), written[0]);
  }
  std::filesystem::remove_all(folder);
}

// With a viewer, the page is the 3D one: its script (any file) in base64,
// the licences in a comment, no request allowed, the target's model as the
// writer makes it, each figure's height, and the segments' angles.
TEST_F(ClipJobRun, WithAViewerThePageCarriesTheScriptTheModelsAndTheAngles) {
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "clip_job_solid_page";
  std::filesystem::create_directories(folder);
  const std::string script = (folder / "viewer.js.gz").string(), licences = (folder / "licences.txt").string();
  std::ofstream(script) << "viewer";
  std::ofstream(licences) << "some-package 1.0\n\nMIT -- with a comment's end -->\n";
  SetViewer(script, licences, "");
  ClipRequest request = Request();
  request.target = test::SharedPath("../gltf/bcn_skinned_human.glb");
  request.outputs.page = (folder / "walk.html").string();
  const Outcome<ClipResult> run = RunClip(request);
  UseInstalledPrograms();
  ASSERT_TRUE(run) << run.failure().Text();
  EXPECT_TRUE(run.value().page.threeD);
  std::ifstream file(request.outputs.page);
  const std::string html{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(run.value().page.bytes, html.size());
  EXPECT_NE(html.find("content=\"default-src 'none';"), std::string::npos);
  EXPECT_NE(html.find("<!-- The viewer's script holds these packages:\n\nsome-package 1.0\n\nMIT - - with a comment's "
                      "end - ->\n-->"),
            std::string::npos);
  EXPECT_NE(html.find("<script type=\"text/plain\" id=\"viewer\">dmlld2Vy</script>"), std::string::npos);
  EXPECT_NE(html.find("{\"frames\":344,\"fps\":120.00048,\"sameHeight\":true,"), std::string::npos);
  EXPECT_NE(html.find("\"quality\":{\"segments\":[{\"name\":\"left thigh\",\"counted\":true,\"from\":"),
            std::string::npos);
  // The source (BVH) has no model; the target's is a GLB in base64.
  const std::size_t model = html.find(",\"model\":");
  ASSERT_NE(model, std::string::npos);
  EXPECT_EQ(html.compare(model, 14, ",\"model\":null}"), 0);
  EXPECT_NE(html.find(",\"model\":{\"matrix\":[", model + 1), std::string::npos);
  EXPECT_NE(html.find("\"glb\":\"Z2xURgIAAA"), std::string::npos);  // "glTF", version 2
  std::filesystem::remove_all(folder);
}

// A tool built without the 3D viewer (no npm) writes the 2D page, says why,
// and the page plays in a browser from the file with the network off:
// headless Chromium reads its frame and joint counts, finds no script error,
// and its pictures of two frames differ.
TEST_F(ClipJobRun, WithoutTheViewerThePageIsTheFlatOne) {
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "clip_job_flat_page";
  std::filesystem::create_directories(folder);
  const std::string page = (folder / "walk.html").string();
  SetViewer("", "", "the 3D viewer was not built: node and npm were not found when the tool was built");
  ClipRequest request = Request();
  request.target = test::SharedPath("cmu_12_03.bvh");
  request.outputs.page = page;
  const Outcome<ClipResult> run = RunClip(request);
  UseInstalledPrograms();
  ASSERT_TRUE(run) << run.failure().Text();
  EXPECT_FALSE(run.value().page.threeD);
  EXPECT_EQ(run.value().page.why, "the 3D viewer was not built: node and npm were not found when the tool was built");
  std::ifstream file(page);
  const std::string html{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(run.value().page.bytes, html.size());
  EXPECT_NE(html.find("getContext(\"2d\")"), std::string::npos);
  EXPECT_EQ(html.find("<script src"), std::string::npos);
#ifdef NORVO_SANITIZED
  GTEST_SKIP() << "the browser runs in the normal build only";
#endif
  const std::string chromium = "/usr/bin/chromium";
  if (!std::filesystem::exists(chromium)) GTEST_SKIP() << "no " << chromium << " (scripts/install-deps.sh installs it)";
  const std::string browser = chromium + " --headless --no-sandbox --disable-gpu --no-first-run --mute-audio " +
                              "--proxy-server=127.0.0.1:9 --window-size=640,480 ";
  const std::string dumped = (folder / "dom.html").string();
  auto open = [&](const std::string& what, int frame) {
    return std::system(
        (browser + what + " 'file://" + page + "#frame=" + std::to_string(frame) + "' >" + dumped + " 2>/dev/null")
            .c_str());
  };
  ASSERT_EQ(open("--dump-dom", 3), 0);
  std::ifstream dom(dumped);
  const std::string text{std::istreambuf_iterator<char>(dom), {}};
  EXPECT_NE(text.find("data-frames=\"344\""), std::string::npos) << text.substr(0, 300);
  EXPECT_NE(text.find("data-joints=\"31 31\""), std::string::npos);
  EXPECT_EQ(text.find("data-error"), std::string::npos);
  const std::string a = (folder / "a.png").string(), b = (folder / "b.png").string();
  ASSERT_EQ(open("--screenshot=" + a, 0), 0);
  ASSERT_EQ(open("--screenshot=" + b, 150), 0);
  std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
  const std::string pictures[2] = {std::string{std::istreambuf_iterator<char>(first), {}},
                                   std::string{std::istreambuf_iterator<char>(second), {}}};
  EXPECT_GT(pictures[0].size(), 1000u);
  EXPECT_NE(pictures[0], pictures[1]);
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace norvo::retarget
