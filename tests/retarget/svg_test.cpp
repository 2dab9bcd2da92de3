// The contact sheet: well-formed XML (a small checker below) with the
// expected figures, bones and marks, joint names escaped.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/retarget/pipeline.h"
#include "norvo/retarget/svg.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;

// Checks that `text` is well-formed XML: tags nest and close, attribute
// values are quoted, '&' starts a known entity, '<' only starts markup.
// Counts the elements by "name.class" (class empty when none).
::testing::AssertionResult WellFormed(std::string_view text, std::map<std::string, int>& elements) {
  std::vector<std::string> open;
  auto entityAt = [&](std::size_t at) {
    for (std::string_view entity : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"})
      if (text.substr(at, entity.size()) == entity) return true;
    return false;
  };
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '&' && !entityAt(i)) return ::testing::AssertionFailure() << "bare & at " << i;
    if (text[i] == '>') return ::testing::AssertionFailure() << "bare > at " << i;
    if (text[i] != '<') {
      ++i;
      continue;
    }
    if (text.substr(i, 2) == "<?" || text.substr(i, 4) == "<!--") {
      const std::size_t end = text.find(text[i + 1] == '?' ? "?>" : "-->", i);
      if (end == std::string_view::npos) return ::testing::AssertionFailure() << "unclosed at " << i;
      i = end + 2;
      continue;
    }
    const bool closing = text[i + 1] == '/';
    std::size_t at = i + (closing ? 2 : 1);
    const std::size_t nameEnd = text.find_first_of(" />", at);
    if (nameEnd == std::string_view::npos || nameEnd == at) return ::testing::AssertionFailure() << "no name at " << i;
    const std::string name(text.substr(at, nameEnd - at));
    at = nameEnd;
    std::string cls;
    for (;;) {
      while (at < text.size() && text[at] == ' ') ++at;
      if (at >= text.size()) return ::testing::AssertionFailure() << "unclosed tag " << name;
      if (text[at] == '>' || text.substr(at, 2) == "/>") break;
      const std::size_t equals = text.find('=', at);
      if (closing || equals == std::string_view::npos || text[equals + 1] != '"')
        return ::testing::AssertionFailure() << "bad attribute in " << name << " at " << at;
      const std::size_t close = text.find('"', equals + 2);
      const std::string_view value = text.substr(equals + 2, close - equals - 2);
      if (close == std::string_view::npos || value.find('<') != std::string_view::npos)
        return ::testing::AssertionFailure() << "bad value in " << name << " at " << at;
      for (std::size_t amp = value.find('&'); amp != std::string_view::npos; amp = value.find('&', amp + 1))
        if (!entityAt(equals + 2 + amp)) return ::testing::AssertionFailure() << "bare & in a value of " << name;
      if (text.substr(at, equals - at) == "class") cls = std::string(value);
      at = close + 1;
    }
    if (closing) {
      if (open.empty() || open.back() != name) return ::testing::AssertionFailure() << "</" << name << "> closes nothing";
      open.pop_back();
    } else {
      ++elements[name + "." + cls];
      if (text[at] == '>') open.push_back(name);
    }
    i = at + (text[at] == '>' ? 1 : 2);
  }
  if (!open.empty()) return ::testing::AssertionFailure() << "<" << open.back() << "> not closed";
  return ::testing::AssertionSuccess();
}

using ContactSheet = test::WithModule;

TEST_F(ContactSheet, IsWellFormedWithAFigurePerRigViewAndFrame) {
  BvhClip walk = test::SharedClip("cmu_02_01_walk.bvh");
  walk.skeleton.joints[2].name = "Left<Up&\"Leg\">";  // names reach the picture escaped
  walk.skeleton.joints[3].name = "Left\xe9Leg\x01";   // and as UTF-8, without control characters
  const BvhClip zombie = test::SharedClip("makehuman_zombie_walk.bvh");
  const std::vector<Preset> presets = test::ShippedPresets();
  const Rig source = Ok(BuildRigWithBestPreset("walk", walk.skeleton, presets));
  const Rig target = Ok(BuildRigWithBestPreset("zombie", zombie.skeleton, presets));
  auto retargeter = Ok(Retargeter::Create(source, target, {}));
  const BvhClip result = Ok(RetargetClip(*retargeter, walk, target, 10, 40));

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
