// norvo-retarget as a user runs it: exit codes, one line on stderr for each
// error, the summary, --quiet, the built-in sample, and the rest alignment
// options with their figures (--no-align, --round-trip, --spread-chains).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "norvo/retarget/solve/pipeline.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

using test::ReadAll;
using test::SharedPath;

class CommandLine : public test::WithTool<> {
 protected:
  const std::string walk_ = SharedPath("cmu_02_01_walk.bvh");
};

// The MakeHuman walk ten times over (310 frames: enough for a clip's second
// thread), its root's first value past what a double holds once scaled at
// frames 50 and 250.
std::string FarFrames() {
  const std::string text = ReadAll(SharedPath("makehuman_zombie_walk.bvh"));
  const std::size_t count = text.find("Frames:"), time = text.find("Frame Time:", count);
  const std::size_t start = text.find('\n', time) + 1;
  std::vector<std::string> frames;
  for (std::size_t at = start, end; at < text.size(); at = end + 1) {
    end = std::min(text.find('\n', at), text.size());
    if (end > at) frames.push_back(text.substr(at, end - at));
  }
  std::string out = text.substr(0, count) + "Frames: " + std::to_string(10 * frames.size()) + "\n" +
                    text.substr(time, start - time);
  for (std::size_t f = 0; f < 10 * frames.size(); ++f) {
    const std::string& line = frames[f % frames.size()];
    out += (f == 50 || f == 250 ? "1.7e308" + line.substr(line.find(' ')) : line) + "\n";
  }
  return out;
}

// Usage errors exit with 1, bad input files with 2; each prints one line.
TEST_F(CommandLine, ErrorsExitWithOneOrTwoAndPrintOneLine) {
  const std::string out = " -o " + Path("out.bvh"), toOther = walk_ + " --target " + SharedPath("cmu_12_03.bvh") + out;
  const std::string bad = Write("bad.bvh", "HIERARCHY\nROOT Hips\nOFFSET 0 0 0\n");
  const std::string notes = Write("notes.txt", "a clip, some day\n");
  const std::string utf16 = Write("utf16.bvh", std::string("\xFF\xFEH\0I\0", 6));
  const std::string fifo = Path("pipe.bvh");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir_.string();
  const std::string badPreset = Write("bad.json", "{\n  \"bodyParts\": {\n    \"Hip\": {}\n  }\n}\n");
  const std::string twice = Write("twice.json", R"({"bodyParts": {"Hips": {}}, "bodyParts": {}})");
  // Outputs onto inputs: a copy of the clip, also through "./" and a link.
  const std::string clip = Write("clip.bvh", ReadAll(walk_)), target = " --target " + SharedPath("cmu_12_03.bvh");
  std::filesystem::create_symlink(clip, Path("link.bvh"));
  std::filesystem::create_symlink(clip, Path("link.json"));
  const std::string farFrames = Write("far_frames.bvh", FarFrames());
  const std::string far =
      Write("far.bvh", std::regex_replace(ReadAll(walk_), std::regex("OFFSET [^\n]*"), "OFFSET 1e308 1e308 1e308"));
  std::filesystem::create_directories(Path("empty"));
  // A batch whose clip t.bvh would land on the target in the output folder.
  std::filesystem::create_directories(Path("clips"));
  std::filesystem::create_directories(Path("outb"));
  std::filesystem::create_symlink(walk_, Path("clips/t.bvh"));
  const std::string inOut = Write("outb/t.bvh", ReadAll(walk_));
  const struct {
    std::string arguments;
    int status;
    std::string error;
  } cases[] = {
      {"--colour red", 1, "The following argument was not expected: --colour (see --help)"},
      {walk_ + out, 1, "--target TARGET.bvh is needed: the rig that receives the motion"},
      {walk_ + " --target " + walk_, 1, "-o OUT.bvh is needed: the file to write"},
      {"--target " + walk_ + out, 1,
       "SOURCE.bvh is missing: give SOURCE.bvh --target TARGET.bvh -o OUT.bvh, or no arguments for the built-in sample"},
      {toOther + " --translation-scale big", 1,
       "--translation-scale takes auto, none or a number from 0.000001 to 1000000; found 'big'"},
      {toOther + " --translation-scale 1e306", 1,
       "--translation-scale takes auto, none or a number from 0.000001 to 1000000; found '1e306'"},
      {toOther + " --preset mocap", 1,
       "unknown preset 'mocap': give a JSON file, generic (by the skeleton's shape) or one of the shipped presets: "
       "biovision, biped, cmu, daz, makehuman-game, mannequin, mixamo, rigify, vrm"},
      {toOther + " --frames 10", 1,
       "--frames takes A:B, the frames from A up to but not including B, counted from 0; found '10'"},
      {toOther + " --frames 300:400", 1, "--frames 300:400 is not within the source's 344 frames (0:344)"},
      // One contact model per run.
      {toOther + " --lock-feet", 1,
       "--lock-feet and the planting that is on by default both move the feet during the source's contacts; give "
       "--no-contacts with --lock-feet"},
      // Numbers said in the tool's words, NaN included; long values quoted in part.
      {toOther + " --fps nan", 1, "--fps: takes a number from 0.001 to 10000 (see --help)"},
      {toOther + " --skin -1", 1, "--skin: takes a skin's number, counted from 0 (see --help)"},
      {toOther + " --frames " + std::string(5000, '7'), 1,
       "--frames takes A:B, the frames from A up to but not including B, counted from 0; found '" +
           std::string(200, '7') + "...'"},
      {toOther + " --spread-chains Spine,Tail", 1,
       "--spread-chains takes none or body parts separated by commas (Spine, Neck, LeftUpperArm, ...); found 'Tail'"},
      {bad + " --target " + walk_ + out, 2, bad + ":3: expected '{' after ROOT Hips, found 'OFFSET 0 0 0'"},
      {Path("missing.bvh") + " --target " + walk_ + out, 2,
       Path("missing.bvh") + ": cannot open the file: No such file or directory"},
      {toOther + " --preset " + badPreset, 2,
       badPreset + ": unknown body part \"Hip\"; the body parts are Hips, Spine, Chest, Neck, Head, LeftShoulder, "
                   "LeftUpperArm, LeftForeArm, LeftHand, LeftThumb, LeftIndex, LeftMiddle, LeftRing, LeftLittle, "
                   "RightShoulder, RightUpperArm, RightForeArm, RightHand, RightThumb, RightIndex, RightMiddle, "
                   "RightRing, RightLittle, LeftUpperLeg, LeftLowerLeg, LeftFoot, LeftToes, RightUpperLeg, "
                   "RightLowerLeg, RightFoot, RightToes"},
      {walk_ + " --target " + walk_ + " -o " + Path("out.txt"), 1,
       "cannot write motion to " + Path("out.txt") +
           ": give a file name that ends in .bvh, .gltf, .glb, .vrm or .vrma"},
      {"--target " + walk_ + " --save-rig " + Path("rig.bvh"), 1,
       "cannot write a rig to " + Path("rig.bvh") + ": give a file name that ends in .json"},
      {notes + " --target " + walk_ + out, 2,
       notes + ": no format reads this file: give a .bvh, .json, .gltf, .glb, .vrm, .vrma or .fbx file"},
      // Files that are no files, or not text the tool reads, are named at once.
      {folder + " --target " + walk_ + out, 2, folder + ": is a folder"},
      {walk_ + " --target " + folder + out, 2, folder + ": is a folder"},
      {fifo + " --target " + walk_ + out, 2, fifo + ": is not a regular file"},
      {"/dev/zero --target " + walk_ + out, 2, "/dev/zero: is not a regular file"},
      {walk_ + " --target " + walk_ + " -o " + fifo, 2, fifo + ": is not a regular file"},
      {utf16 + " --target " + walk_ + out, 2, utf16 + ": is UTF-16 text: save it as UTF-8"},
      {walk_ + " --target " + walk_ + " -o " + Path("no/such/folder/out.bvh"), 2,
       Path("no/such/folder/out.bvh") + ": cannot create the file: there is no folder " + Path("no/such/folder")},
      // No output over an input or over another output.
      {clip + target + " -o " + clip, 1, clip + ": -o would overwrite SOURCE, the same file; write elsewhere"},
      {clip + target + " -o " + Path("./clip.bvh"), 1,
       Path("./clip.bvh") + ": -o would overwrite SOURCE, the same file; write elsewhere"},
      {walk_ + " --target " + clip + " -o " + Path("link.bvh"), 1,
       Path("link.bvh") + ": -o would overwrite --target, the same file; write elsewhere"},
      {toOther + " --report " + Path("out.bvh"), 1,
       Path("out.bvh") + ": -o and --report name one file; give each a file of its own"},
      {clip + target + " -o - --svg -", 1, "-o and --svg both write to standard output; give one of them a file name"},
      {"--target " + clip + " --save-rig " + Path("link.json"), 1,
       Path("link.json") + ": --save-rig would overwrite --target, the same file; write elsewhere"},
      // Numbers past what a double holds; presets that contradict themselves.
      {far + target + out, 2, far + ": the rest pose reaches positions too large to compute"},
      {farFrames + target + out, 2, farFrames + ": frame 50: the motion reaches values too large to compute"},
      {toOther + " --preset " + twice, 2, twice + ": the member \"bodyParts\" is given twice"},
      // A batch of nothing makes nothing.
      {"--batch " + Path("empty") + target + " -o " + Path("made"), 2, "no motion files in " + Path("empty")},
      {"--batch " + Path("clips") + " --target " + inOut + " -o " + Path("outb"), 1,
       inOut + ": the motion of t.bvh would overwrite --target, the same file; write elsewhere"},
      {"--batch " + Path("empty") + target + " -o -", 1,
       "-o takes the folder to write the clips into with --batch, not -"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    Run run = Tool(c.arguments);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.err, "norvo-retarget: error: " + c.error + "\n");
    EXPECT_EQ(run.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(Path("out.bvh")));
  EXPECT_FALSE(std::filesystem::exists(Path("made")));
  EXPECT_EQ(ReadAll(clip), ReadAll(walk_));

  Run help = Tool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("norvo-retarget SOURCE.bvh --target TARGET.bvh -o OUT.bvh"), std::string::npos);
  EXPECT_NE(help.out.find("  makehuman-game: MakeHuman"), std::string::npos);
}

// What comes from files and names is printed as text: no control
// character reaches the terminal, and a line stays one line.
TEST_F(CommandLine, PrintsControlCharactersEscaped) {
  const std::string named = Path("walk\x1b]0;owned\x07\n.bvh");
  std::ofstream(named, std::ios::binary) << std::regex_replace(ReadAll(walk_), std::regex("JOINT LeftUpLeg"),
                                                               "JOINT Left\x1b[31mUpLeg\x07");
  const Run run = Tool("'" + named + "' --target " + SharedPath("cmu_12_03.bvh") + " -o " + Path("out.bvh") +
                       " --report - --svg /dev/null");
  ASSERT_EQ(run.status, 0) << run.err;
  for (const std::string& text : {run.out, run.err}) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.find('\x07'), std::string::npos);
  }
  EXPECT_NE(run.out.find("source  walk\\x1B]0;owned\\x07\\n.bvh: 31 joints"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Left\\x1B[31mUpLeg\\x07"), std::string::npos) << run.out;
}

// A character device takes any output as it is: nothing there is replaced.
TEST_F(CommandLine, WritesToADevice) {
  const Run run = Tool(walk_ + " --target " + SharedPath("cmu_12_03.bvh") +
                       " -o /dev/null --svg /dev/null --report /dev/null --html /dev/null --save-rig /dev/null -q");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const Run glb = Tool(walk_ + " --target " + SharedPath("../gltf/bcn_skinned_human.glb") + " -o /dev/null -q");
  EXPECT_EQ(glb.status, 0) << glb.err;
}

TEST_F(CommandLine, RetargetsTheSharedClipsAndPrintsItsSummary) {
  Run run = Tool(walk_ + " --target " + SharedPath("makehuman_zombie_walk.bvh") + " -o " + Path("out.bvh") +
                 " --frames 1:101 --no-align");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err,
            "norvo-retarget: warning: source cmu_02_01_walk stands along +Y, target makehuman_zombie_walk along +Z: "
            "joint rotations are carried over as they are, so the result leans by the difference\n");
  const std::string wrote = "wrote   " + Path("out.bvh") + ": frames 1 to 100 (100)";
  EXPECT_EQ(run.out.substr(0, run.out.find("root tran")),
            "source  cmu_02_01_walk.bvh: 31 joints, 344 frames at 120 fps; preset cmu (score 31; next mixamo, 19) "
            "puts 31 joints into body parts\n"
            "target  makehuman_zombie_walk.bvh: 75 joints; preset makehuman-game (score 59; next mannequin, -14) "
            "puts 59 joints into body parts\n"
            "paired  31 of 31 body parts; 31 source and 59 target nodes in them, 29 node pairs\n"
            "motion  29 of 75 target joints driven; ");
  EXPECT_NE(run.out.find("\n" + wrote), std::string::npos) << run.out;
  Motion written = test::Ok(ReadBvhFile(Path("out.bvh")));
  EXPECT_EQ(written.FrameCount(), 100);
  EXPECT_EQ(written.skeleton.joints.size(), 75u);

  // --quiet, and a rig that no preset fills: it warns and retargets what it can.
  const std::string stub =
      Write("stub.bvh", "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\n"
                        "CHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"
                        "JOINT Head\n{\nOFFSET 0 5 0\nCHANNELS 3 Zrotation Yrotation Xrotation\n"
                        "End Site\n{\nOFFSET 0 1 0\n}\n}\n}\nMOTION\nFrames: 1\nFrame Time: 0.1\n0 0 0 0 0 0 0 0 0\n");
  run = Tool(walk_ + " --target " + stub + " -o " + Path("quiet.bvh") + " --quiet");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "norvo-retarget: warning: target stub: presets biovision, cmu, daz, makehuman-game, mixamo tie at score "
            "-83; took biovision (choose one with --preset)\n"
            "norvo-retarget: warning: target stub: preset biovision finds no joints for Spine, Chest, Neck, "
            "LeftShoulder, LeftUpperArm, LeftForeArm, LeftHand, RightShoulder, RightUpperArm, RightForeArm, "
            "RightHand, LeftUpperLeg, LeftLowerLeg, LeftFoot, RightUpperLeg, RightLowerLeg, RightFoot; their motion "
            "is left out\n"
            "norvo-retarget: warning: cannot measure the hip height of stub (it needs joints in its Hips and Head "
            "body parts, and below its hips); the root's displacement is not scaled\n");
  EXPECT_EQ(test::Ok(ReadBvhFile(Path("quiet.bvh"))).FrameCount(), 344);
}

// What cannot be measured or used is said, and the rest is done: figures of
// positions past what a double holds are "not measured" (and left out of
// the report), a joint that a preset puts into two body parts is named.
TEST_F(CommandLine, SaysWhatItCannotMeasureOrUse) {
  // The first frame's root put 1e308 away.
  std::string text = ReadAll(walk_);
  const std::size_t first = text.find('\n', text.find("Frame Time:")) + 1;
  std::size_t at = first;
  for (int i = 0; i < 3; ++i) at = text.find(' ', at) + 1;
  const std::string far = Write("far.bvh", text.replace(first, at - first, "1e308 1e308 1e308 "));
  const std::string twice =
      Write("twice.json", R"({"bodyParts": {"Hips": {"keywords": ["Hips"]}, "Spine": {"keywords": ["Hips"]}}})");
  const std::string target = " --target " + SharedPath("cmu_12_03.bvh") + " -o " + Path("out.bvh");
  const struct {
    std::string arguments, out, err;
  } cases[] = {
      {walk_ + " --target " + SharedPath("cmu_12_03.bvh") + " -o -", "HIERARCHY\nROOT Hips\n", ""},
      {far + target + " --report " + Path("report.json"),
       "feet: not measured, the positions are too large to compute\n", ""},
      {walk_ + target + " --preset " + twice, "",
       "norvo-retarget: warning: target cmu_12_03: preset twice (" + twice +
           ") puts joints into more than one body part, where one drives them: Hips in Hips and Spine\n"},
      // A published clip with a frame line more than its Frames line says:
      // the frames declared are read.
      {SharedPath("boxing_toes.bvh") + target, "3069 frames at 100 fps",
       "norvo-retarget: warning: " + SharedPath("boxing_toes.bvh") +
           ": 1 frame line after the 3069 frames that Frames says was not read\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const Run run = Tool(c.arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists("-"));
  const std::string report = ReadAll(Path("report.json"));
  EXPECT_EQ(report.find("null"), std::string::npos);
  EXPECT_EQ(report.find("\"feet\""), std::string::npos);
}

TEST_F(CommandLine, WithoutArgumentsRunsTheBuiltInSample) {
  Run run = Tool("");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("paired  31 of 31 body parts"), std::string::npos) << run.out;
  const std::string marker = "The files are in ";
  const std::size_t at = run.out.find(marker);
  ASSERT_NE(at, std::string::npos) << run.out;
  const std::filesystem::path folder = run.out.substr(at + marker.size(), run.out.find(":\n", at) - at - marker.size());
  EXPECT_TRUE(std::filesystem::exists(folder / "walk.bvh") && std::filesystem::exists(folder / "other_rig.bvh"));
  Motion result = test::Ok(ReadBvhFile(folder / "walk_on_other_rig.bvh"));
  EXPECT_EQ(result.FrameCount(), 120);
  EXPECT_EQ(result.skeleton.joints.size(), 33u);
  std::filesystem::remove_all(folder);
}

// The number that follows `label` in `text`, or -1.
double NumberAfter(const std::string& text, const std::string& label) {
  const std::size_t at = text.find(label);
  return at == std::string::npos ? -1.0 : std::strtod(text.c_str() + at + label.size(), nullptr);
}

using AlignCommandLine = test::WithTool<test::WithModule>;

TEST_F(AlignCommandLine, AlignsByDefaultAndPrintsAndReportsTheFigures) {
  const std::string common = SharedPath("cmu_02_01_walk.bvh") + " --target " + SharedPath("makehuman_zombie_walk.bvh") +
                             " -o ";
  Run run = Tool(common + Path("out.bvh") + " --round-trip --report " + Path("report.json"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");  // the rigs stand along other axes, but the result does not lean
  EXPECT_NE(run.out.find("\nrest    aligned to the source's bone directions; chains spread: Neck (2 joints onto 1)\n"),
            std::string::npos)
      << run.out;
  const double quality = NumberAfter(run.out, "quality body segments point ");
  EXPECT_GE(quality, 0.0);
  EXPECT_LE(quality, 1.2);
  EXPECT_NE(run.out.find("\nfeet    3 and 4 contacts (left, right); in leg lengths, left / right: sliding per second "
                         "source 0.171 / 0.196, result "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\nround   trip back onto cmu_02_01_walk, body segments against the clip's in degrees "
                         "(mean / 95th percentile / largest): all "),
            std::string::npos);
  EXPECT_NE(run.out.find("\n          left forearm    0.00 / 0.00\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\nwrote   " + Path("out.bvh")), std::string::npos);
  const std::string json = ReadAll(Path("report.json"));
  EXPECT_NEAR(NumberAfter(json, "\"quality\": {\n    \"mean\": "), quality, 0.01) << json;
  EXPECT_NE(json.find("\"footSliding\": {\n    \"source\": {\n      \"left\": "), std::string::npos) << json;
  EXPECT_NE(json.find("\"roundTrip\": {\n    \"mean\": "), std::string::npos);
  EXPECT_NE(json.find("      \"left forearm\": {\n        \"mean\": "), std::string::npos);

  // No chains spread; without --round-trip the report leaves it out.
  run = Tool(common + Path("unspread.bvh") + " --spread-chains none --report " + Path("report.json"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\nrest    aligned to the source's bone directions\n"), std::string::npos) << run.out;
  EXPECT_EQ(ReadAll(Path("report.json")).find("roundTrip"), std::string::npos);

  // Locked feet are measured over the same contacts, with the sliding before
  // the lock; the report gives the contacts without planting too.
  run = Tool(common + Path("locked.bvh") + " --lock-feet --no-contacts --report " + Path("report.json"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\nfeet    3 and 4 contacts (left, right); in leg lengths, left / right: sliding per second "
                         "source 0.171 / 0.196, result 0.059 / 0.044 (0.174 / 0.200 before --lock-feet); deepest "),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("\nfloor "), std::string::npos);
  EXPECT_NE(
      ReadAll(Path("report.json")).find("\"contacts\": {\n    \"floor\": 0.0,\n    \"left\": [\n      [\n        6,"),
      std::string::npos);

  // --no-align writes what the plain solver gives, byte for byte.
  run = Tool(common + Path("plain.bvh") + " --no-align -q");
  ASSERT_EQ(run.status, 0) << run.err;
  const Motion clip = test::SharedClip("cmu_02_01_walk.bvh"), target = test::SharedClip("makehuman_zombie_walk.bvh");
  const Rig sourceRig = test::MakeRig(clip.skeleton, "cmu", "walk");
  const Rig targetRig = test::MakeRig(target.skeleton, "makehuman-game", "zombie");
  RetargetOptions plain;
  plain.align = false;
  plain.spreadBodyParts.clear();
  auto retargeter = test::Ok(Retargeter::Create(sourceRig, targetRig, plain));
  const Motion expected = test::Ok(RetargetClip(*retargeter, clip, targetRig, 0, clip.FrameCount()));
  EXPECT_EQ(ReadAll(Path("plain.bvh")), test::Ok(FormatBvh(expected)));
  EXPECT_NE(ReadAll(Path("plain.bvh")), ReadAll(Path("out.bvh")));

  // One joint spread onto two is one joint; a figure that rounds to zero
  // prints without a sign.
  run = Tool(SharedPath("../gltf/makehuman_zombie_walk.glb") + " --target " + SharedPath("cmu_12_03.bvh") + " -o " +
             Path("zombie.bvh"));
  EXPECT_NE(run.out.find("chains spread: Neck (1 joint onto 2)\n"), std::string::npos) << run.out;
  run = Tool(SharedPath("../vrm/test.vrma") + " --target " +
             SharedPath("../vrm/VRMC_materials_mtoon_UV_Animation_Test.vrm") + " -o " + Path("vrma.glb"));
  EXPECT_NE(run.out.find("planted foot highest above it source 0.000 / 0.000,"), std::string::npos) << run.out;

  // The result stands in the target's world: onto the Z-up skeleton facing
  // -Y, the walk along the source's +Z travels along -Y and its head is up
  // +Z; --lock-axis names the written file's axes.
  for (const char* lock : {"", " --lock-axis y"}) {
    SCOPED_TRACE(lock);
    run = Tool(common + Path("world.bvh") + " -q" + lock);
    ASSERT_EQ(run.status, 0) << run.err;
    const Motion world = test::Ok(ReadBvhFile(Path("world.bvh")));
    std::vector<Matrix> first(world.skeleton.joints.size()), last(first.size());
    FrameGlobals(world, 1, first);
    FrameGlobals(world, world.FrameCount() - 1, last);
    // The Hips body part's first joint: the root.
    const std::size_t hips = std::size_t(test::JointNamed(world.skeleton, "Root")),
                      head = std::size_t(test::JointNamed(world.skeleton, "Head"));
    EXPECT_GT(first[head].off.z - first[hips].off.z, 0.9 * Length(Subtract(first[head].off, first[hips].off)));
    const Vector travel = Subtract(last[hips].off, first[hips].off);
    if (*lock == 0) {
      EXPECT_LT(travel.y, -0.9 * Length(travel));
    } else {
      EXPECT_LT(std::abs(travel.y), 1e-6);
      EXPECT_GT(Length(travel), 0.1);  // what the walk sways across it stays
    }
  }
}

// Whether a temporary file of the output is in the folder.
bool Temporary(const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().starts_with(".out.bvh")) return true;
  return false;
}

// An output is replaced whole or not at all: a write cut short by the file
// size limit (the tool's own signal for it ignored) or by SIGTERM leaves the
// old file and no temporary file; writers racing for one file leave one of
// their files, whole.
TEST_F(CommandLine, OutputsAreReplacedWholeOrNotAtAll) {
  const std::string output = Write("out.bvh", "the old file\n");
  const std::string arguments = walk_ + " --target " + SharedPath("cmu_12_03.bvh") + " -q -o " + output;
  const int status = std::system(
      ("sh -c 'ulimit -f 8; exec " + std::string(NORVO_RETARGET_TOOL) + " " + arguments + "' 2>" + Path("err.txt"))
          .c_str());
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(ReadAll(Path("err.txt")), "norvo-retarget: error: " + output +
                                          ": cannot write the file: the file is larger than the system allows\n");
  EXPECT_EQ(ReadAll(output), "the old file\n");
  EXPECT_FALSE(Temporary(dir_));

  // A long clip, stopped as soon as its output is being written.
  std::string text = ReadAll(walk_);
  const std::size_t frames = text.find('\n', text.find("Frame Time:")) + 1;
  const std::string lines = text.substr(frames);
  for (int i = 1; i < 40; ++i) text += lines;
  text.replace(text.find("Frames: 344"), 11, "Frames: 13760");
  const std::string clip = Write("long.bvh", text);
  const pid_t child = ::fork();
  if (child == 0) {
    ::freopen(Path("err.txt").c_str(), "w", stderr);
    ::execl(NORVO_RETARGET_TOOL, NORVO_RETARGET_TOOL, clip.c_str(), "--target", walk_.c_str(), "-q", "-o",
            output.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int stopped = 0;
  while (::waitpid(child, &stopped, WNOHANG) == 0)
    if (Temporary(dir_)) {
      ::kill(child, SIGTERM);
      ::waitpid(child, &stopped, 0);
      break;
    }
  ASSERT_TRUE(WIFEXITED(stopped));
  EXPECT_EQ(WEXITSTATUS(stopped), 143) << "finished before it was stopped";
  EXPECT_EQ(ReadAll(Path("err.txt")), "norvo-retarget: interrupted (SIGTERM)\n");
  EXPECT_EQ(ReadAll(output), "the old file\n");
  EXPECT_FALSE(Temporary(dir_));

  ASSERT_EQ(Tool(arguments).status, 0);
  const std::string whole = ReadAll(output);
  std::string racing;
  for (int i = 0; i < 6; ++i) racing += std::string(NORVO_RETARGET_TOOL) + " " + arguments + " & ";
  ASSERT_EQ(std::system(("sh -c '" + racing + "wait'").c_str()), 0);
  EXPECT_EQ(ReadAll(output), whole);
  EXPECT_FALSE(Temporary(dir_));
}

}  // namespace
}  // namespace norvo::retarget
