#include "norvo/retarget/solve/feet.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

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

LegTurns TurnsToReach(const Vector& hip, const Vector& knee, const Vector& ankle, const Vector& goal, const Vector& up,
                      const Vector& left) noexcept {
  LegTurns turns;
  const Vector upper = Subtract(knee, hip), lower = Subtract(ankle, knee);
  const double a = Length(upper), b = Length(lower);
  // Bend the knee in the leg's plane until the ankle lies as far from
  // the hip as the goal, then turn the hip toward the goal.
  Vector normal = Cross(upper, lower);
  if (!(Length(normal) > 1e-9 * a * b)) normal = Cross(upper, up);
  if (!(Length(normal) > 1e-9 * a)) normal = left;
  if (!(a > 1e-9) || !(b > 1e-9) || !(Length(normal) > 1e-12)) return turns;
  normal = Scale(normal, 1.0 / Length(normal));
  const double reach =
      std::clamp(Length(Subtract(goal, hip)), std::abs(a - b) + 1e-9 * (a + b), (a + b) * (1.0 - 1e-9));
  const double bend = std::acos(std::clamp((reach * reach - a * a - b * b) / (2.0 * a * b), -1.0, 1.0));
  const double now = std::atan2(Dot(Cross(upper, lower), normal), Dot(upper, lower));
  turns.knee = AxisAngle(normal, bend - now);
  const Vector bentAnkle = Add(knee, TransformVector(turns.knee, lower));
  turns.hip = RotationBetween(Subtract(bentAnkle, hip), Subtract(goal, hip));
  turns.found = true;
  return turns;
}

void ReachAnkle(const Skeleton& skeleton, const Leg& leg, const Vector& goal, const Vector& up, const Vector& left,
                std::span<const Matrix> globals, std::span<Matrix> locals, const Matrix* ankleTurn) noexcept {
  const Matrix& hipGlobal = globals[std::size_t(leg.hip)];
  const Matrix& kneeGlobal = globals[std::size_t(leg.knee)];
  const Matrix& ankleGlobal = globals[std::size_t(leg.ankle)];
  const LegTurns turns = TurnsToReach(hipGlobal.off, kneeGlobal.off, ankleGlobal.off, goal, up, left);
  if (!turns.found) return;
  const std::int64_t parent = skeleton.joints[std::size_t(leg.hip)].parent;
  const Matrix parentGlobal = parent < 0 ? Matrix{} : globals[std::size_t(parent)];
  const Matrix newHip = Multiply3x3(turns.hip, hipGlobal);
  const Matrix newKnee = Multiply3x3(Multiply3x3(turns.hip, turns.knee), kneeGlobal);
  const std::int64_t legJoints[3] = {leg.hip, leg.knee, leg.ankle};
  const Matrix newLocals[3] = {
      Multiply3x3(Inverse3x3(parentGlobal), newHip), Multiply3x3(Inverse3x3(newHip), newKnee),
      Multiply3x3(Inverse3x3(newKnee), ankleTurn ? Multiply3x3(*ankleTurn, ankleGlobal) : ankleGlobal)};
  for (int i = 0; i < 3; ++i) {
    Matrix& local = locals[std::size_t(legJoints[i])];
    const Vector offset = local.off;
    local = newLocals[i];
    local.off = offset;
  }
}

namespace {

// The ankle positions of both legs in every frame, and which frames are in
// contact.
struct Track {
  std::vector<Vector> ankle[2];
  std::vector<bool> contact[2];
};

Track Follow(const Motion& clip, const Leg legs[2], const Vector& up) {
  Track track;
  const std::int64_t frames = clip.FrameCount();
  std::vector<Matrix> globals(clip.skeleton.joints.size());
  for (int side = 0; side < 2; ++side) track.ankle[side].resize(std::size_t(frames));
  // Only the ankles and the joints above them are moved.
  std::vector<std::int64_t> ankles;
  for (int side = 0; side < 2; ++side)
    if (legs[side].hip >= 0) ankles.push_back(legs[side].ankle);
  const std::vector<std::int64_t> moved = JointsUpTo(clip.skeleton, ankles);
  for (std::int64_t f = 0; f < frames; ++f) {
    ForwardKinematics(clip.skeleton, clip.Frame(f), globals, moved);
    for (int side = 0; side < 2; ++side)
      if (legs[side].hip >= 0) track.ankle[side][std::size_t(f)] = globals[std::size_t(legs[side].ankle)].off;
  }
  for (int side = 0; side < 2; ++side) {
    track.contact[side].assign(std::size_t(frames), false);
    if (legs[side].hip < 0 || frames == 0) continue;
    // The floor: the height the foot is below in one frame of twenty, so
    // that a stray frame (a calibration pose at the start) does not set it.
    std::vector<double> heights(static_cast<std::size_t>(frames));
    for (std::size_t f = 0; f < heights.size(); ++f) heights[f] = Dot(track.ankle[side][f], up);
    const double lowest = Percentile(std::move(heights), 5);
    for (std::size_t f = 0; f < std::size_t(frames); ++f)
      track.contact[side][f] = Dot(track.ankle[side][f], up) - lowest <= kContactHeight * legs[side].length;
  }
  return track;
}

}  // namespace

Vector StandingUp(const Rig& rig, const std::vector<Matrix>& restGlobals) {
  const std::int64_t hips = rig.FirstJoint("Hips"), head = rig.FirstJoint("Head");
  if (hips < 0 || head < 0) return {};
  const Vector up = Subtract(restGlobals[std::size_t(head)].off, restGlobals[std::size_t(hips)].off);
  const double length = Length(up);
  return length > 1e-9 ? Scale(up, 1.0 / length) : Vector{};
}

Outcome<FootSliding> MeasureFootSliding(const Motion& clip, const Rig& rig, const Vector& up) {
  try {
    FootSliding sliding;
    Leg legs[2];
    FindLegs(rig, legs);
    if (legs[0].hip < 0 || legs[1].hip < 0 || !(Length(up) > 0.5) || !(clip.frameTime > 0.0)) return sliding;
    sliding.measured = true;
    const Track track = Follow(clip, legs, up);
    for (int side = 0; side < 2; ++side) {
      // Positions past what a double holds have no contacts to measure: the
      // speed is NaN then, never a false 0.
      for (const Vector& at : track.ankle[side])
        if (!std::isfinite(Dot(at, at))) sliding.speed[side] = std::numeric_limits<double>::quiet_NaN();
      if (std::isnan(sliding.speed[side])) continue;
      double sum = 0.0;
      std::int64_t steps = 0;
      for (std::size_t f = 0; f < track.contact[side].size(); ++f) {
        if (!track.contact[side][f]) continue;
        ++sliding.contactFrames[side];
        if (f + 1 >= track.contact[side].size() || !track.contact[side][f + 1]) continue;
        sum += Length(Across(Subtract(track.ankle[side][f + 1], track.ankle[side][f]), up));
        ++steps;
      }
      if (steps > 0) sliding.speed[side] = sum / double(steps) / clip.frameTime / legs[side].length;
    }
    return sliding;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> LockFeet(Motion& clip, const Rig& rig, const Vector& up) {
  try {
    Leg legs[2];
    FindLegs(rig, legs);
    KeepChains(clip.skeleton, legs);
    if (!(Length(up) > 0.5)) return {};
    const Track track = Follow(clip, legs, up);
    // The solve reads the legs' joints and the hips' parents alone.
    const std::vector<std::int64_t> moved = JointsUpTo(clip.skeleton, LegJoints(legs));
    std::vector<Matrix> globals(clip.skeleton.joints.size());
    Vector anchor[2];
    for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
      bool any = false;
      for (int side = 0; side < 2; ++side) any = any || (legs[side].hip >= 0 && track.contact[side][std::size_t(f)]);
      if (!any) continue;
      ForwardKinematics(clip.skeleton, clip.Frame(f), globals, moved);
      const std::span<Matrix> locals = clip.Frame(f);
      for (int side = 0; side < 2; ++side) {
        const Leg& leg = legs[side];
        if (leg.hip < 0 || !track.contact[side][std::size_t(f)]) continue;
        if (f == 0 || !track.contact[side][std::size_t(f) - 1]) anchor[side] = track.ankle[side][std::size_t(f)];
        const Vector hip = globals[std::size_t(leg.hip)].off, ankle = globals[std::size_t(leg.ankle)].off;
        const double a = Length(Subtract(globals[std::size_t(leg.knee)].off, hip));
        const double b = Length(Subtract(ankle, globals[std::size_t(leg.knee)].off));
        // The goal: the ankle moved across the up axis to the anchor, or, when
        // the leg cannot reach that far, as far toward it as it can; then the
        // anchor slides along to the goal.
        const Vector toAnchor = Across(Subtract(anchor[side], ankle), up);
        const double longest = 0.999 * (a + b);
        double part = 1.0;
        if (Length(Subtract(Add(ankle, toAnchor), hip)) > longest) {
          double low = 0.0, high = 1.0;
          for (int step = 0; step < 40; ++step) {
            part = 0.5 * (low + high);
            (Length(Subtract(Add(ankle, Scale(toAnchor, part)), hip)) > longest ? high : low) = part;
          }
          part = low;
        }
        const Vector goal = Add(ankle, Scale(toAnchor, part));
        if (part < 1.0) anchor[side] = goal;
        ReachAnkle(clip.skeleton, leg, goal, up, LeftOf(globals, legs, up), globals, locals);
      }
    }
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
