// The match report on the shared clips: its JSON says what the rigs' body
// parts and the module's association hold; its text reads the same. The
// contact sheet: well-formed XML (a small checker below) with the expected
// figures, bones and marks, joint names escaped.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>
#include <map>
#include <regex>

#include "norvo/retarget/solve/pipeline.h"
#include "norvo/retarget/analysis/report.h"
#include "retarget_support.h"
#include "tool_support.h"
#include "norvo/retarget/analysis/svg.h"

namespace norvo::retarget {
namespace {

using nlohmann::json;
using test::Ok;

using Report = test::WithModule;

// The rig's body parts in the JSON match the module's skeleton lists, each
// joint with a keyword that takes it; every other joint is listed untaken.
void CheckRig(const json& out, const Rig& rig, const char* preset) {
  EXPECT_EQ(out["preset"], preset);
  EXPECT_EQ(out["joints"], rig.JointCount());
  ASSERT_EQ(out["bodyParts"].size(), StandardBodyParts().size());
  std::int64_t listed = 0;
  for (std::size_t i = 0; i < StandardBodyParts().size(); ++i) {
    const json& part = out["bodyParts"][i];
    EXPECT_EQ(part["bodyPart"], StandardBodyParts()[i].identifier);
    EXPECT_EQ(part["required"], StandardBodyParts()[i].required);
    const BaseArray<Uuid>& skeleton = rig.bodyParts[i].GetSkeleton().value();
    ASSERT_EQ(Int(part["joints"].size()), skeleton.GetCount()) << part["bodyPart"];
    for (Int k = 0; k < skeleton.GetCount(); ++k) {
      const std::string name = part["joints"][std::size_t(k)]["joint"];
      const std::string keyword = part["joints"][std::size_t(k)]["keyword"];
      EXPECT_EQ(rig.JointUuid(test::JointNamed(rig.skeleton, name)), skeleton[k]);
      EXPECT_TRUE(KeywordMatches(keyword, name)) << keyword << " " << name;
    }
    listed += skeleton.GetCount();
  }
  EXPECT_EQ(listed + std::int64_t(out["untakenJoints"].size()), rig.JointCount());
  EXPECT_EQ(out["emptyRequiredBodyParts"], json::array());
}

TEST_F(Report, JsonHoldsWhatTheRigsAndTheAssociationHold) {
  const Skeleton cmu = test::SharedClip("cmu_02_01_walk.bvh").skeleton;
  const Skeleton mh = test::SharedClip("makehuman_zombie_walk.bvh").skeleton;
  const std::vector<Preset> presets = test::ShippedPresets();
  const struct {
    const Skeleton& source;
    const char* sourcePreset;
    const Skeleton& target;
    const char* targetPreset;
    std::size_t untakenTarget;
  } cases[] = {{cmu, "cmu", mh, "makehuman-game", 16}, {mh, "makehuman-game", cmu, "cmu", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sourcePreset);
    const Rig source = Ok(BuildRigWithBestPreset("source", c.source, presets));
    const Rig target = Ok(BuildRigWithBestPreset("target", c.target, presets));
    auto retargeter = Ok(Retargeter::Create(source, target, {}));
    const MatchReport report = Ok(BuildMatchReport(source, "a.bvh", target, "b.bvh", *retargeter));
    const json out = json::parse(Ok(ReportJson(report)));

    CheckRig(out["source"], source, c.sourcePreset);
    CheckRig(out["target"], target, c.targetPreset);
    EXPECT_EQ(out["target"]["untakenJoints"].size(), c.untakenTarget);
    for (const json& untaken : out["target"]["untakenJoints"]) {
      // The MakeHuman helpers: a keyword took them, the discard "__" kept them out.
      EXPECT_EQ(untaken["joint"].get<std::string>().rfind("__", 0), 0u) << untaken;
      EXPECT_EQ(untaken["discarded"]["discard"], "__") << untaken;
    }
    EXPECT_EQ(out["source"]["presetScores"].size(), presets.size());

    // Every pair is in the association both ways; with the unpaired joints
    // the pairs make up both chains.
    const CharacterAssociation& association = retargeter->Association();
    std::int64_t pairs = 0;
    for (const json& pairing : out["pairs"]) {
      const int part = FindStandardBodyPart(pairing["bodyPart"].get<std::string>());
      ASSERT_GE(part, 0);
      for (const json& pair : pairing["pairs"]) {
        const Uuid& from = source.JointUuid(test::JointNamed(source.skeleton, pair[0]));
        const Uuid& to = target.JointUuid(test::JointNamed(target.skeleton, pair[1]));
        EXPECT_EQ(association.GetAssociatedUuid(from).value(), to) << pair;
        EXPECT_EQ(association.GetAssociatedUuid(to).value(), from) << pair;
        ++pairs;
      }
      EXPECT_EQ(pairing["pairs"].size() + pairing["unpairedSource"].size(),
                source.parts.joints[std::size_t(part)].size());
      EXPECT_EQ(pairing["pairs"].size() + pairing["unpairedTarget"].size(),
                target.parts.joints[std::size_t(part)].size());
    }
    const AssociationStatistics& stats = retargeter->Statistics();
    EXPECT_EQ(pairs, stats.associatedNodes);
    const json& counters = out["counters"];
    EXPECT_EQ(counters["visitedBodyParts"], stats.visitedBodyParts);
    EXPECT_EQ(counters["associatedBodyParts"], stats.associatedBodyParts);
    EXPECT_EQ(counters["sourceNodes"], stats.sourceNodes);
    EXPECT_EQ(counters["targetNodes"], stats.targetNodes);
    EXPECT_EQ(counters["associatedNodes"], stats.associatedNodes);
    EXPECT_EQ(counters["drivenTargetJoints"], retargeter->DrivenTargetJoints());
  }
}

TEST_F(Report, TextSaysWhichKeywordTookEachJointAndWhatStayedUnpaired) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const Rig source = Ok(BuildRigWithBestPreset("walk", test::SharedClip("cmu_02_01_walk.bvh").skeleton, presets));
  const Rig target =
      Ok(BuildRigWithBestPreset("zombie", test::SharedClip("makehuman_zombie_walk.bvh").skeleton, presets));
  auto retargeter = Ok(Retargeter::Create(source, target, {}));
  const std::string text = Ok(ReportText(Ok(BuildMatchReport(source, "walk.bvh", target, "zombie.bvh", *retargeter))));
  for (const char* line : {
           "source walk (walk.bvh): preset cmu, score 31 (chosen among 9; others: biovision -62, ",
           "\n  31 of 31 joints in body parts; each joint with the keyword that took it:\n",
           "\n    Hips           Hips [Hips], LHipJoint [HipJoint], RHipJoint [HipJoint]\n",
           "\n    LeftMiddle     -\n",
           "\n    LeftThumb      Thumb1_L [Thumb&&_L], Thumb2_L [Thumb&&_L], Thumb3_L [Thumb&&_L]\n",
           "\n  taken by no body part: __Jaw (Head keyword Jaw, discarded by __), __Tongue1 (Head keyword Tongue, "
           "discarded by __), ",
           "\n    Hips           Hips -> Root, LHipJoint -> Hips; unpaired source: RHipJoint\n",
           "\n    LeftIndex      LeftFingerBase -> Index1_L, LeftHandIndex1 -> Index2_L; unpaired target: Index3_L\n",
           "\ncounters: 31 body parts visited, 31 associated; 31 source and 59 target nodes in them, 29 node pairs; ",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

// Two preset files may carry one name: the report keeps one member for it,
// with the score of the last.
TEST(ReportJsonText, NamesEachPresetOnce) {
  MatchReport report;
  report.source.candidates = {{"biped", 3}, {"cmu", 4}, {"biped", 5}};
  const std::string text = Ok(ReportJson(report));
  const nlohmann::ordered_json out = nlohmann::ordered_json::parse(text);
  EXPECT_EQ(out["source"]["presetScores"].dump(), R"({"biped":5,"cmu":4})");
  EXPECT_EQ(out.dump(2) + "\n", text);
}

// The tool writes the JSON report and the picture beside the clip, and
// prints the text report after its summary, with -q too.
using ReportCommand = test::WithTool<>;

TEST_F(ReportCommand, WritesJsonOrPrintsTextAndDrawsThePicture) {
  auto run = [&](const std::string& arguments) {
    return Tool(test::SharedPath("cmu_02_01_walk.bvh") + " --target " + test::SharedPath("makehuman_zombie_walk.bvh") +
                " -o " + Path("out.bvh") + " " + arguments);
  };
  Run ran = run("--report " + Path("r.json") + " --svg " + Path("p.svg"));
  EXPECT_EQ(ran.status, 0);
  EXPECT_NE(ran.out.find("\nreport  " + Path("r.json") + "\n"), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("\npicture " + Path("p.svg") + "\n"), std::string::npos) << ran.out;
  EXPECT_EQ(json::parse(test::ReadAll(Path("r.json")))["source"]["file"], "cmu_02_01_walk.bvh");
  EXPECT_GT(std::filesystem::file_size(Path("p.svg")), 10000u);

  ran = run("--report - -q");
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out.rfind("source cmu_02_01_walk (cmu_02_01_walk.bvh): preset cmu, score 31", 0), 0u) << ran.out;
  ran = run("--report -");
  EXPECT_EQ(ran.out.rfind("source  cmu_02_01_walk.bvh: 31 joints", 0), 0u) << ran.out;
  EXPECT_NE(ran.out.find("\n\nsource cmu_02_01_walk (cmu_02_01_walk.bvh): preset cmu"), std::string::npos) << ran.out;
}

// Checks that `text` is well-formed XML: tags nest and close, attribute
// values are quoted, '&' starts a known entity, '<' and '>' only delimit
// markup. Counts the elements by "name.class" (class empty when none).
::testing::AssertionResult WellFormed(const std::string& text, std::map<std::string, int>& elements) {
  static const std::regex bareAmpersand("&(?!amp;|lt;|gt;|quot;|apos;)");
  static const std::regex tag(R"(<(/?)([\w:-]+)((?:\s+[\w:-]+="[^"<>]*")*)\s*(/?)>|<\?[^<>]*\?>)");
  static const std::regex classValue(R"x(\sclass="([^"]*)")x");
  std::smatch found;
  if (std::regex_search(text, found, bareAmpersand))
    return ::testing::AssertionFailure() << "bare & at " << found.position();
  std::vector<std::string> open;
  std::size_t end = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), tag); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    if (text.find_first_of("<>", end) < std::size_t(m.position()))
      return ::testing::AssertionFailure() << "bad markup at " << end;
    end = std::size_t(m.position() + m.length());
    const std::string name = m[2], attributes = m[3];
    if (name.empty()) continue;  // the XML declaration
    if (m[1].length() > 0) {
      if (open.empty() || open.back() != name || !attributes.empty() || m[4].length() > 0)
        return ::testing::AssertionFailure() << "</" << name << "> closes nothing";
      open.pop_back();
      continue;
    }
    ++elements[name + "." + (std::regex_search(attributes, found, classValue) ? found[1].str() : "")];
    if (m[4].length() == 0) open.push_back(name);
  }
  if (text.find_first_of("<>", end) != std::string::npos)
    return ::testing::AssertionFailure() << "bad markup at " << end;
  if (!open.empty()) return ::testing::AssertionFailure() << "<" << open.back() << "> not closed";
  return ::testing::AssertionSuccess();
}

TEST_F(Report, ContactSheetIsWellFormedWithAFigurePerRigViewAndFrame) {
  Motion walk = test::SharedClip("cmu_02_01_walk.bvh");
  walk.skeleton.joints[2].name = "Left<Up&\"Leg\">";  // names reach the picture escaped
  walk.skeleton.joints[3].name = "Left\xe9Leg\x01";   // and as UTF-8, without control characters
  const Motion zombie = test::SharedClip("makehuman_zombie_walk.bvh");
  const std::vector<Preset> presets = test::ShippedPresets();
  const Rig source = Ok(BuildRigWithBestPreset("walk", walk.skeleton, presets));
  const Rig target = Ok(BuildRigWithBestPreset("zombie", zombie.skeleton, presets));
  auto retargeter = Ok(Retargeter::Create(source, target, {}));
  const Motion result = Ok(RetargetClip(*retargeter, walk, target, 10, 40));
  // The JSON report holds them as UTF-8 too.
  const std::string report = Ok(ReportJson(Ok(BuildMatchReport(source, "a.bvh", target, "b.bvh", *retargeter))));
  EXPECT_NE(report.find("\"Left\xef\xbf\xbdLeg"), std::string::npos);

  std::vector<bool> sourceMapped(31, true), targetMapped(75, true);
  sourceMapped[0] = sourceMapped[5] = false;
  targetMapped[7] = false;
  const SheetFigure from{&source, &walk, 10, sourceMapped, "walk & <run>"};
  const SheetFigure onto{&target, &result, 0, targetMapped, "zombie"};
  const struct {
    std::int64_t count;
    int frames, shown;
  } cases[] = {{30, 6, 6}, {30, 4, 4}, {3, 6, 3}, {1, 6, 1}, {0, 6, 0}, {500, 6, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    const std::string svg = Ok(ContactSheetSvg(from, onto, c.count, c.frames));
    std::map<std::string, int> elements;
    ASSERT_TRUE(WellFormed(svg, elements)) << svg.substr(0, 400);
    EXPECT_EQ(elements["svg."], 1);
    // Source and target, front and side view, per frame shown.
    EXPECT_EQ(elements["g.figure"], 4 * c.shown);
    // Every joint with a parent and every End Site: 30 + 7 and 74 + 16.
    EXPECT_EQ(elements["line.bone"], 2 * c.shown * (37 + 90));
    EXPECT_EQ(elements["circle.unmapped"], 2 * c.shown * (2 + 1));
    EXPECT_EQ(svg.find("Left&lt;Up&amp;&quot;Leg&quot;&gt;") != std::string::npos, c.shown > 0);
    EXPECT_EQ(svg.find("Left\xef\xbf\xbdLeg\xef\xbf\xbd") != std::string::npos, c.shown > 0);
    EXPECT_NE(svg.find("walk &amp; &lt;run&gt;"), std::string::npos);
  }
}

}  // namespace
}  // namespace norvo::retarget
