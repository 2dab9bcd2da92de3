// The planting of the feet stage by stage, on hand-made legs with known
// answers: the two-bone solve, the clip's shift and travel, the ankles'
// goals, the root's height with both feet down, the settling, and the drop
// where a leg cannot reach. Up is +y, the rig's left +x; every leg is 1 long
// (thigh and shin 0.5) and the source's legs as long as the result's unless
// a test says otherwise.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "norvo/retarget/solve/align.h"
#include "solve/planting.h"

namespace norvo::retarget::planting {
namespace {

constexpr Vector kUp{0, 1, 0}, kLeft{1, 0, 0};

double Distance(const Vector& a, const Vector& b) { return Length(Subtract(a, b)); }

// The knee and the ankle after a two-bone solve's rotations.
std::pair<Vector, Vector> Rotated(const LegRotations& rotations, const Vector& hip, const Vector& knee,
                                  const Vector& ankle) {
  const Vector upper = TransformVector(rotations.hip, Subtract(knee, hip));
  const Vector lower = TransformVector(rotations.hip, TransformVector(rotations.knee, Subtract(ankle, knee)));
  return {Add(hip, upper), Add(Add(hip, upper), lower)};
}

TEST(Planting, TwoBoneSolveReachesKnownPlaces) {
  const Vector hip{0, 1, 0}, bentKnee{0, 0.6, 0.3}, ankle{0, 0.2, 0}, straightKnee{0, 0.5, 0}, down{0, 0, 0};
  struct Case {
    std::string name;
    Vector knee, ankle, goal;
    Vector reached;      // where the ankle ends
    double kneeDegrees;  // the angle between thigh and shin after
  } cases[] = {
      {"a right angle at the knee", bentKnee, ankle, {0, 1 - std::sqrt(0.5), 0}, {0, 1 - std::sqrt(0.5), 0}, 90},
      {"a bent leg reaching its full length", bentKnee, ankle, {0, 0, 0}, {0, 0, 0}, 0},
      {"a leg folded onto a goal at the hip", bentKnee, ankle, hip, hip, 180},
      {"a goal out of reach: the leg straight toward it", bentKnee, ankle, {0, -1.4, 1.8}, {0, 0.2, 0.6}, 0},
      {"a straight leg along up bends about the left",
       straightKnee,
       down,
       {0, 0.2, 0},
       {0, 0.2, 0},
       std::acos(0.28) * 180 / std::numbers::pi},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LegRotations rotations = RotationsToReach(hip, c.knee, c.ankle, c.goal, kUp, kLeft);
    ASSERT_TRUE(rotations.found);
    const auto [knee, reached] = Rotated(rotations, hip, c.knee, c.ankle);
    EXPECT_LT(Distance(reached, c.reached), 1e-6);
    EXPECT_NEAR(Distance(knee, hip), 0.5, 1e-9);
    EXPECT_NEAR(Distance(reached, knee), 0.5, 1e-9);
    EXPECT_NEAR(AngleDegrees(Subtract(knee, hip), Subtract(reached, knee)), c.kneeDegrees, 0.01);
    // The knee stays in the leg's plane (normal to the left here).
    EXPECT_NEAR(knee.x, 0.0, 1e-9);
  }
  // A bone of no length gives no plane and no solve.
  EXPECT_FALSE(RotationsToReach(hip, hip, ankle, down, kUp, kLeft).found);
  EXPECT_FALSE(RotationsToReach(hip, bentKnee, bentKnee, down, kUp, kLeft).found);
}

TEST(Planting, LegBendIsBothBonesTurns) {
  // Thigh and shin 1 long: straight (2) to a right angle (sqrt 2) turns
  // each bone 45 degrees; past the reach counts as straight.
  EXPECT_NEAR(LegBendDegrees(1, 1, 2, std::sqrt(2.0)), 90, 0.01);
  EXPECT_NEAR(LegBendDegrees(1, 1, std::sqrt(2.0), 2), 90, 0.01);
  EXPECT_NEAR(LegBendDegrees(1, 1, 2, 3), 0, 1e-6);
  EXPECT_EQ(LegBendDegrees(0.5, 0.5, 0.8, 0.8), 0);
}

// A foot whose ankle is its only joint, standing still for `frames` frames.
FootTrack Standing(double x, std::size_t frames, double ankleHeight) {
  FootTrack t;
  t.joints = {0};
  t.hip.assign(frames, {x, 1, 0});
  t.knee.assign(frames, {x, 0.6, 0.3});
  t.ankle.assign(frames, {x, ankleHeight, 0});
  t.at = t.ankle;
  t.low.assign(frames, ankleHeight);
  t.lowest.assign(frames, 0);
  return t;
}

// Both feet standing on their floors (the ankle 0.2 up: the knee bent,
// hip to ankle 0.8), in the result and the source.
Planting StandingStill(std::size_t frames) {
  Planting p;
  p.up = kUp;
  p.frames = std::int64_t(frames);
  p.blend = 2;
  p.targetFloor = p.sourceFloor = 0.2;
  for (int side = 0; side < 2; ++side) {
    const double x = side == 0 ? 0.1 : -0.1;
    p.legs[side] = p.sourceLegs[side] = Leg{3 * side, 3 * side + 1, 3 * side + 2, 1.0};
    p.tracks[side] = p.sourceTracks[side] = Standing(x, frames, 0.2);
  }
  return p;
}

// Sets a source foot's ankle (its lowest joint) to `height` above the floor.
void SourceHeight(Planting& p, int side, std::size_t f, double height) {
  p.sourceTracks[side].ankle[f].y = p.sourceTracks[side].at[f].y = p.sourceTracks[side].low[f] = 0.2 + height;
}

TEST(Planting, ClipShiftIsTheMedianDifferenceDuringContacts) {
  Planting p = StandingStill(4);
  const double heights[] = {0.05, 0.01, 0.03, 0.9};
  for (std::size_t f = 0; f < 4; ++f) SourceHeight(p, 0, f, heights[f]);
  p.tracks[0].low.assign(4, 0.2 + 0.02);  // the result's foot 0.02 up
  FootContacts contacts;
  EXPECT_EQ(ClipShift(p, contacts), 0.0);  // no contact frames
  contacts.feet[0] = {{0, 3}};
  EXPECT_NEAR(ClipShift(p, contacts), 0.03 - 0.02, 1e-12);
  // Scaled by the legs' ratio; a contact past the clip's end stops there.
  p.legs[0].length = 2.0;
  contacts.feet[0] = {{2, 9}};
  EXPECT_NEAR(ClipShift(p, contacts), 2 * 0.9 - 0.02, 1e-12);
}

TEST(Planting, TravelFactorKeepsPlantedFeetFromSliding) {
  Planting p = StandingStill(4);
  FootContacts contacts;
  std::vector<Vector> root(4);
  for (std::size_t f = 0; f < 4; ++f) root[f] = {0, 1, 0.1 * double(f)};
  EXPECT_EQ(TravelFactor(p, contacts, root), 1.0);  // no contacts
  contacts.feet[0] = {{0, 4}};
  // The source's foot stays; the result's slides back a quarter of the
  // root's travel: the root travels a quarter more.
  for (std::size_t f = 0; f < 4; ++f) p.tracks[0].ankle[f].z = -0.025 * double(f);
  EXPECT_NEAR(TravelFactor(p, contacts, root), 1.25, 1e-12);
  // A foot going as the source's (scaled) wants no change.
  p.legs[0].length = 2.0;
  for (std::size_t f = 0; f < 4; ++f) p.sourceTracks[0].ankle[f].z = -0.0125 * double(f);
  EXPECT_NEAR(TravelFactor(p, contacts, root), 1.0, 1e-12);
  // Sliding forward further than the root travels: held to half.
  for (std::size_t f = 0; f < 4; ++f) p.tracks[0].ankle[f].z = 0.2 * double(f);
  EXPECT_EQ(TravelFactor(p, contacts, root), kTravelLeast);
}

TEST(Planting, AnkleGoalsFollowTheSourcesFoot) {
  // Six frames; the left foot down in frames 1 and 2, the right never.
  Planting p = StandingStill(6);
  FootContacts contacts;
  contacts.feet[0] = {{1, 3}};
  const double left[] = {0.3, -0.05, 0.0, 0.3, 0.3, 0.3}, right[] = {0.15, 0.15, 0.0, 0.3, 0.3, 0.3};
  for (std::size_t f = 0; f < 6; ++f) SourceHeight(p, 0, f, left[f]), SourceHeight(p, 1, f, right[f]);
  p.sourceTracks[0].ankle[2].z = 0.1;  // the source's foot slides during its contact
  AnkleGoals(p, contacts);
  // Weight 1 up to 0.1 leg lengths up, 0 from 0.2; lift as the source's.
  EXPECT_EQ(p.weight[0][1], 1.0);
  EXPECT_NEAR(p.weight[1][0], 0.5, 1e-12);
  EXPECT_EQ(p.weight[0][0], 0.0);
  EXPECT_NEAR(p.lift[0][1], -0.05, 1e-12);
  // The shared lift: the lifts weighed, over at least 1.
  EXPECT_NEAR(p.common[0], 0.5 * 0.15, 1e-12);
  EXPECT_NEAR(p.common[1], (-0.05 + 0.5 * 0.15) / 1.5, 1e-12);
  // 0 during the contact, a third more each frame away (blend 2).
  const double apart[] = {1 / 3.0, 0, 0, 1 / 3.0, 2 / 3.0, 1};
  for (std::size_t f = 0; f < 6; ++f) EXPECT_NEAR(p.apart[0][f], apart[f], 1e-12) << f;
  // Across: with the source's ankle, then back over the blend.
  const double across[] = {0, 0, 0.1, 0.1 * 2 / 3, 0.1 / 3, 0};
  for (std::size_t f = 0; f < 6; ++f) EXPECT_NEAR(p.across[0][f].z, across[f], 1e-12) << f;
  EXPECT_NEAR(Distance(p.left[0], kLeft), 0, 1e-12);
  // A foot down keeps its lift whatever the root does; a free foot rides
  // along with the root, but no deeper than the source's foot.
  EXPECT_NEAR(AnkleGoal(p, 0, 1, 0.3, 0).y, 0.2 - 0.05, 1e-12);
  EXPECT_NEAR(AnkleGoal(p, 0, 4, 0.3, 0).y, 0.5, 1e-12);
  EXPECT_NEAR(AnkleGoal(p, 0, 4, -0.5, 0).y, 0.2, 1e-12);
  EXPECT_NEAR(AnkleGoal(p, 0, 2, 0, 0).z, 0.1, 1e-12);
}

TEST(Planting, AFootAboveItsLevelMayStandHigher) {
  // Away from any contact, a foot 0.05 over its level (the lowest fifth of
  // its heights) may stand up to kBand times that higher than the source's.
  Planting p = StandingStill(6);
  SourceHeight(p, 0, 5, 0.05);
  AnkleGoals(p, FootContacts{});
  EXPECT_NEAR(AnkleGoal(p, 0, 5, 0.3, 0).y, 0.2 + 0.05 + kBand * 0.05, 1e-12);
  EXPECT_NEAR(AnkleGoal(p, 0, 5, 0.1, 0).y, 0.2 + 0.1, 1e-12);
  // Not lower than its ankle as high as the source's.
  EXPECT_NEAR(AnkleGoal(p, 0, 5, -0.3, 0).y, 0.2 + 0.05, 1e-12);
}

TEST(Planting, PitchingAFootLowersTheAnkleAsTheToesRise) {
  // The left foot's toe 0.1 below its ankle, on the floor: pitched 15
  // degrees either way, it rises 0.1 (1 - cos 15), and the ankle comes down
  // as far to keep the foot on the floor.
  Planting p = StandingStill(1);
  p.targetFloor = p.sourceFloor = 0.1;
  for (FootTrack* t : {&p.tracks[0], &p.sourceTracks[0]}) {
    t->joints = {0, 1};
    t->at = {t->ankle[0], {0.1, 0.1, 0}};
    t->low = {0.1};
    t->lowest = {1};
  }
  FootContacts contacts;
  contacts.feet[0] = {{0, 1}};
  AnkleGoals(p, contacts);
  const double rise = 0.1 * (1 - std::cos(15 * std::numbers::pi / 180));
  EXPECT_NEAR(AnkleGoal(p, 0, 0, 0, 0).y, 0.2, 1e-12);
  EXPECT_NEAR(AnkleGoal(p, 0, 0, 0, 15).y, 0.2 - rise, 1e-12);
  EXPECT_NEAR(AnkleGoal(p, 0, 0, 0, -15).y, 0.2 - rise, 1e-12);
}

TEST(Planting, RootHeightWithBothFeetDown) {
  struct Case {
    std::string name;
    double left, right;  // the source's feet above the floor
    double away;         // the root's height from the shared lift
  } cases[] = {
      {"both feet at the source's height", 0, 0, 0},
      // The root takes the whole of a lift the feet share.
      {"both feet lower", -0.2, -0.2, 0},
      // The shared lift is -0.15; lower, the left leg bends less and the
      // right more: the least of 100 per leg length from it and the knees'
      // bend is 0.0707 lower (worked out apart).
      {"one foot far lower", -0.3, 0, -0.0707},
      // A foot off the floor (weight 0): no search.
      {"one foot up", -0.3, 0.5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Planting p = StandingStill(1);
    FootContacts contacts;
    contacts.feet[0] = contacts.feet[1] = {{0, 1}};
    SourceHeight(p, 0, 0, c.left);
    SourceHeight(p, 1, 0, c.right);
    AnkleGoals(p, contacts);
    RootHeights(p);
    EXPECT_NEAR(p.away[0], c.away, 2e-3);
    // A foot of one joint gains nothing by pitching.
    EXPECT_EQ(p.pitch[0][0], 0.0);
    EXPECT_EQ(p.pitch[1][0], 0.0);
  }
}

TEST(Planting, SettledSmoothsAStep) {
  // One frame either side weighs half.
  const std::vector<double> step = {0, 0, 0, 1, 1, 1};
  const std::vector<double> settled = Settled(step, 1);
  const double expected[] = {0, 0, 0.25, 0.75, 1, 1};
  for (std::size_t f = 0; f < step.size(); ++f) EXPECT_NEAR(settled[f], expected[f], 1e-12) << f;
  EXPECT_EQ(Settled({0.5}, 3), std::vector<double>{0.5});
  // The stage: the root's height settles over half the blend (1 frame).
  // The left foot off the floor: it rides along with the root.
  Planting p = StandingStill(6);
  for (std::size_t f = 0; f < 6; ++f) SourceHeight(p, 0, f, 0.5);
  AnkleGoals(p, FootContacts{});
  RootHeights(p);
  p.away = step;
  Settle(p);
  for (std::size_t f = 0; f < step.size(); ++f) EXPECT_NEAR(p.common[f], expected[f], 1e-12) << f;
  EXPECT_NEAR(p.goal[0][3].y, 0.2 + 0.75, 1e-12);
}

TEST(Planting, ReachDropComesDownAsFarAsTheLegNeeds) {
  const Vector hip{0, 1, 0}, knee{0, 0.6, 0.3}, ankle{0, 0.2, 0};
  struct Case {
    std::string name;
    Vector knee, ankle;
    double rise;
    Vector goal;
    double drop;
  } cases[] = {
      {"within reach", knee, ankle, 0, {0, 0.1, 0}, 0},
      {"below the reach", knee, ankle, 0, {0, -0.1, 0}, 1.1 - 0.999},
      {"with the hip raised", knee, ankle, 0.05, {0, -0.1, 0}, 1.15 - 0.999},
      {"with the hip lowered into reach", knee, ankle, -0.2, {0, -0.1, 0}, 0},
      {"below and across", knee, ankle, 0, {0.6, 0.1, 0}, 0.9 - std::sqrt(0.999 * 0.999 - 0.36)},
      {"too far across: down to the goal's height", knee, ankle, 0, {1.2, 0.1, 0}, 0.9},
      {"a leg already straight reaches as far as it is", {0, 0.5, 0}, {0, 0, 0}, 0, {0, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(ReachDrop(hip, c.knee, c.ankle, c.rise, c.goal, kUp), c.drop, 1e-12);
  }
}

TEST(Planting, BlendDropsTaperOverTheBlend) {
  // Two frames apart taper to a third each frame; the larger counts.
  const std::vector<double> lowered = BlendDrops({0, 0, 0.3, 0.15, 0, 0, 0, -1}, 2);
  const double expected[] = {0.1, 0.2, 0.3, 0.2, 0.1, 0.05, 0, 0};
  for (std::size_t f = 0; f < lowered.size(); ++f) EXPECT_NEAR(lowered[f], expected[f], 1e-12) << f;
}

TEST(Planting, DropRootWhereALegCannotReach) {
  Planting p = StandingStill(5);
  AnkleGoals(p, FootContacts{});
  RootHeights(p);
  Settle(p);
  // Every goal where the root takes the ankle: nothing to drop.
  DropRoot(p);
  EXPECT_EQ(p.lowered, std::vector<double>(5, 0.0));
  // The right goal 1.1 below its hip in frame 2.
  p.goal[1][2].y = -0.1;
  EXPECT_TRUE(Moves(p, 1, 2));
  EXPECT_FALSE(Moves(p, 0, 2));
  DropRoot(p);
  const double drop = 1.1 - 0.999, expected[] = {drop / 3, 2 * drop / 3, drop, 2 * drop / 3, drop / 3};
  for (std::size_t f = 0; f < 5; ++f) EXPECT_NEAR(p.lowered[f], expected[f], 1e-12) << f;
}

}  // namespace
}  // namespace norvo::retarget::planting
