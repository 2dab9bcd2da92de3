#include "norvo/retarget/analysis/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

// Warm colours on the left side, cool ones on the right, blues and purple
// along the spine; fingers and toes lighter than their hand or foot.
const char* BodyPartColour(std::string_view part) noexcept {
  struct Entry {
    const char* name;
    const char* colour;
  };
  static constexpr Entry kColours[] = {
      {"Hips", "#6a3d9a"},      {"Spine", "#3f51b5"},         {"Chest", "#1e6fd0"},         {"Neck", "#1f9bd0"},
      {"Head", "#17becf"},      {"LeftShoulder", "#f08020"},  {"LeftUpperArm", "#e0501a"},  {"LeftForeArm", "#c8281e"},
      {"LeftHand", "#a0153c"},  {"RightShoulder", "#2ca060"}, {"RightUpperArm", "#1c8c50"}, {"RightForeArm", "#117a44"},
      {"RightHand", "#0b6038"}, {"LeftUpperLeg", "#e8b000"},  {"LeftLowerLeg", "#d08c00"},  {"LeftFoot", "#a86400"},
      {"LeftToes", "#d89a50"},  {"RightUpperLeg", "#7cb82f"}, {"RightLowerLeg", "#5a9a1c"}, {"RightFoot", "#3c7a10"},
      {"RightToes", "#8cc070"},
  };
  for (const Entry& entry : kColours)
    if (part == entry.name) return entry.colour;
  if (part.starts_with("Left")) return "#f29ab0";  // fingers
  if (part.starts_with("Right")) return "#8fd3a8";
  return "#b0b0b0";
}

namespace {

constexpr double kCellWidth = 110, kCellHeight = 230, kGap = 16, kLeft = 70, kTop = 64;

// The length of the UTF-8 sequence at `at`, or 0 when it is not one.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  const std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xe  ? 3
                             : (lead >> 3) == 0x1e ? 4
                                                   : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[at + i]) & 0xc0) != 0x80) return 0;
  return length;
}

// Text for XML: markup characters escaped; bytes that are not UTF-8, and
// control characters, which XML does not allow, become U+FFFD.
std::string Escaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t length = Utf8Length(text, i);
    if (length == 0 || (length == 1 && static_cast<unsigned char>(c) < 0x20 && c != '\t')) {
      out += "\xef\xbf\xbd";
      ++i;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string Num(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", std::isfinite(value) ? value : 0.0);
  return text;
}

Vector Normalized(const Vector& v) {
  const double length = std::sqrt(Dot(v, v));
  return length > 1e-12 ? Scale(v, 1.0 / length) : Vector{0, 0, 0};
}

}  // namespace

// Its left runs from the right hip or shoulder to the left one, across the
// up axis; its front is left x up.
FigureView ViewOf(const Rig& rig) {
  FigureView view;
  if (rig.measured) view.up = rig.up;
  auto first = [&](const char* part) -> const std::int64_t* {
    const int index = FindStandardBodyPart(part);
    const std::vector<std::int64_t>& joints = rig.parts.joints[std::size_t(index)];
    return joints.empty() ? nullptr : &joints[0];
  };
  Vector left{0, 0, 0};
  for (auto [l, r] : {std::pair{"LeftUpperLeg", "RightUpperLeg"}, std::pair{"LeftUpperArm", "RightUpperArm"}}) {
    const std::int64_t *a = first(l), *b = first(r);
    if (!a || !b) continue;
    Vector across = Subtract(rig.restGlobals[std::size_t(*a)].off, rig.restGlobals[std::size_t(*b)].off);
    left = Normalized(Subtract(across, Scale(view.up, Dot(across, view.up))));
    if (Dot(left, left) > 0.5) break;
  }
  if (Dot(left, left) < 0.5) {  // no sides: any axis across the up axis
    const Vector trial = std::abs(view.up.x) < 0.9 ? Vector{1, 0, 0} : Vector{0, 0, 1};
    left = Normalized(Subtract(trial, Scale(view.up, Dot(trial, view.up))));
  }
  view.left = left;
  view.front = Cross(left, view.up);

  double low = 0, high = 0;
  bool any = false;
  auto extend = [&](const Vector& p) {
    const double h = Dot(p, view.up);
    low = any ? std::min(low, h) : h;
    high = any ? std::max(high, h) : h;
    any = true;
  };
  for (std::size_t j = 0; j < rig.skeleton.joints.size(); ++j) {
    extend(rig.restGlobals[j].off);
    for (const Vector& end : rig.skeleton.joints[j].endSites) extend(TransformPoint(rig.restGlobals[j], end));
  }
  view.scale = high - low > 1e-9 ? 0.8 * kCellHeight / (high - low) : 1.0;

  view.partOf.assign(rig.skeleton.joints.size(), std::string());
  std::span<const BodyPartSpec> standard = StandardBodyParts();
  for (std::size_t i = 0; i < standard.size(); ++i)
    for (std::int64_t joint : rig.parts.joints[i])
      if (view.partOf[std::size_t(joint)].empty())
        view.partOf[std::size_t(joint)] = std::string(standard[i].identifier);
  return view;
}

namespace {

// One figure: the rig in one frame, in a cell whose top left is (x, y).
// `frame` counts from the figure's first frame; `label` is the sheet's.
void DrawFigure(std::string& out, int& cells, const SheetFigure& figure, const FigureView& view, std::int64_t frame,
                std::int64_t label, bool side, double x, double y, const char* role) {
  const Rig& rig = *figure.rig;
  const std::size_t count = rig.skeleton.joints.size();
  std::vector<Matrix> globals(count);
  FrameGlobals(*figure.clip, figure.first + frame, globals);

  // The root stays in the middle of the cell and the lowest point of the
  // figure on the floor line, so that a figure whose rest pose or travel
  // differs from the other's still shows in its cell.
  const Vector root = count ? globals[0].off : Vector{0, 0, 0};
  double lowest = 0;
  bool any = false;
  auto lower = [&](const Vector& p) {
    lowest = any ? std::min(lowest, Dot(p, view.up)) : Dot(p, view.up);
    any = true;
  };
  for (std::size_t j = 0; j < count; ++j) {
    lower(globals[j].off);
    for (const Vector& end : rig.skeleton.joints[j].endSites) lower(TransformPoint(globals[j], end));
  }
  const Vector& across = side ? view.front : view.left;
  const double cx = x + kCellWidth / 2, floorY = y + kCellHeight - 14;
  auto point = [&](const Vector& p) {
    const Vector d = Subtract(p, root);
    return std::pair{cx + view.scale * Dot(d, across), floorY - view.scale * (Dot(p, view.up) - lowest)};
  };
  out += "<g class=\"figure\" data-rig=\"" + std::string(role) + "\" data-view=\"" + (side ? "side" : "front") +
         "\" data-frame=\"" + std::to_string(label) + "\">\n";
  // Clipped to its cell.
  const std::string clip = "cell" + std::to_string(++cells);
  const std::string box = "x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" width=\"" + Num(kCellWidth) + "\" height=\"" +
                          Num(kCellHeight) + "\"";
  out += "<clipPath id=\"" + clip + "\"><rect " + box + "/></clipPath>\n";
  out += "<rect " + box + " fill=\"#fafafa\" stroke=\"#ddd\"/>\n<g clip-path=\"url(#" + clip + ")\">\n";
  out += "<line x1=\"" + Num(x + 4) + "\" y1=\"" + Num(floorY) + "\" x2=\"" + Num(x + kCellWidth - 4) + "\" y2=\"" +
         Num(floorY) + "\" stroke=\"#ccc\"/>\n";
  auto bone = [&](const Vector& from, const Vector& to, std::size_t joint, const std::string& label) {
    const auto [x1, y1] = point(from);
    const auto [x2, y2] = point(to);
    const std::string& part = view.partOf[joint];
    out += "<line class=\"bone\" x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" + Num(y2) +
           "\" stroke=\"" + BodyPartColour(part) + "\"" + (part.empty() ? " stroke-dasharray=\"3 2\"" : "") +
           "><title>" + Escaped(label + (part.empty() ? " (no body part)" : " (" + part + ")")) + "</title></line>\n";
  };
  for (std::size_t j = 0; j < count; ++j) {
    const Joint& joint = rig.skeleton.joints[j];
    if (joint.parent >= 0) bone(globals[std::size_t(joint.parent)].off, globals[j].off, j, joint.name);
    for (const Vector& end : joint.endSites)
      bone(globals[j].off, TransformPoint(globals[j], end), j, joint.name + " end");
  }
  for (std::size_t j = 0; j < count; ++j) {
    if (j < figure.mapped.size() && figure.mapped[j]) continue;
    const auto [px, py] = point(globals[j].off);
    out += "<circle class=\"unmapped\" cx=\"" + Num(px) + "\" cy=\"" + Num(py) +
           "\" r=\"2.5\" fill=\"none\" stroke=\"#e00\"><title>" + Escaped(rig.skeleton.joints[j].name) +
           " (unmapped)</title></circle>\n";
  }
  out += "</g>\n</g>\n";
}

}  // namespace

Outcome<std::string> ContactSheetSvg(const SheetFigure& source, const SheetFigure& target, std::int64_t count,
                                     int frames) {
  try {
    count = std::min({count, source.clip->FrameCount() - source.first, target.clip->FrameCount() - target.first});
    const int shown = int(std::clamp<std::int64_t>(count, 0, std::max(frames, 1)));
    FigureView views[2] = {ViewOf(*source.rig), ViewOf(*target.rig)};
    for (int i = 0; i < 2; ++i) {
      const SheetFigure& figure = i == 0 ? source : target;
      if (!figure.axesOf) continue;
      const FigureView axes = ViewOf(*figure.axesOf);
      views[i].up = axes.up;
      views[i].left = axes.left;
      views[i].front = axes.front;
    }
    const SheetFigure* figures[2] = {&source, &target};
    const double columnWidth = 2 * kCellWidth + kGap;
    const double width = kLeft + std::max(shown, 1) * columnWidth + kGap;
    const double height = kTop + 2 * (kCellHeight + kGap) + 70;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(width) + "\" height=\"" + Num(height) +
           "\" viewBox=\"0 0 " + Num(width) + " " + Num(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\" stroke-width=\"2\" stroke-linecap=\"round\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out += "<text x=\"10\" y=\"22\" font-size=\"16\">" + Escaped(source.title) + " (left of each pair) onto " +
           Escaped(target.title) + " (right)</text>\n";
    for (int row = 0; row < 2; ++row)
      out += "<text x=\"10\" y=\"" + Num(kTop + row * (kCellHeight + kGap) + kCellHeight / 2) + "\">" +
             (row == 0 ? "front" : "side") + "</text>\n";
    int cells = 0;
    for (int i = 0; i < shown; ++i) {
      const std::int64_t frame = shown > 1 ? std::int64_t(i) * (count - 1) / (shown - 1) : 0;
      const double x = kLeft + i * columnWidth;
      out += "<text x=\"" + Num(x + kCellWidth) + "\" y=\"" + Num(kTop - 8) + "\" text-anchor=\"middle\">frame " +
             std::to_string(source.first + frame) + "</text>\n";
      for (int row = 0; row < 2; ++row)
        for (int f = 0; f < 2; ++f)
          DrawFigure(out, cells, *figures[f], views[f], frame, source.first + frame, row == 1, x + f * kCellWidth,
                     kTop + row * (kCellHeight + kGap), f == 0 ? "source" : "target");
    }
    // The legend.
    const double legendY = kTop + 2 * (kCellHeight + kGap) + 14;
    double lx = 10;
    for (const auto& [label, colour] :
         {std::pair{"spine", BodyPartColour("Chest")}, std::pair{"left arm", BodyPartColour("LeftForeArm")},
          std::pair{"right arm", BodyPartColour("RightForeArm")}, std::pair{"left leg", BodyPartColour("LeftLowerLeg")},
          std::pair{"right leg", BodyPartColour("RightLowerLeg")}, std::pair{"fingers", BodyPartColour("LeftIndex")},
          std::pair{"no body part", BodyPartColour("")}}) {
      out += "<line x1=\"" + Num(lx) + "\" y1=\"" + Num(legendY) + "\" x2=\"" + Num(lx + 24) + "\" y2=\"" +
             Num(legendY) + "\" stroke=\"" + colour + "\"/><text x=\"" + Num(lx + 30) + "\" y=\"" + Num(legendY + 4) +
             "\">" + label + "</text>\n";
      lx += 120;
    }
    out += "<circle cx=\"" + Num(lx + 12) + "\" cy=\"" + Num(legendY) +
           "\" r=\"3\" fill=\"none\" stroke=\"#e00\"/><text x=\"" + Num(lx + 30) + "\" y=\"" + Num(legendY + 4) +
           "\">joint without a partner in the other rig</text>\n";
    out += "</svg>\n";
    return out;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> WriteContactSheet(const SheetFigure& source, const SheetFigure& target, std::int64_t count,
                                const std::string& path, int frames) {
  RETARGET_ASSIGN(std::string text, ContactSheetSvg(source, target, count, frames));
  return WriteTextFile(path, text, "picture");
}

}  // namespace norvo::retarget
