// norvo-retarget: carries the motion of a BVH clip onto the skeleton of
// another BVH file and writes the result. Without arguments it runs its
// built-in sample.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "norvo/retarget/batch.h"
#include "norvo/retarget/bvh.h"
#include "norvo/retarget/feet.h"
#include "norvo/retarget/install.h"
#include "norvo/retarget/measure.h"
#include "norvo/retarget/pipeline.h"
#include "norvo/retarget/preset.h"
#include "norvo/retarget/report.h"
#include "norvo/retarget/rig.h"
#include "norvo/retarget/rigfile.h"
#include "norvo/retarget/sample.h"
#include "norvo/retarget/svg.h"

using namespace norvo;
using namespace norvo::retarget;

namespace {

constexpr const char* kTool = "norvo-retarget";

struct Arguments {
  std::string source, target, output, preset, sourcePreset, frames;
  std::string translationScale = "auto";
  std::string report, svg, batch;
  unsigned jobs = 0;  // 0: one per core
  std::string saveRig, sourceRig;
  bool noRootTranslation = false;
  bool inPlace = false;
  bool quiet = false;
  bool noAlign = false;
  std::optional<std::string> spreadChains;
  bool roundTrip = false;
  bool lockFeet = false;
};

int ExitCode(FailureKind kind) {
  switch (kind) {
    case FailureKind::Usage:
      return 1;
    case FailureKind::BadInput:
    case FailureKind::Io:
      return 2;
    case FailureKind::OutOfMemory:
    case FailureKind::Internal:
      return 3;
  }
  return 3;
}

int Report(const Failure& failure) {
  std::fprintf(stderr, "%s: error: %s\n", kTool, failure.Text().c_str());
  return ExitCode(failure.kind);
}

// Needs no memory: what is left when even the message cannot be made.
int ReportOutOfMemory() noexcept {
  std::fputs("norvo-retarget: error: out of memory\n", stderr);
  return ExitCode(FailureKind::OutOfMemory);
}

Failure Usage(std::string message) { return MakeFailure(FailureKind::Usage, std::move(message)); }

void Warn(const std::string& message) { std::fprintf(stderr, "%s: warning: %s\n", kTool, message.c_str()); }

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }
std::string Stem(const std::string& path) { return std::filesystem::path(path).stem().string(); }

// The preset an argument names: a shipped one by name, or a JSON file.
Outcome<Preset> ChoosePreset(const std::string& argument, const std::vector<Preset>& shipped) {
  for (const Preset& preset : shipped)
    if (preset.name == argument) return preset;
  std::error_code error;
  if (std::filesystem::is_regular_file(argument, error) || argument.ends_with(".json")) return ReadPresetFile(argument);
  std::vector<std::string> names;
  for (const Preset& preset : shipped) names.push_back(preset.name);
  return Usage("unknown preset '" + argument + "': give a JSON file or one of the shipped presets: " + Join(names));
}

// The rig of a skeleton with the preset given, or else the best shipped one.
Outcome<Rig> MakeRig(const std::string& name, const BvhSkeleton& skeleton, const std::optional<Preset>& preset,
                     const std::vector<Preset>& shipped) {
  return preset ? BuildRig(name, skeleton, *preset) : BuildRigWithBestPreset(name, skeleton, shipped);
}

Outcome<std::optional<Preset>> PresetArgument(const std::string& argument, const std::vector<Preset>& shipped) {
  if (argument.empty() || argument == "auto") return std::optional<Preset>();
  Outcome<Preset> preset = ChoosePreset(argument, shipped);
  if (!preset) return std::move(preset).failure();
  return std::optional<Preset>(std::move(preset).value());
}

// The warnings about a rig's preset: a tie or a weak automatic choice, and
// required body parts left empty.
void WarnAbout(const char* role, const Rig& rig, const char* option) {
  const std::string who = std::string(role) + " " + rig.name + ": ";
  if (rig.presetTie) {
    std::vector<std::string> tied;
    for (const Rig::Candidate& candidate : rig.candidates)
      if (candidate.score == rig.score) tied.push_back(candidate.preset);
    Warn(who + "presets " + Join(tied) + " tie at score " + std::to_string(rig.score) + "; took " + rig.presetName +
         " (choose one with " + option + ")");
  } else if (rig.presetWeak) {
    Warn(who + "preset " + rig.presetName + " wins with a weak score of " + std::to_string(rig.score) + " (" +
         std::to_string(rig.coveredJoints) + " of " + std::to_string(rig.JointCount()) +
         " joints in body parts); choose a preset with " + option + " or write one");
  }
  if (!rig.emptyRequired.empty())
    Warn(who + "preset " + rig.presetName + " finds no joints for " + Join(rig.emptyRequired) +
         "; their motion is left out");
}

// "cmu (score 31; next mixamo, 19)" after an automatic choice, else the name.
std::string PresetText(const Rig& rig) {
  if (rig.candidates.size() < 2) return rig.presetName;
  const Rig::Candidate* next = nullptr;
  for (const Rig::Candidate& candidate : rig.candidates)
    if (candidate.preset != rig.presetName && (!next || candidate.score > next->score)) next = &candidate;
  return rig.presetName + " (score " + std::to_string(rig.score) + "; next " + next->preset + ", " +
         std::to_string(next->score) + ")";
}

// "+Y" for an axis within a few degrees of one, else its three numbers.
std::string AxisText(const Vector& axis) {
  const double values[3] = {axis.x, axis.y, axis.z};
  for (int i = 0; i < 3; ++i)
    if (std::abs(values[i]) > 0.99) return std::string(values[i] > 0 ? "+" : "-") + "XYZ"[i];
  char text[64];
  std::snprintf(text, sizeof text, "(%.2f, %.2f, %.2f)", axis.x, axis.y, axis.z);
  return text;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

Outcome<void> ParseFrames(const std::string& text, std::int64_t count, std::int64_t& first, std::int64_t& last) {
  first = 0;
  last = count;
  if (text.empty()) return {};
  std::size_t colon = text.find(':');
  auto parse = [](const std::string& part, std::int64_t& out) {
    if (part.empty()) return true;
    char* end = nullptr;
    long long value = std::strtoll(part.c_str(), &end, 10);
    if (*end != '\0' || value < 0 || part[0] == '-' || part[0] == '+') return false;
    out = value;
    return true;
  };
  if (colon == std::string::npos || !parse(text.substr(0, colon), first) || !parse(text.substr(colon + 1), last))
    return Usage("--frames takes A:B, the frames from A up to but not including B, counted from 0; found '" + text +
                 "'");
  if (first >= last || last > count)
    return Usage("--frames " + text + " is not within the source's " + std::to_string(count) + " frames (0:" +
                 std::to_string(count) + ")");
  return {};
}

Outcome<RetargetOptions> ParseOptions(const Arguments& arguments) {
  RetargetOptions options;
  options.rootTranslation = !arguments.noRootTranslation;
  options.inPlace = arguments.inPlace;
  const std::string& scale = arguments.translationScale;
  if (scale == "auto") {
    options.scale = RetargetOptions::Scale::Auto;
  } else if (scale == "none") {
    options.scale = RetargetOptions::Scale::None;
  } else {
    char* end = nullptr;
    double value = std::strtod(scale.c_str(), &end);
    if (scale.empty() || *end != '\0' || !std::isfinite(value) || value <= 0.0)
      return Usage("--translation-scale takes auto, none or a number above 0; found '" + scale + "'");
    options.scale = RetargetOptions::Scale::Fixed;
    options.fixedScale = value;
  }
  // --no-align gives the plain solver result: no aligned rest and, unless
  // asked for, no spread chains.
  options.align = !arguments.noAlign;
  if (arguments.noAlign) options.spreadBodyParts.clear();
  if (arguments.spreadChains) {
    options.spreadBodyParts.clear();
    const std::string& list = *arguments.spreadChains;
    if (list != "none") {
      for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string part = list.substr(from, comma - from);
        if (FindStandardBodyPart(part) < 0)
          return Usage("--spread-chains takes none or body parts separated by commas (Spine, Neck, LeftUpperArm, "
                       "...); found '" + part + "'");
        options.spreadBodyParts.push_back(part);
        from = comma + 1;
      }
    }
  }
  return options;
}

std::string Degrees(const AngleFigure& figure) {
  char text[96];
  std::snprintf(text, sizeof text, "%.2f / %.2f / %.2f", figure.mean, figure.p95, figure.max);
  return text;
}

std::string Sliding(const FootSliding& sliding) {
  char text[64];
  std::snprintf(text, sizeof text, "left %.3f, right %.3f", sliding.speed[0], sliding.speed[1]);
  return text;
}

// Frames [first, last) of a clip.
BvhClip Frames(const BvhClip& clip, std::int64_t first, std::int64_t last) {
  BvhClip part;
  part.skeleton = clip.skeleton;
  part.frameTime = clip.frameTime;
  part.values.assign(clip.values.begin() + first * clip.skeleton.valueCount,
                     clip.values.begin() + last * clip.skeleton.valueCount);
  return part;
}

// Shows how far a long run has got: frames done and frames per second, on
// stderr when it is a terminal, at most five times a second. Thread-safe.
class Progress {
 public:
  Progress(bool show, std::int64_t total, std::string what = "frame")
      : show_(show && isatty(STDERR_FILENO)), total_(total), what_(std::move(what)) {}
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\r%60s\r", "");
  }
  // One more frame done.
  void Frame() {
    const std::int64_t done = ++frames_;
    if (!show_) return;
    // A worker that finds another one printing goes on with its work.
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    shown_ = visible_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\rretargeting: %s %lld of %lld, %.0f frames/s   ", what_.c_str(),
                 static_cast<long long>(what_ == "frame" ? done : clips_.load()), static_cast<long long>(total_),
                 seconds > 0 ? double(done) / seconds : 0.0);
  }
  void ClipDone() { ++clips_; }
  // Takes the line away before other output; the next frame shows it again.
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (visible_) std::fprintf(stderr, "\r%60s\r", "");
    visible_ = false;
  }

 private:
  bool show_;
  bool shown_ = false;    // ever
  bool visible_ = false;  // now
  std::int64_t total_;
  std::string what_;
  std::atomic<std::int64_t> frames_{0}, clips_{0};
  std::mutex mutex_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_ = start_;
};

// Per joint of each rig: has it a partner in the association?
std::vector<bool> Mapped(const Rig& rig, const CharacterAssociation& association) {
  std::vector<bool> mapped(std::size_t(rig.JointCount()));
  for (std::int64_t j = 0; j < rig.JointCount(); ++j)
    mapped[std::size_t(j)] = association.GetAssociatedUuid(rig.JointUuid(j)).has_value();
  return mapped;
}

// Retargets `source` (its clip and rig) onto `target` and writes `output`;
// prints the summary unless quiet.
Outcome<void> Retarget(const BvhClip& sourceClip, const std::string& sourceFile, const Rig& source,
                       const std::string& targetFile, const Rig& target, const std::string& output,
                       const Arguments& arguments, std::chrono::steady_clock::time_point start) {
  Outcome<RetargetOptions> options = ParseOptions(arguments);
  if (!options) return std::move(options).failure();
  std::int64_t first = 0, last = 0;
  RETARGET_TRY(ParseFrames(arguments.frames, sourceClip.FrameCount(), first, last));

  WarnAbout("source", source, "--source-preset");
  WarnAbout("target", target, "--preset");
  Outcome<std::unique_ptr<Retargeter>> retargeter = Retargeter::Create(source, target, options.value());
  if (!retargeter) return std::move(retargeter).failure();
  Retargeter& run = *retargeter.value();
  if (options.value().rootTranslation && options.value().scale == RetargetOptions::Scale::Auto &&
      !(source.measured && target.measured))
    Warn("cannot measure the hip height of " + (source.measured ? target.name : source.name) +
         " (it needs joints in its Hips and Head body parts, and below its hips); the root's displacement is not "
         "scaled");

  // Without alignment a target that stands another way leans.
  if (!options.value().align && source.measured && target.measured && Dot(source.up, target.up) < std::cos(20.0 * 3.14159265358979 / 180.0))
    Warn("source " + source.name + " stands along " + AxisText(source.up) + ", target " + target.name + " along " +
         AxisText(target.up) + ": joint rotations are carried over as they are, so the result leans by the "
         "difference");
  if (options.value().inPlace && !target.measured)
    Warn("cannot tell which way is up for " + target.name + "; --in-place keeps the root's height along +Y");
  // Only the root joint is translated: one that no body part takes (a
  // game rig's root at the floor) leaves the figure where it stands.
  if (options.value().rootTranslation && target.JointCount() > 0 &&
      !run.Association().GetAssociatedUuid(target.JointUuid(0)).has_value())
    Warn("target " + target.name + ": its root joint " + target.skeleton.joints[0].name +
         " has no partner in the source, so the source's travel is not carried over");
  Outcome<BvhClip> result = [&] {
    Progress progress(!arguments.quiet, last - first);
    return RetargetClip(run, sourceClip, target, first, last, [&](std::int64_t) { progress.Frame(); });
  }();
  if (!result) return std::move(result).failure();
  // On an aligned rest the result moves in the source's world and stands
  // along its up axis; otherwise it stands as the target does.
  const Vector sourceUp = StandingUp(source, source.restGlobals);
  const Vector resultUp = options.value().align ? sourceUp : StandingUp(target, target.restGlobals);
  FootSliding unlocked;
  if (arguments.lockFeet) {
    if (!arguments.quiet) {
      Outcome<FootSliding> sliding = MeasureFootSliding(result.value(), target, resultUp);
      if (!sliding) return std::move(sliding).failure();
      unlocked = sliding.value();
    }
    RETARGET_TRY(LockFeet(result.value(), target, resultUp));
  }
  RETARGET_TRY(WriteBvhFile(result.value(), output));
  if (!arguments.svg.empty()) {
    const SheetFigure from{&source, &sourceClip, first, Mapped(source, run.Association()), FileName(sourceFile)};
    const SheetFigure onto{&target, &result.value(), 0, Mapped(target, run.Association()),
                           FileName(targetFile) + " (" + FileName(output) + ")",
                           options.value().align ? &source : nullptr};
    RETARGET_TRY(WriteContactSheet(from, onto, last - first, arguments.svg));
  }
  // The figures, for the summary and the report: bone directions against the
  // source's, foot sliding, and the way back onto the source.
  const bool figuresNeeded = !arguments.quiet || !arguments.report.empty();
  const BvhClip sourcePart = figuresNeeded ? Frames(sourceClip, first, last) : BvhClip{};
  Outcome<BoneDirectionFigures> quality = BoneDirectionFigures{};
  Outcome<FootSliding> sourceSliding = FootSliding{}, resultSliding = FootSliding{};
  if (figuresNeeded) {
    quality = CompareBoneDirections(sourcePart, source, 0, result.value(), target, run.SourceOfTarget());
    if (!quality) return std::move(quality).failure();
    sourceSliding = MeasureFootSliding(sourcePart, source, sourceUp);
    if (!sourceSliding) return std::move(sourceSliding).failure();
    resultSliding = MeasureFootSliding(result.value(), target, resultUp);
    if (!resultSliding) return std::move(resultSliding).failure();
  }
  std::optional<BoneDirectionFigures> roundTrip;
  if (arguments.roundTrip && figuresNeeded) {
    Outcome<std::unique_ptr<Retargeter>> back = Retargeter::Create(target, source, options.value());
    if (!back) return std::move(back).failure();
    Outcome<BvhClip> again = RetargetClip(*back.value(), result.value(), source, 0, result.value().FrameCount());
    if (!again) return std::move(again).failure();
    Outcome<std::vector<std::int64_t>> same = SameJoints(source);
    if (!same) return std::move(same).failure();
    Outcome<BoneDirectionFigures> figures = CompareBoneDirections(sourcePart, source, 0, again.value(), source, same.value());
    if (!figures) return std::move(figures).failure();
    roundTrip = std::move(figures).value();
  }

  std::optional<MatchReport> report;
  if (!arguments.report.empty()) {
    Outcome<MatchReport> built = BuildMatchReport(source, FileName(sourceFile), target, FileName(targetFile), run);
    if (!built) return std::move(built).failure();
    report = std::move(built).value();
    report->quality = quality.value();
    report->sourceFeet = sourceSliding.value();
    report->resultFeet = resultSliding.value();
    report->roundTrip = roundTrip;
    if (arguments.report != "-") RETARGET_TRY(WriteReport(*report, arguments.report));
  }
  if (arguments.quiet) {
    if (arguments.report == "-") RETARGET_TRY(WriteReport(*report, "-"));
    return {};
  }

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const AssociationStatistics& stats = run.Statistics();
  std::printf("source  %s: %lld joints, %lld frames at %s fps; preset %s puts %lld joints into body parts\n",
              FileName(sourceFile).c_str(), static_cast<long long>(source.JointCount()),
              static_cast<long long>(sourceClip.FrameCount()), Number(1.0 / sourceClip.frameTime).c_str(),
              PresetText(source).c_str(), static_cast<long long>(source.coveredJoints));
  std::printf("target  %s: %lld joints; preset %s puts %lld joints into body parts\n", FileName(targetFile).c_str(),
              static_cast<long long>(target.JointCount()), PresetText(target).c_str(),
              static_cast<long long>(target.coveredJoints));
  std::printf("paired  %lld of %lld body parts; %lld source and %lld target nodes in them, %lld node pairs\n",
              static_cast<long long>(stats.associatedBodyParts), static_cast<long long>(stats.visitedBodyParts),
              static_cast<long long>(stats.sourceNodes), static_cast<long long>(stats.targetNodes),
              static_cast<long long>(stats.associatedNodes));
  std::string translation = !options.value().rootTranslation ? "root not translated"
                                                              : "root translation scaled by " + Number(run.TranslationScale());
  if (options.value().rootTranslation && options.value().inPlace) translation += ", in place (height only)";
  std::printf("motion  %lld of %lld target joints driven; %s\n", static_cast<long long>(run.DrivenTargetJoints()),
              static_cast<long long>(target.JointCount()), translation.c_str());
  std::string chains;
  for (const Chain& chain : run.SpreadChains())
    chains += (chains.empty() ? "; chains spread: " : ", ") + chain.bodyPart + " (" +
              std::to_string(chain.source.size()) + " joints onto " + std::to_string(chain.target.size()) + ")";
  std::printf("rest    %s%s\n",
              options.value().align ? "aligned to the source's bone directions" : "not aligned (--no-align)",
              chains.c_str());
  if (quality.value().all.count > 0)
    std::printf("quality paired bones point %.2f degrees from the source's on average (95th percentile %.2f, "
                "largest %.2f)\n",
                quality.value().all.mean, quality.value().all.p95, quality.value().all.max);
  if (sourceSliding.value().measured && resultSliding.value().measured) {
    std::string locked = arguments.lockFeet ? " (" + Sliding(unlocked) + " before --lock-feet)" : "";
    std::printf("feet    sliding in contact, leg lengths per second: source %s; result %s%s\n",
                Sliding(sourceSliding.value()).c_str(), Sliding(resultSliding.value()).c_str(), locked.c_str());
  }
  if (roundTrip) {
    std::printf("round   trip back onto %s, bone directions against the clip's in degrees (mean / 95th percentile / "
                "largest): all %s\n",
                source.name.c_str(), Degrees(roundTrip->all).c_str());
    for (const auto& [part, figure] : roundTrip->bodyParts)
      std::printf("          %-14s %s\n", part.c_str(), Degrees(figure).c_str());
  }
  if (last > first)
    std::printf("wrote   %s: frames %lld to %lld (%lld) in %.2f s\n", output.c_str(), static_cast<long long>(first),
                static_cast<long long>(last - 1), static_cast<long long>(last - first), seconds);
  else
    std::printf("wrote   %s: the skeleton without frames (the source has none) in %.2f s\n", output.c_str(), seconds);
  if (!arguments.svg.empty()) std::printf("picture %s\n", arguments.svg.c_str());
  if (!arguments.saveRig.empty()) std::printf("rig     %s\n", arguments.saveRig.c_str());
  if (arguments.report == "-") {
    std::printf("\n");
    std::fflush(stdout);
    RETARGET_TRY(WriteReport(*report, "-"));
  } else if (!arguments.report.empty()) {
    std::printf("report  %s\n", arguments.report.c_str());
  }
  return {};
}

Outcome<std::vector<Preset>> Shipped() {
  Outcome<std::vector<Preset>> presets = ReadPresetFolder(ShippedPresetFolder());
  if (presets && presets.value().empty())
    return MakeFailure(FailureKind::Internal, "no presets found", ShippedPresetFolder());
  return presets;
}

// The target rig: read from a rig file (.json), or built from a BVH file's
// skeleton with a preset.
Outcome<Rig> TargetRig(const Arguments& arguments, const std::optional<Preset>& preset,
                       const std::vector<Preset>& shipped) {
  if (IsRigFile(arguments.target)) {
    if (preset) return Usage("--preset does not apply to a rig file: its body parts are kept as they are");
    return ReadRigFile(arguments.target);
  }
  Outcome<BvhClip> target = ReadBvhFile(arguments.target);
  if (!target) return std::move(target).failure();
  return MakeRig(Stem(arguments.target), target.value().skeleton, preset, shipped);
}

// A source rig from a rig file; its joints must be those of the clip.
Outcome<Rig> ReadSourceRig(const Arguments& arguments, const BvhSkeleton& clip) {
  if (!arguments.sourcePreset.empty())
    return Usage("--source-preset does not apply to a rig file: its body parts are kept as they are");
  if (!IsRigFile(arguments.sourceRig)) return Usage("--source-rig takes a rig file (.json) written by --save-rig");
  Outcome<Rig> rig = ReadRigFile(arguments.sourceRig);
  if (!rig) return rig;
  const std::vector<BvhJoint>& a = rig.value().skeleton.joints;
  bool same = a.size() == clip.joints.size();
  for (std::size_t j = 0; same && j < a.size(); ++j)
    same = a[j].name == clip.joints[j].name && a[j].parent == clip.joints[j].parent &&
           a[j].channels == clip.joints[j].channels;
  if (!same)
    return MakeFailure(FailureKind::BadInput,
                       "the rig's joints are not those of " + FileName(arguments.source) +
                           " (names, parents and channels must match)",
                       arguments.sourceRig);
  return rig;
}

// Only --save-rig: builds or reads the target rig and writes it.
Outcome<void> RunSaveRig(const Arguments& arguments) {
  if (arguments.target.empty()) return Usage("--target TARGET.bvh is needed: the rig to save");
  if (!arguments.output.empty() || !arguments.frames.empty() || !arguments.sourcePreset.empty() ||
      !arguments.sourceRig.empty())
    return Usage("SOURCE.bvh is missing: give SOURCE.bvh --target TARGET.bvh -o OUT.bvh, or --target TARGET.bvh "
                 "--save-rig RIG.json alone");
  Outcome<std::vector<Preset>> shipped = Shipped();
  if (!shipped) return std::move(shipped).failure();
  Outcome<std::optional<Preset>> preset = PresetArgument(arguments.preset, shipped.value());
  if (!preset) return std::move(preset).failure();
  Outcome<Rig> rig = TargetRig(arguments, preset.value(), shipped.value());
  if (!rig) return std::move(rig).failure();
  WarnAbout("target", rig.value(), "--preset");
  RETARGET_TRY(WriteRigFile(rig.value(), arguments.saveRig));
  if (!arguments.quiet)
    std::printf("saved   %s: %lld joints; preset %s puts %lld joints into body parts\n", arguments.saveRig.c_str(),
                static_cast<long long>(rig.value().JointCount()), rig.value().presetName.c_str(),
                static_cast<long long>(rig.value().coveredJoints));
  return {};
}

Outcome<void> RunFiles(const Arguments& arguments) {
  const auto start = std::chrono::steady_clock::now();
  if (arguments.target.empty()) return Usage("--target TARGET.bvh is needed: the rig that receives the motion");
  if (arguments.output.empty()) return Usage("-o OUT.bvh is needed: the file to write");
  RETARGET_TRY(ParseOptions(arguments));
  // A folder that is not there is found now, not after the work.
  std::error_code error;
  std::filesystem::path folder = std::filesystem::path(arguments.output).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, error))
    return MakeFailure(FailureKind::Io, "cannot create the file: there is no folder " + folder.string(),
                       arguments.output);
  Outcome<std::vector<Preset>> shipped = Shipped();
  if (!shipped) return std::move(shipped).failure();
  Outcome<std::optional<Preset>> sourcePreset = PresetArgument(arguments.sourcePreset, shipped.value());
  if (!sourcePreset) return std::move(sourcePreset).failure();
  Outcome<std::optional<Preset>> targetPreset = PresetArgument(arguments.preset, shipped.value());
  if (!targetPreset) return std::move(targetPreset).failure();

  Outcome<BvhClip> source = ReadBvhFile(arguments.source);
  if (!source) return std::move(source).failure();
  std::int64_t first = 0, last = 0;
  RETARGET_TRY(ParseFrames(arguments.frames, source.value().FrameCount(), first, last));
  Outcome<Rig> sourceRig = arguments.sourceRig.empty()
      ? MakeRig(Stem(arguments.source), source.value().skeleton, sourcePreset.value(), shipped.value())
      : ReadSourceRig(arguments, source.value().skeleton);
  if (!sourceRig) return std::move(sourceRig).failure();
  Outcome<Rig> targetRig = TargetRig(arguments, targetPreset.value(), shipped.value());
  if (!targetRig) return std::move(targetRig).failure();
  if (!arguments.saveRig.empty()) RETARGET_TRY(WriteRigFile(targetRig.value(), arguments.saveRig));
  return Retarget(source.value(), arguments.source, sourceRig.value(), arguments.target, targetRig.value(),
                  arguments.output, arguments, start);
}

// --batch: every clip of a folder onto the target; one line per clip and a
// total. Returns the exit status: 0, or that of the worst failed clip.
Outcome<int> RunBatchFolder(const Arguments& arguments) {
  const auto start = std::chrono::steady_clock::now();
  if (!arguments.source.empty()) return Usage("give SOURCE.bvh or --batch FOLDER, not both");
  if (arguments.target.empty()) return Usage("--target TARGET.bvh is needed: the rig that receives the motion");
  if (arguments.output.empty()) return Usage("-o OUTFOLDER is needed with --batch: the folder to write the clips into");
  if (!arguments.report.empty() || !arguments.svg.empty() || !arguments.frames.empty())
    return Usage("--report, --svg and --frames are for one clip; leave them out with --batch");
  Outcome<RetargetOptions> options = ParseOptions(arguments);
  if (!options) return std::move(options).failure();
  std::error_code error;
  if (!std::filesystem::is_directory(arguments.batch, error))
    return MakeFailure(FailureKind::Io, "there is no such folder", arguments.batch);
  // The output folder is made when it is missing, as a single output file would be.
  if (!std::filesystem::is_directory(arguments.output, error) &&
      (std::filesystem::create_directories(arguments.output, error), !std::filesystem::is_directory(arguments.output, error)))
    return MakeFailure(FailureKind::Io, "cannot make the folder to write the clips into", arguments.output);
  if (std::filesystem::equivalent(arguments.batch, arguments.output, error))
    return Usage("-o " + arguments.output + " is the folder of the clips; the results would overwrite them");

  Outcome<std::vector<Preset>> shipped = Shipped();
  if (!shipped) return std::move(shipped).failure();
  Outcome<std::optional<Preset>> sourcePreset = PresetArgument(arguments.sourcePreset, shipped.value());
  if (!sourcePreset) return std::move(sourcePreset).failure();
  Outcome<std::optional<Preset>> targetPreset = PresetArgument(arguments.preset, shipped.value());
  if (!targetPreset) return std::move(targetPreset).failure();
  Outcome<Rig> target = TargetRig(arguments, targetPreset.value(), shipped.value());
  if (!target) return std::move(target).failure();
  WarnAbout("target", target.value(), "--preset");
  if (!arguments.quiet)
    std::printf("target  %s: %lld joints; preset %s puts %lld joints into body parts\n", FileName(arguments.target).c_str(),
                static_cast<long long>(target.value().JointCount()), PresetText(target.value()).c_str(),
                static_cast<long long>(target.value().coveredJoints));
  Outcome<std::vector<std::string>> inputs = ListBvhFiles(arguments.batch);
  if (!inputs) return std::move(inputs).failure();
  if (inputs.value().empty()) return MakeFailure(FailureKind::BadInput, "no .bvh files in the folder", arguments.batch);

  BatchJob job;
  job.inputs = std::move(inputs).value();
  job.outputFolder = arguments.output;
  job.target = &target.value();
  job.sourcePreset = sourcePreset.value();
  job.presets = &shipped.value();
  job.options = options.value();
  job.workers = arguments.jobs ? arguments.jobs : std::max(1u, std::thread::hardware_concurrency());
  job.workers = std::min<unsigned>(job.workers, unsigned(job.inputs.size()));
  int status = 0;
  std::int64_t frames = 0, written = 0;
  {
    Progress progress(!arguments.quiet, std::int64_t(job.inputs.size()), "clip");
    // What the run prints as each clip is done.
    auto reportClip = [&](const BatchClip& clip) {
      progress.ClipDone();
      progress.Clear();
      if (clip.failure) {
        Failure failure = *clip.failure;
        if (failure.file.empty()) failure.file = clip.input;
        status = std::max(status, Report(failure));
        return;
      }
      ++written;
      frames += clip.frames;
      if (clip.presetTie)
        Warn(FileName(clip.input) + ": presets tie for its rig; took " + clip.preset + " (choose one with --source-preset)");
      if (!clip.emptyRequired.empty())
        Warn(FileName(clip.input) + ": preset " + clip.preset + " finds no joints for " + Join(clip.emptyRequired) +
             "; their motion is left out");
      if (!arguments.quiet)
        std::printf("ok      %s: %lld frames, preset %s, %.2f s -> %s\n", FileName(clip.input).c_str(),
                    static_cast<long long>(clip.frames), clip.preset.c_str(), clip.seconds, clip.output.c_str());
    };
    Outcome<std::vector<BatchClip>> ran = RunBatch(
        job,
        [&](const BatchClip& clip) {
          // Called on a worker thread: nothing may escape it.
          try {
            reportClip(clip);
          } catch (const std::bad_alloc&) {
            status = std::max(status, ReportOutOfMemory());
          }
        },
        [&] { progress.Frame(); });
    if (!ran) return std::move(ran).failure();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!arguments.quiet)
    std::printf("total   %lld of %zu clips written to %s, %zu failed; %lld frames in %.2f s with %u workers\n",
                static_cast<long long>(written), job.inputs.size(), arguments.output.c_str(),
                job.inputs.size() - std::size_t(written), static_cast<long long>(frames), seconds, job.workers);
  return status;
}

Outcome<void> RunSample(const Arguments& arguments, const char* program) {
  const auto start = std::chrono::steady_clock::now();
  if (!arguments.target.empty() || !arguments.output.empty() || !arguments.frames.empty() ||
      !arguments.preset.empty() || !arguments.sourcePreset.empty() || !arguments.report.empty() ||
      !arguments.svg.empty() || !arguments.sourceRig.empty())
    return Usage("SOURCE.bvh is missing: give SOURCE.bvh --target TARGET.bvh -o OUT.bvh, or no arguments for the "
                 "built-in sample");
  std::error_code error;
  std::string folder = (std::filesystem::temp_directory_path(error) / "norvo-retarget-sample-XXXXXX").string();
  if (error || !mkdtemp(folder.data()))
    return MakeFailure(FailureKind::Io, "cannot make a folder for the sample", folder);
  const std::string sourceFile = folder + "/walk.bvh";
  const std::string targetFile = folder + "/other_rig.bvh";
  const std::string output = folder + "/walk_on_other_rig.bvh";

  Outcome<BvhClip> sampleWalk = SampleWalk();
  if (!sampleWalk) return std::move(sampleWalk).failure();
  Outcome<BvhSkeleton> otherSkeleton = SampleTargetSkeleton();
  if (!otherSkeleton) return std::move(otherSkeleton).failure();
  Outcome<BvhClip> otherRest = RestClip(otherSkeleton.value());
  if (!otherRest) return std::move(otherRest).failure();
  const BvhClip& walk = sampleWalk.value();
  const BvhClip& other = otherRest.value();
  RETARGET_TRY(WriteBvhFile(walk, sourceFile));
  RETARGET_TRY(WriteBvhFile(other, targetFile));
  Outcome<std::vector<Preset>> shipped = Shipped();
  if (!shipped) return std::move(shipped).failure();
  Outcome<Rig> sourceRig = BuildRigWithBestPreset("walk", walk.skeleton, shipped.value());
  if (!sourceRig) return std::move(sourceRig).failure();
  Outcome<Rig> targetRig = BuildRigWithBestPreset("other_rig", other.skeleton, shipped.value());
  if (!targetRig) return std::move(targetRig).failure();

  if (!arguments.quiet)
    std::printf("The built-in sample: a generated walk on a %lld-joint rig, carried onto a second rig with other\n"
                "proportions, other joint names and two more spine joints. The files are in %s:\n"
                "  walk.bvh               the walk (%lld frames)\n"
                "  other_rig.bvh          the second rig, at rest\n"
                "  walk_on_other_rig.bvh  the walk on the second rig\n\n",
                static_cast<long long>(walk.skeleton.joints.size()), folder.c_str(),
                static_cast<long long>(walk.FrameCount()));
  RETARGET_TRY(Retarget(walk, sourceFile, sourceRig.value(), targetFile, targetRig.value(), output, arguments, start));
  if (!arguments.quiet)
    std::printf("\nThe same on your own files: %s SOURCE.bvh --target TARGET.bvh -o OUT.bvh (see --help)\n", program);
  return {};
}

std::string Footer() {
  std::string footer =
      "Without SOURCE the tool runs its built-in sample and says where it wrote the files.\n"
      "Exit codes: 0 done, 1 wrong arguments, 2 a file that cannot be read or written or is malformed, "
      "3 an internal failure.\n";
  Outcome<std::vector<Preset>> shipped = ReadPresetFolder(ShippedPresetFolder());
  if (shipped) {
    footer += std::string("Shipped presets (") + ShippedPresetFolder() + "):\n";
    for (const Preset& preset : shipped.value()) footer += "  " + preset.name + ": " + preset.description + "\n";
  }
  return footer;
}

// The command line; main adds what holds for every way out.
int Run(int argc, char** argv) {
  Arguments arguments;
  CLI::App app{std::string("Carries the motion of a BVH clip onto the skeleton of another BVH file:\n  ") + kTool +
                   " SOURCE.bvh --target TARGET.bvh -o OUT.bvh [OPTIONS]\n  " + kTool +
                   " --batch FOLDER --target TARGET.bvh -o OUTFOLDER [OPTIONS]\n",
               kTool};
  app.add_option("SOURCE", arguments.source, "the BVH clip whose motion is carried over");
  app.add_option("-t,--target", arguments.target,
                 "the BVH file whose skeleton receives the motion (its frames are not read), or a rig file (.json) "
                 "written by --save-rig");
  app.add_option("-o,--output", arguments.output,
                 "the BVH file to write: the target's skeleton with the motion (with --batch: the folder)");
  app.add_option("--preset", arguments.preset,
                 "body-part preset of the target: a shipped preset's name or a JSON file (default: auto, the shipped "
                 "preset that explains the rig best)");
  app.add_option("--source-preset", arguments.sourcePreset, "the same for the source");
  app.add_option("--frames", arguments.frames, "A:B retargets frames A up to but not including B, counted from 0 (A: or :B leave an end open)");
  app.add_option("--translation-scale", arguments.translationScale,
                 "auto, none or a number: the factor on the root's displacement; auto is the target's hip height "
                 "over the source's")
      ->default_str("auto");
  app.add_flag("--no-root-translation", arguments.noRootTranslation, "keep the root in place; only rotations are carried over");
  app.add_option("--save-rig", arguments.saveRig,
                 "write the target rig (skeleton, filled body parts, rest pose) to a JSON rig file, which --target "
                 "and --source-rig accept in place of a BVH file; without SOURCE only the rig is written");
  app.add_option("--source-rig", arguments.sourceRig,
                 "a rig file (.json, from --save-rig) for the source instead of SOURCE's skeleton and a preset; "
                 "SOURCE must have the same joints");
  app.add_flag("--no-align", arguments.noAlign,
               "apply the joints' turns on the target's own rest pose instead of one aligned to the source's bone "
               "directions, and spread no chains: the plain solver result");
  app.add_option("--spread-chains", arguments.spreadChains,
                 "PARTS: body parts (comma-separated) whose chains are spread over the target's when their joint "
                 "counts differ, or none (default: Spine,Neck; none with --no-align)");
  app.add_flag("--round-trip", arguments.roundTrip,
               "retarget the result back onto the source and print how far its bone directions are from the clip's, "
               "per body part");
  app.add_flag("--lock-feet", arguments.lockFeet,
               "plant the target's feet while they are in contact (a two-bone leg solve)");
  app.add_flag("--in-place", arguments.inPlace,
               "remove the root's travel across the target's up axis, keep its height (for loops)");
  app.add_option("--report", arguments.report,
                 "FILE.json: the match report (body parts, the keyword that took each joint, pairs, what stayed "
                 "unpaired); - prints it as text");
  app.add_option("--svg", arguments.svg,
                 "FILE.svg: stick figures of the source and the result side by side, front and side view, "
                 "six frames over the clip");
  app.add_option("--batch", arguments.batch,
                 "FOLDER: retarget every .bvh file of FOLDER onto the target; -o names the folder for the results");
  app.add_option("-j,--jobs", arguments.jobs, "worker threads for --batch (default: one per core)");
  app.add_flag("-q,--quiet", arguments.quiet, "print nothing but warnings and errors (and --report -)");
  app.footer(Footer());

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s: error: %s (see --help)\n", kTool, error.what());
    return 1;
  }

  Outcome<Module> module = LoadRetargetModule();
  if (!module) return Report(module.failure());
  if (!arguments.batch.empty()) {
    Outcome<int> done = RunBatchFolder(arguments);
    return done ? done.value() : Report(done.failure());
  }
  Outcome<void> done = !arguments.source.empty()  ? RunFiles(arguments)
                       : !arguments.saveRig.empty() ? RunSaveRig(arguments)
                                                    : RunSample(arguments, argv[0]);
  return done ? 0 : Report(done.failure());
}

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  try {
    status = Run(argc, argv);
  } catch (const std::bad_alloc&) {  // the command line's own texts
    status = ReportOutOfMemory();
  }
  ShutdownFramework();
  return status;
}
