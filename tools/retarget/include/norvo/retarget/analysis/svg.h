// Pictures: a contact sheet of stick figures as SVG. For a handful of
// frames spread over the clip, the source and the retargeted target stand
// side by side, once seen from the front and once from the side; bones are
// coloured by the body part of the joint they lead to (grey: no body part),
// and joints without a partner in the other rig are ringed in red.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// The colour of a standard body part's bones ("" for none: grey).
const char* BodyPartColour(std::string_view part) noexcept;

// How a rig is seen: its up axis, the axis from its right side to its left
// and its front, the scale that makes its rest figure fill most of a
// sheet's cell, and per joint the first body part that holds it ("" for
// none).
struct FigureView {
  Vector up{0, 1, 0}, left{1, 0, 0}, front{0, 0, 1};
  double scale = 1;
  std::vector<std::string> partOf;
};
FigureView ViewOf(const Rig& rig);

struct SheetFigure {
  const Rig* rig = nullptr;
  const Motion* clip = nullptr;  // the rig's frames; the sheet reads frames first + i
  std::int64_t first = 0;
  std::vector<bool> mapped;  // per joint; an unmapped joint is marked
  std::string title;
  // When set, the figure is seen along this rig's axes instead of its own:
  // a result retargeted onto an aligned rest stands as the source stands.
  const Rig* axesOf = nullptr;
};

// The sheet of `frames` frames (fewer when the clips are shorter) of
// `count` frames each, source frame first + i beside target frame first + i.
// Figures are "g" elements of class "figure", bones "line" elements of class
// "bone" (one per joint with a parent and one per End Site), marks "circle"
// elements of class "unmapped".
Outcome<std::string> ContactSheetSvg(const SheetFigure& source, const SheetFigure& target, std::int64_t count,
                                     int frames = 6);
Outcome<void> WriteContactSheet(const SheetFigure& source, const SheetFigure& target, std::int64_t count,
                                const std::string& path, int frames = 6);

}  // namespace norvo::retarget
