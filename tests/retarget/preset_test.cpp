// Presets. The shipped ones on the joint names of the rig families people
// bring: the automatic choice picks each family's own preset, the required
// body parts get the joints a person would put there, left and right never
// swap, and no twist, end, ik or helper joint is taken. Malformed presets;
// the rig a preset builds; the host's keyword match, which the report uses
// to say which keyword took a joint, against the module's FillBodyPart.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/rig/rig.h"
#include "retarget_support.h"
#include "failing_new.h"

namespace norvo::retarget {
namespace {

using test::Ok;
using Names = std::vector<std::string>;

// "$" and "%" in a name stand for the side: {"Left", "L"} or {"Right", "R"}.
struct Side {
  std::string word, letter;
};

std::string Expand(std::string text, const Side& side) {
  for (std::size_t at; (at = text.find('$')) != std::string::npos;) text.replace(at, 1, side.word);
  for (std::size_t at; (at = text.find('%')) != std::string::npos;) text.replace(at, 1, side.letter);
  return text;
}

Names Split(const std::string& text, char separator) {
  Names parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// A skeleton from "parent>child" lines; a line with a side mark is there
// once per side. The first parent is the root; joints come in pre-order.
Skeleton MakeSkeleton(const std::string& edges, const Side sides[2]) {
  std::vector<std::pair<std::string, std::string>> links;
  for (const std::string& line : Split(edges, '\n')) {
    const std::size_t arrow = line.find('>');
    const std::string parent = line.substr(0, arrow), child = line.substr(arrow + 1);
    const bool sided = line.find_first_of("$%") != std::string::npos;
    for (int s = 0; s < (sided ? 2 : 1); ++s) links.emplace_back(Expand(parent, sides[s]), Expand(child, sides[s]));
  }
  std::map<std::string, Names> children;
  for (const auto& [parent, child] : links) children[parent].push_back(child);
  Skeleton skeleton;
  const std::vector<Channel> rotations = {Channel::Zrotation, Channel::Xrotation, Channel::Yrotation};
  std::vector<std::pair<std::string, std::int64_t>> stack = {{links.at(0).first, -1}};
  while (!stack.empty()) {
    auto [name, parent] = stack.back();
    stack.pop_back();
    const std::int64_t index = std::int64_t(skeleton.joints.size());
    skeleton.AddJoint(name, parent, {0.1 * double(index % 3), 1.0, 0.0}, rotations);
    const Names& below = children[name];
    for (auto it = below.rbegin(); it != below.rend(); ++it) stack.emplace_back(*it, index);
  }
  return skeleton;
}

struct Family {
  std::string preset;
  Side sides[2];
  std::string edges;
  // Required body parts and their joints, "|"-separated; a name without a
  // side mark stands for both sides.
  std::vector<std::pair<std::string, std::string>> expected;
};

// The rigs of data/preset_families.txt (its head says how they are written).
std::vector<Family> ReadFamilies() {
  std::ifstream file(NORVO_RETARGET_TEST_DATA_DIR "/preset_families.txt");
  EXPECT_TRUE(file.is_open());
  std::vector<Family> families;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line.starts_with("rig ")) {
      std::stringstream in(line.substr(4));
      Family& family = families.emplace_back();
      in >> family.preset;
      for (Side& side : family.sides) {
        in >> side.word >> side.letter;
        if (side.letter == "-") side.letter.clear();
      }
    } else if (line.starts_with("= ")) {
      const std::size_t space = line.find(' ', 2);
      families.back().expected.emplace_back(line.substr(2, space - 2), line.substr(space + 1));
    } else {
      families.back().edges += line + "\n";
    }
  }
  return families;
}

// Marks of joints that no body part may take.
const char* const kNeverTaken[] = {"twist",  "_end",   "nub",  "ik_",  "helper",   "__",
                                   "j_sec_", "j_adj_", "mch-", "org-", "footsteps"};

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

Names Sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

using Presets = test::WithModule;

TEST_F(Presets, EachFamilyGetsItsOwnPresetAndTheJointsAPersonWouldAssign) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const std::vector<Family> families = ReadFamilies();
  EXPECT_EQ(families.size(), 14u);
  for (const Family& family : families) {
    const Side* sides = family.sides;
    const Skeleton skeleton = MakeSkeleton(family.edges, sides);
    SCOPED_TRACE(family.preset + " rig with root " + skeleton.joints[0].name);
    const Rig rig = Ok(BuildRigWithBestPreset("rig", skeleton, presets));

    std::string scores;
    for (const PresetChoice::Candidate& candidate : rig.preset.candidates)
      scores += " " + candidate.preset + "=" + std::to_string(candidate.score);
    EXPECT_EQ(rig.preset.name, family.preset) << scores;
    EXPECT_FALSE(rig.preset.tie) << scores;
    EXPECT_FALSE(rig.preset.weak) << scores;
    EXPECT_EQ(rig.parts.emptyRequired, Names{});
    EXPECT_EQ(rig.parts.sharedJoints, 0);

    // Every required body part, each side on its own.
    std::vector<bool> checked(StandardBodyParts().size(), false);
    for (const auto& [part, joints] : family.expected) {
      const bool sided = std::string(joints).find_first_of("$%") != std::string::npos;
      for (int s = 0; s < (sided ? 2 : 1); ++s) {
        const std::string identifier = (sided ? std::string(s == 0 ? "Left" : "Right") : "") + part;
        const int index = FindStandardBodyPart(identifier);
        ASSERT_GE(index, 0) << identifier;
        checked[std::size_t(index)] = true;
        Names expected;
        for (const std::string& name : Split(joints, '|')) expected.push_back(Expand(name, sides[s]));
        Names got;
        for (std::int64_t joint : rig.parts.joints[std::size_t(index)])
          got.push_back(rig.skeleton.joints[std::size_t(joint)].name);
        EXPECT_EQ(Sorted(got), Sorted(expected)) << identifier;
      }
    }
    for (std::size_t i = 0; i < checked.size(); ++i)
      EXPECT_EQ(checked[i], StandardBodyParts()[i].required) << StandardBodyParts()[i].identifier;

    // Fingers and toes lie below the hand or foot of their own side, and
    // nothing marked as a twist, end, ik or helper joint is taken.
    for (std::size_t i = 0; i < rig.parts.joints.size(); ++i) {
      const BodyPartSpec& part = StandardBodyParts()[i];
      for (std::int64_t joint : rig.parts.joints[i]) {
        const std::string& name = rig.skeleton.joints[std::size_t(joint)].name;
        for (const char* mark : kNeverTaken)
          EXPECT_EQ(Lower(name).find(mark), std::string::npos) << part.identifier << " took " << name;
        if (part.required) continue;
        const std::vector<std::int64_t>& above = rig.parts.joints[std::size_t(part.parent)];
        std::int64_t up = rig.skeleton.joints[std::size_t(joint)].parent;
        while (up >= 0 && std::find(above.begin(), above.end(), up) == above.end())
          up = rig.skeleton.joints[std::size_t(up)].parent;
        EXPECT_GE(up, 0) << part.identifier << " took " << name << ", which is not below "
                         << StandardBodyParts()[std::size_t(part.parent)].identifier;
      }
    }
  }
}

TEST_F(Presets, AWeakChoiceIsFlaggedAndASharedJointCosts) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const Side sides[2] = {{"Left", ""}, {"Right", ""}};
  // A Biovision rig without Chest2: its own preset still wins, but leaves
  // the chest empty.
  const Rig weak = Ok(BuildRigWithBestPreset(
      "weak",
      MakeSkeleton("Hips>Chest\nChest>Neck\nNeck>Head\nChest>$Collar\n$Collar>$Shoulder\n$Shoulder>$Elbow\n"
                   "$Elbow>$Wrist\nHips>$Hip\n$Hip>$Knee\n$Knee>$Ankle",
                   sides),
      presets));
  EXPECT_EQ(weak.preset.name, "biovision");
  EXPECT_TRUE(weak.preset.weak);
  EXPECT_FALSE(weak.preset.tie);
  EXPECT_EQ(weak.parts.emptyRequired, Names{"Chest"});
  EXPECT_EQ(weak.preset.score, PresetScore(weak.parts.matchingCount, 0, 1));

  // A joint taken by two body parts costs more than it brings.
  Preset twice = presets[0];
  twice.parts[std::size_t(FindStandardBodyPart("Spine"))].keywords = {"Hips"};
  const Rig shared = Ok(BuildRig("shared", MakeSkeleton("Hips>Head", sides), twice));
  EXPECT_EQ(shared.parts.sharedJoints, 1);
  EXPECT_EQ(shared.parts.matchingCount, 3);  // Hips twice, Head once
  EXPECT_EQ(shared.preset.score, 3 - 2 * 1 - 5 * std::int64_t(shared.parts.emptyRequired.size()));
}

TEST(PresetReader, RefusesMalformedPresets) {
  const struct {
    const char* json;
    std::int64_t line;
    const char* message;
  } cases[] = {
      {"{\n\"bodyParts\": {\n\"Hips\": [\"Hips\"\n}\n}", 4,
       "not valid JSON: syntax error while parsing array - unexpected '}'; expected ']'"},
      {"{\"colour\": \"red\", \"bodyParts\": {}}", 0,
       "unknown member \"colour\"; expected name, description, discard or bodyParts"},
      {"{\"bodyParts\": {\"Hips\": {\"keywords\": [\"Hips\", 3]}}}", 0,
       "\"keywords\" of \"Hips\" must be a list of texts"},
  };
  for (const auto& c : cases) {
    Outcome<Preset> preset = ParsePreset(c.json, "my.json");
    ASSERT_FALSE(preset.has_value()) << c.json;
    EXPECT_EQ(preset.failure().kind, FailureKind::BadInput);
    EXPECT_EQ(preset.failure().message, c.message);
    EXPECT_EQ(preset.failure().line, c.line);
  }
}

TEST_F(Presets, TheRigDescribesTheSkeletonToTheModuleAndMeasuresItsHips) {
  const Rig cmu = test::MakeRig(test::SharedClip("cmu_02_01_walk.bvh").skeleton, "cmu", "walk");
  EXPECT_EQ(cmu.definition.GetName().View(), "walk");
  EXPECT_EQ(cmu.definition.GetSkeletonTree(), cmu.nodes[0]);
  EXPECT_EQ(cmu.definition.GetBodyPartTree(), cmu.bodyParts[0]);
  CharacterNodeTransform foot = cmu.definition.GetSkeletonRestPose().GetNodeTransformByID(cmu.JointUuid(4)).value();
  EXPECT_EQ(foot.GetName().View(), "LeftFoot");
  EXPECT_EQ(foot.GetGlobalMatrix(), cmu.restGlobals[4]);
  EXPECT_EQ(foot.GetParentGlobalMatrix(), cmu.restGlobals[3]);
  EXPECT_NEAR(cmu.hipHeight, 16.49, 0.01);  // along +Y; the MakeHuman rig stands along +Z
}

TEST_F(Presets, KeywordMatchAgreesWithTheModule) {
  const struct {
    const char* keyword;
    const char* name;
    bool matches;
  } cases[] = {
      {"arm&&left", "LeftArm_01", true},
      {"arm&&left", "ARM_LEFT", true},
      {"arm&&left", "RightArm", false},
      {"arm", "RightArm", true},
      {"Arm", "LeftForeArm", true},
      {"LeftArm", "LeftForeArm", false},
      {"Leg", "LeftUpLeg", true},
      {"LeftLeg", "LeftUpLeg", false},
      {"_l", "upperarm_l", true},
      {"_l", "upperarm_r", false},
      {"Clavicle&& L ", "Bip01 L Clavicle", true},
      {"Clavicle&& L ", "Bip01 R Clavicle", false},
      {"", "Hips", false},
      {"DEF-spine.", "DEF-spine", false},
      {"hand&&hand", "Hand", true},
      {"ÄRM", "ärm", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.keyword) + " in " + c.name);
    EXPECT_EQ(KeywordMatches(c.keyword, c.name), c.matches);
    // The module, on a one-joint rig whose Hips have only this keyword.
    Skeleton one;
    one.AddJoint(c.name, -1, {0, 0, 0}, {Channel::Zrotation, Channel::Xrotation, Channel::Yrotation});
    Preset preset;
    preset.parts.resize(StandardBodyParts().size());
    preset.parts[0].keywords = {c.keyword};
    const Rig rig = test::Ok(BuildRig("one", one, preset));
    EXPECT_EQ(rig.parts.joints[0].size(), c.matches ? 1u : 0u);

    // A matching discard keyword keeps the joint out, and TakingKeyword says so.
    preset.parts[0].discard = {c.name};
    EXPECT_EQ(TakingKeyword(preset.parts[0], c.name), nullptr);
    preset.parts[0].discard.clear();
    const std::string* taking = TakingKeyword(preset.parts[0], c.name);
    EXPECT_EQ(taking != nullptr, c.matches);
  }
  // Matching allocates nothing, with names past any short-text buffer too.
  const Int live = norvo::test::LiveNewCount();
  norvo::test::FailEveryNewAfter(0);
  const bool matched = KeywordMatches("upperarm&&LEFT", "Character1_LeftUpperArmRoll_twist_helper");
  norvo::test::ClearNewFailure();
  EXPECT_TRUE(matched);
  EXPECT_EQ(norvo::test::LiveNewCount(), live);
}

}  // namespace
}  // namespace norvo::retarget
