#include "norvo/retarget/solve/feet.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>

#include "../parallel.h"
#include "legs.h"
#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/rig/preset.h"
#include "planting.h"

namespace norvo::retarget {
namespace planting {
double LegBendDegrees(double a, double b, double from, double to) {
  auto angle = [](double near, double other, double d) {
    const double lo = std::abs(near - other) + 1e-9, hi = near + other - 1e-9;
    d = std::clamp(d, lo, hi);
    return std::acos(std::clamp((near * near + d * d - other * other) / (2.0 * near * d), -1.0, 1.0));
  };
  return (std::abs(angle(a, b, to) - angle(a, b, from)) + std::abs(angle(b, a, to) - angle(b, a, from))) * 180.0 /
         std::numbers::pi;
}

std::int64_t BlendFrames(double frameTime) {
  return std::max<std::int64_t>(1, std::llround(std::min(kBlendSeconds / frameTime, kBlendMostFrames)));
}

// --- Shifting the clip --------------------------------------------------

double ClipShift(const Planting& p, const FootContacts& contacts) {
  std::vector<double> differences;
  for (int side = 0; side < 2; ++side) {
    const double scale = p.Scale(side);
    for (const auto& [first, last] : contacts.feet[side])
      for (std::int64_t f = first; f < std::min(last, p.frames); ++f)
        differences.push_back(scale * (p.sourceTracks[side].low[std::size_t(f)] - p.sourceFloor) -
                              (p.tracks[side].low[std::size_t(f)] - p.targetFloor));
  }
  // The median.
  return differences.empty() ? 0.0 : Percentile(std::move(differences), 50);
}

double TravelFactor(const Planting& p, const FootContacts& contacts, const std::vector<Vector>& root) {
  double along = 0.0, travel = 0.0;
  for (int side = 0; side < 2; ++side) {
    const double scale = p.Scale(side);
    const FootTrack& t = p.tracks[side];
    const FootTrack& s = p.sourceTracks[side];
    for (const auto& [first, last] : contacts.feet[side]) {
      const std::size_t a = std::size_t(first);
      for (std::size_t f = a + 1; f < std::size_t(std::min(last, p.frames)); ++f) {
        // How far the ankle slides from where the source's takes it, and
        // how far the root travels, since the contact's first frame.
        const Vector slide =
            Across(Subtract(Subtract(t.ankle[f], t.ankle[a]), Scale(Subtract(s.ankle[f], s.ankle[a]), scale)), p.up);
        const Vector moved = Across(Subtract(root[f], root[a]), p.up);
        along += Dot(slide, moved);
        travel += Dot(moved, moved);
      }
    }
  }
  return travel > 0.0 ? std::clamp(1.0 - along / travel, kTravelLeast, kTravelMost) : 1.0;
}

// --- Ankle goals --------------------------------------------------------

namespace {

// Along up: each foot's lift and weight, and the lift they share.
void Lifts(Planting& p) {
  const std::size_t n = std::size_t(p.frames);
  p.common.assign(n, 0.0);
  for (int side = 0; side < 2; ++side) {
    const double scale = p.Scale(side);
    p.lift[side].resize(n);
    p.weight[side].resize(n);
    for (std::size_t f = 0; f < n; ++f) {
      const double height = p.sourceTracks[side].low[f] - p.sourceFloor;
      p.weight[side][f] = std::clamp(kWeightFade - height / p.sourceLegs[side].length / kContactLeave, 0.0, 1.0);
      p.lift[side][f] = scale * height - (p.tracks[side].low[f] - p.targetFloor);
    }
  }
  for (std::size_t f = 0; f < n; ++f)
    p.common[f] = (p.weight[0][f] * p.lift[0][f] + p.weight[1][f] * p.lift[1][f]) /
                  std::max(1.0, p.weight[0][f] + p.weight[1][f]);
}

// Across up: with the source's ankle during a contact, and back over the
// blend frames after it.
void AcrossGoals(Planting& p, const FootContacts& contacts) {
  const std::size_t n = std::size_t(p.frames);
  for (int side = 0; side < 2; ++side) {
    const FootTrack& t = p.tracks[side];
    const FootTrack& s = p.sourceTracks[side];
    const double scale = p.Scale(side);
    std::vector<Vector>& across = p.across[side];
    across.assign(n, Vector{});
    for (const auto& [first, last] : contacts.feet[side]) {
      const std::size_t a = std::size_t(first), b = std::size_t(std::min(last, p.frames));
      auto along = [&](std::size_t f) {
        return Across(Subtract(Add(t.ankle[a], Scale(Subtract(s.ankle[f], s.ankle[a]), scale)), t.ankle[f]), p.up);
      };
      for (std::size_t f = a; f < b; ++f) across[f] = along(f);
      for (std::size_t f = b; f < n && f - b < std::size_t(p.blend) && !contacts.Down(side, std::int64_t(f)); ++f)
        across[f] = Scale(along(b - 1), 1.0 - double(f + 1 - b) / double(p.blend + 1));
    }
  }
}

// How far each foot is from its contacts: 0 during one, rising to 1 over
// the blend frames either side.
void Apart(Planting& p, const FootContacts& contacts) {
  const std::size_t n = std::size_t(p.frames);
  for (int side = 0; side < 2; ++side) {
    std::vector<double>& distance = p.apart[side];
    distance.assign(n, double(p.blend + 1));
    for (const auto& [first, last] : contacts.feet[side])
      for (std::size_t f = std::size_t(first); f < std::size_t(std::min(last, p.frames)); ++f) distance[f] = 0.0;
    for (std::size_t f = 1; f < n; ++f) distance[f] = std::min(distance[f], distance[f - 1] + 1.0);
    for (std::size_t f = n - 1; f-- > 0;) distance[f] = std::min(distance[f], distance[f + 1] + 1.0);
    for (double& d : distance) d /= double(p.blend + 1);
  }
}

// How much higher the foot's lowest joint stands over its ankle with the
// foot pitched by `degrees` than without.
double PitchRise(const Planting& p, int side, std::size_t f, double degrees) {
  if (degrees == 0.0 || Length(p.left[f]) < 0.5) return 0.0;
  const FootTrack& t = p.tracks[side];
  const Matrix rotation = PitchRotation(p, f, degrees);
  const std::size_t count = t.joints.size();
  double lowest = std::numeric_limits<double>::infinity();
  for (std::size_t j = 0; j < count; ++j)
    lowest = std::min(lowest, Dot(TransformVector(rotation, Subtract(t.at[f * count + j], t.ankle[f])), p.up));
  return lowest - (t.low[f] - Dot(t.ankle[f], p.up));
}

}  // namespace

void AnkleGoals(Planting& p, const FootContacts& contacts) {
  // Along up: as high as the source's, scaled, wherever the source's foot
  // is low (fully up to kContactLeave leg lengths, less and less up to
  // kWeightFade times that); the root takes the part the feet share, so
  // that a foot that is free rides along with it.
  Lifts(p);
  AcrossGoals(p, contacts);
  // Below this height a foot stands as high as the source's, scaled; above
  // it and away from its contacts it may stand higher or lower, by up to
  // kBand times its height over this level, so that a leg need not bend for
  // a foot that is off the floor.
  for (int side = 0; side < 2; ++side) p.level[side] = Percentile(p.sourceTracks[side].low, kLevelPercentile);
  Apart(p, contacts);
  // The rig's left in each frame, about which a foot pitches.
  const std::size_t n = std::size_t(p.frames);
  p.left.resize(n);
  for (std::size_t f = 0; f < n; ++f) {
    const Vector across = Across(Subtract(p.tracks[0].hip[f], p.tracks[1].hip[f]), p.up);
    const double length = Length(across);
    p.left[f] = length > kNoLeft * p.legs[0].length ? Scale(across, 1.0 / length) : Vector{};
  }
}

Matrix PitchRotation(const Planting& p, std::size_t f, double degrees) {
  return AxisAngle(p.left[f], degrees * std::numbers::pi / 180.0);
}

Vector AnkleGoal(const Planting& p, int side, std::size_t f, double shift, double pitch) {
  const FootTrack& t = p.tracks[side];
  const FootTrack& s = p.sourceTracks[side];
  const double w = p.weight[side][f], scale = p.Scale(side), lift = p.lift[side][f];
  const double band = kBand * p.apart[side][f] * scale * std::max(0.0, s.low[f] - p.level[side]);
  // Lower only as far as the ankle stays as high as the source's, scaled: a
  // foot long for its leg hangs its toes lower, but the ankle keeps its
  // place among the frames.
  const double ankleLift = scale * (Dot(s.ankle[f], p.up) - p.sourceFloor) - (Dot(t.ankle[f], p.up) - p.targetFloor);
  const double floorward = std::min(lift, std::max(lift - band, ankleLift));
  double rise = w * std::clamp(shift, floorward, lift + band) + (1.0 - w) * shift;
  // No deeper below the floor than the source's foot in that frame.
  const double lowest = scale * std::min(0.0, s.low[f] - p.sourceFloor);
  const double height = t.low[f] - p.targetFloor + rise;
  if (height < lowest) rise += lowest - height;
  rise -= PitchRise(p, side, f, pitch);
  return Add(Add(t.ankle[f], Scale(p.up, rise)), p.across[side][f]);
}

// --- The root's height per frame -------------------------------------------

namespace {

// One frame's search for the root's height with both feet down: the legs
// as they stand, and what a shift of the root costs them.
struct RootSearch {
  struct LegNow {
    Vector hip, ankle;
    double upper, lower, reach;
  };
  const Planting& p;
  std::size_t f;
  LegNow now[2];
  // Each leg's foot pitched as given, or as best suits the shift when
  // `choose` is set.
  double pitches[2] = {0.0, 0.0};
  bool choose = false;
  double best = 0.0, bestCost = 0.0;

  RootSearch(const Planting& planting, std::size_t frame) : p(planting), f(frame) {
    for (int side = 0; side < 2; ++side) {
      const FootTrack& t = p.tracks[side];
      const Vector hip = t.hip[f], knee = t.knee[f], ankle = t.ankle[f];
      now[side] = {hip, ankle, Length(Subtract(knee, hip)), Length(Subtract(ankle, knee)),
                   Length(Subtract(ankle, hip))};
    }
  }

  // In degrees: how far the goal lies beyond reach, the foot's pitch, the
  // hip to ankle line's swing and the knee's bend.
  double LegCost(int side, double shift, double degrees) const {
    const LegNow& leg = now[side];
    const Vector toGoal = Subtract(Subtract(AnkleGoal(p, side, f, shift, degrees), Scale(p.up, shift)), leg.hip);
    const double far = Length(toGoal), beyond = far - kReach * (leg.upper + leg.lower);
    return (beyond > 0.0 ? kBeyondWeight * beyond / p.legs[side].length : 0.0) + kPitchWeight * std::abs(degrees) +
           kSwingWeight * AngleDegrees(Subtract(leg.ankle, leg.hip), toGoal) +
           LegBendDegrees(leg.upper, leg.lower, leg.reach, far);
  }

  // The pitch of least cost for a shift, and its cost: a coarse look, then
  // a fine one.
  std::pair<double, double> BestPitch(int side, double shift) const {
    double pitch = 0.0, pitchCost = LegCost(side, shift, 0.0);
    for (int i = 0; i <= kPitchSteps; ++i) {
      const double degrees = -kPitch + 2.0 * kPitch * i / kPitchSteps, c = LegCost(side, shift, degrees);
      if (c < pitchCost) pitchCost = c, pitch = degrees;
    }
    for (double step = kPitch / kPitchSteps; step > kPitchPrecision; step *= 0.5)
      for (const double degrees : {pitch - step, pitch + step}) {
        const double c = LegCost(side, shift, std::clamp(degrees, -kPitch, kPitch));
        if (c < pitchCost) pitchCost = c, pitch = std::clamp(degrees, -kPitch, kPitch);
      }
    return std::pair{pitch, pitchCost};
  }

  double Cost(double shift) const {
    double sum = kPull * std::abs(shift - p.common[f]) / p.legs[0].length;
    for (int side = 0; side < 2; ++side)
      sum += choose ? BestPitch(side, shift).second : LegCost(side, shift, pitches[side]);
    return sum;
  }

  // A coarse look over [low, high], then a fine one about the best.
  void Search(double low, double high) {
    best = p.common[f], bestCost = Cost(p.common[f]);
    for (int i = 0; i <= kSearchSteps; ++i) {
      const double shift = low + (high - low) * i / kSearchSteps, c = Cost(shift);
      if (c < bestCost) bestCost = c, best = shift;
    }
    for (double step = 0.5 * (high - low) / kSearchSteps; step > kSearchPrecision * p.legs[0].length; step *= 0.5)
      for (const double shift : {best - step, best + step}) {
        const double c = Cost(shift);
        if (c < bestCost) bestCost = c, best = shift;
      }
  }
};

void RootHeightAt(Planting& p, std::size_t f) {
  const double both = std::min(p.weight[0][f], p.weight[1][f]);
  if (!(both > 0.0)) return;
  const double lift0 = p.lift[0][f], lift1 = p.lift[1][f], common = p.common[f];
  const double low = std::min({lift0, lift1, common}) - kSearchBelow * p.legs[0].length;
  const double high = std::max({lift0, lift1, common}) + kSearchAbove * p.legs[0].length;
  RootSearch search(p, f);
  search.Search(low, high);
  // Where the legs still rotate far, the feet may pitch instead.
  if (search.bestCost > kPitchWorth) {
    search.choose = true;
    search.Search(low, high);
    for (int side = 0; side < 2; ++side) search.pitches[side] = search.BestPitch(side, search.best).first;
  }
  p.away[f] = both * (search.best - common);
  for (int side = 0; side < 2; ++side) p.pitch[side][f] = both * search.pitches[side];
}

}  // namespace

void RootHeights(Planting& p) {
  const std::size_t n = std::size_t(p.frames);
  p.away.assign(n, 0.0);
  for (int side = 0; side < 2; ++side) p.pitch[side].assign(n, 0.0);
  // Each frame's search stands alone: frames apart on up to two threads.
  ForEachRun(n, [&](std::size_t begin, std::size_t end, int) {
    for (std::size_t f = begin; f < end; ++f) RootHeightAt(p, f);
  });
}

// --- Settling -----------------------------------------------------------

std::vector<double> Settled(const std::vector<double>& values, std::int64_t settle) {
  const std::int64_t frames = std::int64_t(values.size());
  std::vector<double> settled(values.size());
  for (std::int64_t f = 0; f < frames; ++f) {
    double sum = 0.0, weights = 0.0;
    for (std::int64_t i = std::max(-settle, -f); i <= std::min(settle, frames - 1 - f); ++i) {
      const double w = 1.0 - double(std::abs(i)) / double(settle + 1);
      sum += w * values[std::size_t(f + i)];
      weights += w;
    }
    settled[std::size_t(f)] = sum / weights;
  }
  return settled;
}

void Settle(Planting& p) {
  // The best place can leap from one knee bent to the other: the root moves
  // there over half the blend frames either side.
  const std::int64_t settle = std::max<std::int64_t>(1, p.blend / 2);
  const std::size_t n = std::size_t(p.frames);
  for (int side = 0; side < 2; ++side) p.pitched[side] = Settled(p.pitch[side], settle);
  const std::vector<double> away = Settled(p.away, settle);
  for (std::size_t f = 0; f < n; ++f) p.common[f] += away[f];
  for (int side = 0; side < 2; ++side) {
    p.goal[side].resize(n);
    for (std::size_t f = 0; f < n; ++f) p.goal[side][f] = AnkleGoal(p, side, f, p.common[f], p.pitched[side][f]);
  }
}

// --- Dropping the root where a leg cannot reach -----------------------------

bool Moves(const Planting& p, int side, std::size_t f) {
  const Vector ridden = Add(p.tracks[side].ankle[f], Scale(p.up, p.common[f]));
  return Length(Subtract(p.goal[side][f], ridden)) > kRounding * p.legs[side].length || p.pitched[side][f] != 0.0;
}

double ReachDrop(const Vector& hip, const Vector& knee, const Vector& ankle, double rise, const Vector& goal,
                 const Vector& up) {
  // As far as the leg reaches short of straight, or as far as it reaches
  // already.
  const Vector moved = Add(hip, Scale(up, rise));
  const double reach =
      std::max(kReach * (Length(Subtract(knee, hip)) + Length(Subtract(ankle, knee))), Length(Subtract(ankle, hip)));
  const Vector toGoal = Subtract(goal, moved);
  if (Length(toGoal) <= reach) return 0.0;
  // The drop d that puts the goal at the reach: |toGoal + d up| = reach.
  const double along = Dot(toGoal, up), square = along * along - Dot(toGoal, toGoal) + reach * reach;
  return square >= 0.0 ? -along - std::sqrt(square) : -along;
}

std::vector<double> BlendDrops(const std::vector<double>& drop, std::int64_t blend) {
  const std::int64_t frames = std::int64_t(drop.size());
  std::vector<double> lowered(drop.size(), 0.0);
  for (std::int64_t f = 0; f < frames; ++f) {
    const double d = drop[std::size_t(f)];
    if (!(d > 0.0)) continue;
    for (std::int64_t i = std::max(-blend, -f); i <= std::min(blend, frames - 1 - f); ++i) {
      double& at = lowered[std::size_t(f + i)];
      at = std::max(at, d * (1.0 - double(std::abs(i)) / double(blend + 1)));
    }
  }
  return lowered;
}

void DropRoot(Planting& p) {
  const std::size_t n = std::size_t(p.frames);
  std::vector<double> drop(n, 0.0);
  for (std::size_t f = 0; f < n; ++f) {
    if (!Moves(p, 0, f) && !Moves(p, 1, f)) continue;
    for (int side = 0; side < 2; ++side) {
      const FootTrack& t = p.tracks[side];
      drop[f] = std::max(drop[f], ReachDrop(t.hip[f], t.knee[f], t.ankle[f], p.common[f], p.goal[side][f], p.up));
    }
  }
  p.lowered = BlendDrops(drop, p.blend);
}

// --- Solving the legs -------------------------------------------------------

void SolveLegs(const Planting& p, Motion& result, std::int64_t root) {
  // The solve reads the legs' joints and the hips' parents alone.
  const std::vector<std::int64_t> moved = JointsUpTo(result.skeleton, LegJoints(p.legs));
  std::vector<Matrix> globals(result.skeleton.joints.size());
  for (std::size_t f = 0; f < std::size_t(p.frames); ++f) {
    const bool move[2] = {Moves(p, 0, f), Moves(p, 1, f)};
    const double shift = p.common[f] - p.lowered[f];
    if (!move[0] && !move[1] && !(std::abs(shift) > kRounding * p.legs[0].length)) continue;
    const std::span<Matrix> locals = result.Frame(std::int64_t(f));
    locals[std::size_t(root)].off = Add(locals[std::size_t(root)].off, Scale(p.up, shift));
    ForwardKinematics(result.skeleton, locals, globals, moved);
    for (int side = 0; side < 2; ++side) {
      if (!move[side] && !(p.lowered[f] > 0.0)) continue;
      const bool pitches = p.pitched[side][f] != 0.0;
      const Matrix rotation = pitches ? PitchRotation(p, f, p.pitched[side][f]) : Matrix{};
      ReachAnkle(result.skeleton, p.legs[side], p.goal[side][f], p.up, LeftOf(globals, p.legs, p.up), globals, locals,
                 pitches ? &rotation : nullptr);
    }
  }
}

}  // namespace planting

namespace {

// The planting's given block, or false where there is nothing to plant:
// the contacts were not measured, a rig lacks a leg, the clips differ in
// length or the result's legs are not chains.
bool Prepare(planting::Planting& p, const Motion& result, const Rig& target, double targetFloor, const Motion& source,
             const Rig& sourceRig, const Vector& up, const FootContacts& contacts) {
  p.frames = result.FrameCount();
  if (!contacts.measured || !BothLegs(target, up, p.legs) || !BothLegs(sourceRig, up, p.sourceLegs) ||
      source.FrameCount() != p.frames || !(result.frameTime > 0.0))
    return false;
  KeepChains(result.skeleton, p.legs);
  if (p.legs[0].hip < 0 || p.legs[1].hip < 0) return false;
  p.up = up;
  p.targetFloor = targetFloor;
  p.sourceFloor = contacts.floor;
  p.blend = planting::BlendFrames(result.frameTime);
  Follow(source, sourceRig, p.sourceLegs, up, p.sourceTracks);
  Follow(result, target, p.legs, up, p.tracks);
  return true;
}

std::int64_t RootOf(const Skeleton& skeleton, std::int64_t joint) {
  while (skeleton.joints[std::size_t(joint)].parent >= 0) joint = skeleton.joints[std::size_t(joint)].parent;
  return joint;
}

// The whole clip up or down by the median difference of the feet's heights
// during contacts.
void ShiftClip(planting::Planting& p, Motion& result, const Rig& target, const FootContacts& contacts,
               std::int64_t root) {
  const double shift = planting::ClipShift(p, contacts);
  if (!(std::abs(shift) > planting::kRounding * p.legs[0].length)) return;
  for (std::int64_t f = 0; f < p.frames; ++f) {
    Matrix& local = result.Frame(f)[std::size_t(root)];
    local.off = Add(local.off, Scale(p.up, shift));
  }
  Follow(result, target, p.legs, p.up, p.tracks);
}

// The root's travel across up, scaled so that the feet need not slide
// during their contacts: a rig whose legs are long or short for its hips'
// height would otherwise rotate its legs more and more through each step to
// keep a planted foot.
void ScaleTravel(planting::Planting& p, Motion& result, const Rig& target, const FootContacts& contacts,
                 std::int64_t root) {
  std::vector<Vector> at(std::size_t(p.frames));
  for (std::int64_t f = 0; f < p.frames; ++f) at[std::size_t(f)] = result.Frame(f)[std::size_t(root)].off;
  const double factor = planting::TravelFactor(p, contacts, at);
  if (!(std::abs(factor - 1.0) > planting::kTravelSlack)) return;
  const Vector start = at[0];
  for (std::int64_t f = 0; f < p.frames; ++f) {
    Vector& off = result.Frame(f)[std::size_t(root)].off;
    const Vector moved = Across(Subtract(off, start), p.up);
    off = Add(off, Scale(moved, factor - 1.0));
  }
  Follow(result, target, p.legs, p.up, p.tracks);
}

}  // namespace

Outcome<void> PlantFeet(Motion& result, const Rig& target, double targetFloor, const Motion& source,
                        const Rig& sourceRig, const Vector& up, const FootContacts& contacts) {
  try {
    planting::Planting p;
    if (!Prepare(p, result, target, targetFloor, source, sourceRig, up, contacts)) return {};
    const std::int64_t root = RootOf(result.skeleton, p.legs[0].hip);
    // The whole clip to the source's heights, then its travel to the
    // source's steps.
    ShiftClip(p, result, target, contacts, root);
    ScaleTravel(p, result, target, contacts, root);
    // Where each ankle should be in each frame, for a root at any height.
    planting::AnkleGoals(p, contacts);
    // With both feet down, the root's height where the legs rotate least.
    planting::RootHeights(p);
    // That height and the feet's pitches smoothed; the ankles' goals.
    planting::Settle(p);
    // Where a leg still cannot reach its goal, the root comes down, blended.
    planting::DropRoot(p);
    // The root moved and the legs solved, frame by frame.
    planting::SolveLegs(p, result, root);
    return {};
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
