#include "norvo/retarget/app/sample.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <numbers>
#include <string>

#include "norvo/retarget/io/bvh.h"

namespace norvo::retarget {

namespace {

using C = Channel;
const std::vector<Channel> kRootZYX = {C::Xposition, C::Yposition, C::Zposition,
                                       C::Zrotation, C::Yrotation, C::Xrotation};
const std::vector<Channel> kZYX = {C::Zrotation, C::Yrotation, C::Xrotation};
const std::vector<Channel> kRootXYZ = {C::Xposition, C::Yposition, C::Zposition,
                                       C::Xrotation, C::Yrotation, C::Zrotation};
const std::vector<Channel> kXYZ = {C::Xrotation, C::Yrotation, C::Zrotation};

std::int64_t Add(Skeleton& s, const std::string& name, std::int64_t parent, Vector offset,
                 const std::vector<Channel>& channels) {
  s.AddJoint(name, parent, offset, channels);
  return std::int64_t(s.joints.size()) - 1;
}
void EndSite(Skeleton& s, std::int64_t joint, Vector offset) {
  s.joints[std::size_t(joint)].endSites.push_back(offset);
}

Skeleton SourceSkeleton() {
  Skeleton s;
  std::int64_t hips = Add(s, "Hips", -1, {0, 0, 0}, kRootZYX);
  for (int side = 0; side < 2; ++side) {
    const double x = side == 0 ? 1.0 : -1.0;
    const std::string l = side == 0 ? "L" : "R", name = side == 0 ? "Left" : "Right";
    std::int64_t joint = Add(s, l + "HipJoint", hips, {0, 0, 0}, kZYX);
    joint = Add(s, name + "UpLeg", joint, {1.6 * x, -0.8, 0}, kZYX);
    joint = Add(s, name + "Leg", joint, {0, -7.4, 0}, kZYX);
    joint = Add(s, name + "Foot", joint, {0, -7.2, 0}, kZYX);
    joint = Add(s, name + "ToeBase", joint, {0, -0.9, 2.0}, kZYX);
    EndSite(s, joint, {0, 0, 1.0});
  }
  std::int64_t back = Add(s, "LowerBack", hips, {0, 0.5, 0}, kZYX);
  std::int64_t spine = Add(s, "Spine", back, {0, 2.0, 0}, kZYX);
  std::int64_t chest = Add(s, "Spine1", spine, {0, 2.0, 0}, kZYX);
  std::int64_t neck = Add(s, "Neck", chest, {0, 2.0, 0}, kZYX);
  neck = Add(s, "Neck1", neck, {0, 0.8, 0}, kZYX);
  EndSite(s, Add(s, "Head", neck, {0, 0.9, 0}, kZYX), {0, 2.2, 0});
  for (int side = 0; side < 2; ++side) {
    const double x = side == 0 ? 1.0 : -1.0;
    const std::string l = side == 0 ? "L" : "R", name = side == 0 ? "Left" : "Right";
    std::int64_t joint = Add(s, name + "Shoulder", chest, {0.5 * x, 1.5, 0}, kZYX);
    joint = Add(s, name + "Arm", joint, {2.6 * x, 0, 0}, kZYX);
    joint = Add(s, name + "ForeArm", joint, {4.6 * x, 0, 0}, kZYX);
    std::int64_t hand = Add(s, name + "Hand", joint, {4.2 * x, 0, 0}, kZYX);
    joint = Add(s, name + "FingerBase", hand, {0.5 * x, 0, 0}, kZYX);
    EndSite(s, Add(s, name + "HandIndex1", joint, {0.8 * x, 0, 0}, kZYX), {0.6 * x, 0, 0});
    EndSite(s, Add(s, l + "Thumb", hand, {0.3 * x, 0, 0.4}, kZYX), {0.5 * x, 0, 0.4});
  }
  return s;
}

// Sets the rotation of a joint with Z, Y, X channels (the source rig's order)
// in a frame of channel values.
void Rotate(const Skeleton& s, double* frame, std::string_view name, double z, double y, double x) {
  std::size_t first = 0;  // the joint's first value
  for (const Joint& joint : s.joints) {
    first += joint.format.channels.size();
    if (joint.name != name) continue;
    double* v = frame + first - 3;
    v[0] = z;
    v[1] = y;
    v[2] = x;
  }
}

}  // namespace

Outcome<Motion> SampleWalk(int cycles) try {
  if (cycles < 0) return MakeFailure(FailureKind::Usage, "the number of walk cycles is negative");
  const Skeleton skeleton = SourceSkeleton();
  const std::int64_t frames = 30 * std::int64_t(cycles);
  std::int64_t perFrame = 0;
  for (const Joint& joint : skeleton.joints) perFrame += std::int64_t(joint.format.channels.size());
  // Made as the channel values of a BVH file, then read as one.
  std::vector<double> values(std::size_t(frames * perFrame), 0.0);
  for (std::int64_t f = 0; f < frames; ++f) {
    double* v = values.data() + f * perFrame;
    const double phase = 2.0 * std::numbers::pi * f / 30.0;
    const double s = std::sin(phase), c = std::cos(phase);
    // The root: forward along +Z, a little sway and bob.
    v[0] = 0.3 * s;
    v[1] = 16.0 + 0.3 * std::cos(2.0 * phase);
    v[2] = 22.0 * f / 30.0;
    Rotate(skeleton, v, "Hips", 2.0 * s, 5.0 * s, 3.0);
    // Legs: a thigh swings forward with a negative X rotation; a knee bends
    // back with a positive one, most while its leg swings forward.
    for (int side = 0; side < 2; ++side) {
      const double ls = side == 0 ? s : -s, lc = side == 0 ? c : -c;
      const std::string name = side == 0 ? "Left" : "Right";
      const double thigh = -25.0 * ls - 5.0;
      const double knee = 5.0 + 50.0 * std::pow(std::max(0.0, lc), 1.5);
      Rotate(skeleton, v, name + "UpLeg", 0, 0, thigh);
      Rotate(skeleton, v, name + "Leg", 0, 0, knee);
      Rotate(skeleton, v, name + "Foot", 0, 0, -0.6 * (thigh + knee) + 5.0);
    }
    // Arms hang down and swing against the legs; elbows bend forward.
    Rotate(skeleton, v, "LeftArm", -70.0, 20.0 * s, 0);
    Rotate(skeleton, v, "RightArm", 70.0, 20.0 * s, 0);
    Rotate(skeleton, v, "LeftForeArm", 0, -15.0 + 10.0 * std::min(0.0, s), 0);
    Rotate(skeleton, v, "RightForeArm", 0, 15.0 + 10.0 * std::max(0.0, s), 0);
    Rotate(skeleton, v, "Spine", 0, -3.0 * s, 0);
    Rotate(skeleton, v, "Spine1", 0, -3.0 * s, 1.0);
    Rotate(skeleton, v, "Head", 0, 2.0 * s, -2.0);
  }
  return MotionFromChannels(skeleton, 1.0 / 30.0, values);
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

Outcome<Skeleton> SampleTargetSkeleton() try {
  Skeleton s;
  std::int64_t root = Add(s, "Root", -1, {0, 0, 0}, kRootXYZ);
  std::int64_t spine = root;
  const double spineOffsets[5] = {0.6, 1.1, 1.1, 1.1, 1.1};
  for (int i = 0; i < 5; ++i) spine = Add(s, "Spine" + std::to_string(i + 1), spine, {0, spineOffsets[i], 0}, kXYZ);
  std::int64_t neck = Add(s, "Neck", spine, {0, 1.5, 0}, kXYZ);
  EndSite(s, Add(s, "Head", neck, {0, 1.4, 0}, kXYZ), {0, 2.4, 0});
  for (int side = 0; side < 2; ++side) {
    const double x = side == 0 ? 1.0 : -1.0;
    const std::string l = side == 0 ? "_L" : "_R";
    std::int64_t joint = Add(s, "Clavicle" + l, spine, {0.5 * x, 1.2, 0}, kXYZ);
    joint = Add(s, "UpArm" + l, joint, {2.2 * x, 0, 0}, kXYZ);
    joint = Add(s, "LoArm" + l, joint, {4.0 * x, 0, 0}, kXYZ);
    std::int64_t hand = Add(s, "Hand" + l, joint, {3.8 * x, 0, 0}, kXYZ);
    joint = Add(s, "Thumb1" + l, hand, {0.3 * x, 0, 0.4}, kXYZ);
    EndSite(s, Add(s, "Thumb2" + l, joint, {0.5 * x, 0, 0.3}, kXYZ), {0.4 * x, 0, 0.3});
    joint = Add(s, "Index1" + l, hand, {0.9 * x, 0, 0.1}, kXYZ);
    EndSite(s, Add(s, "Index2" + l, joint, {0.6 * x, 0, 0}, kXYZ), {0.5 * x, 0, 0});
  }
  std::int64_t hips = Add(s, "Hips", root, {0, 0, 0}, kXYZ);
  for (int side = 0; side < 2; ++side) {
    const double x = side == 0 ? 1.0 : -1.0;
    const std::string l = side == 0 ? "_L" : "_R";
    std::int64_t joint = Add(s, "UpLeg" + l, hips, {1.8 * x, -0.9, 0}, kXYZ);
    joint = Add(s, "LoLeg" + l, joint, {0, -8.6, 0}, kXYZ);
    joint = Add(s, "Foot" + l, joint, {0, -8.3, 0}, kXYZ);
    EndSite(s, Add(s, "Toe" + l, joint, {0, -1.0, 2.2}, kXYZ), {0, 0, 1.1});
  }
  return s;
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

}  // namespace norvo::retarget
