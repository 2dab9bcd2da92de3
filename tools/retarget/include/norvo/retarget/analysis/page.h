// A page to watch a result: one self-contained HTML file that plays the
// source and the result side by side (nothing fetched: the script, the
// motion and the models are inline). "PAGE#frame=N" opens paused at frame
// N.
//
// With the 3D viewer (SetViewer; the build makes it from pinned npm
// packages; a Content-Security-Policy forbids any request): WebGL through
// three.js, each figure as its own meshes when its
// file is a glTF, GLB or VRM model with meshes (the result as the file the
// tool writes of it, moving by its animation) and as bones (capsules)
// otherwise; planted feet marked, a floor that follows the figures, a toggle
// for the same height (on by default when the figures' heights differ more
// than three times), a camera that can follow the hips, the bones over the
// meshes, space and the arrow keys, and a strip under the frame slider with
// how far the result's body segments point from the source's in each frame
// (hovering over a bone of the result gives its segment's angle). The root
// element carries data-frames, data-joints (source then result),
// data-meshes, data-skinned-meshes, data-bone-figures, data-ready once drawn,
// and data-load-error when something failed.
//
// Without it: a 2D canvas with its own projection, the bones coloured by
// body part as in the picture; the body element carries data-frames and
// data-joints.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
  // The figure's clip as its file has it (frames first + i), when that is
  // a glTF model's: the 3D page shows the model moving. `toClip` rotates
  // the file's world into that of `clip`.
  const Motion* model = nullptr;
  Matrix toClip;
};

struct PageInput {
  PageFigure source, result;
  std::int64_t count = 0;  // frames of each
  // Seen along `up`, each figure drawn to the same height: the result's
  // floor at height `floor`, the source's at the floor of `contacts` (may be
  // null: 0), whose feet down are marked.
  Vector up;
  double floor = 0.0;
  const FootContacts* contacts = nullptr;
  // The angle of each landmark segment of the result against the source's
  // (measure.h), frame after frame, kSegments a frame, NaN where not
  // measured; empty: the 3D page has no strip.
  std::vector<float> angles;
};

struct Page {
  std::string text;  // WriteWatchPage leaves it empty
  std::size_t bytes = 0;
  bool threeD = false;
  std::string why;  // why the page is 2D
};

// The 3D viewer: the gzipped script the build makes and the licences of the
// packages in it. Empty paths: there is none, and `why` says why (the 2D
// page is written instead).
void SetViewer(std::string script, std::string licences, std::string why);

Outcome<Page> WatchPage(const PageInput& input);
// Writes the page: 3D when the viewer's files can be read, else 2D.
Outcome<Page> WriteWatchPage(const PageInput& input, const std::string& path);

}  // namespace norvo::retarget
