// One clip job: everything the tool does with one clip, from a request
// (source, target, options, outputs) to a result (the output motion, the
// statistics, the figures, the report, the warnings). The command line, each
// batch worker and the tests run clips through it.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "norvo/retarget/analysis/measure.h"
#include "norvo/retarget/analysis/report.h"
#include "norvo/retarget/app/rigs.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/rig/rig.h"
#include "norvo/retarget/solve/feet.h"
#include "norvo/retarget/solve/pipeline.h"
#include "norvo/retarget/solve/rootmotion.h"

namespace norvo::retarget {

// The files a clip writes; an empty path writes nothing. A report to "-"
// is not written but kept as text in the result.
struct ClipOutputs {
  std::string motion, report, svg, rig, page;  // page: the HTML player (page.h)
};

// How the result's feet meet the floor (feet.h).
struct FeetOptions {
  // Plant the result's feet during the source's contacts, on a floor at
  // this height (along the result's up axis); by default the source's.
  bool plant = true;
  std::optional<double> floor;
  // Keep the ankles where each contact began (--lock-feet; not with
  // `plant`).
  bool lock = false;
};

// What becomes of the root's travel (rootmotion.h).
struct RootOptions {
  // Extract: the written motion carries the travel on a root joint at floor
  // level; in place is RetargetOptions::inPlace.
  RootMotion motion = RootMotion::Keep;
  int lockAxis = -1;  // a world axis (0, 1, 2) along which the hips keep still; -1: none
};

// Which figures are taken (report.h).
struct FigureOptions {
  bool take = true;         // the quality and the feet
  bool roundTrip = false;   // and the way back onto the source
  bool keepReport = false;  // make the report (and its figures) even when none is written
};

struct ClipRequest {
  // The inputs.
  std::string source;                    // the clip: a motion file
  const Motion* sourceMotion = nullptr;  // the clip when the caller has it already; `source` then only names it
  std::string sourceRig;  // a rig file for the source instead of a preset; it must have the clip's joints
  std::string target;     // the target: a motion file (only its skeleton is read) or a rig file
  // How the source is read (glTF: the skin, the animation, the rate); the
  // target is read with the same skin.
  ReadOptions read;
  std::shared_ptr<const Rig> targetRig;  // the target when the caller has it already (a batch shares one)
  // The presets given, or else the best of `presets` for each rig.
  std::optional<Preset> sourcePreset, targetPreset;
  const std::vector<Preset>* presets = nullptr;
  std::string frames;  // "A:B": frames A up to but not including B (frames.h); empty: all

  // The option groups.
  RetargetOptions retarget;
  FeetOptions feet;
  RootOptions root;
  FigureOptions figures;
  ClipOutputs outputs;

  // The run.
  // Threads one clip may use (0: as many as there are cores; a batch gives
  // each clip one, as it runs a clip on every core).
  unsigned threads = 0;
  bool keepMotion = true;  // keep the output motion in the result
  // After each frame, with the frames done so far and the number of frames
  // the clip retargets (from --frames); must not throw.
  std::function<void(std::int64_t done, std::int64_t total)> frameDone;
  // Each warning as it arises (they are kept in the result too); must not
  // throw.
  std::function<void(const std::string&)> warn;
};

// The result of a clip, with its figures (report.h).
struct ClipResult : ClipFigures {
  std::shared_ptr<const Rig> source, target;
  std::int64_t sourceFrames = 0;  // the whole clip's
  // The source's animation when its file has named ones, and the others.
  std::string animation;
  std::vector<std::string> otherAnimations;
  std::string sourceNote;  // what the source's file says of itself (Asset::note)
  double frameTime = 0.0;
  std::int64_t first = 0, last = 0;  // the frames retargeted
  AssociationStatistics statistics;
  double translationScale = 1.0;
  std::int64_t drivenTargetJoints = 0;
  std::vector<Chain> spreadChains;
  // The quarter turn from the source's world into the target's, where the
  // result is written and kept (landmarks.h).
  Matrix worldRotation;
  // The result's feet before --lock-feet, when the figures are taken; the
  // other figures are those of ClipFigures (report.h).
  std::optional<FeetFigures> unlockedFeet;
  // The figures that could not be taken, each as "what: why"; they are
  // left out above and in the report.
  std::vector<std::string> unmeasured;
  bool rootAdded = false;  // --root-motion extract added a root joint
  // The page written (--html): 3D or 2D (and why), and its size.
  struct PageWritten {
    bool threeD = false;
    std::size_t bytes = 0;
    std::string why;
  } page;
  std::optional<MatchReport> report;  // when a report was asked for
  std::string reportText;             // the report to "-"
  std::vector<std::string> warnings;
  Motion motion;  // the result, when kept
  double seconds = 0.0;
};

// Runs one clip. Failures name the file they concern; nothing is written
// when the clip fails before its outputs (the motion first, then the
// picture, the rig and the report). Usage, before anything is read, when an
// output is an input or another output (see CheckOutputsApart); "-" writes
// to standard output.
Outcome<ClipResult> RunClip(const ClipRequest& request);

// The name of a file without its folder, and without its extension.
std::string FileName(const std::string& path);
std::string Stem(const std::string& path);

}  // namespace norvo::retarget
