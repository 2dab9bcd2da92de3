// The BVH writer on values at the edges of the doubles: whatever the reader
// accepts, the writer writes in full, and it reads back.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "norvo/retarget/bvh.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

TEST(BvhWriter, WritesHugeAndTinyValuesSoThatTheyReadBack) {
  const double largest = std::numeric_limits<double>::max();
  const double values[] = {2.2222222222222222e69, -largest, largest, 1e-300, -0.0};
  for (double value : values) {
    SCOPED_TRACE(value);
    BvhSkeleton skeleton;
    skeleton.AddJoint("Hips", -1, {value, 0, 0}, {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation});
    skeleton.joints[0].endSites.push_back({0, value, 0});
    BvhClip clip{skeleton, 0.04, {value, 0, 0}};
    const std::string text = test::Ok(FormatBvh(clip));
    const BvhClip again = test::Clip(text);
    // Six decimals: the value itself, or what rounds it.
    const double rounded = std::abs(value) < 1e-6 ? 0.0 : value;
    EXPECT_EQ(again.skeleton.joints[0].offset.x, rounded);
    EXPECT_EQ(again.skeleton.joints[0].endSites.at(0).y, rounded);
    EXPECT_EQ(again.values.at(0), rounded);
  }
}

}  // namespace
}  // namespace norvo::retarget
