// FBX: the shared clips read as the BVH clips they were made from, sources
// and targets alike; pivots, units and key times of a hand-written file;
// damaged files refused with one line, the reader's crash included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "failing_new.h"
#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/io/fbx.h"
#include "norvo/retarget/app/job.h"
#include "retarget_support.h"
#include "tool_support.h"

extern char** environ;

namespace norvo::retarget {
namespace {

using test::Ok;
using test::SharedPath;

using Fbx = test::WithTool<test::WithModule>;

// A hand-written ASCII FBX: Hips 1 m up; Spine 0.2 m above it with a
// pre-rotation of 90 degrees about Z, a post-rotation of 90 about Y, a
// rotation offset of 0.05 m along X and a rotation pivot 0.1 m up; Head 0.3 m
// along Spine's X. Spine turns 0 to 90 degrees about Y from 0 to 1.0083 s
// (30.25 frames at 30 fps).
// `unit` is the file's centimetres per unit, `scale` what the lengths are
// divided by to stay the same.
std::string HandWritten(const char* unit, double scale) {
  auto length = [&](double centimetres) { return std::to_string(centimetres / scale); };
  return std::string(R"(; FBX 7.4.0 project file
FBXHeaderExtension:  {
	FBXHeaderVersion: 1003
	FBXVersion: 7400
}
GlobalSettings:  {
	Version: 1000
	Properties70:  {
		P: "UpAxis", "int", "Integer", "",1
		P: "UpAxisSign", "int", "Integer", "",1
		P: "UnitScaleFactor", "double", "Number", "",)") +
         unit + R"(
		P: "TimeMode", "enum", "", "",6
	}
}
Objects:  {
	Model: 1000, "Model::Hips", "LimbNode" {
		Version: 232
		Properties70:  {
			P: "Lcl Translation", "Lcl Translation", "", "A",0,)" +
         length(100) + R"(,0
		}
	}
	Model: 1001, "Model::Spine", "LimbNode" {
		Version: 232
		Properties70:  {
			P: "RotationActive", "bool", "", "",1
			P: "PreRotation", "Vector3D", "Vector", "",0,0,90
			P: "PostRotation", "Vector3D", "Vector", "",0,90,0
			P: "RotationOffset", "Vector3D", "Vector", "",)" +
         length(5) + R"(,0,0
			P: "RotationPivot", "Vector3D", "Vector", "",0,)" +
         length(10) + R"(,0
			P: "Lcl Translation", "Lcl Translation", "", "A",0,)" +
         length(20) + R"(,0
		}
	}
	Model: 1002, "Model::Head", "LimbNode" {
		Version: 232
		Properties70:  {
			P: "Lcl Translation", "Lcl Translation", "", "A",)" +
         length(30) + R"(,0,0
		}
	}
	AnimationStack: 2000, "AnimStack::Take 001", "" {
	}
	AnimationLayer: 2001, "AnimLayer::BaseLayer", "" {
	}
	AnimationCurveNode: 2002, "AnimCurveNode::R", "" {
		Properties70:  {
			P: "d|X", "Number", "", "A",0
			P: "d|Y", "Number", "", "A",0
			P: "d|Z", "Number", "", "A",0
		}
	}
	AnimationCurve: 2003, "AnimCurve::", "" {
		Default: 0
		KeyVer: 4008
		KeyTime: *2 {
			a: 0,46571085150
		}
		KeyValueFloat: *2 {
			a: 0,90
		}
		KeyAttrFlags: *1 {
			a: 24836
		}
		KeyAttrDataFloat: *4 {
			a: 0,0,218434821,0
		}
		KeyAttrRefCount: *1 {
			a: 2
		}
	}
}
Connections:  {
	C: "OO",1000,0
	C: "OO",1001,1000
	C: "OO",1002,1001
	C: "OO",2001,2000
	C: "OO",2002,2001
	C: "OP",2002,1001, "Lcl Rotation"
	C: "OP",2003,2002, "d|Y"
}
)";
}

// Each joint's bone (from its parent) in every frame of two motions of one
// skeleton: the mean and the largest angle between them, in degrees.
std::pair<double, double> BoneAngles(const Motion& a, const Motion& b) {
  std::vector<Matrix> ga(a.skeleton.joints.size()), gb(ga.size());
  double sum = 0.0, worst = 0.0;
  std::int64_t count = 0;
  for (std::int64_t f = 0; f < std::min(a.FrameCount(), b.FrameCount()); ++f) {
    FrameGlobals(a, f, ga);
    FrameGlobals(b, f, gb);
    for (std::size_t j = 1; j < ga.size(); ++j) {
      const std::size_t p = std::size_t(a.skeleton.joints[j].parent);
      const Vector u = Subtract(ga[j].off, ga[p].off), v = Subtract(gb[j].off, gb[p].off);
      if (!(Length(u) > 1e-9 && Length(v) > 1e-9)) continue;
      const double angle = std::acos(std::clamp(Dot(u, v) / Length(u) / Length(v), -1.0, 1.0)) * 180 / M_PI;
      sum += angle, worst = std::max(worst, angle), ++count;
    }
  }
  return {sum / double(std::max<std::int64_t>(count, 1)), worst};
}

// The first array of a binary FBX (32-bit words, below version 7500) in a
// record named `name`, of `encoding` (0 raw, 1 zlib) and more than two
// values: where its type byte is, its count, and the animation curve it is in.
struct FbxArray {
  std::size_t at = 0;
  std::uint32_t count = 0, bytes = 0;
  std::int64_t curve = 0;
};
FbxArray FindArray(const std::string& fbx, const std::string& name, std::uint32_t encoding) {
  auto word = [&](std::size_t at) {
    std::uint32_t w = 0;
    std::memcpy(&w, fbx.data() + at, 4);
    return w;
  };
  FbxArray found;
  std::int64_t curve = 0;
  std::function<bool(std::size_t, std::size_t)> list = [&](std::size_t at, std::size_t end) {
    while (at + 13 <= end && word(at) != 0) {
      const std::size_t next = word(at), properties = at + 13 + std::uint8_t(fbx[at + 12]);
      const std::string record = fbx.substr(at + 13, std::uint8_t(fbx[at + 12]));
      if (record == "AnimationCurve") std::memcpy(&curve, fbx.data() + properties + 1, 8);
      if (record == name && std::strchr("fdil", fbx[properties]) && word(properties + 5) == encoding &&
          word(properties + 1) > 2) {
        found = {properties, word(properties + 1), word(properties + 9), curve};
        return true;
      }
      if (list(properties + word(at + 8), next)) return true;
      at = next;
    }
    return false;
  };
  EXPECT_TRUE(list(27, fbx.size())) << name;
  return found;
}

// The shared FBX clips, made from the BVH clips by another application, read
// as the BVH clips in every frame, and carry onto another skeleton as they
// do: within the floats and the few keys the exporter thinned. The feet are
// left unplanted and the root's travel scaled alike: FBX keeps no End Sites,
// so the hip height differs. Both FBX files hold another rest pose than their
// BVH clips (the clip's first frame, not its offsets): every counted segment
// but the feet comes out the same, while each foot turns from its own file's
// rest (the hands, not counted, end on finger joints the exporter moved).
TEST_F(Fbx, SourcesCarryAsTheirBvhClipsDo) {
  const std::vector<Preset> presets = test::ShippedPresets();
  for (const char* clip : {"cmu_02_01_walk", "makehuman_zombie_walk"}) {
    SCOPED_TRACE(clip);
    const auto [meanRead, largestRead] =
        BoneAngles(Ok(ReadAsset(SharedPath("../fbx/" + std::string(clip) + ".fbx"))).motion,
                   test::SharedClip(std::string(clip) + ".bvh"));
    EXPECT_LE(meanRead, 0.1);
    EXPECT_LE(largestRead, 0.5);
    ClipResult results[2];
    for (int k = 0; k < 2; ++k) {
      ClipRequest request;
      request.source = SharedPath(k == 0 ? "../fbx/" + std::string(clip) + ".fbx" : std::string(clip) + ".bvh");
      request.target = SharedPath("cmu_12_03.bvh");
      request.presets = &presets;
      request.feet.plant = false;
      request.retarget.scale = RetargetOptions::Scale::Fixed;
      request.retarget.fixedScale = 0.9;
      results[k] = Ok(RunClip(request));
    }
    ASSERT_EQ(results[0].motion.FrameCount(), results[1].motion.FrameCount());
    const Rig& target = *results[0].target;
    const SegmentFigures same =
        Ok(CompareSegments(results[1].motion, target, 0, results[0].motion, target, Matrix{}, Matrix{}));
    for (const SegmentFigure& segment : same.segments) {
      SCOPED_TRACE(segment.name);
      EXPECT_EQ(segment.measured, segment.counted);  // CMU's fingers start on the wrist
      if (segment.counted && !segment.name.ends_with("foot")) {
        EXPECT_LE(segment.figure.mean, 0.1);
      }
    }
  }
}

// Each FBX as a target, written as BVH: the bones point as the source's do,
// and the file reads back. (As GLB: the glTF writing tests.)
TEST_F(Fbx, ModelsAreTargets) {
  const std::vector<Preset> presets = test::ShippedPresets();
  for (const std::string model : {"cmu_02_01_walk", "makehuman_zombie_walk"}) {
    SCOPED_TRACE(model);
    ClipRequest request;
    request.source = SharedPath("cmu_02_01_walk.bvh");
    request.target = SharedPath("../fbx/" + model + ".fbx");
    request.presets = &presets;
    request.outputs.motion = Path(model + ".bvh");
    const ClipResult result = Ok(RunClip(request));
    EXPECT_LE(result.quality->all.mean, 2.0);
    const Motion back = Ok(ReadBvhFile(Path(model + ".bvh")));
    EXPECT_EQ(back.FrameCount(), 344);
    EXPECT_EQ(back.skeleton.Count(), result.target->JointCount());
  }
}

// Pivots fold into the joints, key times round to the file's frames, and a
// file in metres reads as the same one in centimetres.
TEST_F(Fbx, PivotsUnitsAndKeyTimes) {
  Motion motions[2];
  const char* notes[2] = {"animation Take 001; unit 1 cm (read in metres); up +Y",
                          "animation Take 001; unit 1 m (read in metres); up +Y"};
  for (int k = 0; k < 2; ++k) {
    const Asset asset = Ok(ReadFbxFile(Write("hand.fbx", k == 0 ? HandWritten("1", 1) : HandWritten("100", 100))));
    EXPECT_EQ(asset.note, notes[k]);
    motions[k] = asset.motion;
  }
  const Motion& motion = motions[0];
  ASSERT_EQ(motion.skeleton.Count(), 3);
  EXPECT_EQ(motion.skeleton.joints[1].name, "Spine");
  // 30.25 frames rounded to 30: 31 frames at 30 fps, the last at the key.
  ASSERT_EQ(motion.FrameCount(), 31);
  EXPECT_NEAR(motion.frameTime, 1.0 / 30, 1e-12);
  std::vector<Matrix> globals(3);
  // Head at rest and at the end. Spine turns by pre * lcl * post^-1, about its
  // pivot: Z90 Y-90 at rest, Z90 at the end.
  const Vector expected[2] = {{0.15, 1.3, 0.3}, {0.15, 1.6, 0}};
  for (int k = 0; k < 2; ++k) {
    const Matrix* locals = k == 0 ? nullptr : motion.Frame(30).data();
    std::vector<Matrix> rest;
    for (const Joint& joint : motion.skeleton.joints) rest.push_back(joint.rest);
    ForwardKinematics(motion.skeleton, locals ? std::span<const Matrix>(locals, 3) : std::span<const Matrix>(rest),
                      globals);
    EXPECT_LT(Length(Subtract(globals[2].off, expected[k])), 1e-6) << k;
  }
  ASSERT_EQ(motions[1].FrameCount(), motion.FrameCount());
  for (std::size_t i = 0; i < motion.locals.size(); ++i)
    EXPECT_LT(Length(Subtract(motions[1].locals[i].off, motion.locals[i].off)), 1e-6);  // floats in the reader
}

// A damaged file: exit code 2 and one line naming it, whatever the reader
// does with it, a crash or a hang included.
TEST_F(Fbx, DamagedFilesAreRefused) {
  const std::string walk = test::ReadAll(SharedPath("../fbx/cmu_02_01_walk.fbx"));
  std::string corrupt = walk, magic = walk;
  std::fill(corrupt.begin() + 150000, corrupt.begin() + 151000, '\xff');
  magic[6] = 'o';
  // The animation moves a null node beside the skeleton, and nothing of it.
  const std::string noJoint = test::Replaced(
      test::Replaced(test::Replaced(HandWritten("1", 1), "C: \"OP\",2002,1001", "C: \"OP\",2002,1003"),
                     "\tC: \"OO\",2001,2000", "\tC: \"OO\",1003,0\n\tC: \"OO\",3000,1003\n\tC: \"OO\",2001,2000"),
      "\tAnimationStack:",
      "\tModel: 1003, \"Model::Controller\", \"Null\" {\n\t\tVersion: 232\n\t}\n\tNodeAttribute: 3000, "
      "\"NodeAttribute::\", \"Null\" {\n\t\tTypeFlags: \"Null\"\n\t}\n\tAnimationStack:");
  struct Row {
    std::string name, bytes, message;
  };
  std::vector<Row> rows = {
      {"truncated.fbx", walk.substr(0, 1000),
       "not FBX that can be read: FBX-Tokenize (offset 0x1f) block offset is out of range"},
      {"magic.fbx", magic, "not an FBX file: it begins with neither the binary FBX header nor an ASCII FBX header"},
      {"corrupt.fbx", corrupt, "not FBX that can be read: FBX-Tokenize (offset 0x24c8b) block offset is out of range"},
      {"nojoint.fbx", noJoint, "its animation Take 001 moves no joint: give a file with an animation as the source"},
  };
  // Curves that assimp reads into another motion: every array is checked
  // against its count, every curve for as many values as times, times in
  // order and values that are finite floats.
  const FbxArray packed = FindArray(walk, "KeyValueFloat", 1), values = FindArray(walk, "KeyValueFloat", 0),
                 times = FindArray(walk, "KeyTime", 0);
  std::string badZlib = walk, bigCount = walk, bigRaw = walk, nan = walk, back = walk;
  std::fill_n(badZlib.begin() + std::ptrdiff_t(packed.at + 15), packed.bytes - 2, '\x55');
  const std::uint32_t most = 0x7fffffff;
  std::memcpy(bigCount.data() + packed.at + 1, &most, 4);
  std::memcpy(bigRaw.data() + values.at + 1, &most, 4);
  const float notANumber = NAN;
  std::memcpy(nan.data() + values.at + 13 + 4, &notANumber, 4);
  for (std::uint32_t k = 0; k < times.count; ++k)
    std::memcpy(back.data() + times.at + 13 + 8 * k, walk.data() + times.at + 13 + 8 * (times.count - 1 - k), 8);
  auto hex = [](std::size_t n) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%zx", n);
    return std::string(text);
  };
  const std::string array = "the array KeyValueFloat at byte " + std::to_string(packed.at);
  const std::string hand = HandWritten("1", 1), handCurve = "animation curve 2003";
  rows.insert(
      rows.end(),
      {
          {"badzlib.fbx", badZlib,
           array + " is not zlib data of the " + std::to_string(packed.count) + " values it gives"},
          {"bigcount.fbx", bigCount, array + " is not zlib data of the 2147483647 values it gives"},
          {"bigraw.fbx", bigRaw,
           "not FBX that can be read: FBX-Tokenize (offset " + hex(values.at + 13) +
               ") cannot ReadData, calculated data stride differs from what the file claims"},
          {"nan.fbx", nan,
           "animation curve " + std::to_string(values.curve) + "'s value at key 1 is not a finite number"},
          {"back.fbx", back, "animation curve " + std::to_string(times.curve) + "'s key times go back at key 1"},
          {"nan_ascii.fbx", test::Replaced(hand, "a: 0,90", "a: 0,nan"),
           handCurve + "'s value at key 1 is not a finite number"},
          {"float_ascii.fbx", test::Replaced(hand, "a: 0,90", "a: 0,1e39"),
           handCurve + "'s value at key 1 is not a finite number"},
          {"back_ascii.fbx", test::Replaced(hand, "a: 0,46571085150", "a: 46571085150,0"),
           handCurve + "'s key times go back at key 1"},
          {"count_ascii.fbx", test::Replaced(hand, "a: 0,90", "a: 0"),
           "the array KeyValueFloat of " + handCurve + " gives 2 values and holds 1"},
          {"times_ascii.fbx",
           test::Replaced(test::Replaced(hand, "a: 0,90", "a: 0,45,90"), "*2 {\n\t\t\ta: 0,45", "*3 {\n\t\t\ta: 0,45"),
           handCurve + " has 2 key times and 3 values"},
      });
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::ofstream(Path(row.name), std::ios::binary) << row.bytes;
    const Run run = Tool(Path(row.name) + " --target " + SharedPath("cmu_12_03.bvh") + " -o " + Path("out.bvh"));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "norvo-retarget: error: " + Path(row.name) + ": " + row.message + "\n");
  }

  // A file found by fuzzing, on which the FBX library recurses until its
  // stack runs out: its process dies (by a signal, or under a sanitizer
  // with an exit code), the tool does not.
  const std::string deep = NORVO_RETARGET_TEST_DATA_DIR "/fbx_deep_nesting.fbx";
  const Run crashed = Tool(deep + " --target " + SharedPath("cmu_12_03.bvh") + " -o " + Path("out.bvh"));
  EXPECT_EQ(crashed.status, 2);
  EXPECT_TRUE(crashed.err.starts_with("norvo-retarget: error: " + deep + ": the FBX reader crashed on it ("))
      << crashed.err;
  EXPECT_TRUE(crashed.err.ends_with("): the file is damaged or holds what the reader cannot take\n")) << crashed.err;
  // A reader that overstays its time is stopped.
  FbxLimits noTime;
  noTime.seconds = 0;
  const Outcome<Asset> stopped = ReadFbxFile(SharedPath("../fbx/cmu_02_01_walk.fbx"), {}, noTime);
  ASSERT_FALSE(stopped.has_value());
  EXPECT_EQ(stopped.failure().Text(),
            SharedPath("../fbx/cmu_02_01_walk.fbx") + ": the FBX reader took longer than 0 s on it and was stopped");
}

// The FBX readers at work on files under `folder`: processes whose command
// line is norvo-fbx-read and such a file, zombies not counted.
std::vector<pid_t> ReadersIn(const std::string& folder) {
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string line = test::ReadAll(entry.path() / "cmdline"), stat = test::ReadAll(entry.path() / "stat");
    const std::string program = line.substr(0, line.find('\0'));
    const std::size_t state = stat.rfind(") ");
    if (program.ends_with("norvo-fbx-read") && line.substr(program.size() + 1).starts_with(folder) &&
        state != std::string::npos && stat.substr(state + 2, 1) != "Z")
      found.push_back(pid_t(std::stoi(pid)));
  }
  return found;
}

// However the tool ends, by SIGKILL, SIGTERM or SIGINT, in a batch (whose
// readers its worker threads start) or not, the reader it started ends
// with it. The reader is held at work by a test hook before it reads.
TEST_F(Fbx, ReadersEndWithTheTool) {
  std::filesystem::create_directories(Path("clips"));
  Write("clips/held.fbx", HandWritten("1", 1));
  std::vector<std::string> environment = {"NORVO_FBX_READ_TEST_HOLD=30"};
  for (char** e = environ; *e; ++e) environment.emplace_back(*e);
  const struct {
    int signal;
    bool batch;
  } rows[] = {{SIGKILL, false}, {SIGTERM, true}, {SIGINT, false}, {SIGKILL, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(strsignal(row.signal)) + (row.batch ? " in a batch" : ""));
    std::vector<std::string> arguments = {NORVO_RETARGET_TOOL};
    if (row.batch) arguments.insert(arguments.end(), {"--batch", Path("clips")});
    else arguments.push_back(Path("clips/held.fbx"));
    arguments.insert(arguments.end(),
                     {"--target", SharedPath("cmu_12_03.bvh"), "-o", Path(row.batch ? "out" : "out.bvh")});
    std::vector<char*> argv, envp;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t tool = 0;
    ASSERT_EQ(posix_spawn(&tool, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    auto within = [](double seconds, const std::function<bool()>& done) {
      for (const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
           std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (done()) return true;
      return done();
    };
    std::vector<pid_t> readers;
    EXPECT_TRUE(within(10, [&] { return !(readers = ReadersIn(Path("clips"))).empty(); }));
    ::kill(tool, row.signal);
    int status = 0;
    while (::waitpid(tool, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(within(5, [&] { return ReadersIn(Path("clips")).empty(); }));
    for (pid_t reader : ReadersIn(Path("clips"))) ::kill(reader, SIGKILL);  // none is left behind
  }
}

// A batch writes an FBX clip as BVH under its whole name, beside the BVH
// clip it was made from.
TEST_F(Fbx, BatchesWriteFbxClipsAsBvh) {
  std::filesystem::create_directories(Path("clips"));
  for (const char* clip : {"cmu_02_01_walk.bvh", "../fbx/cmu_02_01_walk.fbx"})
    std::filesystem::copy_file(SharedPath(clip), Path("clips/" + std::filesystem::path(clip).filename().string()));
  const Run run = Tool("--batch " + Path("clips") + " --target " + SharedPath("cmu_12_03.bvh") + " -o " + Path("out"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Ok(ReadBvhFile(Path("out/cmu_02_01_walk.fbx.bvh"))).FrameCount(), 344);
  EXPECT_EQ(Ok(ReadBvhFile(Path("out/cmu_02_01_walk.bvh"))).FrameCount(), 344);
}

// Reading survives running out of memory at any allocation: the reader's
// process is started and its answer read, or OutOfMemory is said.
TEST_F(Fbx, ReadingSurvivesAllocationFailure) {
  const std::string file = Write("hand.fbx", HandWritten("1", 1));
  for (const norvo::test::Injector* injector : {&norvo::test::kNewAllocations, &norvo::test::kExhaustedNew}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(norvo::test::SweepForOutOfMemory([&] { return ReadFbxFile(file); }, *injector), 0);
  }
}

}  // namespace
}  // namespace norvo::retarget
