#include "norvo/retarget/solve/pipeline.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <new>
#include <optional>

#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/rig/landmarks.h"
#include "../largeblock.h"
#include "../parallel.h"
#include "segments.h"

namespace norvo::retarget {

struct Retargeter::State {
  const Rig* source = nullptr;
  const Rig* target = nullptr;
  CharacterAssociation association;
  CharacterSolverConfiguration configuration;
  CharacterSolver solver;
  bool applyTranslation = false;
  double scale = 1.0;
  bool inPlace = false;
  Vector up{0.0, 1.0, 0.0};  // the target's

  // The frame on spans: the solver's job, and its inputs that are not the
  // frame's locals. The rests are read from the rest poses' node transforms,
  // as the solver reads them there.
  SolverJob job;
  std::vector<Matrix> sourceRestGlobals, sourceRestParentGlobals;
  std::vector<Matrix> targetRestGlobals, targetRestParentGlobals;
  std::vector<std::int64_t> sourceOfTarget;

  // The rest the deltas are applied on: the target's own, or the aligned
  // one held here.
  const std::vector<CharacterNodeTransform>* restTransforms = nullptr;
  const std::vector<Matrix>* restLocals = nullptr;
  const std::vector<Matrix>* restGlobals = nullptr;
  std::vector<CharacterNodeTransform> alignedTransforms;
  AlignedRest aligned;

  // Spreading: per target joint its chain (or -1), and whether it is rotated
  // to its partner's global change (anchored).
  std::vector<Chain> chains;
  std::vector<std::int64_t> chainOf, placeInChain;
  std::vector<bool> anchored;
  bool tracking = false;  // whether any joint is spread or anchored
  // Whether a joint's global change is needed: it is spread or anchored, or
  // one below it is.
  std::vector<bool> needsChange;
  // Per chain the source chain's points (its joints, then its end) at rest.
  std::vector<std::vector<Vector>> restPoints;

  // On an aligned rest: the segments followed after the joints' rotations, and
  // the quarter turn from the source's world into the target's.
  std::optional<SegmentFollower> follower;
  Matrix worldRotation;

  // What a frame is made with, sized here so that a frame allocates nothing:
  // one set per thread that makes frames (the caller's, and a clip's helper).
  struct Scratch {
    std::vector<Matrix> sourceGlobals, sourceParentGlobals;
    std::vector<Matrix> deltas;        // per target joint, when tracking
    std::vector<Matrix> targetDeltas;  // each joint's global change, when tracking
    // Per chain the source chain's points now, taken when the chain's first
    // joint is reached.
    std::vector<std::vector<Vector>> points;
    CharacterNodeTransform node;  // carries a delta made here to the solver
    std::vector<Matrix> followGlobals;
  };
  Scratch scratch[2];
};

namespace {

// The point at `place` (0 to 1) along a chain's line through `points`,
// placed at `at` (the end, when there, at 1).
Vector PointAt(const std::vector<Vector>& points, const std::vector<double>& at, double place) {
  // The last point placed before `place`, if any, starts the segment.
  const auto after = std::lower_bound(at.begin(), at.end(), place);
  const std::size_t i = after == at.begin() ? 0 : std::size_t(after - at.begin()) - 1;
  if (i + 1 >= points.size()) return points.back();
  const double from = at[i], to = i + 1 < at.size() ? at[i + 1] : 1.0;
  const double f = to - from > 1e-12 ? std::clamp((place - from) / (to - from), 0.0, 1.0) : 0.0;
  return Add(points[i], Scale(Subtract(points[i + 1], points[i]), f));
}

}  // namespace

Retargeter::Retargeter(std::unique_ptr<State> state) : state_(std::move(state)) {}
Retargeter::~Retargeter() = default;

const CharacterAssociation& Retargeter::Association() const noexcept { return state_->association; }

namespace {

// The module's objects of a retarget: the association of the two rigs'
// body parts, the solver configuration and the solver.
Outcome<void> MakeSolver(Retargeter::State& s, const RetargetOptions& options, AssociationStatistics& statistics) {
  const Rig& source = *s.source;
  const Rig& target = *s.target;
  Result<CharacterAssociation> association =
      RetargetBaseHelperInterface::AssociateBodyPartsByIdentifier(source.bodyParts[0], target.bodyParts[0], statistics);
  RETARGET_CHECK(association, "associating the body parts");
  s.association = std::move(association).value();

  Result<CharacterSolverConfiguration> configuration =
      CharacterSolverConfiguration::Create(CharacterSolverConfigurationInterface::kClassId);
  RETARGET_CHECK(configuration, "making the solver configuration");
  s.configuration = std::move(configuration).value();
  RETARGET_CHECK(s.configuration.Setup(source.definition, target.definition, s.association),
                 "setting up the solver configuration");
  RETARGET_CHECK(s.configuration.SetApplyTranslationFromRoot(options.rootTranslation),
                 "setting up the solver configuration");
  RETARGET_CHECK(s.configuration.Validate(), "validating the solver configuration");
  s.applyTranslation = s.configuration.GetApplyTranslationFromRoot();
  Result<CharacterSolver> solver = CharacterSolver::Create(CharacterSolverInterface::kClassId);
  RETARGET_CHECK(solver, "making the solver");
  s.solver = std::move(solver).value();
  return {};
}

// The rests as the solver reads them from node transforms: global and
// parent global.
void RestMatrices(const std::vector<CharacterNodeTransform>& nodes, std::vector<Matrix>& globals,
                  std::vector<Matrix>& parentGlobals) {
  globals.clear();
  parentGlobals.clear();
  for (const CharacterNodeTransform& node : nodes) {
    globals.push_back(node.GetGlobalMatrix());
    parentGlobals.push_back(node.GetParentGlobalMatrix());
  }
}

// Whether a character's rest pose lists the rig's joints in order.
bool InJointOrder(const Rig& rig) {
  const CharacterPose rest = rig.definition.GetSkeletonRestPose();
  Result<const BaseArray<CharacterNodeTransform>&> nodes = rest.GetNodeTransformArray();
  if (!nodes || nodes.value().GetCount() != rig.JointCount()) return false;
  for (std::int64_t j = 0; j < rig.JointCount(); ++j)
    if (!(nodes.value()[Int(j)].GetUuid() == rig.JointUuid(j))) return false;
  return true;
}

// The solver's job for the frames, on the rest the deltas are applied on;
// the roots take the source's translation when the configuration says so.
Outcome<void> MakeJob(Retargeter::State& s) {
  const Rig& source = *s.source;
  const Rig& target = *s.target;
  if (!InJointOrder(source) || !InJointOrder(target))
    return MakeFailure(FailureKind::Internal, "a rig's rest pose does not follow its joints");
  const std::size_t targetCount = target.skeleton.joints.size();
  std::unique_ptr<Bool[]> translate(new Bool[targetCount]);
  for (std::size_t t = 0; t < targetCount; ++t)
    translate[t] = s.applyTranslation && target.skeleton.joints[t].parent < 0;
  RETARGET_CHECK(CharacterSolverInterface::MakeSolverJob(s.solver, s.configuration, s.association,
                                                         std::span<const Bool>(translate.get(), targetCount), s.job),
                 "planning the solver's job");
  RestMatrices(source.restTransforms, s.sourceRestGlobals, s.sourceRestParentGlobals);
  RestMatrices(*s.restTransforms, s.targetRestGlobals, s.targetRestParentGlobals);
  return {};
}

// The association as joint indices: the target joint each entry of a
// re-keyed delta pose is expected to drive, each target joint's source
// partner, and which target joints are driven. Returns the paired source
// joints.
std::int64_t MapJoints(Retargeter::State& s, std::vector<bool>& driven) {
  const Rig& source = *s.source;
  const Rig& target = *s.target;
  const std::size_t targetCount = target.skeleton.joints.size();
  s.sourceOfTarget.assign(targetCount, -1);
  driven.assign(targetCount, false);
  std::int64_t paired = 0;
  for (std::size_t j = 0; j < source.skeleton.joints.size(); ++j) {
    Result<Uuid> partner = s.association.GetAssociatedUuid(source.JointUuid(std::int64_t(j)));
    if (!partner) continue;
    auto found = target.jointOfUuid.find(partner.value());
    const std::int64_t t = found == target.jointOfUuid.end() ? -1 : found->second;
    if (t < 0) continue;
    ++paired;
    driven[std::size_t(t)] = true;
    if (s.sourceOfTarget[std::size_t(t)] < 0) s.sourceOfTarget[std::size_t(t)] = std::int64_t(j);
  }
  return paired;
}

// The chains to spread and the aligned rest the deltas are applied on.
Outcome<void> AlignAndSpread(Retargeter::State& s, const RetargetOptions& options) {
  const Rig& source = *s.source;
  const Rig& target = *s.target;
  s.restTransforms = &target.restTransforms;
  s.restLocals = &target.restLocals;
  s.restGlobals = &target.restGlobals;
  if (!options.spreadBodyParts.empty()) {
    RETARGET_ASSIGN(s.chains, FindChains(source, target, s.sourceOfTarget, options.spreadBodyParts));
  }
  if (!options.align) return {};
  RETARGET_ASSIGN(s.aligned, AlignRest(source, target, s.sourceOfTarget, s.chains));
  for (std::size_t t = 0; t < target.skeleton.joints.size(); ++t) {
    const std::int64_t parent = target.skeleton.joints[t].parent;
    Result<CharacterNodeTransform> node = CharacterNodeTransformInterface::CreateNodeTransform(
        target.JointUuid(std::int64_t(t)), s.aligned.globals[t],
        parent < 0 ? Matrix{} : s.aligned.globals[std::size_t(parent)]);
    RETARGET_CHECK(node, "making the aligned rest pose");
    s.alignedTransforms.push_back(std::move(node).value());
  }
  s.restTransforms = &s.alignedTransforms;
  s.restLocals = &s.aligned.locals;
  s.restGlobals = &s.aligned.globals;
  return {};
}

// Which target joints are chain joints, and which are anchored: a driven
// joint whose nearest driven ancestor is a chain joint, or, on an aligned
// rest, one whose partner's parent is not that ancestor's partner (a source
// joint between them would be lost).
void FindAnchors(Retargeter::State& s, bool align, std::vector<bool>& driven) {
  const Rig& source = *s.source;
  const Rig& target = *s.target;
  const std::size_t targetCount = target.skeleton.joints.size();
  s.chainOf.assign(targetCount, -1);
  s.placeInChain.assign(targetCount, -1);
  for (std::size_t c = 0; c < s.chains.size(); ++c)
    for (std::size_t i = 0; i < s.chains[c].target.size(); ++i) {
      const std::size_t t = std::size_t(s.chains[c].target[i]);
      s.chainOf[t] = std::int64_t(c);
      s.placeInChain[t] = std::int64_t(i);
      driven[t] = true;
    }
  std::vector<std::int64_t> targetOfSource(source.skeleton.joints.size(), -1), drivenAbove(targetCount, -1);
  for (std::size_t t = 0; t < targetCount; ++t) {
    const std::int64_t j = s.sourceOfTarget[t];
    if (j >= 0 && targetOfSource[std::size_t(j)] < 0) targetOfSource[std::size_t(j)] = std::int64_t(t);
  }
  s.anchored.assign(targetCount, false);
  for (std::size_t t = 0; t < targetCount; ++t) {
    const std::int64_t parent = target.skeleton.joints[t].parent;
    if (parent < 0) continue;
    const std::size_t p = std::size_t(parent);
    drivenAbove[t] = driven[p] ? parent : drivenAbove[p];
    const std::int64_t partner = s.sourceOfTarget[t];
    if (!driven[t] || s.chainOf[t] >= 0 || partner < 0) continue;
    const std::int64_t above = drivenAbove[t];
    const std::int64_t sourceParent = source.skeleton.joints[std::size_t(partner)].parent;
    if (above >= 0 && s.chainOf[std::size_t(above)] >= 0) s.anchored[t] = true;
    else if (align && sourceParent >= 0)
      s.anchored[t] = above < 0 || targetOfSource[std::size_t(sourceParent)] != above;
  }
  s.tracking = !s.chains.empty() || std::find(s.anchored.begin(), s.anchored.end(), true) != s.anchored.end();
}

// What a frame that spreads chains or anchors joints works with.
Outcome<void> PrepareTracking(Retargeter::State& s) {
  const Rig& source = *s.source;
  const std::vector<Joint>& joints = s.target->skeleton.joints;
  s.needsChange.assign(joints.size(), false);
  for (std::size_t t = joints.size(); t-- > 0;) {  // children after their parents
    if (s.chainOf[t] >= 0 || s.anchored[t]) s.needsChange[t] = true;
    if (s.needsChange[t] && joints[t].parent >= 0) s.needsChange[std::size_t(joints[t].parent)] = true;
  }
  s.restPoints.resize(s.chains.size());
  for (std::size_t c = 0; c < s.chains.size(); ++c) {
    const Chain& chain = s.chains[c];
    for (std::int64_t j : chain.source) s.restPoints[c].push_back(source.restGlobals[std::size_t(j)].off);
    if (chain.sourceEnd >= 0) s.restPoints[c].push_back(source.restGlobals[std::size_t(chain.sourceEnd)].off);
  }
  return {};
}

// One thread's scratch for the frames of this plan.
Outcome<void> MakeScratch(const Retargeter::State& s, Retargeter::State::Scratch& w) {
  const std::size_t sourceCount = s.source->skeleton.joints.size(), targetCount = s.target->skeleton.joints.size();
  w.sourceGlobals.resize(sourceCount);
  w.sourceParentGlobals.resize(sourceCount);
  if (s.tracking) {
    w.deltas.resize(targetCount);
    w.targetDeltas.resize(targetCount);
    w.points.resize(s.chains.size());
    for (std::size_t c = 0; c < s.chains.size(); ++c) w.points[c].reserve(s.restPoints[c].size());
    Result<CharacterNodeTransform> node =
        CharacterNodeTransformInterface::CreateNodeTransform(Uuid(), Matrix{}, Matrix{});
    RETARGET_CHECK(node, "making the solver's input");
    w.node = std::move(node).value();
  }
  if (s.follower) w.followGlobals.resize(targetCount);
  return {};
}

}  // namespace

Outcome<std::unique_ptr<Retargeter>> Retargeter::Create(const Rig& source, const Rig& target,
                                                        const RetargetOptions& options) {
  try {
    auto state = std::make_unique<State>();
    State& s = *state;
    s.source = &source;
    s.target = &target;
    AssociationStatistics statistics;
    RETARGET_TRY(MakeSolver(s, options, statistics));
    s.inPlace = options.inPlace;
    if (target.measured) s.up = target.up;
    // On an aligned rest the target stands along the source's up axis.
    if (options.align && source.measured) s.up = source.up;
    switch (options.scale) {
      case RetargetOptions::Scale::Auto:
        s.scale = source.measured && target.measured ? target.hipHeight / source.hipHeight : 1.0;
        break;
      case RetargetOptions::Scale::None: s.scale = 1.0; break;
      case RetargetOptions::Scale::Fixed: s.scale = options.fixedScale; break;
    }
    std::vector<bool> driven;
    const std::int64_t paired = MapJoints(s, driven);
    RETARGET_TRY(AlignAndSpread(s, options));
    if (!s.chains.empty() || options.align) FindAnchors(s, options.align, driven);
    if (s.tracking) RETARGET_TRY(PrepareTracking(s));
    RETARGET_TRY(MakeJob(s));
    if (options.align) {
      s.worldRotation = QuarterTurn(source, FindLandmarks(source), target, FindLandmarks(target));
      RETARGET_ASSIGN(SegmentFollower follower, SegmentFollower::Make(source, target, s.worldRotation));
      if (!follower.Empty()) s.follower = std::move(follower);
    }
    for (State::Scratch& w : s.scratch) RETARGET_TRY(MakeScratch(s, w));
    auto retargeter = std::unique_ptr<Retargeter>(new Retargeter(std::move(state)));
    retargeter->statistics_ = statistics;
    retargeter->scale_ = retargeter->state_->scale;
    retargeter->pairedSource_ = paired;
    retargeter->drivenTarget_ = std::count(driven.begin(), driven.end(), true);
    return retargeter;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> Retargeter::RetargetFrame(std::span<const Matrix> sourceLocals, std::span<Matrix> targetLocals) {
  return RetargetFrame(sourceLocals, targetLocals, 0);
}

Outcome<void> Retargeter::RetargetFrame(std::span<const Matrix> sourceLocals, std::span<Matrix> targetLocals,
                                        int worker) {
  const State& s = *state_;
  State::Scratch& w = state_->scratch[worker];
  const Rig& source = *s.source;
  const Rig& target = *s.target;
  const std::size_t sourceCount = source.skeleton.joints.size();
  const std::size_t targetCount = target.skeleton.joints.size();
  if (sourceLocals.size() != sourceCount || targetLocals.size() != targetCount)
    return MakeFailure(FailureKind::Internal, "a frame of the wrong size reached the retargeter");

  // The source frame's globals by forward kinematics, then the solver's job.
  ForwardKinematics(source.skeleton, sourceLocals, w.sourceGlobals);
  for (std::size_t j = 0; j < sourceCount; ++j) {
    const std::int64_t parent = source.skeleton.joints[j].parent;
    w.sourceParentGlobals[j] = parent < 0 ? Matrix{} : w.sourceGlobals[std::size_t(parent)];
  }
  SolverJobFrame frame;
  frame.sourceRestGlobals = s.sourceRestGlobals;
  frame.sourceRestParentGlobals = s.sourceRestParentGlobals;
  frame.sourceGlobals = w.sourceGlobals;
  frame.sourceParentGlobals = w.sourceParentGlobals;
  frame.targetRestGlobals = s.targetRestGlobals;
  frame.targetRestParentGlobals = s.targetRestParentGlobals;
  frame.targetLocals = targetLocals;
  if (s.tracking) frame.targetDeltas = w.deltas;
  RETARGET_CHECK(CharacterSolverInterface::RunSolverJob(s.job, frame), "solving the frame");

  if (s.tracking) {
    RETARGET_TRY(SpreadFrame(targetLocals, worker));
  } else {
    RotateFrame(targetLocals);
  }
  if (s.follower) s.follower->Follow(w.sourceGlobals, targetLocals, w.followGlobals);
  return {};
}

void Retargeter::RotateFrame(std::span<Matrix> targetLocals) const {
  const State& s = *state_;
  // The solver's job wrote the driven joints' locals.
  for (std::size_t t = 0; t < targetLocals.size(); ++t) {
    if (s.job.sourceOf[Int(t)] < 0) targetLocals[t] = (*s.restLocals)[t];
    else if (s.job.applyTranslation[Int(t)]) ScaleDisplacement(targetLocals[t], t);
  }
}

const Matrix& Retargeter::WorldRotation() const noexcept { return state_->worldRotation; }

const std::vector<std::int64_t>& Retargeter::SourceOfTarget() const noexcept { return state_->sourceOfTarget; }
const std::vector<Matrix>& Retargeter::RestGlobals() const noexcept { return *state_->restGlobals; }
const std::vector<Chain>& Retargeter::SpreadChains() const noexcept { return state_->chains; }

Outcome<void> Retargeter::SpreadFrame(std::span<Matrix> targetLocals, int worker) {
  const State& s = *state_;
  State::Scratch& w = state_->scratch[worker];
  const Rig& source = *s.source;
  const Rig& target = *s.target;
  const std::vector<CharacterNodeTransform>& restTransforms = *s.restTransforms;
  // A source joint's change from its rest, in global space (3x3 part).
  auto sourceDelta = [&](std::int64_t j) {
    return Multiply3x3(w.sourceGlobals[std::size_t(j)], Inverse3x3(source.restGlobals[std::size_t(j)]));
  };
  for (std::size_t t = 0; t < target.skeleton.joints.size(); ++t) {
    const std::int64_t parent = target.skeleton.joints[t].parent;
    // The solver's job wrote the driven joints' locals and deltas.
    const bool driven = s.job.sourceOf[Int(t)] >= 0;
    const bool translate = s.job.applyTranslation[Int(t)];
    if (!s.needsChange[t]) {
      // Nothing below takes this joint's change: its local alone.
      if (!driven) targetLocals[t] = (*s.restLocals)[t];
      else if (translate) ScaleDisplacement(targetLocals[t], t);
      continue;
    }
    const Matrix above = parent < 0 ? Matrix{} : w.targetDeltas[std::size_t(parent)];
    Matrix change;  // the joint's global change
    if (s.chainOf[t] >= 0) {
      // The part of the source chain's line between this joint's place and
      // the next one's: its direction now against at rest, with the twist of
      // the source joint whose bone holds the middle of that part.
      const Chain& chain = s.chains[std::size_t(s.chainOf[t])];
      const std::size_t i = std::size_t(s.placeInChain[t]);
      std::vector<Vector>& points = w.points[std::size_t(s.chainOf[t])];
      const std::vector<Vector>& restPoints = s.restPoints[std::size_t(s.chainOf[t])];
      if (i == 0) {
        points.clear();
        for (std::int64_t j : chain.source) points.push_back(w.sourceGlobals[std::size_t(j)].off);
        if (chain.sourceEnd >= 0) points.push_back(w.sourceGlobals[std::size_t(chain.sourceEnd)].off);
      }
      const double from = chain.targetAt[i], to = i + 1 < chain.targetAt.size() ? chain.targetAt[i + 1] : 1.0;
      const double middle = 0.5 * (from + to);
      const std::size_t holder =
          std::size_t(std::upper_bound(chain.sourceAt.begin() + 1, chain.sourceAt.end(), middle) -
                      chain.sourceAt.begin()) -
          1;
      const Matrix rotation = sourceDelta(chain.source[holder]);
      const Vector atRest =
          Subtract(PointAt(restPoints, chain.sourceAt, to), PointAt(restPoints, chain.sourceAt, from));
      const Vector now = Subtract(PointAt(points, chain.sourceAt, to), PointAt(points, chain.sourceAt, from));
      change = Multiply3x3(RotationBetween(TransformVector(rotation, atRest), now), rotation);
    } else if (s.anchored[t]) {
      change = sourceDelta(s.sourceOfTarget[t]);
    } else {
      if (driven) {
        Matrix delta = w.deltas[t];
        delta.off = {};
        change = Multiply3x3(above, delta);
      } else {
        change = above;
      }
      w.targetDeltas[t] = change;
      if (!driven) targetLocals[t] = (*s.restLocals)[t];
      else if (translate) ScaleDisplacement(targetLocals[t], t);
      continue;
    }
    w.targetDeltas[t] = change;
    // The joint's own delta: its global change after its parent's. Chain
    // and anchored joints are never roots, so nothing moves.
    RETARGET_CHECK(w.node.SetGlobalMatrix(Multiply3x3(Transposed(above), change)), "making the solver's input");
    targetLocals[t] = CharacterSolverInterface::ApplyGlobalRotationDelta(restTransforms[t], w.node, false);
  }
  return {};
}

void Retargeter::ScaleDisplacement(Matrix& local, std::size_t joint) const noexcept {
  // The displacement from the rest position, scaled.
  const State& s = *state_;
  const Vector& rest = s.target->restLocals[joint].off;
  Vector moved = Scale(Subtract(local.off, rest), s.scale);
  if (s.inPlace) moved = Scale(s.up, Dot(moved, s.up));  // the height alone
  local.off = Add(rest, moved);
}

Outcome<Motion> RetargetClip(Retargeter& retargeter, const Motion& source, const Rig& target, std::int64_t first,
                             std::int64_t last, const std::function<void(std::int64_t)>& progress) {
  try {
    Motion out;
    out.skeleton = target.skeleton;
    out.frameTime = source.frameTime;
    const std::size_t joints = std::size_t(target.JointCount()), count = std::size_t(last - first);
    out.locals.reserve(count * joints);
    const LargeBlock block(out.locals.data(), out.locals.capacity() * sizeof(Matrix));
    out.locals.resize(count * joints);
    // Each frame stands alone: runs of frames on up to two threads, each with
    // its own scratch. Runs are taken in order, so each thread's first
    // failure is its lowest; the lower of the two is reported. The frames
    // done are reported here, in order, once each.
    struct Worker {
      std::size_t failedAt;
      std::optional<Failure> failure;
      bool outOfMemory = false;
    } workers[2] = {{count, {}, false}, {count, {}, false}};
    std::atomic<std::size_t> firstFailed{count}, done{0};
    std::size_t reported = 0;
    std::exception_ptr thrown;
    std::atomic<bool> stop{false};  // progress threw: no more frames
    auto report = [&] {
      try {
        for (const std::size_t now = done.load(); reported < now;) progress(std::int64_t(++reported));
      } catch (...) {
        thrown = std::current_exception();
        stop = true;
      }
    };
    ForEachRun(count, [&](std::size_t begin, std::size_t end, int worker) {
      Worker& w = workers[worker];
      for (std::size_t k = begin; k < end && k < firstFailed.load() && !stop.load(); ++k) {
        const std::int64_t f = first + std::int64_t(k);
        try {
          Outcome<void> made = retargeter.RetargetFrame(source.Frame(f), out.Frame(std::int64_t(k)), worker);
          if (made && !AllFinite(out.Frame(std::int64_t(k))))
            made = MakeFailure(FailureKind::BadInput,
                               "frame " + std::to_string(f) + ": the motion reaches values too large to compute");
          if (!made) w.failure = std::move(made).failure();
        } catch (...) {
          w.outOfMemory = true;  // the only throw: a message's allocation
        }
        if (w.failure || w.outOfMemory) {
          w.failedAt = k;
          for (std::size_t was = firstFailed.load(); k < was && !firstFailed.compare_exchange_weak(was, k);) {
          }
          return;
        }
        done.fetch_add(1);
        if (worker == 0 && progress) report();
      }
    });
    if (thrown) std::rethrow_exception(thrown);
    Worker& w = workers[workers[1].failedAt < workers[0].failedAt ? 1 : 0];
    if (w.outOfMemory) return OutOfMemory();
    if (w.failure) return std::move(*w.failure);
    if (progress) report();
    if (thrown) std::rethrow_exception(thrown);
    return out;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
