#include "norvo/retarget/contacts.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>

#include "../parallel.h"
#include "legs.h"
#include "norvo/retarget/align.h"
#include "norvo/retarget/preset.h"

namespace norvo::retarget {

namespace {

// Where a foot is in every frame: its leg's hip, knee and ankle, and each of
// its joints (the Foot and Toes body parts), frame after frame.
struct FootTrack {
  std::vector<std::int64_t> joints;
  std::vector<Vector> hip, knee, ankle;
  std::vector<Vector> at;           // joints.size() per frame
  std::vector<double> low;          // the lowest joint's up coordinate
  std::vector<std::size_t> lowest;  // which of `joints` it is

  Vector Lowest(std::size_t frame) const { return at[frame * joints.size() + lowest[frame]]; }
};

std::vector<std::int64_t> FootJoints(const Rig& rig, int side, std::int64_t ankle) {
  static const char* const kParts[2][2] = {{"LeftFoot", "LeftToes"}, {"RightFoot", "RightToes"}};
  std::vector<std::int64_t> joints;
  for (const char* part : kParts[side])
    for (const std::int64_t joint : rig.parts.joints[std::size_t(FindStandardBodyPart(part))])
      if (std::find(joints.begin(), joints.end(), joint) == joints.end()) joints.push_back(joint);
  if (std::find(joints.begin(), joints.end(), ankle) == joints.end()) joints.push_back(ankle);
  return joints;
}

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

// Both legs of a rig, or none.
bool BothLegs(const Rig& rig, const Vector& up, Leg legs[2]) {
  FindLegs(rig, legs);
  return legs[0].hip >= 0 && legs[1].hip >= 0 && Length(up) > 0.5;
}

// What moving the root a leg length away from the feet's shared lift
// weighs against turning the legs, in degrees.
constexpr double kPull = 100.0;
// How much higher or lower than the source's a foot off the floor may stand,
// for each leg length the source's stands over its lowest fifth.
constexpr double kBand = 2.0;
// With both feet down, where the legs would still turn more than
// kPitchWorth degrees to reach, a foot may pitch about the rig's left, up to
// kPitch degrees, so that a leg near straight need not bend far for a little
// height (a foot long for its leg); a degree of pitch weighs as kPitchWeight
// degrees of a leg's turn.
constexpr double kPitch = 15.0, kPitchWeight = 2.0, kPitchWorth = 8.0;
// A scale of the root's travel this near 1 is left alone.
constexpr double kTravelSlack = 1e-3;

// How far the thigh and the shin turn in the leg's plane when the hip to
// ankle distance goes from `from` to `to`, in degrees.
double LegBendDegrees(double a, double b, double from, double to) {
  auto angle = [](double near, double other, double d) {
    const double lo = std::abs(near - other) + 1e-9, hi = near + other - 1e-9;
    d = std::clamp(d, lo, hi);
    return std::acos(std::clamp((near * near + d * d - other * other) / (2.0 * near * d), -1.0, 1.0));
  };
  return (std::abs(angle(a, b, to) - angle(a, b, from)) + std::abs(angle(b, a, to) - angle(b, a, from))) * 180.0 /
         3.14159265358979323846;
}

}  // namespace

bool FootContacts::Down(int side, std::int64_t frame) const noexcept {
  const std::vector<ContactInterval>& intervals = feet[side];
  auto after = std::upper_bound(intervals.begin(), intervals.end(), frame,
                                [](std::int64_t f, const ContactInterval& c) { return f < c.first; });
  return after != intervals.begin() && frame < std::prev(after)->second;
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
    for (int side = 0; side < 2; ++side) {
      // The level the foot comes down to: the height it is below in one
      // frame of twenty, so that a stray frame does not set it.
      levels[side] = OneIn(tracks[side].low, 20);
    }
    const double ground = std::min(levels[0], levels[1]);
    if (std::abs(ground) > kFloorNear * std::min(legs[0].length, legs[1].length)) contacts.floor = ground;
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

Outcome<FloorFigures> MeasureFloor(const Motion& clip, const Rig& rig, const Vector& up, double floor,
                                   const FootContacts& contacts) {
  try {
    FloorFigures figures;
    Leg legs[2];
    if (!BothLegs(rig, up, legs) || !contacts.measured || !(clip.frameTime > 0.0)) return figures;
    figures.measured = true;
    FootTrack tracks[2];
    Follow(clip, rig, legs, up, tracks);
    for (int side = 0; side < 2; ++side) {
      const FootTrack& track = tracks[side];
      const double length = legs[side].length;
      double sum = 0.0;
      std::int64_t steps = 0;
      bool planted = false;
      for (const auto& [first, last] : contacts.feet[side]) {
        for (std::int64_t f = first; f < last && f < clip.FrameCount(); ++f) {
          const double height = (track.low[std::size_t(f)] - floor) / length;
          figures.planted[side] = planted ? std::max(figures.planted[side], height) : height;
          planted = true;
          if (f + 1 >= last || f + 1 >= clip.FrameCount()) continue;
          sum += Length(Across(Subtract(track.ankle[std::size_t(f) + 1], track.ankle[std::size_t(f)]), up));
          ++steps;
        }
      }
      if (steps > 0) figures.sliding[side] = sum / double(steps) / clip.frameTime / length;
      for (const double low : track.low)
        figures.deepest[side] = std::max(figures.deepest[side], (floor - low) / length);
    }
    return figures;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> PlantFeet(Motion& result, const Rig& target, double targetFloor, const Motion& source,
                        const Rig& sourceRig, const Vector& up, const FootContacts& contacts) {
  try {
    Leg legs[2], sourceLegs[2];
    const std::int64_t frames = result.FrameCount();
    if (!contacts.measured || !BothLegs(target, up, legs) || !BothLegs(sourceRig, up, sourceLegs) ||
        source.FrameCount() != frames || !(result.frameTime > 0.0))
      return {};
    KeepChains(result.skeleton, legs);
    if (legs[0].hip < 0 || legs[1].hip < 0) return {};
    const double sourceFloor = contacts.floor;
    FootTrack tracks[2], sourceTracks[2];
    Follow(source, sourceRig, sourceLegs, up, sourceTracks);
    Follow(result, target, legs, up, tracks);
    std::int64_t root = legs[0].hip;
    while (result.skeleton.joints[std::size_t(root)].parent >= 0)
      root = result.skeleton.joints[std::size_t(root)].parent;

    // The whole clip first: up or down by the median difference of the
    // heights during contacts.
    std::vector<double> differences;
    for (int side = 0; side < 2; ++side) {
      const double scale = legs[side].length / sourceLegs[side].length;
      for (const auto& [first, last] : contacts.feet[side])
        for (std::int64_t f = first; f < std::min(last, frames); ++f)
          differences.push_back(scale * (sourceTracks[side].low[std::size_t(f)] - sourceFloor) -
                                (tracks[side].low[std::size_t(f)] - targetFloor));
    }
    if (!differences.empty()) {
      const double shift = OneIn(std::move(differences), 2);
      if (std::abs(shift) > 1e-6 * legs[0].length) {
        for (std::int64_t f = 0; f < frames; ++f) {
          Matrix& local = result.Frame(f)[std::size_t(root)];
          local.off = Add(local.off, Scale(up, shift));
        }
        Follow(result, target, legs, up, tracks);
      }
    }
    // The root's travel across up, scaled so that the feet need not slide
    // during their contacts: a rig whose legs are long or short for its
    // hips' height would otherwise turn its legs more and more through each
    // step to keep a planted foot.
    {
      double along = 0.0, travel = 0.0;
      const Vector start = result.Frame(0)[std::size_t(root)].off;
      for (int side = 0; side < 2; ++side) {
        const double scale = legs[side].length / sourceLegs[side].length;
        for (const auto& [first, last] : contacts.feet[side]) {
          const std::size_t a = std::size_t(first);
          for (std::size_t f = a + 1; f < std::size_t(std::min(last, frames)); ++f) {
            const Vector slide =
                Across(Subtract(Subtract(tracks[side].ankle[f], tracks[side].ankle[a]),
                                Scale(Subtract(sourceTracks[side].ankle[f], sourceTracks[side].ankle[a]), scale)),
                       up);
            const Vector moved = Across(Subtract(result.Frame(std::int64_t(f))[std::size_t(root)].off,
                                                 result.Frame(std::int64_t(a))[std::size_t(root)].off),
                                        up);
            along += Dot(slide, moved);
            travel += Dot(moved, moved);
          }
        }
      }
      const double factor = travel > 0.0 ? std::clamp(1.0 - along / travel, 0.5, 2.0) : 1.0;
      if (std::abs(factor - 1.0) > kTravelSlack) {
        for (std::int64_t f = 0; f < frames; ++f) {
          Vector& at = result.Frame(f)[std::size_t(root)].off;
          const Vector moved = Across(Subtract(at, start), up);
          at = Add(at, Scale(moved, factor - 1.0));
        }
        Follow(result, target, legs, up, tracks);
      }
    }
    // A tenth of a second in frames (held to what an integer counts for a
    // vanishing frame time); the loops over it stop at the clip's ends.
    const std::int64_t blend = std::max<std::int64_t>(1, std::llround(std::min(0.1 / result.frameTime, 1e15)));
    const std::size_t n = std::size_t(frames);

    // Where each ankle should be in each frame. Along the up axis: as high
    // as the source's, scaled, wherever the source's foot is low (fully up
    // to kContactLeave leg lengths, less and less up to twice that); the
    // root takes the part the feet share, so that a foot that is free rides
    // along with it. Across the up axis: with the source's ankle during a
    // contact, and back over the blend frames after it.
    std::vector<double> common(n, 0.0);
    std::vector<double> lift[2], weight[2];
    for (int side = 0; side < 2; ++side) {
      const double scale = legs[side].length / sourceLegs[side].length;
      lift[side].resize(n);
      weight[side].resize(n);
      for (std::size_t f = 0; f < n; ++f) {
        const double height = sourceTracks[side].low[f] - sourceFloor;
        weight[side][f] = std::clamp(2.0 - height / sourceLegs[side].length / kContactLeave, 0.0, 1.0);
        lift[side][f] = scale * height - (tracks[side].low[f] - targetFloor);
      }
    }
    for (std::size_t f = 0; f < n; ++f)
      common[f] = (weight[0][f] * lift[0][f] + weight[1][f] * lift[1][f]) / std::max(1.0, weight[0][f] + weight[1][f]);
    std::vector<Vector> across[2];
    for (int side = 0; side < 2; ++side) {
      const FootTrack& t = tracks[side];
      const FootTrack& s = sourceTracks[side];
      const double scale = legs[side].length / sourceLegs[side].length;
      across[side].assign(n, Vector{});
      for (const auto& [first, last] : contacts.feet[side]) {
        const std::size_t a = std::size_t(first), b = std::size_t(std::min(last, frames));
        auto along = [&](std::size_t f) {
          return Across(Subtract(Add(t.ankle[a], Scale(Subtract(s.ankle[f], s.ankle[a]), scale)), t.ankle[f]), up);
        };
        for (std::size_t f = a; f < b; ++f) across[side][f] = along(f);
        for (std::size_t f = b; f < n && f - b < std::size_t(blend) && !contacts.Down(side, std::int64_t(f)); ++f)
          across[side][f] = Scale(along(b - 1), 1.0 - double(f + 1 - b) / double(blend + 1));
      }
    }
    // Below this height (the lowest fifth of its frames) a foot stands as
    // high as the source's, scaled; above it and away from its contacts it
    // may stand higher or lower, by up to kBand times its height over this
    // level, so that a leg need not bend for a foot that is off the floor.
    double level[2];
    for (int side = 0; side < 2; ++side) level[side] = OneIn(sourceTracks[side].low, 5);
    // How far each foot is from its contacts: 0 during one, rising to 1
    // over the blend frames either side.
    std::vector<double> apart[2];
    for (int side = 0; side < 2; ++side) {
      std::vector<double>& distance = apart[side];
      distance.assign(n, double(blend + 1));
      for (const auto& [first, last] : contacts.feet[side])
        for (std::size_t f = std::size_t(first); f < std::size_t(std::min(last, frames)); ++f) distance[f] = 0.0;
      for (std::size_t f = 1; f < n; ++f) distance[f] = std::min(distance[f], distance[f - 1] + 1.0);
      for (std::size_t f = n - 1; f-- > 0;) distance[f] = std::min(distance[f], distance[f + 1] + 1.0);
      for (double& d : distance) d /= double(blend + 1);
    }
    // The rig's left in each frame, about which a foot pitches.
    std::vector<Vector> left(n);
    for (std::size_t f = 0; f < n; ++f) {
      const Vector across = Across(Subtract(tracks[0].hip[f], tracks[1].hip[f]), up);
      const double length = Length(across);
      left[f] = length > 1e-9 * legs[0].length ? Scale(across, 1.0 / length) : Vector{};
    }
    auto pitchTurn = [&](std::size_t f, double degrees) {
      return AxisAngle(left[f], degrees * std::numbers::pi / 180.0);
    };
    // How much higher the foot's lowest joint stands over its ankle with the
    // foot pitched by `degrees` than without.
    auto pitchRise = [&](int side, std::size_t f, double degrees) {
      if (degrees == 0.0 || Length(left[f]) < 0.5) return 0.0;
      const FootTrack& t = tracks[side];
      const Matrix turn = pitchTurn(f, degrees);
      const std::size_t count = t.joints.size();
      double lowest = std::numeric_limits<double>::infinity();
      for (std::size_t j = 0; j < count; ++j)
        lowest = std::min(lowest, Dot(TransformVector(turn, Subtract(t.at[f * count + j], t.ankle[f])), up));
      return lowest - (t.low[f] - Dot(t.ankle[f], up));
    };
    // Where the ankle should be with the root moved `shift` along up and the
    // foot pitched by `pitch` degrees; no deeper below the floor than the
    // source's foot in that frame.
    auto goalAt = [&](int side, std::size_t f, double shift, double pitch) {
      const double w = weight[side][f], scale = legs[side].length / sourceLegs[side].length;
      const double band = kBand * apart[side][f] * scale * std::max(0.0, sourceTracks[side].low[f] - level[side]);
      // Lower only as far as the ankle stays as high as the source's, scaled:
      // a foot long for its leg hangs its toes lower, but the ankle keeps its
      // place among the frames.
      const double ankleLift = scale * (Dot(sourceTracks[side].ankle[f], up) - sourceFloor) -
                               (Dot(tracks[side].ankle[f], up) - targetFloor);
      const double floorward = std::min(lift[side][f], std::max(lift[side][f] - band, ankleLift));
      double rise = w * std::clamp(shift, floorward, lift[side][f] + band) + (1.0 - w) * shift;
      const double lowest = scale * std::min(0.0, sourceTracks[side].low[f] - sourceFloor);
      const double height = tracks[side].low[f] - targetFloor + rise;
      if (height < lowest) rise += lowest - height;
      rise -= pitchRise(side, f, pitch);
      return Add(Add(tracks[side].ankle[f], Scale(up, rise)), across[side][f]);
    };
    // With both feet down, the root goes where the legs turn least to reach
    // their goals (a leg near straight bends far for a little height), held
    // near the shared lift by kPull degrees per leg length.
    std::vector<double> away(n, 0.0), pitch[2];  // per frame, before they settle
    for (int side = 0; side < 2; ++side) pitch[side].assign(n, 0.0);
    // Each frame's search stands alone: frames apart on up to two threads.
    ForEachRun(n, [&](std::size_t begin, std::size_t end, int) {
      for (std::size_t f = begin; f < end; ++f) {
        const double both = std::min(weight[0][f], weight[1][f]);
        if (!(both > 0.0)) continue;
        struct Now {
          Vector hip, ankle;
          double upper, lower, reach;
        } now[2];
        for (int side = 0; side < 2; ++side) {
          const Vector hip = tracks[side].hip[f], knee = tracks[side].knee[f], ankle = tracks[side].ankle[f];
          now[side] = {hip, ankle, Length(Subtract(knee, hip)), Length(Subtract(ankle, knee)),
                       Length(Subtract(ankle, hip))};
        }
        auto legCost = [&](int side, double shift, double degrees) {
          const Now& leg = now[side];
          const Vector toGoal = Subtract(Subtract(goalAt(side, f, shift, degrees), Scale(up, shift)), leg.hip);
          const double far = Length(toGoal), beyond = far - 0.999 * (leg.upper + leg.lower);
          return (beyond > 0.0 ? 1000.0 * beyond / legs[side].length : 0.0) + kPitchWeight * std::abs(degrees) +
                 2.0 * AngleDegrees(Subtract(leg.ankle, leg.hip), toGoal) +
                 LegBendDegrees(leg.upper, leg.lower, leg.reach, far);
        };
        // The pitch of least cost for a shift: a coarse look, then a fine one.
        auto bestPitch = [&](int side, double shift) {
          double best = 0.0, bestCost = legCost(side, shift, 0.0);
          constexpr int kSteps = 6;
          for (int i = 0; i <= kSteps; ++i) {
            const double degrees = -kPitch + 2.0 * kPitch * i / kSteps, c = legCost(side, shift, degrees);
            if (c < bestCost) bestCost = c, best = degrees;
          }
          for (double step = kPitch / kSteps; step > 0.05; step *= 0.5)
            for (const double degrees : {best - step, best + step}) {
              const double c = legCost(side, shift, std::clamp(degrees, -kPitch, kPitch));
              if (c < bestCost) bestCost = c, best = std::clamp(degrees, -kPitch, kPitch);
            }
          return std::pair{best, bestCost};
        };
        // Each leg's cost with its foot pitched as given, or as best suits
        // the shift when `choose` is set.
        double pitches[2] = {0.0, 0.0};
        bool choose = false;
        auto cost = [&](double shift) {
          double sum = kPull * std::abs(shift - common[f]) / legs[0].length;
          for (int side = 0; side < 2; ++side)
            sum += choose ? bestPitch(side, shift).second : legCost(side, shift, pitches[side]);
          return sum;
        };
        // A coarse look over the lifts' span, then a fine one about the best.
        const double low = std::min({lift[0][f], lift[1][f], common[f]}) - 0.1 * legs[0].length;
        const double high = std::max({lift[0][f], lift[1][f], common[f]}) + 0.02 * legs[0].length;
        constexpr int kSteps = 8;
        double best = 0.0, bestCost = 0.0;
        auto search = [&] {
          best = common[f], bestCost = cost(common[f]);
          for (int i = 0; i <= kSteps; ++i) {
            const double shift = low + (high - low) * i / kSteps, c = cost(shift);
            if (c < bestCost) bestCost = c, best = shift;
          }
          for (double step = 0.5 * (high - low) / kSteps; step > 1e-3 * legs[0].length; step *= 0.5)
            for (const double shift : {best - step, best + step}) {
              const double c = cost(shift);
              if (c < bestCost) bestCost = c, best = shift;
            }
        };
        search();
        // Where the legs still turn far, the feet may pitch instead.
        if (bestCost > kPitchWorth) {
          choose = true;
          search();
          for (int side = 0; side < 2; ++side) pitches[side] = bestPitch(side, best).first;
        }
        away[f] = both * (best - common[f]);
        for (int side = 0; side < 2; ++side) pitch[side][f] = both * pitches[side];
      }
    });
    // The best place can leap from one knee bent to the other: the root
    // moves there over half the blend frames either side.
    const std::int64_t settle = std::max<std::int64_t>(1, blend / 2);
    auto settled = [&](const std::vector<double>& values, std::size_t f) {
      double sum = 0.0, weights = 0.0;
      for (std::int64_t i = std::max(-settle, -std::int64_t(f)); i <= std::min(settle, frames - 1 - std::int64_t(f));
           ++i) {
        const std::int64_t g = std::int64_t(f) + i;
        const double w = 1.0 - double(std::abs(i)) / double(settle + 1);
        sum += w * values[std::size_t(g)];
        weights += w;
      }
      return sum / weights;
    };
    std::vector<double> pitched[2];
    for (int side = 0; side < 2; ++side) {
      pitched[side].resize(n);
      for (std::size_t f = 0; f < n; ++f) pitched[side][f] = settled(pitch[side], f);
    }
    for (std::size_t f = 0; f < n; ++f) common[f] += settled(away, f);
    std::vector<Vector> goal[2];
    for (int side = 0; side < 2; ++side) {
      goal[side].resize(n);
      for (std::size_t f = 0; f < n; ++f) goal[side][f] = goalAt(side, f, common[f], pitched[side][f]);
    }

    // A foot to move is one whose goal is not where the root takes it; moves
    // below a millionth of the leg are rounding, not work to do.
    auto moves = [&](int side, std::size_t f) {
      const Vector ridden = Add(tracks[side].ankle[f], Scale(up, common[f]));
      return Length(Subtract(goal[side][f], ridden)) > 1e-6 * legs[side].length || pitched[side][f] != 0.0;
    };
    // Where a leg cannot reach its goal, the root comes down, blended.
    std::vector<double> drop(n, 0.0);
    for (std::size_t f = 0; f < n; ++f) {
      if (!moves(0, f) && !moves(1, f)) continue;
      for (int side = 0; side < 2; ++side) {
        // As far as the leg reaches short of straight, or as far as it
        // reaches already.
        const Vector before = tracks[side].hip[f], knee = tracks[side].knee[f], ankle = tracks[side].ankle[f];
        const Vector hip = Add(before, Scale(up, common[f]));
        const double reach = std::max(0.999 * (Length(Subtract(knee, before)) + Length(Subtract(ankle, knee))),
                                      Length(Subtract(ankle, before)));
        const Vector toGoal = Subtract(goal[side][f], hip);
        if (Length(toGoal) <= reach) continue;
        const double along = Dot(toGoal, up), square = along * along - Dot(toGoal, toGoal) + reach * reach;
        drop[f] = std::max(drop[f], square >= 0.0 ? -along - std::sqrt(square) : -along);
      }
    }
    std::vector<double> lowered(n, 0.0);
    for (std::size_t f = 0; f < n; ++f) {
      if (!(drop[f] > 0.0)) continue;
      for (std::int64_t i = std::max(-blend, -std::int64_t(f)); i <= std::min(blend, frames - 1 - std::int64_t(f));
           ++i) {
        const std::int64_t g = std::int64_t(f) + i;
        lowered[std::size_t(g)] =
            std::max(lowered[std::size_t(g)], drop[f] * (1.0 - double(std::abs(i)) / double(blend + 1)));
      }
    }

    // The solve reads the legs' joints and the hips' parents alone.
    const std::vector<std::int64_t> moved = JointsUpTo(result.skeleton, LegJoints(legs));
    std::vector<Matrix> globals(result.skeleton.joints.size());
    for (std::size_t f = 0; f < n; ++f) {
      const bool move[2] = {moves(0, f), moves(1, f)};
      const double shift = common[f] - lowered[f];
      if (!move[0] && !move[1] && !(std::abs(shift) > 1e-6 * legs[0].length)) continue;
      const std::span<Matrix> locals = result.Frame(std::int64_t(f));
      locals[std::size_t(root)].off = Add(locals[std::size_t(root)].off, Scale(up, shift));
      ForwardKinematics(result.skeleton, locals, globals, moved);
      for (int side = 0; side < 2; ++side) {
        if (!move[side] && !(lowered[f] > 0.0)) continue;
        const bool pitches = pitched[side][f] != 0.0;
        const Matrix turn = pitches ? pitchTurn(f, pitched[side][f]) : Matrix{};
        ReachAnkle(result.skeleton, legs[side], goal[side][f], up, LeftOf(globals, legs, up), globals, locals,
                   pitches ? &turn : nullptr);
      }
    }
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
