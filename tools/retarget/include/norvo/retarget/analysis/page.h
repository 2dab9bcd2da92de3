// A page to watch a result: one self-contained HTML file that plays the
// source and the result side by side in 3D on a 2D canvas with its own
// projection (no WebGL, no network, nothing fetched: the script and the
// motion are inline). Orbit by dragging, zoom with the wheel, play and
// pause, a frame slider and a speed; bones coloured by body part as in the
// picture, planted feet marked, the floor drawn. "PAGE#frame=N" opens
// paused at frame N. Once drawn, the body element carries data-frames (the
// frame count) and data-joints (the joint counts, source then result).
#pragma once
#include <cstdint>
#include <string>

#include "norvo/retarget/solve/feet.h"
#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

struct PageFigure {
  const Rig* rig = nullptr;
  const Motion* clip = nullptr;  // frames first + i are shown
  std::int64_t first = 0;
  std::string title;
};

// `count` frames of each, seen along `up`, each figure drawn to the same
// height: the result's floor at height `floor`, the
// source's at the floor of `contacts` (may be null: 0), whose feet down are
// marked.
Outcome<std::string> WatchPageHtml(const PageFigure& source, const PageFigure& result, std::int64_t count,
                                   const Vector& up, double floor, const FootContacts* contacts);
Outcome<void> WriteWatchPage(const PageFigure& source, const PageFigure& result, std::int64_t count, const Vector& up,
                             double floor, const FootContacts* contacts, const std::string& path);

}  // namespace norvo::retarget
