// The contact sheet: well-formed XML (a small checker below) with the
// expected figures, bones and marks, joint names escaped.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "norvo/retarget/pipeline.h"
#include "norvo/retarget/svg.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;

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

using ContactSheet = test::WithModule;

TEST_F(ContactSheet, IsWellFormedWithAFigurePerRigViewAndFrame) {
  Motion walk = test::SharedClip("cmu_02_01_walk.bvh");
  walk.skeleton.joints[2].name = "Left<Up&\"Leg\">";  // names reach the picture escaped
  walk.skeleton.joints[3].name = "Left\xe9Leg\x01";   // and as UTF-8, without control characters
  const Motion zombie = test::SharedClip("makehuman_zombie_walk.bvh");
  const std::vector<Preset> presets = test::ShippedPresets();
  const Rig source = Ok(BuildRigWithBestPreset("walk", walk.skeleton, presets));
  const Rig target = Ok(BuildRigWithBestPreset("zombie", zombie.skeleton, presets));
  auto retargeter = Ok(Retargeter::Create(source, target, {}));
  const Motion result = Ok(RetargetClip(*retargeter, walk, target, 10, 40));

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
