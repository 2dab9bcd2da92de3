#include "summary.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "options.h"

namespace norvo::retarget::cli {

namespace {

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

std::string Degrees(const AngleFigure& figure) {
  char text[96];
  std::snprintf(text, sizeof text, "%.2f / %.2f / %.2f", figure.mean, figure.p95, figure.max);
  return text;
}

// A figure printed to three decimals: one that rounds to zero prints as
// 0.000, never -0.000.
double ThreeDecimals(double value) { return std::abs(value) < 0.0005 ? 0.0 : value; }

// "   round trip all 0.84 / 3.40 / 13.48" on a batch line, when taken.
std::string RoundTripText(const ClipResult& result) {
  return result.roundTrip ? ", round trip " + Degrees(result.roundTrip->all) : "";
}

}  // namespace

int ReportFailure(const Failure& failure) {
  std::fprintf(stderr, "%s: error: %s\n", kTool, Printable(failure.Text()).c_str());
  return ExitCode(failure.kind);
}

int ReportOutOfMemory() noexcept {
  std::fputs("norvo-retarget: error: out of memory\n", stderr);
  return ExitCode(FailureKind::OutOfMemory);
}

void Warn(const std::string& message) { std::fprintf(stderr, "%s: warning: %s\n", kTool, Printable(message).c_str()); }

std::string PresetText(const Rig& rig) {
  const PresetChoice& choice = rig.preset;
  if (choice.candidates.size() < 2) return choice.name;
  const PresetChoice::Candidate* next = nullptr;
  for (const PresetChoice::Candidate& candidate : choice.candidates)
    if (candidate.preset != choice.name && (!next || candidate.score > next->score)) next = &candidate;
  return choice.name + " (score " + std::to_string(choice.score) + "; next " + next->preset + ", " +
         std::to_string(next->score) + ")";
}

namespace {

// The source and target lines, and how their body parts pair.
void PrintRigs(const ClipResult& result, const ClipRequest& request) {
  const Rig& source = *result.source;
  const Rig& target = *result.target;
  const AssociationStatistics& stats = result.statistics;
  std::printf("source  %s: %lld joints, %lld frames at %s fps; preset %s puts %lld joints into body parts\n",
              Printable(FileName(request.source)).c_str(), static_cast<long long>(source.JointCount()),
              static_cast<long long>(result.sourceFrames), Number(1.0 / result.frameTime).c_str(),
              Printable(PresetText(source)).c_str(), static_cast<long long>(source.parts.covered));
  std::string others;
  for (const std::string& name : result.otherAnimations) others += (others.empty() ? "" : ", ") + name;
  if (!others.empty())
    std::printf("        animation %s; the file has also %s (choose with --animation)\n",
                Printable(result.animation).c_str(), Printable(others).c_str());
  if (!result.sourceNote.empty()) std::printf("        %s\n", Printable(result.sourceNote).c_str());
  std::printf("target  %s: %lld joints; preset %s puts %lld joints into body parts\n",
              Printable(FileName(request.target)).c_str(), static_cast<long long>(target.JointCount()),
              Printable(PresetText(target)).c_str(), static_cast<long long>(target.parts.covered));
  std::printf("paired  %lld of %lld body parts; %lld source and %lld target nodes in them, %lld node pairs\n",
              static_cast<long long>(stats.associatedBodyParts), static_cast<long long>(stats.visitedBodyParts),
              static_cast<long long>(stats.sourceNodes), static_cast<long long>(stats.targetNodes),
              static_cast<long long>(stats.associatedNodes));
}

// What the solve moves: the root, the chains, the rest, and the quality.
void PrintSolve(const ClipResult& result, const ClipRequest& request) {
  const Rig& target = *result.target;
  const RetargetOptions& options = request.retarget;
  std::string translation = !options.rootTranslation ? "root not translated"
                                                     : "root translation scaled by " + Number(result.translationScale);
  if (options.rootTranslation && options.inPlace) translation += ", in place (height only)";
  if (request.root.motion == RootMotion::Extract)
    translation += result.rootAdded ? "; the travel on a root joint added at the floor"
                                    : "; the travel on the rig's root";
  if (request.root.lockAxis >= 0) translation += std::string("; hips still along ") + char('X' + request.root.lockAxis);
  std::printf("motion  %lld of %lld target joints driven; %s\n", static_cast<long long>(result.drivenTargetJoints),
              static_cast<long long>(target.JointCount()), translation.c_str());
  std::string chains;
  for (const Chain& chain : result.spreadChains)
    chains += (chains.empty() ? "; chains spread: " : ", ") + chain.bodyPart + " (" +
              std::to_string(chain.source.size()) + (chain.source.size() == 1 ? " joint onto " : " joints onto ") +
              std::to_string(chain.target.size()) + ")";
  std::printf("rest    %s%s\n", options.align ? "aligned to the source's bone directions" : "not aligned (--no-align)",
              chains.c_str());
  if (result.quality && result.quality->all.count > 0) {
    std::string unmeasured;
    for (const SegmentFigure& segment : result.quality->segments)
      if (!segment.measured && segment.counted)
        unmeasured += (unmeasured.empty() ? "; not measured: " : ", ") + segment.name;
    std::printf("quality body segments point %.2f degrees from the source's on average (95th percentile %.2f)%s\n",
                result.quality->all.mean, result.quality->all.p95, unmeasured.c_str());
  }
}

// The feet and floor figures, what could not be measured, the round trip.
void PrintFigures(const ClipResult& result) {
  const Rig& source = *result.source;
  // The feet over the source's contacts.
  if (result.sourceFeet && result.resultFeet && result.sourceFeet->measured && result.resultFeet->measured) {
    const FeetFigures& s = *result.sourceFeet;
    const FeetFigures& r = *result.resultFeet;
    char locked[96] = "";
    if (result.unlockedFeet)
      std::snprintf(locked, sizeof locked, " (%.3f / %.3f before --lock-feet)",
                    ThreeDecimals(result.unlockedFeet->sliding[0]), ThreeDecimals(result.unlockedFeet->sliding[1]));
    std::printf("feet    %zu and %zu contacts (left, right); in leg lengths, left / right: sliding per second source "
                "%.3f / %.3f, result %.3f / %.3f%s; deepest below the floor source %.3f / %.3f, result %.3f / %.3f; "
                "planted foot highest above it source %.3f / %.3f, result %.3f / %.3f\n",
                result.contacts->feet[0].size(), result.contacts->feet[1].size(), ThreeDecimals(s.sliding[0]),
                ThreeDecimals(s.sliding[1]), ThreeDecimals(r.sliding[0]), ThreeDecimals(r.sliding[1]), locked,
                ThreeDecimals(s.deepest[0]), ThreeDecimals(s.deepest[1]), ThreeDecimals(r.deepest[0]),
                ThreeDecimals(r.deepest[1]), ThreeDecimals(s.planted[0]), ThreeDecimals(s.planted[1]),
                ThreeDecimals(r.planted[0]), ThreeDecimals(r.planted[1]));
  }
  for (const std::string& line : result.unmeasured) std::printf("%s\n", Printable(line).c_str());
  if (result.roundTrip) {
    std::printf("round   trip back onto %s, body segments against the clip's in degrees (mean / 95th percentile / "
                "largest): all %s\n",
                Printable(source.name).c_str(), Degrees(result.roundTrip->all).c_str());
    for (const SegmentFigure& segment : result.roundTrip->segments)
      if (segment.measured)
        std::printf("          %-15s %.2f / %.2f%s\n", segment.name.c_str(), segment.figure.mean, segment.figure.max,
                    segment.counted ? "" : " (not counted)");
  }
}

// The files written.
void PrintWritten(const ClipResult& result, const ClipRequest& request) {
  const std::string& output = request.outputs.motion;
  if (result.last > result.first)
    std::printf("wrote   %s: frames %lld to %lld (%lld) in %.2f s\n", Printable(output).c_str(),
                static_cast<long long>(result.first), static_cast<long long>(result.last - 1),
                static_cast<long long>(result.last - result.first), result.seconds);
  else
    std::printf("wrote   %s: the skeleton without frames (the source has none) in %.2f s\n", Printable(output).c_str(),
                result.seconds);
  if (!request.outputs.svg.empty()) std::printf("picture %s\n", Printable(request.outputs.svg).c_str());
  if (!request.outputs.page.empty()) {
    const ClipResult::PageWritten& page = result.page;
    const std::string kind = page.threeD ? "3D" : "2D: " + page.why;
    char size[32];
    if (page.bytes >= 1000000) std::snprintf(size, sizeof size, "%.1f MB", double(page.bytes) / 1e6);
    else std::snprintf(size, sizeof size, "%.0f kB", double(page.bytes) / 1e3);
    std::printf("page    %s (%s, %s)\n", Printable(request.outputs.page).c_str(), kind.c_str(), size);
  }
  if (!request.outputs.rig.empty()) std::printf("rig     %s\n", Printable(request.outputs.rig).c_str());
  if (!request.outputs.report.empty() && request.outputs.report != "-")
    std::printf("report  %s\n", Printable(request.outputs.report).c_str());
}

}  // namespace

void PrintClip(const ClipResult& result, const ClipRequest& request) {
  PrintRigs(result, request);
  PrintSolve(result, request);
  PrintFigures(result);
  PrintWritten(result, request);
}

void PrintBatchClip(const BatchClip& clip) {
  const ClipResult& result = *clip.result;
  std::string also;
  for (const std::string* path : {&clip.outputs.report, &clip.outputs.svg, &clip.outputs.rig, &clip.outputs.page})
    if (!path->empty()) also += ", " + Printable(*path);
  std::printf("ok      %s: %lld frames, preset %s%s, %.2f s -> %s%s\n", Printable(FileName(clip.input)).c_str(),
              static_cast<long long>(result.last - result.first), Printable(result.source->preset.name).c_str(),
              RoundTripText(result).c_str(), result.seconds, Printable(clip.outputs.motion).c_str(), also.c_str());
}

Progress::Progress(bool show, std::int64_t total, std::string what)
    : show_(show && isatty(STDERR_FILENO)), total_(total), what_(std::move(what)) {}

Progress::~Progress() {
  if (shown_) std::fprintf(stderr, "\r%60s\r", "");
}

void Progress::Frame() { Show(++frames_); }

void Progress::Frame(std::int64_t done, std::int64_t total) {
  frames_ = done;
  total_ = total;
  Show(done);
}

void Progress::Show(std::int64_t done) {
  if (!show_) return;
  // A worker that finds another one printing goes on with its work.
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock) return;
  const auto now = std::chrono::steady_clock::now();
  // The rate counts from the first frame, not from the reading before it.
  if (done == 1) start_ = last_ = now;
  if (now - last_ < std::chrono::milliseconds(200)) return;
  last_ = now;
  shown_ = visible_ = true;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::fprintf(stderr, "\rretargeting: %s %lld of %lld, %.0f frames/s   ", what_.c_str(),
               static_cast<long long>(what_ == "frame" ? done : clips_.load()), static_cast<long long>(total_),
               seconds > 0 ? double(done) / seconds : 0.0);
}

void Progress::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (visible_) std::fprintf(stderr, "\r%60s\r", "");
  visible_ = false;
}

}  // namespace norvo::retarget::cli
