// The command line's options: what the user typed, and the retargeting
// options made of it.
#pragma once
#include <optional>
#include <string>

#include "norvo/retarget/job.h"
#include "norvo/retarget/outcome.h"
#include "norvo/retarget/pipeline.h"

namespace norvo::retarget::cli {

inline constexpr const char* kTool = "norvo-retarget";

struct Arguments {
  std::string source, target, output, preset, sourcePreset, frames;
  std::string translationScale = "auto";
  std::string report, svg, html, batch;
  unsigned jobs = 0;  // 0: one per core
  std::string saveRig, sourceRig;
  bool noRootTranslation = false;
  bool inPlace = false;
  bool quiet = false;
  bool noAlign = false;
  std::optional<std::string> spreadChains;
  bool roundTrip = false;
  bool lockFeet = false;
  // glTF files: the skin (source and target), the source's animation and
  // the rate it is sampled at.
  std::int64_t skin = -1;
  std::string animation;
  double fps = 0.0;
  bool noContacts = false;
  std::string rootMotion, lockAxis;
  std::string floor;
};

// Parses the command line into `arguments`. Returns the exit code when the
// tool is done (help shown: 0; wrong arguments: 1, said on stderr), or
// nothing when it goes on.
std::optional<int> ParseCommandLine(int argc, char** argv, Arguments& arguments);

Failure Usage(std::string message);
Outcome<RetargetOptions> ParseOptions(const Arguments& arguments);
// How the arguments read a file: the skin, and for the source the
// animation and the rate.
ReadOptions ReadOptionsOf(const Arguments& arguments, bool source);
// The clip request the arguments make, without its source and target.
Outcome<ClipRequest> MakeRequest(const Arguments& arguments);

}  // namespace norvo::retarget::cli
