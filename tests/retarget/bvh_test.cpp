// The BVH reader and writer: what real files hold, every malformed input
// with its message and line, and round trips; channels to matrices and back
// in each joint's channel order, and forward kinematics.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <random>
#include <sstream>

#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/io/formats.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

using test::Clip;
using test::Replaced;

TEST(BvhReader, ToleratesWhatRealFilesHold) {
  Motion clip =
      Clip("\xEF\xBB\xBFHIERARCHY\r\n  ROOT   mixamorig:Hips  \r\n{\r\n\t\tOFFSET\t1e-1 +2 -3.5E+0 \r\n"
           "   CHANNELS 6 Zrotation Xposition Yrotation Yposition Xrotation Zposition\r\n\r\n"
           "  JOINT Bip01 L Thigh\r\n {\r\nOFFSET 0 -1 0\r\nCHANNELS 3 Xrotation Zrotation Yrotation\r\n"
           "End Site\r\n{\r\nOFFSET 0 -1 0\r\n}\r\n}\r\n}\r\nMOTION\r\nFrames:\t1\r\nFrame Time: .0083333\r\n\r\n"
           "1 2 3 4 5 6 7 8 -9e0   \r\n\r\n");
  ASSERT_EQ(clip.skeleton.joints.size(), 2u);
  EXPECT_EQ(clip.skeleton.joints[0].name, "mixamorig:Hips");
  EXPECT_EQ(clip.skeleton.joints[1].name, "Bip01 L Thigh");
  EXPECT_EQ(clip.skeleton.joints[0].Offset(), (Vector{0.1, 2, -3.5}));
  EXPECT_EQ(clip.skeleton.joints[0].format.channels[1], Channel::Xposition);
  EXPECT_EQ(clip.skeleton.joints[1].format.channels,
            (std::vector<Channel>{Channel::Xrotation, Channel::Zrotation, Channel::Yrotation}));
  EXPECT_EQ(clip.skeleton.joints[1].endSites, (std::vector<Vector>{{0, -1, 0}}));
  EXPECT_EQ(clip.frameTime, 0.0083333);
  // The frame as matrices, written back as the same values.
  const std::string text = test::Ok(FormatBvh(clip));
  EXPECT_TRUE(text.ends_with("\n1.000000 2.000000 3.000000 4.000000 5.000000 6.000000 7.000000 8.000000 -9.000000\n"))
      << text;
}

// A small valid file; the malformed ones below change one piece of it.
constexpr const char* kValid = "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\n"                                   // lines 1-4
                               "CHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"  // 5
                               "JOINT Spine\n{\nOFFSET 0 1 0\nCHANNELS 3 Zrotation Yrotation Xrotation\n"  // 6-9
                               "End Site\n{\nOFFSET 0 1 0\n}\n}\n}\n"                                      // 10-15
                               "MOTION\nFrames: 2\nFrame Time: 0.04\n1 2 3 4 5 6 7 8 9\n1 2 3 4 5 6 7 8 9\n";  // 16-20

// Under the asan preset, LeakSanitizer also checks that no refusal leaks.
TEST(BvhReader, RefusesMalformedInputWithLineAndReason) {
  const std::string v = kValid;
  const std::string zyx = "CHANNELS 3 Zrotation Yrotation Xrotation";
  struct Case {
    std::string text;
    std::int64_t line;
    std::string message;
  };
  const Case cases[] = {
      {"", 0, "expected HIERARCHY, found an empty file"},
      {Replaced(v, "HIERARCHY", "HIERARCH"), 1, "expected HIERARCHY, found 'HIERARCH'"},
      {Replaced(v, "ROOT Hips", "ROOT"), 2, "ROOT needs a name"},
      {Replaced(v, "JOINT Spine", "JOINT"), 6, "JOINT needs a name"},
      {Replaced(v, "ROOT Hips\n{\n", "ROOT Hips\n"), 3, "expected '{' after ROOT Hips, found 'OFFSET 0 0 0'"},
      {Replaced(v, "End Site\n{\n", "End Site\n"), 11, "expected '{' after End Site, found 'OFFSET 0 1 0'"},
      {Replaced(v, "}\n}\nMOTION", "}\nMOTION"), 15,
       "expected OFFSET, CHANNELS, JOINT, End Site or '}' in joint Hips, found 'MOTION'"},
      {v.substr(0, v.find("}\n}\n}\n") + 4), 14, "the file ends inside joint Hips: expected '}'"},
      {v.substr(0, v.find("MOTION")), 15, "the file has no MOTION section"},
      {Replaced(v, "OFFSET 0 1 0\nCHANNELS", "OFFSET 0 1\nCHANNELS"), 8, "OFFSET needs 3 numbers, found 2"},
      {Replaced(v, "OFFSET 0 0 0", "OFFSET 0 nan 0"), 4, "'nan' is not a finite number"},
      {Replaced(v, "OFFSET 0 0 0", "OFFSET 0 0 1e999"), 4, "'1e999' is not a finite number"},
      {Replaced(v, "OFFSET 0 0 0", "OFFSET 0 0 zero"), 4, "'zero' is not a number"},
      {Replaced(v, "OFFSET 0 0 0", "OFFSET 0 0 0\nOFFSET 0 0 0"), 5, "a second OFFSET in joint Hips"},
      {Replaced(v, zyx, "CHANNELS 4 Zrotation Yrotation Xrotation"), 9, "the CHANNELS count must be 3 or 6, found 4"},
      {Replaced(v, zyx, "CHANNELS 3 Zrotation Yrotation"), 9, "CHANNELS 3 lists 2 channels"},
      {Replaced(v, zyx, "CHANNELS 3 Zrotation Yrotation Wrotation"), 9, "unknown channel 'Wrotation'"},
      {Replaced(v, zyx, "CHANNELS 3 Zrotation Yrotation Zrotation"), 9, "channel Zrotation is listed twice"},
      {Replaced(v, zyx, "CHANNELS 3 Xposition Yposition Zposition"), 9,
       "CHANNELS 3 must be Xrotation, Yrotation and Zrotation"},
      {Replaced(v, zyx + "\n", ""), 13, "joint Spine has no CHANNELS"},
      {Replaced(v, "{\nOFFSET 0 1 0\n}", "{\nOFFSET 0 1 0\n" + zyx + "\n}"), 13, "an End Site has no CHANNELS"},
      {Replaced(v, "{\nOFFSET 0 1 0\n}", "{\n}"), 12, "the End Site of Spine has no OFFSET"},
      {Replaced(v, "}\nMOTION", "}\nROOT Other\nMOTION"), 16, "a second ROOT: one skeleton per file is read"},
      {Replaced(v, "Frames: 2", "Frame: 2"), 17, "expected 'Frames: <count>' after MOTION"},
      {Replaced(v, "Frames: 2", "Frames: -2"), 17, "the frame count must be a whole number, found '-2'"},
      {Replaced(v, "Frame Time: 0.04", "Frame Time: 0"), 18,
       "the Frame Time must be at least 0.00001 seconds, found '0'"},
      {Replaced(v, "Frame Time: 0.04", "Frame Time: 0.00000001"), 18,
       "the Frame Time must be at least 0.00001 seconds, found '0.00000001'"},
      {Replaced(v, "9\n1 2", "9\n1 2 3"), 20, "a frame line with 10 values; the hierarchy has 9 channels"},
      {Replaced(v, "8 9\n", "8\n"), 19, "a frame line with 8 values; the hierarchy has 9 channels"},
      {Replaced(v, "5 6 7 8 9\n", "5 nan 7 8 9\n"), 19, "'nan' is not a finite number"},
      // A count that the file does not back allocates nothing for it.
      {Replaced(v, "Frames: 2", "Frames: 999999999999999999"), 17,
       "Frames says 999999999999999999, more than the limit of 10000000 frames"},
      {Replaced(v, "Frames: 2", "Frames: 9999999"), 17, "Frames says 9999999, but the file holds 2 frame lines"},
  };
  ASSERT_TRUE(ParseBvh(v, "good.bvh").has_value());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Outcome<Motion> clip = ParseBvh(c.text, "bad.bvh");
    ASSERT_FALSE(clip.has_value());
    EXPECT_EQ(clip.failure().kind, FailureKind::BadInput);
    EXPECT_EQ(clip.failure().message, c.message);
    EXPECT_EQ(clip.failure().line, c.line);
    EXPECT_EQ(clip.failure().file, "bad.bvh");
  }
}

TEST(BvhReader, ReadsAndWritesAHierarchyNestedAHundredThousandDeep) {
  const int depth = 100000;
  const std::string text = test::ChainText(depth, 1);
  Motion clip = Clip(text);
  ASSERT_EQ(clip.skeleton.joints.size(), std::size_t(depth));
  EXPECT_EQ(clip.skeleton.joints.back().parent, depth - 2);
  EXPECT_EQ(Clip(test::Ok(FormatBvh(clip))).skeleton.joints.size(), std::size_t(depth));
  // Without its last brace the same text is refused at its end.
  Outcome<Motion> refused = ParseBvh(text.substr(0, text.find("}\nMOTION")), "deep.bvh");
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.failure().message, "the file ends inside joint j0: expected '}'");
}

TEST(BvhWriter, WritesSixDecimalsNoNegativeZeroAndOnlyFiniteValues) {
  Skeleton skeleton;
  skeleton.AddJoint("Only Joint", -1, {0, 1.5, -2}, {Channel::Xrotation, Channel::Yrotation, Channel::Zrotation});
  std::vector<double> values = {-0.0000001, 12.3456789, -1e-12};
  EXPECT_EQ(test::Ok(FormatBvh(test::Ok(MotionFromChannels(skeleton, 0.04, values)))),
            "HIERARCHY\nROOT Only Joint\n{\n\tOFFSET 0.000000 1.500000 -2.000000\n"
            "\tCHANNELS 3 Xrotation Yrotation Zrotation\n}\nMOTION\nFrames: 1\nFrame Time: 0.04\n"
            "0.000000 12.345679 0.000000\n");
  values.insert(values.end(), {0, std::numeric_limits<double>::infinity(), 0});
  Outcome<std::string> text = FormatBvh(test::Ok(MotionFromChannels(skeleton, 0.04, values)));
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.failure().message, "frame 1 has a value that is not a finite number; nothing was written");
}

// A clip whose text takes several blocks is written as FormatBvh makes it;
// a value that cannot be written, in its last frame, leaves the old file
// and no temporary one.
class BvhFile : public test::WithTool<> {};
TEST_F(BvhFile, IsWrittenBlockByBlockOrNotAtAll) {
  const Motion walk = test::SharedClip("cmu_02_01_walk.bvh");
  Motion clip = walk;
  for (int i = 1; i < 10; ++i) clip.locals.insert(clip.locals.end(), walk.locals.begin(), walk.locals.end());
  const std::string text = test::Ok(FormatBvh(clip));
  ASSERT_GT(text.size(), std::size_t(3) << 20);
  const std::string path = Write("out.bvh", "old\n");
  ASSERT_TRUE(WriteMotion(clip, path).has_value());
  EXPECT_TRUE(test::ReadAll(path) == text);

  clip.locals[clip.locals.size() - clip.skeleton.joints.size()].off.x = std::numeric_limits<double>::quiet_NaN();
  const Outcome<void> refused = WriteMotion(clip, path);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.failure().message, "frame 3439 has a value that is not a finite number; nothing was written");
  EXPECT_EQ(refused.failure().file, path);
  EXPECT_TRUE(test::ReadAll(path) == text);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

// Whatever the reader accepts, the writer writes in full, and it reads back.
TEST(BvhWriter, WritesHugeAndTinyValuesSoThatTheyReadBack) {
  const double largest = std::numeric_limits<double>::max();
  for (double value : {2.2222222222222222e69, -largest, largest, 1e-300, -0.0}) {
    SCOPED_TRACE(value);
    Skeleton skeleton;
    skeleton.AddJoint("Hips", -1, {0, 0, 0},
                      {Channel::Xposition, Channel::Yposition, Channel::Zposition, Channel::Zrotation,
                       Channel::Yrotation, Channel::Xrotation});
    skeleton.AddJoint("Spine", 0, {value, 0, 0}, {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation});
    skeleton.joints[1].endSites.push_back({0, value, 0});
    const std::vector<double> values = {value, 0, 0, 0, 0, 0, 0, 0, 0};
    const Motion again = Clip(test::Ok(FormatBvh(test::Ok(MotionFromChannels(skeleton, 0.04, values)))));
    // Six decimals: the value itself, or what rounds it.
    const double rounded = std::abs(value) < 1e-6 ? 0.0 : value;
    EXPECT_EQ(again.skeleton.joints[1].Offset().x, rounded);
    EXPECT_EQ(again.skeleton.joints[1].endSites.at(0).y, rounded);
    EXPECT_EQ(again.Frame(0)[0].off.x, rounded);
  }
}

// The writer makes its digits itself; they are those of std::to_chars,
// rounding included (k/128 for odd k lies halfway between two millionths).
TEST(BvhWriter, WritesTheDigitsOfToChars) {
  std::vector<double> values = {1.0 / 128,    3.0 / 128, -5.0 / 128,  0.1,   -0.0,     1e-7, -4e-7, 123456.0000005,
                                0x1p52 - 0.5, 0x1p52,    -0x1p53 - 2, 1e300, 4.9e-324, 1e13, -17.5};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 3000; ++i) {
    const double magnitude = std::ldexp(1.0, int(rng() % 80) - 40);
    values.push_back(std::uniform_real_distribution<double>(-magnitude, magnitude)(rng));
    values.push_back(std::ldexp(double(std::int64_t(rng() % 200001) - 100000), -int(rng() % 24)));
  }
  while (values.size() % 3) values.push_back(0.0);
  // The values as the root's position; its rotation stays zero.
  Skeleton skeleton;
  skeleton.AddJoint("Root", -1, {0, 0, 0},
                    {Channel::Xposition, Channel::Yposition, Channel::Zposition, Channel::Zrotation, Channel::Yrotation,
                     Channel::Xrotation});
  std::vector<double> channels;
  for (std::size_t v = 0; v < values.size(); v += 3)
    channels.insert(channels.end(), {values[v], values[v + 1], values[v + 2], 0, 0, 0});
  const std::string text = test::Ok(FormatBvh(test::Ok(MotionFromChannels(skeleton, 0.04, channels))));
  std::string expected;
  for (std::size_t v = 0; v < values.size(); ++v) {
    char buffer[400];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, values[v], std::chars_format::fixed, 6);
    std::string_view digits(buffer, std::size_t(end - buffer));
    if (digits == "-0.000000") digits.remove_prefix(1);
    expected.append(digits).append(v % 3 == 2 ? " 0.000000 0.000000 0.000000\n" : " ");
  }
  EXPECT_EQ(text.substr(text.find("Frame Time: 0.04\n") + 17), expected);
}

void ExpectNear(const Matrix& a, const Matrix& b, double tolerance) {
  for (const auto& [u, v] :
       {std::pair{a.off, b.off}, std::pair{a.v1, b.v1}, std::pair{a.v2, b.v2}, std::pair{a.v3, b.v3}})
    EXPECT_LE(std::max({std::abs(u.x - v.x), std::abs(u.y - v.y), std::abs(u.z - v.z)}), tolerance);
}

const int kZyx[3] = {2, 1, 0};

TEST(Euler, TheLastChannelTurnsFirst) {
  // Rz(90) * Rx(90): Rx takes y to z and z to -y, then Rz keeps z and takes
  // x to y and -y to x.
  const double both[3] = {90, 0, 90};
  ExpectNear(RotationFromEuler(kZyx, both), Matrix{{}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}}, 1e-15);
}

TEST(Euler, RoundTripsInEveryOrderIncludingGimbalLock) {
  const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  std::mt19937 random(7);
  std::uniform_real_distribution<double> any(-179.0, 179.0), middle(-89.0, 89.0);
  for (const auto& axes : orders) {
    SCOPED_TRACE(std::to_string(axes[0]) + std::to_string(axes[1]) + std::to_string(axes[2]));
    for (int i = 0; i < 200; ++i) {
      double angles[3] = {any(random), i < 20 ? (i % 2 ? 90.0 : -90.0) : middle(random), any(random)};
      Matrix m = RotationFromEuler(axes, angles);
      double back[3];
      EulerFromRotation(m, axes, back);
      ExpectNear(RotationFromEuler(axes, back), m, 1e-12);
      if (i >= 20) {
        EXPECT_LT(std::abs(back[0] - angles[0]) + std::abs(back[2] - angles[2]), 1e-9);
      }
    }
  }
}

// The numbers of a frame line of a BVH text: its last line.
std::vector<double> LastLine(const std::string& text) {
  std::vector<double> values;
  std::istringstream line(text.substr(text.rfind('\n', text.size() - 2) + 1));
  for (double value; line >> value;) values.push_back(value);
  return values;
}

TEST(JointMatrices, FollowTheChannelOrderAndStayCloseToThePreviousFrame) {
  Skeleton skeleton;
  skeleton.AddJoint("j", -1, {1, 2, 3},
                    {Channel::Yrotation, Channel::Zposition, Channel::Xrotation, Channel::Xposition, Channel::Zrotation,
                     Channel::Yposition});
  const double frame[6] = {30, 0.5, -40, 0.25, 100, -1}, angles[3] = {30, -40, 100};
  const int yxz[3] = {1, 0, 2};
  Matrix expected = RotationFromEuler(yxz, angles);
  expected.off = {1.25, 1, 3.5};
  const Motion motion = test::Ok(MotionFromChannels(skeleton, 0.1, frame));
  ExpectNear(motion.Frame(0)[0], expected, 1e-15);
  const std::vector<double> written = LastLine(test::Ok(FormatBvh(motion)));
  ASSERT_EQ(written.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(written[std::size_t(i)], frame[i], 1e-6) << i;
  EXPECT_EQ(skeleton.joints[0].rest, (Matrix{{1, 2, 3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));

  // A turn through 180 degrees, and one past the middle angle's 90, keep
  // the written angles near the frame before's instead of jumping.
  skeleton.joints[0].format.channels = {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation};
  const double cases[3][2][3] = {
      {{179, 10, 20}, {-178, 11, 21}}, {{-170, 5, 0}, {175, 4, 1}}, {{30, 88, 10}, {210, 92, 190}}};
  for (const auto& [previous, now] : cases) {
    Motion two = test::Ok(MotionFromChannels(skeleton, 0.1, std::span<const double>(previous, 3)));
    two.locals.push_back(RotationFromEuler(kZyx, now));
    two.locals.back().off = skeleton.joints[0].Offset();
    const std::vector<double> stored = LastLine(test::Ok(FormatBvh(two)));
    ASSERT_EQ(stored.size(), 3u);
    ExpectNear(RotationFromEuler(kZyx, stored.data()), RotationFromEuler(kZyx, now), 1e-6);
    for (int i = 0; i < 3; ++i) EXPECT_LT(std::abs(stored[std::size_t(i)] - previous[i]), 16.0) << i;
  }
}

TEST(ForwardKinematics, ComposesParentsBeforeChildren) {
  Skeleton skeleton;
  for (int j = 0; j < 3; ++j)
    skeleton.AddJoint("j", j - 1, j ? Vector{2, 0, 0} : Vector{0, 1, 0},
                      {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation});
  const double frame[9] = {90, 0, 0, 90, 0, 0, 0, 0, 0};
  const Motion motion = test::Ok(MotionFromChannels(skeleton, 0.1, frame));
  Matrix globals[3];
  FrameGlobals(motion, 0, globals);
  ExpectNear(globals[1], Matrix{{0, 3, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}, 1e-15);
  ExpectNear(globals[2], Matrix{{-2, 3, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}, 1e-15);
}

// Only some joints: the chains up to them, with the same bits as the whole.
TEST(ForwardKinematics, OfSomeJointsGivesTheirGlobalsBitForBit) {
  const Motion clip = test::SharedClip("makehuman_zombie_walk.bvh");
  const std::size_t count = clip.skeleton.joints.size();
  std::vector<Matrix> all(count);
  FrameGlobals(clip, 7, all);
  const std::vector<std::vector<std::int64_t>> picks = {{}, {0}, {std::int64_t(count) - 1, 12, 12}, {40, 3, 66}};
  for (const std::vector<std::int64_t>& pick : picks) {
    const std::vector<std::int64_t> listed = JointsUpTo(clip.skeleton, pick);
    const Matrix untouched{{7, 7, 7}, {7, 7, 7}, {7, 7, 7}, {7, 7, 7}};
    std::vector<Matrix> some(count, untouched);
    ForwardKinematics(clip.skeleton, clip.Frame(7), some, listed);
    for (std::size_t j = 0; j < count; ++j) {
      bool above = false;  // j is a picked joint or above one
      for (std::int64_t p : pick)
        for (std::int64_t k = p; k >= 0 && !above; k = clip.skeleton.joints[std::size_t(k)].parent)
          above = std::size_t(k) == j;
      EXPECT_EQ(std::count(listed.begin(), listed.end(), std::int64_t(j)), above ? 1 : 0) << j;
      EXPECT_EQ(std::memcmp(&some[j], above ? &all[j] : &untouched, sizeof(Matrix)), 0) << j;
    }
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  }
}

}  // namespace
}  // namespace norvo::retarget
