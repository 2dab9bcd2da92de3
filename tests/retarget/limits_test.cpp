// The readers' limits: each reader accepts a text at a small configured
// limit and refuses one past it, naming the limit, both from text and from
// a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/io/rigfile.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

// The BVH reader in the form of the other readers.
Outcome<Motion> ParseBvhText(std::string_view text, const std::string& file, const BvhLimits& limits) {
  return ParseBvh(text, file, limits);
}
Outcome<Motion> ReadBvh(const std::string& path, const BvhLimits& limits) { return ReadBvhFile(path, limits); }

class ReaderLimits : public test::WithTool<test::WithModule> {
 protected:
  // What `parse` makes of `text` and `read` of a file that holds it: the
  // same value or the same refusal, which names the file.
  template <class Text, class T, class Limits>
  Outcome<T> ReadBoth(Outcome<T> (*parse)(Text, const std::string&, const Limits&),
                      Outcome<T> (*read)(const std::string&, const Limits&), const std::string& text,
                      const Limits& limits) {
    Outcome<T> parsed = parse(text, "limits.txt", limits);
    const std::string file = Write("limits.txt", text);
    const Outcome<T> fromFile = read(file, limits);
    EXPECT_EQ(fromFile.has_value(), parsed.has_value());
    if (!parsed.has_value() && !fromFile.has_value()) {
      EXPECT_EQ(fromFile.failure().message, parsed.failure().message);
      EXPECT_EQ(fromFile.failure().line, parsed.failure().line);
      EXPECT_EQ(fromFile.failure().file, file);
    }
    return parsed;
  }
};

void ExpectRefused(const Failure& failure, const std::string& message, std::int64_t line) {
  EXPECT_EQ(failure.kind, FailureKind::BadInput);
  EXPECT_EQ(failure.message, message);
  EXPECT_EQ(failure.line, line);
}

TEST_F(ReaderLimits, BvhAtEachLimitIsReadAndOnePastItIsRefused) {
  const std::string atLimits = test::ChainText(3, 2);
  const std::int64_t bytes = std::int64_t(atLimits.size());
  // Three joints and their End Site are four levels.
  const BvhLimits limits{bytes, 3, 4, 2};
  const Motion clip = test::Ok(ReadBoth(ParseBvhText, ReadBvh, atLimits, limits));
  EXPECT_EQ(clip.skeleton.joints.size(), 3u);
  EXPECT_EQ(clip.FrameCount(), 2);

  const struct {
    std::string text;
    BvhLimits limits;
    std::string message;
    std::int64_t line;
  } cases[] = {
      {atLimits + "\n", limits, "the file is larger than the limit of " + std::to_string(bytes) + " bytes", 0},
      {test::ChainText(4, 2), {bytes * 2, 3, 5, 2}, "the hierarchy has more joints than the limit of 3", 15},
      {test::ChainText(3, 2), {bytes, 3, 3, 2}, "the hierarchy nests deeper than the limit of 3 levels", 15},
      {test::ChainText(3, 3), {bytes * 2, 3, 4, 2}, "Frames says 3, more than the limit of 2 frames", 22},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Outcome<Motion> read = ReadBoth(ParseBvhText, ReadBvh, c.text, c.limits);
    ASSERT_FALSE(read.has_value());
    ExpectRefused(read.failure(), c.message, c.line);
  }
}

TEST_F(ReaderLimits, DefaultsReadTheSharedClips) {
  const BvhLimits defaults;
  EXPECT_EQ(defaults.fileBytes, std::int64_t(1) << 33);
  EXPECT_EQ(defaults.joints, 1000000);
  EXPECT_EQ(defaults.depth, 1000000);
  EXPECT_EQ(defaults.frames, 10000000);
  const Motion walk = test::Ok(ReadBvhFile(test::SharedPath("cmu_02_01_walk.bvh")));
  // The writer writes nothing the reader's limit would refuse.
  const Outcome<std::string> text = FormatBvh(walk, 100000);
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.failure().message,
            "the motion as BVH is larger than 100000 bytes, the most the BVH reader takes; write fewer frames "
            "(--frames A:B)");
  const PresetLimits presetDefaults;
  EXPECT_EQ(presetDefaults.fileBytes, std::int64_t(1) << 20);
  EXPECT_EQ(presetDefaults.depth, 16);
  EXPECT_EQ(presetDefaults.keywords, 100000);
}

TEST_F(ReaderLimits, PresetAtEachLimitIsReadAndOnePastItIsRefused) {
  // Four levels: the preset, bodyParts, Hips and its keyword list. Three
  // texts: two keywords and one discard.
  const std::string atLimits =
      "{\"discard\": [\"End\"],\n\"bodyParts\": {\"Hips\": {\"keywords\": [\"Hips\", \"Pelvis\"]}}}";
  const std::int64_t bytes = std::int64_t(atLimits.size());
  const PresetLimits limits{bytes, 4, 3};
  const Preset preset = test::Ok(ReadBoth(ParsePreset, ReadPresetFile, atLimits, limits));
  EXPECT_EQ(preset.parts[0].keywords.size(), 2u);

  const struct {
    std::string text;
    PresetLimits limits;
    std::string message;
    std::int64_t line;
  } cases[] = {
      {atLimits + " ", limits, "the preset is larger than the limit of " + std::to_string(bytes) + " bytes", 0},
      {atLimits, {bytes, 3, 3}, "the preset nests deeper than the limit of 3 levels", 2},
      {atLimits, {bytes, 4, 2}, "the preset lists more keywords than the limit of 2", 0},
      // Brackets inside texts do not count.
      {"{\"bodyParts\": {\"Hips\": {\"keywords\": [\"[[{\\\"\"]}}, \"x\": [[[[]]]]}",
       {bytes, 4, 3},
       "the preset nests deeper than the limit of 4 levels",
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Outcome<Preset> read = ReadBoth(ParsePreset, ReadPresetFile, c.text, c.limits);
    ASSERT_FALSE(read.has_value());
    ExpectRefused(read.failure(), c.message, c.line);
  }
}

// The deepest nesting of `value` (itself a level when it is an object or an
// array) and its longest array other than the file's "objects".
void Measure(const nlohmann::json& value, std::int64_t level, std::int64_t& depth, std::int64_t& longest, bool top) {
  if (!value.is_structured()) return;
  depth = std::max(depth, level);
  if (value.is_array()) longest = std::max(longest, std::int64_t(value.size()));
  for (const auto& [key, member] : value.items()) {
    if (top && key == "objects") {
      depth = std::max(depth, level + 1);
      for (const nlohmann::json& entry : member) Measure(entry, level + 2, depth, longest, false);
    } else {
      Measure(member, level + 1, depth, longest, false);
    }
  }
}

TEST_F(ReaderLimits, RigFileAtEachLimitIsReadAndOnePastItIsRefused) {
  const Rig rig = test::MakeRig(test::SharedClip("cmu_02_01_walk.bvh").skeleton, "cmu", "walk");
  const std::string text = test::Ok(FormatRigFile(rig));
  const nlohmann::json parsed = nlohmann::json::parse(text);
  std::int64_t depth = 0, longest = 0;
  Measure(parsed, 1, depth, longest, true);
  const JsonLimits limits{Int(text.size()), depth, Int(parsed["objects"].size()), longest};
  EXPECT_EQ(test::Ok(ReadBoth(ParseRigFile, ReadRigFile, text, limits)).nodes.size(), rig.nodes.size());

  const struct {
    JsonLimits limits;
    std::string message;
  } cases[] = {
      {JsonLimits{limits.textBytes - 1, depth, limits.objects, longest},
       "the file is larger than the limit of " + std::to_string(text.size() - 1) + " bytes"},
      {JsonLimits{limits.textBytes, depth - 1, limits.objects, longest},
       "nesting too deep (the limit is " + std::to_string(depth - 1) + " levels)"},
      {JsonLimits{limits.textBytes, depth, limits.objects - 1, longest},
       "too many objects (the limit is " + std::to_string(limits.objects - 1) + ")"},
      {JsonLimits{limits.textBytes, depth, limits.objects, longest - 1},
       "array too long (the limit is " + std::to_string(longest - 1) + " elements)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const Outcome<Rig> loaded = ReadBoth(ParseRigFile, ReadRigFile, text, c.limits);
    ASSERT_FALSE(loaded.has_value());
    EXPECT_EQ(loaded.failure().kind, FailureKind::BadInput);
    EXPECT_TRUE(loaded.failure().message.ends_with(c.message)) << loaded.failure().message;
    if (c.limits.textBytes == limits.textBytes) {
      EXPECT_TRUE(loaded.failure().message.starts_with("the rig file is past a limit: /")) << loaded.failure().message;
    }
  }
}

}  // namespace
}  // namespace norvo::retarget
