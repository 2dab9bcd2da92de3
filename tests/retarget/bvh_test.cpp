// The BVH reader and writer: the shared clips, what real files hold, every
// malformed input with its message and line, and round trips.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "norvo/retarget/bvh.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::Clip;

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
  EXPECT_EQ(clip.skeleton.joints[0].channels[1], Channel::Xposition);
  EXPECT_EQ(clip.skeleton.joints[1].channels,
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

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

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
      {Replace(v, "HIERARCHY", "HIERARCH"), 1, "expected HIERARCHY, found 'HIERARCH'"},
      {Replace(v, "ROOT Hips", "ROOT"), 2, "ROOT needs a name"},
      {Replace(v, "JOINT Spine", "JOINT"), 6, "JOINT needs a name"},
      {Replace(v, "ROOT Hips\n{\n", "ROOT Hips\n"), 3, "expected '{' after ROOT Hips, found 'OFFSET 0 0 0'"},
      {Replace(v, "End Site\n{\n", "End Site\n"), 11, "expected '{' after End Site, found 'OFFSET 0 1 0'"},
      {Replace(v, "}\n}\nMOTION", "}\nMOTION"), 15,
       "expected OFFSET, CHANNELS, JOINT, End Site or '}' in joint Hips, found 'MOTION'"},
      {v.substr(0, v.find("}\n}\n}\n") + 4), 14, "the file ends inside joint Hips: expected '}'"},
      {v.substr(0, v.find("MOTION")), 15, "the file has no MOTION section"},
      {Replace(v, "OFFSET 0 1 0\nCHANNELS", "OFFSET 0 1\nCHANNELS"), 8, "OFFSET needs 3 numbers, found 2"},
      {Replace(v, "OFFSET 0 0 0", "OFFSET 0 nan 0"), 4, "'nan' is not a finite number"},
      {Replace(v, "OFFSET 0 0 0", "OFFSET 0 0 1e999"), 4, "'1e999' is not a finite number"},
      {Replace(v, "OFFSET 0 0 0", "OFFSET 0 0 zero"), 4, "'zero' is not a number"},
      {Replace(v, "OFFSET 0 0 0", "OFFSET 0 0 0\nOFFSET 0 0 0"), 5, "a second OFFSET in joint Hips"},
      {Replace(v, zyx, "CHANNELS 4 Zrotation Yrotation Xrotation"), 9, "the CHANNELS count must be 3 or 6, found 4"},
      {Replace(v, zyx, "CHANNELS 3 Zrotation Yrotation"), 9, "CHANNELS 3 lists 2 channels"},
      {Replace(v, zyx, "CHANNELS 3 Zrotation Yrotation Wrotation"), 9, "unknown channel 'Wrotation'"},
      {Replace(v, zyx, "CHANNELS 3 Zrotation Yrotation Zrotation"), 9, "channel Zrotation is listed twice"},
      {Replace(v, zyx, "CHANNELS 3 Xposition Yposition Zposition"), 9,
       "CHANNELS 3 must be Xrotation, Yrotation and Zrotation"},
      {Replace(v, zyx + "\n", ""), 13, "joint Spine has no CHANNELS"},
      {Replace(v, "{\nOFFSET 0 1 0\n}", "{\nOFFSET 0 1 0\n" + zyx + "\n}"), 13, "an End Site has no CHANNELS"},
      {Replace(v, "{\nOFFSET 0 1 0\n}", "{\n}"), 12, "the End Site of Spine has no OFFSET"},
      {Replace(v, "}\nMOTION", "}\nROOT Other\nMOTION"), 16, "a second ROOT: one skeleton per file is read"},
      {Replace(v, "Frames: 2", "Frame: 2"), 17, "expected 'Frames: <count>' after MOTION"},
      {Replace(v, "Frames: 2", "Frames: -2"), 17, "the frame count must be a whole number, found '-2'"},
      {Replace(v, "Frame Time: 0.04", "Frame Time: 0"), 18, "the Frame Time must be more than 0 seconds, found '0'"},
      {Replace(v, "9\n1 2", "9\n1 2 3"), 20, "a frame line with 10 values; the hierarchy has 9 channels"},
      {Replace(v, "8 9\n", "8\n"), 19, "a frame line with 8 values; the hierarchy has 9 channels"},
      {Replace(v, "5 6 7 8 9\n", "5 nan 7 8 9\n"), 19, "'nan' is not a finite number"},
      // A count that the file does not back allocates nothing for it.
      {Replace(v, "Frames: 2", "Frames: 999999999999999999"), 17,
       "Frames says 999999999999999999, more than the limit of 10000000 frames"},
      {Replace(v, "Frames: 2", "Frames: 9999999"), 17, "Frames says 9999999, but the file holds 2 frame lines"},
      {Replace(v, "Frames: 2", "Frames: 1"), 20, "more frame lines than the 1 that Frames says"},
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
  std::string text =
      "HIERARCHY\nROOT j0\n{\nOFFSET 0 0 0\nCHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n";
  for (int i = 1; i < depth; ++i)
    text += "JOINT j" + std::to_string(i) + "\n{\nOFFSET 0 1 0\nCHANNELS 3 Zrotation Yrotation Xrotation\n";
  for (int i = 0; i < depth; ++i) text += "}\n";
  text += "MOTION\nFrames: 1\nFrame Time: 1\n";
  for (int i = 0; i < 3 * depth + 3; ++i) text += "0 ";

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

}  // namespace
}  // namespace norvo::retarget
