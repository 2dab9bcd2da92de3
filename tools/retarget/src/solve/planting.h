// Planting the feet (PlantFeet, feet.h) in stages, each a function of
// its own over a Planting: the state the stages fill in, one after another.
// For planting.cpp, and for the tests of each stage on hand-made legs.
//
// Heights are along the unit `up`; lengths are in the rig's units unless a
// name says leg lengths (hip to knee to ankle at rest).
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "legs.h"
#include "norvo/retarget/solve/feet.h"

namespace norvo::retarget::planting {

// What moving the root a leg length away from the feet's shared lift
// weighs against rotating the legs, in degrees.
inline constexpr double kPull = 100.0;
// How much higher or lower than the source's a foot off the floor may stand,
// for each leg length the source's stands over its lowest fifth.
inline constexpr double kBand = 2.0;
// With both feet down, where the legs would still rotate more than
// kPitchWorth degrees to reach, a foot may pitch about the rig's left, up to
// kPitch degrees, so that a leg near straight need not bend far for a little
// height (a foot long for its leg); a degree of pitch weighs as kPitchWeight
// degrees of a leg's rotation.
inline constexpr double kPitch = 15.0, kPitchWeight = 2.0, kPitchWorth = 8.0;
// A scale of the root's travel this near 1 is left alone.
inline constexpr double kTravelSlack = 1e-3;
// The root's travel is scaled by no less and no more than these.
inline constexpr double kTravelLeast = 0.5, kTravelMost = 2.0;
// The seconds over which the root and the feet blend in and out of a
// contact's goals, and the most frames that may take (an integer's worth
// for a vanishing frame time).
inline constexpr double kBlendSeconds = 0.1, kBlendMostFrames = 1e15;
// A move of the root or of an ankle below this many leg lengths is rounding,
// not work to do.
inline constexpr double kRounding = 1e-6;
// What a leg reaches: this fraction of its length hip to knee to ankle, just
// short of straight (a straight leg has no plane to bend in).
inline constexpr double kReach = 0.999;
// What each leg length a goal lies beyond a leg's reach weighs, in degrees.
inline constexpr double kBeyondWeight = 1000.0;
// What a degree of the hip to ankle line's swing weighs against a degree of
// the knee's bend.
inline constexpr double kSwingWeight = 2.0;
// The search for the root's height spans the lifts, from this many leg
// lengths below the lowest to this many above the highest; it looks at
// kSearchSteps heights across, then halves its step about the best until it
// is below kSearchPrecision leg lengths.
inline constexpr double kSearchBelow = 0.1, kSearchAbove = 0.02, kSearchPrecision = 1e-3;
inline constexpr int kSearchSteps = 8;
// The search for a foot's pitch looks at kPitchSteps pitches across ±kPitch,
// then halves its step until it is below kPitchPrecision degrees.
inline constexpr double kPitchPrecision = 0.05;
inline constexpr int kPitchSteps = 6;
// A foot's weight in the root's height: 1 up to kContactLeave leg lengths
// above the source's floor, falling to 0 at kWeightFade times that.
inline constexpr double kWeightFade = 2.0;
// The level below which a foot keeps the source's height: the value below
// which the lowest fifth of the source foot's heights lie: their 20th
// percentile.
inline constexpr std::size_t kLevelPercentile = 20;
// The hips closer across `up` than this many leg lengths give no left.
inline constexpr double kNoLeft = 1e-9;

// How far the thigh and the shin turn in the leg's plane, together, when the
// hip to ankle distance goes from `from` to `to`, for bones of lengths `a`
// and `b`; in degrees.
double LegBendDegrees(double a, double b, double from, double to);

// One planting's state. The first block is given; each stage fills in the
// blocks after it. Per-frame vectors hold `frames` values.
struct Planting {
  Vector up;
  Leg legs[2], sourceLegs[2];
  FootTrack tracks[2], sourceTracks[2];  // the result's and the source's
  double targetFloor = 0.0, sourceFloor = 0.0;
  std::int64_t frames = 0;
  std::int64_t blend = 1;  // the blend, in frames

  // AnkleGoals. `lift`: how far each foot rises (along up) to stand as high
  // as the source's, scaled; `weight`: how much the source's foot is down;
  // `common`: the lift the feet share, which the root takes; `across`: the
  // ankle's move across up to follow the source's during a contact;
  // `level`: the source foot's height below which it keeps the source's;
  // `apart`: 0 during a contact rising to 1 a blend away; `left`: the rig's
  // left, a unit vector or zero.
  std::vector<double> common, lift[2], weight[2], apart[2];
  std::vector<Vector> across[2], left;
  double level[2] = {0.0, 0.0};

  // RootHeights: per frame, how far the root moves from `common`, and each
  // foot's pitch in degrees; both before they settle.
  std::vector<double> away, pitch[2];

  // Settle: the pitches settled, and each ankle's goal (`common` then holds
  // the settled root height).
  std::vector<double> pitched[2];
  std::vector<Vector> goal[2];

  // DropRoot: how far the root comes down where a leg cannot reach.
  std::vector<double> lowered;

  // The ratio of the result's leg length to the source's.
  double Scale(int side) const { return legs[side].length / sourceLegs[side].length; }
};

// The blend in frames for a frame time: kBlendSeconds, at least one frame.
std::int64_t BlendFrames(double frameTime);

// The shift along up that takes the result's feet to the source's heights
// during the contacts: the median difference, scaled; 0 when there are no
// contact frames.
double ClipShift(const Planting& p, const FootContacts& contacts);
// The factor by which the root's travel across up (from its place in the
// first frame) is scaled so that the feet need not slide during their
// contacts; `root` holds the root's offset in each frame.
double TravelFactor(const Planting& p, const FootContacts& contacts, const std::vector<Vector>& root);

// Fills in the ankle goals' block from the tracks and the contacts.
void AnkleGoals(Planting& p, const FootContacts& contacts);
// The rotation that pitches a foot by `degrees` about the rig's left.
Matrix PitchRotation(const Planting& p, std::size_t f, double degrees);
// Where an ankle should be in frame `f` with the root moved `shift` along
// up and the foot pitched by `pitch` degrees.
Vector AnkleGoal(const Planting& p, int side, std::size_t f, double shift, double pitch);

// With both feet down, the root height where the legs rotate least to reach
// their goals, held near the shared lift by kPull: fills `away` and `pitch`.
void RootHeights(Planting& p);

// `values` smoothed by a triangle of `settle` frames either side.
std::vector<double> Settled(const std::vector<double>& values, std::int64_t settle);
// Settles the root's height and the pitches over half the blend either side
// and sets each ankle's goal.
void Settle(Planting& p);

// Whether a foot moves in frame `f`: its goal is not where the root takes
// it, or it pitches.
bool Moves(const Planting& p, int side, std::size_t f);
// How far the root must come down for a leg whose hip, knee and ankle are
// as given, with the hip moved by `rise` along up, to reach `goal`: 0 when
// it reaches already, below 0 when coming down does not help (a goal out of
// reach above the hip).
double ReachDrop(const Vector& hip, const Vector& knee, const Vector& ankle, double rise, const Vector& goal,
                 const Vector& up);
// Each frame's drop spread over the blend either side, tapering: per frame
// the most of them.
std::vector<double> BlendDrops(const std::vector<double>& drop, std::int64_t blend);
// Where a leg cannot reach its goal, the root comes down: fills `lowered`.
void DropRoot(Planting& p);

// Moves the root and solves the legs of `result` toward the goals.
void SolveLegs(const Planting& p, Motion& result, std::int64_t root);

}  // namespace norvo::retarget::planting
