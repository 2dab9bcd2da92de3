// --in-place: the root keeps its height and loses its travel across the
// target's up axis.
#include <gtest/gtest.h>

#include <cmath>

#include "norvo/retarget/bvh.h"
#include "norvo/retarget/pipeline.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;

using InPlace = test::WithModule;

TEST_F(InPlace, TheRootKeepsItsHeightAndStaysOverItsRestPlace) {
  const Motion walk = test::SharedClip("cmu_02_01_walk.bvh");
  const Motion other = test::SharedClip("cmu_12_03.bvh");
  const Rig source = test::MakeRig(walk.skeleton, "cmu"), target = test::MakeRig(other.skeleton, "cmu");
  ASSERT_TRUE(target.measured);
  RetargetOptions travel, inPlace;
  inPlace.inPlace = true;
  travel.align = inPlace.align = false;  // on its own rest the target stands along target.up
  auto moving = Ok(Retargeter::Create(source, target, travel));
  auto still = Ok(Retargeter::Create(source, target, inPlace));
  const Vector rest = target.restLocals[0].off;
  double travelled = 0, bob = 0;
  std::vector<Matrix> a(std::size_t(target.JointCount())), b(a.size());
  for (std::int64_t f = 1; f < walk.FrameCount(); f += 7) {
    ASSERT_TRUE(moving->RetargetFrame(walk.Frame(f), a).has_value());
    ASSERT_TRUE(still->RetargetFrame(walk.Frame(f), b).has_value());
    const Vector moved = Subtract(a[0].off, rest), kept = Subtract(b[0].off, rest);
    // The same height; nothing across the up axis.
    EXPECT_NEAR(Dot(kept, target.up), Dot(moved, target.up), 1e-9);
    const Vector across = Subtract(kept, Scale(target.up, Dot(kept, target.up)));
    EXPECT_LT(std::sqrt(Dot(across, across)), 1e-9);
    travelled = std::max(travelled, std::sqrt(Dot(moved, moved)));
    bob = std::max(bob, std::abs(Dot(kept, target.up)));
    // The joints turn the same.
    for (std::size_t j = 1; j < a.size(); ++j) EXPECT_EQ(a[j], b[j]);
    EXPECT_EQ(a[0].v1, b[0].v1);
  }
  EXPECT_GT(travelled, 20.0);  // the walk goes about 60 units along +Z
  EXPECT_GT(bob, 0.1);
}

}  // namespace
}  // namespace norvo::retarget
