#include "norvo/retarget/solve/feet.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "../parallel.h"

#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/rig/preset.h"
#include "legs.h"

namespace norvo::retarget {

void FindLegs(const Rig& rig, Leg legs[2]) {
  const char* parts[2][3] = {{"LeftUpperLeg", "LeftLowerLeg", "LeftFoot"},
                             {"RightUpperLeg", "RightLowerLeg", "RightFoot"}};
  for (int side = 0; side < 2; ++side) {
    Leg leg{rig.FirstJoint(parts[side][0]), rig.FirstJoint(parts[side][1]), rig.FirstJoint(parts[side][2])};
    if (leg.hip < 0 || leg.knee < 0 || leg.ankle < 0) continue;
    auto at = [&](std::int64_t j) { return rig.restGlobals[std::size_t(j)].off; };
    leg.length = Length(Subtract(at(leg.knee), at(leg.hip))) + Length(Subtract(at(leg.ankle), at(leg.knee)));
    if (leg.length > 1e-9) legs[side] = leg;
  }
}

void KeepChains(const Skeleton& skeleton, Leg legs[2]) noexcept {
  const std::vector<Joint>& joints = skeleton.joints;
  for (int side = 0; side < 2; ++side) {
    Leg& leg = legs[side];
    if (leg.hip >= 0 &&
        (joints[std::size_t(leg.knee)].parent != leg.hip || joints[std::size_t(leg.ankle)].parent != leg.knee))
      leg.hip = -1;
  }
}

LegRotations RotationsToReach(const Vector& hip, const Vector& knee, const Vector& ankle, const Vector& goal,
                              const Vector& up, const Vector& left) noexcept {
  LegRotations rotations;
  const Vector upper = Subtract(knee, hip), lower = Subtract(ankle, knee);
  const double a = Length(upper), b = Length(lower);
  // Bend the knee in the leg's plane until the ankle lies as far from
  // the hip as the goal, then rotate the hip toward the goal.
  Vector normal = Cross(upper, lower);
  if (!(Length(normal) > 1e-9 * a * b)) normal = Cross(upper, up);
  if (!(Length(normal) > 1e-9 * a)) normal = left;
  if (!(a > 1e-9) || !(b > 1e-9) || !(Length(normal) > 1e-12)) return rotations;
  normal = Scale(normal, 1.0 / Length(normal));
  const double reach =
      std::clamp(Length(Subtract(goal, hip)), std::abs(a - b) + 1e-9 * (a + b), (a + b) * (1.0 - 1e-9));
  const double bend = std::acos(std::clamp((reach * reach - a * a - b * b) / (2.0 * a * b), -1.0, 1.0));
  const double now = std::atan2(Dot(Cross(upper, lower), normal), Dot(upper, lower));
  rotations.knee = AxisAngle(normal, bend - now);
  const Vector bentAnkle = Add(knee, TransformVector(rotations.knee, lower));
  rotations.hip = RotationBetween(Subtract(bentAnkle, hip), Subtract(goal, hip));
  rotations.found = true;
  return rotations;
}

void ReachAnkle(const Skeleton& skeleton, const Leg& leg, const Vector& goal, const Vector& up, const Vector& left,
                std::span<const Matrix> globals, std::span<Matrix> locals, const Matrix* ankleRotation) noexcept {
  const Matrix& hipGlobal = globals[std::size_t(leg.hip)];
  const Matrix& kneeGlobal = globals[std::size_t(leg.knee)];
  const Matrix& ankleGlobal = globals[std::size_t(leg.ankle)];
  const LegRotations rotations = RotationsToReach(hipGlobal.off, kneeGlobal.off, ankleGlobal.off, goal, up, left);
  if (!rotations.found) return;
  const std::int64_t parent = skeleton.joints[std::size_t(leg.hip)].parent;
  const Matrix parentGlobal = parent < 0 ? Matrix{} : globals[std::size_t(parent)];
  const Matrix newHip = Multiply3x3(rotations.hip, hipGlobal);
  const Matrix newKnee = Multiply3x3(Multiply3x3(rotations.hip, rotations.knee), kneeGlobal);
  const std::int64_t legJoints[3] = {leg.hip, leg.knee, leg.ankle};
  const Matrix newLocals[3] = {
      Multiply3x3(Inverse3x3(parentGlobal), newHip), Multiply3x3(Inverse3x3(newHip), newKnee),
      Multiply3x3(Inverse3x3(newKnee), ankleRotation ? Multiply3x3(*ankleRotation, ankleGlobal) : ankleGlobal)};
  for (int i = 0; i < 3; ++i) {
    Matrix& local = locals[std::size_t(legJoints[i])];
    const Vector offset = local.off;
    local = newLocals[i];
    local.off = offset;
  }
}

namespace {

// The joints of the Foot and Toes body parts of a side, and its ankle.
std::vector<std::int64_t> FootJoints(const Rig& rig, int side, std::int64_t ankle) {
  static const char* const kParts[2][2] = {{"LeftFoot", "LeftToes"}, {"RightFoot", "RightToes"}};
  std::vector<std::int64_t> joints;
  for (const char* part : kParts[side])
    for (const std::int64_t joint : rig.parts.joints[std::size_t(FindStandardBodyPart(part))])
      if (std::find(joints.begin(), joints.end(), joint) == joints.end()) joints.push_back(joint);
  if (std::find(joints.begin(), joints.end(), ankle) == joints.end()) joints.push_back(ankle);
  return joints;
}

}  // namespace

void Follow(const Motion& clip, const Rig& rig, const Leg legs[2], const Vector& up, FootTrack tracks[2]) {
  const std::size_t frames = std::size_t(clip.FrameCount());
  for (int side = 0; side < 2; ++side) {
    FootTrack& track = tracks[side];
    track.joints = FootJoints(rig, side, legs[side].ankle);
    track.hip.resize(frames);
    track.knee.resize(frames);
    track.ankle.resize(frames);
    track.at.resize(frames * track.joints.size());
    track.low.resize(frames);
    track.lowest.resize(frames);
  }
  // Only the legs' joints and those above them are moved.
  std::vector<std::int64_t> followed = LegJoints(legs);
  for (int side = 0; side < 2; ++side)
    followed.insert(followed.end(), tracks[side].joints.begin(), tracks[side].joints.end());
  const std::vector<std::int64_t> moved = JointsUpTo(clip.skeleton, followed);
  // Frames apart on up to two threads, each with globals of its own.
  std::vector<Matrix> globalsOf[2] = {std::vector<Matrix>(clip.skeleton.joints.size()),
                                      std::vector<Matrix>(clip.skeleton.joints.size())};
  ForEachRun(frames, [&](std::size_t begin, std::size_t end, int worker) {
    std::vector<Matrix>& globals = globalsOf[worker];
    for (std::size_t f = begin; f < end; ++f) {
      ForwardKinematics(clip.skeleton, clip.Frame(std::int64_t(f)), globals, moved);
      for (int side = 0; side < 2; ++side) {
        FootTrack& track = tracks[side];
        track.hip[f] = globals[std::size_t(legs[side].hip)].off;
        track.knee[f] = globals[std::size_t(legs[side].knee)].off;
        track.ankle[f] = globals[std::size_t(legs[side].ankle)].off;
        for (std::size_t j = 0; j < track.joints.size(); ++j) {
          const Vector at = globals[std::size_t(track.joints[j])].off;
          track.at[f * track.joints.size() + j] = at;
          if (j == 0 || Dot(at, up) < track.low[f]) {
            track.low[f] = Dot(at, up);
            track.lowest[f] = j;
          }
        }
      }
    }
  });
}

bool BothLegs(const Rig& rig, const Vector& up, Leg legs[2]) {
  FindLegs(rig, legs);
  return legs[0].hip >= 0 && legs[1].hip >= 0 && Length(up) > 0.5;
}

Vector StandingUp(const Rig& rig, const std::vector<Matrix>& restGlobals) {
  const std::int64_t hips = rig.FirstJoint("Hips"), head = rig.FirstJoint("Head");
  if (hips < 0 || head < 0) return {};
  const Vector up = Subtract(restGlobals[std::size_t(head)].off, restGlobals[std::size_t(hips)].off);
  const double length = Length(up);
  return length > 1e-9 ? Scale(up, 1.0 / length) : Vector{};
}

bool FootContacts::Down(int side, std::int64_t frame) const noexcept {
  const std::vector<ContactInterval>& intervals = feet[side];
  auto after = std::upper_bound(intervals.begin(), intervals.end(), frame,
                                [](std::int64_t f, const ContactInterval& c) { return f < c.first; });
  return after != intervals.begin() && frame < std::prev(after)->second;
}

namespace {

// The level each foot comes down to: the height it is below in one frame of
// twenty, so that a stray frame does not set it; and the floor they give.
double Levels(const FootTrack tracks[2], const Leg legs[2], double levels[2]) {
  for (int side = 0; side < 2; ++side) levels[side] = Percentile(tracks[side].low, 5);
  const double ground = std::min(levels[0], levels[1]);
  return std::abs(ground) > kFloorNear * std::min(legs[0].length, legs[1].length) ? ground : 0.0;
}

}  // namespace

Outcome<double> FindFloor(const Motion& clip, const Rig& rig, const Vector& up) {
  try {
    Leg legs[2];
    if (!BothLegs(rig, up, legs) || clip.FrameCount() < 1) return 0.0;
    FootTrack tracks[2];
    Follow(clip, rig, legs, up, tracks);
    double levels[2];
    return Levels(tracks, legs, levels);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<FootContacts> FindContacts(const Motion& clip, const Rig& rig, const Vector& up) {
  try {
    FootContacts contacts;
    Leg legs[2];
    const std::int64_t frames = clip.FrameCount();
    if (!BothLegs(rig, up, legs) || !(clip.frameTime > 0.0) || frames < 2) return contacts;
    contacts.measured = true;
    FootTrack tracks[2];
    Follow(clip, rig, legs, up, tracks);
    double levels[2];
    contacts.floor = Levels(tracks, legs, levels);
    for (int side = 0; side < 2; ++side) {
      const FootTrack& track = tracks[side];
      const double length = legs[side].length, level = levels[side];
      bool down = false;
      std::int64_t start = 0;
      for (std::int64_t f = 0; f <= frames; ++f) {
        bool now = false;
        if (f < frames) {
          // The lowest joint's speed across the up axis, from the frames
          // either side.
          const std::size_t n = track.joints.size(), j = track.lowest[std::size_t(f)];
          const std::int64_t before = std::max<std::int64_t>(f - 1, 0), after = std::min(f + 1, frames - 1);
          const Vector moved = Subtract(track.at[std::size_t(after) * n + j], track.at[std::size_t(before) * n + j]);
          const double speed = Length(Across(moved, up)) / (double(after - before) * clip.frameTime) / length;
          const double height = (track.low[std::size_t(f)] - level) / length;
          now = down ? height < kContactLeave && speed < 2.0 * kContactSpeed
                     : height < kContactEnter && speed < kContactSpeed;
        }
        if (now && !down) start = f;
        if (!now && down && f - start > 1) contacts.feet[side].emplace_back(start, f);
        down = now;
      }
    }
    return contacts;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<FeetFigures> MeasureFeet(const Motion& clip, const Rig& rig, const Vector& up, double floor,
                                 const FootContacts& contacts) {
  try {
    FeetFigures figures;
    Leg legs[2];
    if (!BothLegs(rig, up, legs) || !contacts.measured || !(clip.frameTime > 0.0)) return figures;
    figures.measured = true;
    FootTrack tracks[2];
    Follow(clip, rig, legs, up, tracks);
    const std::int64_t frames = clip.FrameCount();
    for (int side = 0; side < 2; ++side) {
      const FootTrack& track = tracks[side];
      const double length = legs[side].length;
      double sum = 0.0;
      std::int64_t steps = 0;
      for (const auto& [first, last] : contacts.feet[side]) {
        for (std::int64_t f = first; f < last && f < frames; ++f) {
          const double height = (track.low[std::size_t(f)] - floor) / length;
          figures.planted[side] = figures.contactFrames[side]++ > 0 ? std::max(figures.planted[side], height) : height;
          if (f + 1 >= last || f + 1 >= frames) continue;
          // The lowest joint's move to the next frame: a foot that rolls
          // about its heel or toes does not slide.
          const std::size_t n = track.joints.size(), j = track.lowest[std::size_t(f)];
          sum += Length(Across(Subtract(track.at[(std::size_t(f) + 1) * n + j], track.at[std::size_t(f) * n + j]), up));
          ++steps;
        }
      }
      if (steps > 0) figures.sliding[side] = sum / double(steps) / clip.frameTime / length;
      for (const double low : track.low)
        figures.deepest[side] = std::max(figures.deepest[side], (floor - low) / length);
      // Positions past what a double holds give no figures: NaN, never a
      // false number.
      for (const std::vector<Vector>* at : {&track.ankle, &track.at})
        for (const Vector& v : *at)
          if (!std::isfinite(Dot(v, v))) figures.sliding[side] = std::numeric_limits<double>::quiet_NaN();
    }
    return figures;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

namespace {

// The point of a locked foot that stays where it is: the foot's lowest
// joint, held where it was when it became the lowest during the contact.
struct Anchor {
  std::int64_t joint = -1;
  Vector at;
};

// One frame of a locked foot: the goal is the ankle moved across the up axis
// so that the anchor's joint comes back to the anchor, or, when the leg
// cannot reach that far, as far toward it as it can, and the anchor then
// slides along. The foot keeps its rotation, so a foot that rolls onto its
// toes during a contact rotates about them.
void LockFoot(Motion& clip, const Leg legs[2], int side, std::int64_t f, const Vector& up, bool starts,
              std::span<const std::int64_t> foot, std::span<const Matrix> globals, Anchor& anchor) {
  const Leg& leg = legs[side];
  auto at = [&](std::int64_t joint) { return globals[std::size_t(joint)].off; };
  std::int64_t lowest = foot[0];
  for (const std::int64_t joint : foot)
    if (Dot(at(joint), up) < Dot(at(lowest), up)) lowest = joint;
  if (starts || lowest != anchor.joint) anchor = {lowest, at(lowest)};
  const Vector hip = at(leg.hip), knee = at(leg.knee), ankle = at(leg.ankle);
  const double longest = 0.999 * (Length(Subtract(knee, hip)) + Length(Subtract(ankle, knee)));
  const Vector toAnchor = Across(Subtract(anchor.at, at(lowest)), up);
  double part = 1.0;
  if (Length(Subtract(Add(ankle, toAnchor), hip)) > longest) {
    double low = 0.0, high = 1.0;
    for (int step = 0; step < 40; ++step) {
      part = 0.5 * (low + high);
      (Length(Subtract(Add(ankle, Scale(toAnchor, part)), hip)) > longest ? high : low) = part;
    }
    part = low;
  }
  if (part < 1.0) anchor.at = Add(at(lowest), Scale(toAnchor, part));
  ReachAnkle(clip.skeleton, leg, Add(ankle, Scale(toAnchor, part)), up, LeftOf(globals, legs, up), globals,
             clip.Frame(f));
}

}  // namespace

Outcome<void> LockFeet(Motion& clip, const Rig& rig, const Vector& up, const FootContacts& contacts) {
  try {
    Leg legs[2];
    FindLegs(rig, legs);
    KeepChains(clip.skeleton, legs);
    if (!contacts.measured || !(Length(up) > 0.5)) return {};
    // The solve reads the legs' and the feet's joints and those above them.
    std::vector<std::int64_t> feet[2], read = LegJoints(legs);
    for (int side = 0; side < 2; ++side) {
      if (legs[side].hip < 0) continue;
      feet[side] = FootJoints(rig, side, legs[side].ankle);
      read.insert(read.end(), feet[side].begin(), feet[side].end());
    }
    const std::vector<std::int64_t> moved = JointsUpTo(clip.skeleton, read);
    std::vector<Matrix> globals(clip.skeleton.joints.size());
    Anchor anchor[2];
    for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
      bool down[2];
      for (int side = 0; side < 2; ++side) down[side] = legs[side].hip >= 0 && contacts.Down(side, f);
      if (!down[0] && !down[1]) continue;
      ForwardKinematics(clip.skeleton, clip.Frame(f), globals, moved);
      for (int side = 0; side < 2; ++side)
        if (down[side])
          LockFoot(clip, legs, side, f, up, !contacts.Down(side, f - 1), feet[side], globals, anchor[side]);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
