// Feet on the floor, measured here independently of how the tool plants
// them: the shared clips onto each other and onto the sample's second rig,
// with the defaults against --no-contacts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>

#include "norvo/retarget/solve/feet.h"
#include "norvo/retarget/app/job.h"
#include "norvo/retarget/solve/rootmotion.h"
#include "norvo/retarget/app/sample.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;

// Per foot: the leg length, the ankle's positions and the lowest foot
// joint's height above `floor`, frame by frame.
struct Feet {
  double length[2];
  std::vector<Vector> ankle[2];
  std::vector<double> low[2];

  Feet(const Motion& clip, const Rig& rig, const Vector& up, double floor) {
    const char* parts[2][4] = {{"LeftUpperLeg", "LeftLowerLeg", "LeftFoot", "LeftToes"},
                               {"RightUpperLeg", "RightLowerLeg", "RightFoot", "RightToes"}};
    std::vector<Matrix> globals(clip.skeleton.joints.size());
    for (int side = 0; side < 2; ++side) {
      auto at = [&](const char* part) { return rig.restGlobals[std::size_t(rig.FirstJoint(part))].off; };
      length[side] = Length(Subtract(at(parts[side][1]), at(parts[side][0]))) +
                     Length(Subtract(at(parts[side][2]), at(parts[side][1])));
    }
    for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
      FrameGlobals(clip, f, globals);
      for (int side = 0; side < 2; ++side) {
        ankle[side].push_back(globals[std::size_t(rig.FirstJoint(parts[side][2]))].off);
        double lowest = 1e300;
        for (const char* part : {parts[side][2], parts[side][3]})
          for (const std::int64_t j : rig.parts.joints[std::size_t(FindStandardBodyPart(part))])
            lowest = std::min(lowest, Dot(globals[std::size_t(j)].off, up));
        low[side].push_back(lowest - floor);
      }
    }
  }
  // The fifth of the frames where `values` is lowest.
  static std::vector<std::size_t> LowestFifth(const std::vector<double>& values) {
    std::vector<std::size_t> frames(values.size());
    for (std::size_t f = 0; f < frames.size(); ++f) frames[f] = f;
    std::sort(frames.begin(), frames.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    frames.resize(frames.size() / 5);
    return frames;
  }
  // Leg lengths per second across `up`, over the frames where the ankle is lowest.
  double Sliding(int side, const Vector& up, double frameTime) const {
    std::vector<double> heights;
    for (const Vector& at : ankle[side]) heights.push_back(Dot(at, up));
    double sum = 0.0;
    int steps = 0;
    for (const std::size_t f : LowestFifth(heights)) {
      if (f + 1 >= ankle[side].size()) continue;
      const Vector moved = Subtract(ankle[side][f + 1], ankle[side][f]);
      sum += Length(Subtract(moved, Scale(up, Dot(moved, up))));
      ++steps;
    }
    return sum / steps / frameTime / length[side];
  }
};

ClipResult RunWith(const std::string& source, const std::string& target, bool contacts,
                   const std::vector<Preset>& presets) {
  ClipRequest request;
  request.source = source;
  request.target = target;
  request.presets = &presets;
  request.feet.plant = contacts;
  request.figures.take = true;
  return Ok(RunClip(request));
}

using Contacts = test::WithModule;

TEST_F(Contacts, FeetSlideAndStandAsTheSourcesDo) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const std::string sampleRig = ::testing::TempDir() + "contacts_sample_rig.bvh";
  ASSERT_TRUE(WriteBvhFile(Ok(RestMotion(Ok(SampleTargetSkeleton()))), sampleRig).has_value());
  // A rig of another family: cmu_12_03 with the joint names of a biped.
  const std::string bipedRig = ::testing::TempDir() + "contacts_biped_rig.bvh";
  {
    std::string text = test::ReadAll(test::SharedPath("cmu_12_03.bvh")), renamed;
    const std::pair<const char*, const char*> kNames[] = {
        {"Hips", "Bip01 Pelvis"},   {"LowerBack", "Bip01 Spine"}, {"Spine", "Bip01 Spine1"},
        {"Spine1", "Bip01 Spine2"}, {"Neck", "Bip01 Neck"},       {"Neck1", "Bip01 Neck1"},
        {"Head", "Bip01 Head"},     {"UpLeg", "Thigh"},           {"Leg", "Calf"},
        {"Foot", "Foot"},           {"ToeBase", "Toe0"},          {"Shoulder", "Clavicle"},
        {"Arm", "UpperArm"},        {"ForeArm", "Forearm"},       {"Hand", "Hand"},
        {"FingerBase", "Finger1"},  {"HandIndex1", "Finger11"},   {"Thumb", "Finger0"},
        {"HipJoint", "HipJoint"}};
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      std::string line = text.substr(at, end - at);
      const std::size_t word = line.find_first_not_of(" \t");
      for (const char* keyword : {"ROOT ", "JOINT "})
        if (word != std::string::npos && line.compare(word, std::strlen(keyword), keyword) == 0) {
          std::string name = line.substr(word + std::strlen(keyword));
          if (!name.empty() && name.back() == '\r') name.pop_back();
          std::string side;
          for (const auto& [prefix, letter] : {std::pair{"Left", " L "}, {"Right", " R "}, {"L", " L "}, {"R", " R "}})
            if (side.empty() && name.starts_with(prefix) && name.size() > std::strlen(prefix) &&
                std::isupper(static_cast<unsigned char>(name[std::strlen(prefix)]))) {
              side = letter;
              name.erase(0, std::strlen(prefix));
            }
          for (const auto& [cmu, biped] : kNames)
            if (name == cmu) name = side.empty() ? biped : "Bip01" + side + biped;
          line = line.substr(0, word) + keyword + name;
        }
      renamed += line + "\n";
    }
    std::ofstream(bipedRig) << renamed;
  }
  // The VRM animation holds a pose with both feet on the floor, its legs
  // straight and upright: a leg so straight still bends to stand.
  const std::string clips[] = {"cmu_02_01_walk.bvh", "cmu_12_03.bvh", "makehuman_zombie_walk.bvh", "../vrm/test.vrma"};
  struct Pair {
    std::string from, onto;
    bool ankleSlides = true;  // the ankle's sliding is measured
  };
  std::vector<Pair> pairs;
  for (const std::string& from : clips)
    for (const std::string& onto :
         {test::SharedPath(clips[0]), test::SharedPath(clips[1]), test::SharedPath(clips[2]), sampleRig, bipedRig})
      pairs.push_back({test::SharedPath(from), onto});
  // Two VRM models. The second's feet are long for its legs: its toes hang
  // lower than the source's, and a leg near straight would bend far for a
  // little height. The CMU walk onto it lands each ankle lower than it
  // stands (the ankle is a quarter leg over the toes), so the ankle's lowest
  // fifth holds frames of landing, and its sliding is not measured there.
  const std::string models[] = {test::SharedPath("../vrm/VRMC_materials_mtoon_UV_Animation_Test.vrm"),
                                test::SharedPath("../vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm")};
  for (const std::string& from : clips)
    for (const std::string& model : models)
      pairs.push_back({test::SharedPath(from), model, from != clips[0] || model != models[1]});
  // The rest of the shared matrix: the boxing clip, the exports and the
  // skinned human, as sources and as targets. Their feet stand as high as
  // the sources' and no deeper; an ankle that rolls over the toes of a foot
  // of another shape is not measured for sliding there.
  const std::string others[] = {"boxing_toes.bvh",
                                "../gltf/cmu_02_01_walk.glb",
                                "../gltf/makehuman_zombie_walk.glb",
                                "../gltf/bcn_skinned_human.glb",
                                "../fbx/cmu_02_01_walk.fbx",
                                "../fbx/makehuman_zombie_walk.fbx"};
  std::vector<std::string> everyClip(std::begin(clips), std::end(clips)), everyTarget = {clips[0], clips[1], clips[2]};
  everyClip.insert(everyClip.end(), std::begin(others), std::end(others));
  everyTarget.insert(everyTarget.end(), std::begin(others), std::end(others));
#ifdef NORVO_SANITIZED
  everyClip.clear();  // the whole matrix in the normal build only
#endif
  for (const std::string& from : everyClip)
    for (const std::string& onto : everyTarget) {
      const bool known = std::find(std::begin(others), std::end(others), from) == std::end(others) &&
                         std::find(std::begin(others), std::end(others), onto) == std::end(others);
      if (!known) pairs.push_back({test::SharedPath(from), test::SharedPath(onto), false});
    }
  for (const std::string& from : everyClip)
    if (std::find(std::begin(others), std::end(others), from) != std::end(others))
      for (const std::string& model : models) pairs.push_back({test::SharedPath(from), model, false});
  for (const auto& [from, onto, ankleSlides] : pairs) {
    SCOPED_TRACE(from + " onto " + onto);
    const ClipResult planted = RunWith(from, onto, true, presets);
    const ClipResult loose = RunWith(from, onto, false, presets);
    const Motion source = Ok(ReadAsset(from)).motion;
    const Vector up = StandingUp(*planted.source, planted.source->restGlobals);
    // A clip whose feet never come near 0 stands on the level they come
    // down to, and so does the result.
    const Feet s(source, *planted.source, up, planted.contacts->floor);
    // The result is kept in the target's world: the floor's height along
    // the turned up axis is the same.
    const Vector resultUp = TransformVector(planted.worldRotation, up);
    const Feet t(planted.motion, *planted.target, resultUp, planted.contacts->floor);
    for (int side = 0; side < 2; ++side) {
      SCOPED_TRACE(side);
      if (ankleSlides) {
        // The ankle rolls about the planted toes as the source's does: a
        // foot long for its legs carries it a little further.
        EXPECT_LE(t.Sliding(side, resultUp, source.frameTime), 1.15 * s.Sliding(side, up, source.frameTime));
      }
      double worst = 0.0;
      for (const std::size_t f : Feet::LowestFifth(s.low[side]))
        worst = std::max(worst, std::abs(t.low[side][f] / t.length[side] - s.low[side][f] / s.length[side]));
      EXPECT_LE(worst, 0.02);
      auto deepest = [&](const Feet& feet) {
        return std::max(0.0, -*std::min_element(feet.low[side].begin(), feet.low[side].end()) / feet.length[side]);
      };
      EXPECT_LE(deepest(t), deepest(s) + 0.01);
      // During the source's contacts the result's planted foot slides
      // little more than the source's (in leg lengths per second, the feet
      // line's figure: the lowest joint's speed), on every pair. The ankle
      // follows the source's; where the lowest joint lies depends on the
      // foot's proportions, so a foot long or short for its leg rolls its
      // lowest joint a little further.
      ASSERT_TRUE(planted.sourceFeet && planted.resultFeet);
      EXPECT_LE(planted.resultFeet->sliding[side], 1.1 * planted.sourceFeet->sliding[side] + 0.25);
    }
    // Planting keeps the motion's look: the body segments stay near the
    // source's.
    EXPECT_LE(planted.quality->all.mean, 1.2);
    EXPECT_LE(loose.quality->all.mean, 0.5);
    // A clip onto its own skeleton: its feet already do what the source's do.
    if (onto == from) {
      EXPECT_EQ(planted.motion.locals, loose.motion.locals);
    }
  }
}

// The sample's rig and MakeHuman's hang both legs below a hips joint of no
// length. Resting them as the VRM animation's model rests, the hips turn to
// fit both legs, not the first alone: the pose's level hip joints stay level.
TEST_F(Contacts, BothLegsBelowAHipsJointOfNoLengthStandLevel) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const std::string sampleRig = ::testing::TempDir() + "level_sample_rig.bvh";
  ASSERT_TRUE(WriteBvhFile(Ok(RestMotion(Ok(SampleTargetSkeleton()))), sampleRig).has_value());
  for (const std::string& onto : {sampleRig, test::SharedPath("makehuman_zombie_walk.bvh")}) {
    SCOPED_TRACE(onto);
    const ClipResult run = RunWith(test::SharedPath("../vrm/test.vrma"), onto, false, presets);
    const Rig& rig = *run.target;
    const Vector up = TransformVector(run.worldRotation, StandingUp(*run.source, run.source->restGlobals));
    std::vector<Matrix> globals(std::size_t(rig.JointCount()));
    FrameGlobals(run.motion, 0, globals);
    auto height = [&](const char* part) { return Dot(globals[std::size_t(rig.FirstJoint(part))].off, up); };
    EXPECT_NEAR(height("LeftUpperLeg"), height("RightUpperLeg"), 1e-6 * rig.hipHeight);
  }
}

// The blends span a tenth of a second: with a vanishing frame time (a
// caller's own clip; readers refuse one) they span the clip and no more, so
// the planting still takes as long as the clip's frames.
TEST_F(Contacts, AVanishingFrameTimeBlendsOverTheClipAlone) {
  const std::vector<Preset> presets = test::ShippedPresets();
  Motion walk = test::SharedClip("cmu_02_01_walk.bvh");
  walk.frameTime = 1e-12;
  ClipRequest request;
  request.source = test::SharedPath("cmu_02_01_walk.bvh");
  request.sourceMotion = &walk;
  request.target = test::SharedPath("makehuman_zombie_walk.bvh");
  request.presets = &presets;
  request.keepMotion = true;
  const ClipResult run = Ok(RunClip(request));
  ASSERT_TRUE(run.contacts.has_value());
  EXPECT_EQ(run.motion.FrameCount(), walk.FrameCount());
}

// The travel on a root joint at the floor: every joint keeps its world
// motion, the hips stay over their parent; a locked axis keeps the hips
// still along it.
TEST_F(Contacts, RootMotionMovesOntoARootAtTheFloor) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const ClipResult run =
      RunWith(test::SharedPath("cmu_02_01_walk.bvh"), test::SharedPath("cmu_12_03.bvh"), true, presets);
  const Rig& rig = *run.target;
  const Vector up = StandingUp(*run.source, run.source->restGlobals);
  bool added = false;
  const Motion carried = Ok(ExtractRootMotion(run.motion, rig, up, 0.0, added));
  ASSERT_TRUE(added);
  ASSERT_EQ(carried.skeleton.Count(), rig.JointCount() + 1);
  EXPECT_EQ(carried.skeleton.joints[0].name, "root");
  const std::size_t hips = std::size_t(rig.FirstJoint("Hips")) + 1;
  ASSERT_EQ(carried.skeleton.joints[hips].parent, 0);
  std::vector<Matrix> before(std::size_t(rig.JointCount())), after(carried.skeleton.joints.size());
  double worst = 0.0, travel = 0.0;
  for (std::int64_t f = 0; f < carried.FrameCount(); ++f) {
    FrameGlobals(run.motion, f, before);
    FrameGlobals(carried, f, after);
    for (std::size_t j = 0; j < before.size(); ++j)
      worst = std::max(worst, Length(Subtract(before[j].off, after[j + 1].off)));
    const Vector off = carried.Frame(f)[hips].off;
    travel = std::max(travel, Length(Subtract(off, Scale(up, Dot(off, up)))));
    EXPECT_NEAR(Dot(after[0].off, up), 0.0, 1e-9);
  }
  EXPECT_LT(worst, 1e-9 * rig.hipHeight);
  EXPECT_LT(travel, 1e-9 * rig.hipHeight);

  Motion locked = run.motion;
  ASSERT_TRUE(LockAxis(locked, rig, 0).has_value());
  std::vector<Matrix> globals(before.size());
  FrameGlobals(locked, 0, globals);
  const double x = globals[hips - 1].off.x;
  for (std::int64_t f = 1; f < locked.FrameCount(); ++f) {
    FrameGlobals(locked, f, globals);
    EXPECT_NEAR(globals[hips - 1].off.x, x, 1e-9 * rig.hipHeight);
  }
}

}  // namespace
}  // namespace norvo::retarget
