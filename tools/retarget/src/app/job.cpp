#include "norvo/retarget/app/job.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>
#include <thread>

#include "../parallel.h"
#include "norvo/retarget/analysis/page.h"
#include "norvo/retarget/analysis/svg.h"
#include "norvo/retarget/app/arguments.h"
#include "norvo/retarget/app/frames.h"
#include "norvo/retarget/base/textfile.h"
#include "norvo/retarget/io/formats.h"

namespace norvo::retarget {

namespace {

// A result of this many matrices and more has its figures taken on a second
// thread while it is written.
constexpr std::int64_t kFiguresAside = 100000;

// "+Y" for an axis within a few degrees of one, else its three numbers.
std::string AxisText(const Vector& axis) {
  const double values[3] = {axis.x, axis.y, axis.z};
  for (int i = 0; i < 3; ++i)
    if (std::abs(values[i]) > 0.99) return std::string(values[i] > 0 ? "+" : "-") + "XYZ"[i];
  char text[64];
  std::snprintf(text, sizeof text, "(%.2f, %.2f, %.2f)", axis.x, axis.y, axis.z);
  return text;
}

// Per joint of a rig: has it a partner in the association?
std::vector<bool> PartneredJoints(const Rig& rig, const CharacterAssociation& association) {
  std::vector<bool> mapped(std::size_t(rig.JointCount()));
  for (std::int64_t j = 0; j < rig.JointCount(); ++j)
    mapped[std::size_t(j)] = association.GetAssociatedUuid(rig.JointUuid(j)).has_value();
  return mapped;
}

// A folder that is not there, or an output that is there but is no regular
// file or character device (a folder, a FIFO), is found before the work, not
// after it.
Outcome<void> CheckFolders(const ClipOutputs& outputs) {
  for (const std::string* path : {&outputs.motion, &outputs.report, &outputs.svg, &outputs.rig, &outputs.page}) {
    if (path->empty() || *path == "-") continue;
    RETARGET_TRY(CheckWritable(*path));
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::path(*path).parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, error))
      return MakeFailure(FailureKind::Io, "cannot create the file: there is no folder " + folder.string(), *path);
  }
  return {};
}

// No output may be an input or another output.
Outcome<void> CheckApart(const ClipRequest& request) {
  const NamedFile inputs[] = {{"SOURCE", request.sourceMotion ? std::string() : request.source},
                              {"--target", request.targetRig ? std::string() : request.target},
                              {"--source-rig", request.sourceRig}};
  const ClipOutputs& out = request.outputs;
  const NamedFile outputs[] = {
      {"-o", out.motion}, {"--report", out.report}, {"--svg", out.svg}, {"--save-rig", out.rig}, {"--html", out.page}};
  return CheckOutputsApart(inputs, outputs);
}

// A failure about a file names it.
Failure NamingFile(Failure failure, const std::string& path) {
  if (failure.file.empty()) failure.file = path;
  return failure;
}

// Whether a figure is a number throughout.
bool Finite(const AngleFigure& figure) { return std::isfinite(figure.mean + figure.p95 + figure.max); }
bool Finite(const SegmentFigures& figures) {
  bool finite = Finite(figures.all);
  for (const SegmentFigure& segment : figures.segments) finite = finite && Finite(segment.figure);
  return finite;
}
bool Finite(const FeetFigures& feet) {
  double sum = 0.0;
  for (int side = 0; side < 2; ++side) sum += feet.sliding[side] + feet.deepest[side] + feet.planted[side];
  return std::isfinite(sum);
}

// The clip's own motion, read unless the caller has it, and the rig of its
// file's humanoid table when it has one.
Outcome<std::shared_ptr<const Motion>> SourceMotion(const ClipRequest& request, std::optional<Rig>& humanoid,
                                                    ClipResult& result) {
  if (request.sourceMotion) return std::shared_ptr<const Motion>(std::shared_ptr<const Motion>(), request.sourceMotion);
  RETARGET_ASSIGN(Asset asset, ReadAsset(request.source, request.read));
  if (asset.rig && !asset.humanoid)
    return MakeFailure(FailureKind::BadInput,
                       "a rig file holds no motion: give a motion file as the source (a rig "
                       "file for it goes with --source-rig)",
                       request.source);
  if (!asset.animated && !asset.animation.empty())
    return MakeFailure(FailureKind::BadInput,
                       "its animation " + asset.animation +
                           " moves no joint: give a file with an animation as the source",
                       request.source);
  if (!asset.animated)
    return MakeFailure(FailureKind::BadInput,
                       "the file holds a model and no animation: give a file with an animation as the source (a "
                       "model can be the target)",
                       request.source);
  if (asset.humanoid) humanoid = std::move(asset.rig);
  result.animation = std::move(asset.animation);
  result.otherAnimations = std::move(asset.otherAnimations);
  result.sourceNote = std::move(asset.note);
  for (std::string& warning : asset.warnings) {
    if (request.warn) request.warn(warning);
    result.warnings.push_back(std::move(warning));
  }
  return std::make_shared<const Motion>(std::move(asset.motion));
}

// A source rig from a rig file; its joints must be those of the clip.
Outcome<Rig> SourceRigFromFile(const ClipRequest& request, const Skeleton& clip) {
  if (request.sourcePreset)
    return Usage("--source-preset does not apply to a rig file: its body parts are kept as they are");
  RETARGET_ASSIGN(Asset asset, ReadAsset(request.sourceRig));
  if (!asset.rig) return Usage("--source-rig takes a rig file (.json) written by --save-rig");
  const std::vector<Joint>& a = asset.rig->skeleton.joints;
  bool same = a.size() == clip.joints.size();
  for (std::size_t j = 0; same && j < a.size(); ++j)
    same = a[j].name == clip.joints[j].name && a[j].parent == clip.joints[j].parent &&
           a[j].format.channels == clip.joints[j].format.channels;
  if (!same)
    return MakeFailure(FailureKind::BadInput,
                       "the rig's joints are not those of " + FileName(request.source) +
                           " (names, parents and channels must match)",
                       request.sourceRig);
  return std::move(*asset.rig);
}

class Job {
 public:
  explicit Job(const ClipRequest& request) : request_(request) {}

  Outcome<ClipResult> Run() {
    const auto start = std::chrono::steady_clock::now();
    // The lock and the planting would each move the feet their own way.
    if (request_.feet.lock && request_.feet.plant)
      return Usage("--lock-feet and the planting that is on by default both move the feet during the source's "
                   "contacts; give --no-contacts with --lock-feet");
    RETARGET_TRY(CheckApart(request_));
    RETARGET_TRY(CheckFolders(request_.outputs));
    if (!request_.outputs.motion.empty()) RETARGET_TRY(CheckMotionOutput(request_.outputs.motion));
    if (!request_.outputs.rig.empty()) RETARGET_TRY(CheckRigOutput(request_.outputs.rig));
    RETARGET_ASSIGN(source_, SourceMotion(request_, humanoid_, result_));
    RETARGET_TRY(ParseFrames(request_.frames, source_->FrameCount(), result_.first, result_.last));
    RETARGET_TRY(MakeRigs());
    RETARGET_TRY(Retarget());
    result_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return std::move(result_);
  }

 private:
  void Warn(std::string message) {
    if (request_.warn) request_.warn(message);
    result_.warnings.push_back(std::move(message));
  }
  void Warn(const std::vector<std::string>& messages) {
    for (const std::string& message : messages) Warn(message);
  }

  Outcome<void> MakeRigs() {
    static const std::vector<Preset> kNone;
    const std::vector<Preset>& presets = request_.presets ? *request_.presets : kNone;
    if (request_.sourceRig.empty() && humanoid_ && !request_.sourcePreset) {
      result_.source = std::make_shared<const Rig>(std::move(*humanoid_));
    } else if (request_.sourceRig.empty()) {
      RETARGET_ASSIGN(result_.source,
                      MakeRigOfFile(request_.source, source_->skeleton, request_.sourcePreset, presets));
    } else {
      RETARGET_ASSIGN(Rig rig, SourceRigFromFile(request_, source_->skeleton));
      result_.source = std::make_shared<const Rig>(std::move(rig));
    }
    if (request_.targetRig) {
      result_.target = request_.targetRig;
    } else {
      ReadOptions read;
      read.skin = request_.read.skin;
      RETARGET_ASSIGN(result_.target, LoadRig(request_.target, request_.targetPreset, presets, read));
    }
    result_.sourceFrames = source_->FrameCount();
    result_.frameTime = source_->frameTime;
    // On an aligned rest the result moves in the source's world and stands
    // along its up axis; otherwise it stands as the target does.
    sourceUp_ = StandingUp(*result_.source, result_.source->restGlobals);
    resultUp_ = request_.retarget.align ? sourceUp_ : StandingUp(*result_.target, result_.target->restGlobals);
    return {};
  }

  // What the run cannot carry over as asked, said before the work.
  void WarnAboutRun(const Retargeter& run) {
    const Rig& source = *result_.source;
    const Rig& target = *result_.target;
    const RetargetOptions& options = request_.retarget;
    Warn(PresetWarnings("source", source, "--source-preset"));
    if (!request_.targetRig) Warn(PresetWarnings("target", target, "--preset"));
    if (options.rootTranslation && options.scale == RetargetOptions::Scale::Auto &&
        !(source.measured && target.measured))
      Warn("cannot measure the hip height of " + (source.measured ? target.name : source.name) +
           " (it needs joints in its Hips and Head body parts, and below its hips); the root's displacement is not "
           "scaled");
    // Without alignment a target that stands another way leans.
    if (!options.align && source.measured && target.measured &&
        Dot(source.up, target.up) < std::cos(20.0 * 3.14159265358979 / 180.0))
      Warn("source " + source.name + " stands along " + AxisText(source.up) + ", target " + target.name + " along " +
           AxisText(target.up) +
           ": joint rotations are carried over as they are, so the result leans by the "
           "difference");
    if (options.inPlace && !target.measured)
      Warn("cannot tell which way is up for " + target.name + "; --in-place keeps the root's height along +Y");
    // Only the root joint is translated: one that no body part takes (a
    // game rig's root at the floor) leaves the figure where it stands.
    if (options.rootTranslation && target.JointCount() > 0 &&
        !run.Association().GetAssociatedUuid(target.JointUuid(0)).has_value())
      Warn("target " + target.name + ": its root joint " + target.skeleton.joints[0].name +
           " has no partner in the source, so the source's travel is not carried over");
  }

  // Whether the figures are taken: asked for, or needed by a report.
  bool TakesFigures() const {
    return request_.figures.take || !request_.outputs.report.empty() || request_.figures.keepReport;
  }

  // The clip's steps: solve the result, write it, measure it (a long clip
  // while it is written) and report.
  Outcome<void> Retarget() {
    RETARGET_ASSIGN(std::unique_ptr<Retargeter> retargeter,
                    Retargeter::Create(*result_.source, *result_.target, request_.retarget));
    const Retargeter& run = *retargeter;
    WarnAboutRun(run);
    result_.statistics = run.Statistics();
    result_.translationScale = run.TranslationScale();
    result_.drivenTargetJoints = run.DrivenTargetJoints();
    result_.spreadChains = run.SpreadChains();
    result_.worldRotation = run.WorldRotation();
    RETARGET_ASSIGN(Motion motion, Solve(*retargeter));
    std::optional<Outcome<void>> measured;
    RETARGET_TRY(WriteOutputs(run, motion, measured));
    if (TakesFigures()) RETARGET_TRY(measured ? std::move(*measured) : Measure(run, motion));
    if (!request_.outputs.report.empty() || request_.figures.keepReport) RETARGET_TRY(Report(run));
    if (request_.keepMotion) result_.motion = inTarget_ ? std::move(*inTarget_) : std::move(motion);
    return {};
  }

  // The result in the source's world: retargeted, its feet planted or
  // locked, its hips held along the lock axis; and, when the worlds differ
  // and outputs need both, turned into the target's world (inTarget_).
  Outcome<Motion> Solve(Retargeter& run) {
    const std::int64_t total = result_.last - result_.first;
    const auto progress = [&](std::int64_t done) {
      if (request_.frameDone) request_.frameDone(done, total);
    };
    Outcome<Motion> retargeted = RetargetClip(run, *source_, *result_.target, result_.first, result_.last, progress);
    if (!retargeted) return NamingFile(std::move(retargeted).failure(), request_.source);
    Motion& motion = retargeted.value();
    // The source's contacts plant the result's feet, lock them and measure
    // them all.
    if (request_.feet.plant || request_.feet.lock || TakesFigures()) RETARGET_TRY(FindSourceContacts());
    if (request_.feet.plant && Dot(sourceUp_, resultUp_) > 0.999) {
      RETARGET_ASSIGN(const Motion* frames, RetargetedFrames());
      RETARGET_TRY(
          PlantFeet(motion, *result_.target, ResultFloor(), *frames, *result_.source, resultUp_, *result_.contacts));
    }
    if (request_.feet.lock) {
      if (TakesFigures()) {
        RETARGET_ASSIGN(result_.unlockedFeet, ResultFeet(motion));
      }
      RETARGET_TRY(LockFeet(motion, *result_.target, resultUp_, *result_.contacts));
    }
    if (request_.root.lockAxis >= 0)
      RETARGET_TRY(LockAxis(motion, *result_.target, WrittenAxis(request_.root.lockAxis)));
    // The result as it is written, taken round trip and kept: rotated once
    // into the target's world, before the figures may read it on a second
    // thread. Otherwise it is turned in place once its figures are taken
    // (WriteOutputs): a long clip is not held twice.
    if (run.WorldRotation() != Matrix{} && KeepsBothWorlds()) {
      inTarget_ = motion;
      RotateRoots(*inTarget_, run.WorldRotation());
    }
    return retargeted;
  }

  // A world axis as the written file has it: the source's world axis that
  // the quarter turn takes onto it.
  int WrittenAxis(int sourceAxis) const {
    const Matrix& rotation = result_.worldRotation;
    int axis = sourceAxis;
    const Vector columns[3] = {rotation.v1, rotation.v2, rotation.v3};
    for (int k = 0; k < 3; ++k) {
      const double along[3] = {columns[k].x, columns[k].y, columns[k].z};
      if (std::abs(along[sourceAxis]) > 0.5) axis = k;
    }
    return axis;
  }

  // Whether outputs read the result in both worlds: the round trip and the
  // page start from it as written, the picture and the page show it where
  // the source moves.
  bool KeepsBothWorlds() const {
    return request_.figures.roundTrip || !request_.outputs.page.empty() || !request_.outputs.svg.empty();
  }

  // Writes the motion, the rig, the picture and the page, in that order.
  // The figures only read the result: for a long clip they are taken on a
  // second thread while it is written, and `measured` tells how that went.
  // A result in the source's world that nothing else reads there has its
  // figures taken first and is then turned into the target's world in place.
  Outcome<void> WriteOutputs(const Retargeter& run, Motion& motion, std::optional<Outcome<void>>& measured) {
    if (!inTarget_ && run.WorldRotation() != Matrix{}) {
      if (TakesFigures()) measured = Measure(run, motion);
      RotateRoots(motion, run.WorldRotation());
      RETARGET_TRY(WriteResult(run, motion));
      return WritePictures(run, motion);
    }
    std::optional<std::thread> measuring;
    const bool aside = TakesFigures() && !request_.outputs.motion.empty() && request_.threads != 1 &&
                       std::thread::hardware_concurrency() > 1 &&
                       motion.FrameCount() * result_.target->JointCount() >= kFiguresAside;
    if (aside) {
      try {
        measuring.emplace([&] {
          try {
            measured = Measure(run, motion);
          } catch (const std::bad_alloc&) {
            measured = OutOfMemory();
          }
        });
      } catch (const std::exception&) {
        // No thread: the figures are taken after the outputs.
      }
    }
    Outcome<void> written = [&]() -> Outcome<void> {
      try {
        return WriteResult(run, inTarget_ ? *inTarget_ : motion);
      } catch (const std::bad_alloc&) {
        return OutOfMemory();  // the thread above is joined first
      }
    }();
    if (measuring) measuring->join();
    RETARGET_TRY(written);
    return WritePictures(run, motion);
  }

  // The result (in the target's world) written to the motion output, if one
  // is asked for, with its root motion extracted when asked.
  Outcome<void> WriteResult(const Retargeter& run, const Motion& written) {
    if (request_.outputs.motion.empty()) return {};
    const Rig& target = *result_.target;
    const MotionContext context{&target, Stem(request_.source)};
    if (request_.root.motion == RootMotion::Extract) {
      Outcome<Motion> carried = ExtractRootMotion(written, target, TransformVector(run.WorldRotation(), resultUp_),
                                                  ResultFloor(), result_.rootAdded);
      if (!carried) return NamingFile(std::move(carried).failure(), request_.target);
      RETARGET_TRY(WriteMotion(carried.value(), request_.outputs.motion, context));
    } else {
      RETARGET_TRY(WriteMotion(written, request_.outputs.motion, context));
    }
    return {};
  }

  // The rig, the contact sheet and the page, each when asked for.
  Outcome<void> WritePictures(const Retargeter& run, const Motion& motion) {
    const Rig& source = *result_.source;
    const Rig& target = *result_.target;
    const ClipOutputs& outputs = request_.outputs;
    const std::int64_t count = result_.last - result_.first;
    // The result is named by its file too, when it is written.
    const std::string resultTitle = FileName(request_.target) +
                                    (outputs.motion.empty() ? "" : " (" + FileName(outputs.motion) + ")");
    if (!outputs.rig.empty()) RETARGET_TRY(WriteRig(target, outputs.rig));
    if (!outputs.svg.empty()) {
      const SheetFigure from{&source, source_.get(), result_.first, PartneredJoints(source, run.Association()),
                             FileName(request_.source)};
      const SheetFigure onto{&target,     &motion,
                             0,           PartneredJoints(target, run.Association()),
                             resultTitle, request_.retarget.align ? &source : nullptr};
      RETARGET_TRY(WriteContactSheet(from, onto, count, outputs.svg));
    }
    if (!outputs.page.empty()) RETARGET_TRY(WritePage(run, motion, count, resultTitle));
    return {};
  }

  // The page: each figure as its model when it has one (the result as its
  // file has it), with the result's segments against the source's frame by
  // frame.
  Outcome<void> WritePage(const Retargeter& run, const Motion& motion, std::int64_t count, const std::string& title) {
    const Rig& source = *result_.source;
    const Rig& target = *result_.target;
    const Matrix toResult = Transposed(run.WorldRotation());
    PageInput page{{&source, source_.get(), result_.first, FileName(request_.source), source_.get(), Matrix{}},
                   {&target, &motion, 0, title, inTarget_ ? &*inTarget_ : &motion, toResult},
                   count,
                   resultUp_,
                   ResultFloor(),
                   PlantedOn(),
                   {}};
    RETARGET_ASSIGN(const Motion* frames, RetargetedFrames());
    RETARGET_TRY(CompareSegments(*frames, source, 0, motion, target, Matrix{}, toResult, &page.angles));
    RETARGET_ASSIGN(const Page written, WriteWatchPage(page, request_.outputs.page));
    result_.page = {written.threeD, written.bytes, written.why};
    return {};
  }

  // The contacts the result's feet were planted on; null when they were
  // not.
  const FootContacts* PlantedOn() const {
    return request_.feet.plant && result_.contacts ? &*result_.contacts : nullptr;
  }

  // The height of the floor the result stands on: the one asked for, or
  // the source's where the feet were planted.
  double ResultFloor() const { return request_.feet.floor.value_or(PlantedOn() ? PlantedOn()->floor : 0.0); }

  // The frames retargeted; the clip itself when they are all of it.
  Outcome<const Motion*> RetargetedFrames() {
    if (result_.first == 0 && result_.last == source_->FrameCount()) return source_.get();
    if (!cut_) {
      RETARGET_ASSIGN(cut_, Frames(*source_, result_.first, result_.last));
    }
    return &*cut_;
  }

  // The result's feet over the source's contacts. A result whose feet were
  // not planted stands on a floor of its own.
  Outcome<FeetFigures> ResultFeet(const Motion& motion) const {
    double floor = ResultFloor();
    if (!PlantedOn() && !request_.feet.floor) {
      RETARGET_ASSIGN(floor, FindFloor(motion, *result_.target, resultUp_));
    }
    return MeasureFeet(motion, *result_.target, resultUp_, floor, *result_.contacts);
  }

  // The contacts of the source's frames retargeted.
  Outcome<void> FindSourceContacts() {
    RETARGET_ASSIGN(const Motion* frames, RetargetedFrames());
    RETARGET_ASSIGN(result_.contacts, FindContacts(*frames, *result_.source, sourceUp_));
    return {};
  }

  // Bone directions against the source's, foot sliding, the floor, and the
  // way back onto the source.
  Outcome<void> Measure(const Retargeter& run, const Motion& motion) {
    const Rig& source = *result_.source;
    const Rig& target = *result_.target;
    RETARGET_ASSIGN(const Motion* frames, RetargetedFrames());
    const Motion& part = *frames;
    // The result still moves in the source's world; the target's rest is
    // rotated there.
    RETARGET_ASSIGN(result_.quality,
                    CompareSegments(part, source, 0, motion, target, Matrix{}, Transposed(run.WorldRotation())));
    if (result_.contacts && result_.contacts->measured) {
      RETARGET_ASSIGN(result_.sourceFeet,
                      MeasureFeet(part, source, sourceUp_, result_.contacts->floor, *result_.contacts));
      RETARGET_ASSIGN(result_.resultFeet, ResultFeet(motion));
    }
    if (request_.figures.roundTrip) {
      RETARGET_ASSIGN(std::unique_ptr<Retargeter> back, Retargeter::Create(target, source, request_.retarget));
      // The way back starts from the result as written, in the target's
      // world, and comes back in it.
      RETARGET_ASSIGN(const Motion again,
                      RetargetClip(*back, inTarget_ ? *inTarget_ : motion, source, 0, motion.FrameCount()));
      RETARGET_ASSIGN(result_.roundTrip,
                      CompareSegments(part, source, 0, again, source, back->WorldRotation(), Matrix{}));
    }
    DropUnmeasured();
    return {};
  }

  // Figures whose positions ran past what a double holds are no figures.
  void DropUnmeasured() {
    const char* why = ": not measured, the positions are too large to compute";
    auto drop = [&](auto& figure, const char* what) {
      if (figure && !Finite(*figure)) {
        figure.reset();
        result_.unmeasured.push_back(what + std::string(why));
      }
    };
    drop(result_.quality, "quality");
    drop(result_.roundTrip, "round trip");
    if ((result_.sourceFeet && !Finite(*result_.sourceFeet)) || (result_.resultFeet && !Finite(*result_.resultFeet)) ||
        (result_.unlockedFeet && !Finite(*result_.unlockedFeet))) {
      result_.sourceFeet.reset();
      result_.resultFeet.reset();
      result_.unlockedFeet.reset();
      result_.unmeasured.push_back("feet" + std::string(why));
    }
  }

  Outcome<void> Report(const Retargeter& run) {
    RETARGET_ASSIGN(MatchReport report, BuildMatchReport(*result_.source, FileName(request_.source), *result_.target,
                                                         FileName(request_.target), run));
    static_cast<ClipFigures&>(report) = result_;  // the report's figures are the result's
    if (request_.outputs.report == "-") {
      RETARGET_ASSIGN(result_.reportText, ReportText(report));
    } else if (!request_.outputs.report.empty()) {
      RETARGET_TRY(WriteReport(report, request_.outputs.report));
    }
    result_.report = std::move(report);
    return {};
  }

  const ClipRequest& request_;
  std::shared_ptr<const Motion> source_;
  std::optional<Rig> humanoid_;
  std::optional<Motion> cut_;
  std::optional<Motion> inTarget_;  // the result turned into the target's world, when the worlds differ
  // The up axes of the source and of the result as it is solved, in the
  // source's world.
  Vector sourceUp_, resultUp_;
  ClipResult result_;
};

}  // namespace

Outcome<ClipResult> RunClip(const ClipRequest& request) {
  try {
    // A clip given one thread starts no helpers.
    struct HelpersScope {
      bool was = t_clipHelpers;
      ~HelpersScope() { t_clipHelpers = was; }
    } scope;
    t_clipHelpers = request.threads != 1;
    return Job(request).Run();
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

std::string FileName(const std::string& path) { return std::filesystem::path(path).filename().string(); }
std::string Stem(const std::string& path) { return std::filesystem::path(path).stem().string(); }

}  // namespace norvo::retarget
