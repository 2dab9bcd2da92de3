#include "norvo/retarget/pipeline.h"

#include <algorithm>
#include <new>

#include "norvo/retarget/kinematics.h"

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

  // The source frame as a pose. The node transforms are held by `sourceNodes`
  // alone between frames, so that setting their matrices copies nothing.
  CharacterPose sourcePose;
  BaseArray<CharacterNodeTransform> sourceNodes;
  BaseArray<CharacterNodeTransform> noNodes;
  std::vector<Matrix> sourceLocals;
  std::vector<Matrix> sourceGlobals;

  std::vector<Uuid> targetUuids;
  // The target joint of each entry of a re-keyed delta pose, as the
  // association gives it: the entries follow the source rest pose.
  std::vector<std::int64_t> expectedTargets;
  // Per target joint, the entry of the re-keyed pose that drives it, or -1.
  std::vector<std::int64_t> deltaOf;
};

Retargeter::Retargeter(std::unique_ptr<State> state) : state_(std::move(state)) {}
Retargeter::~Retargeter() = default;

const CharacterAssociation& Retargeter::Association() const noexcept { return state_->association; }

Outcome<std::unique_ptr<Retargeter>> Retargeter::Create(const Rig& source, const Rig& target,
                                                        const RetargetOptions& options) {
  try {
    auto state = std::make_unique<State>();
    state->source = &source;
    state->target = &target;
    AssociationStatistics statistics;
    Result<CharacterAssociation> association =
        RetargetBaseHelperInterface::AssociateBodyPartsByIdentifier(source.bodyParts[0], target.bodyParts[0], statistics);
    RETARGET_CHECK(association, "associating the body parts");
    state->association = std::move(association).value();

    Result<CharacterSolverConfiguration> configuration =
        CharacterSolverConfiguration::Create(CharacterSolverConfigurationInterface::kClassId);
    RETARGET_CHECK(configuration, "making the solver configuration");
    state->configuration = std::move(configuration).value();
    RETARGET_CHECK(state->configuration.Setup(source.definition, target.definition, state->association),
                   "setting up the solver configuration");
    RETARGET_CHECK(state->configuration.SetApplyTranslationFromRoot(options.rootTranslation),
                   "setting up the solver configuration");
    RETARGET_CHECK(state->configuration.Validate(), "validating the solver configuration");
    state->applyTranslation = state->configuration.GetApplyTranslationFromRoot();
    state->inPlace = options.inPlace;
    if (target.measured) state->up = target.up;
    Result<CharacterSolver> solver = CharacterSolver::Create(CharacterSolverInterface::kClassId);
    RETARGET_CHECK(solver, "making the solver");
    state->solver = std::move(solver).value();

    switch (options.scale) {
      case RetargetOptions::Scale::Auto:
        state->scale = source.measured && target.measured ? target.hipHeight / source.hipHeight : 1.0;
        break;
      case RetargetOptions::Scale::None:
        state->scale = 1.0;
        break;
      case RetargetOptions::Scale::Fixed:
        state->scale = options.fixedScale;
        break;
    }

    Result<CharacterPose> pose = CharacterPose::Create(CharacterPoseInterface::kClassId);
    RETARGET_CHECK(pose, "making the source pose");
    state->sourcePose = std::move(pose).value();
    const std::size_t sourceCount = source.skeleton.joints.size();
    RETARGET_CHECK(state->sourceNodes.EnsureCapacity(Int(sourceCount)), "making the source pose");
    for (std::size_t j = 0; j < sourceCount; ++j) {
      const CharacterNodeTransform& rest = source.restTransforms[j];
      Result<CharacterNodeTransform> node = CharacterNodeTransformInterface::CreateNodeTransform(
          rest.GetUuid(), rest.GetGlobalMatrix(), rest.GetParentGlobalMatrix());
      RETARGET_CHECK(node, "making the source pose");
      RETARGET_CHECK(state->sourceNodes.Append(std::move(node).value()), "making the source pose");
    }
    state->sourceLocals.resize(sourceCount);
    state->sourceGlobals.resize(sourceCount);

    const std::size_t targetCount = target.skeleton.joints.size();
    for (std::size_t t = 0; t < targetCount; ++t) state->targetUuids.push_back(target.JointUuid(std::int64_t(t)));
    state->deltaOf.assign(targetCount, -1);
    std::vector<bool> driven(targetCount, false);
    std::int64_t paired = 0;
    for (std::size_t j = 0; j < sourceCount; ++j) {
      Result<Uuid> partner = state->association.GetAssociatedUuid(source.JointUuid(std::int64_t(j)));
      if (!partner) continue;
      auto found = target.jointOfUuid.find(partner.value());
      const std::int64_t t = found == target.jointOfUuid.end() ? -1 : found->second;
      state->expectedTargets.push_back(t);
      if (t >= 0) {
        ++paired;
        driven[std::size_t(t)] = true;
      }
    }
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

Outcome<void> Retargeter::RetargetFrame(const double* sourceFrame, std::vector<Matrix>& targetLocals) {
  State& s = *state_;
  const Rig& source = *s.source;
  const Rig& target = *s.target;
  const std::size_t sourceCount = source.skeleton.joints.size();
  const std::size_t targetCount = target.skeleton.joints.size();
  try {
    targetLocals.resize(targetCount);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }

  // The source frame as a pose: globals by forward kinematics.
  for (std::size_t j = 0; j < sourceCount; ++j) s.sourceLocals[j] = LocalMatrix(source.skeleton.joints[j], sourceFrame);
  ForwardKinematics(source.skeleton, s.sourceLocals.data(), s.sourceGlobals.data());
  for (std::size_t j = 0; j < sourceCount; ++j) {
    const std::int64_t parent = source.skeleton.joints[j].parent;
    CharacterNodeTransform& node = s.sourceNodes[Int(j)];
    RETARGET_CHECK(node.SetGlobalMatrix(s.sourceGlobals[j]), "making the source pose");
    RETARGET_CHECK(node.SetParentGlobalMatrix(parent < 0 ? Matrix{} : s.sourceGlobals[std::size_t(parent)]),
                   "making the source pose");
  }
  RETARGET_CHECK(s.sourcePose.SetNodeTransformArray(s.sourceNodes), "making the source pose");
  Result<CharacterPose> delta = s.solver.ExtractGlobalDeltaPose(s.configuration, s.sourcePose);
  // The pose lets go of the node transforms again before anything can fail.
  Result<void> released = s.sourcePose.SetNodeTransformArray(s.noNodes);
  RETARGET_CHECK(delta, "extracting the delta pose");
  RETARGET_CHECK(released, "making the source pose");
  Result<CharacterPose> keyed = RetargetBaseHelperInterface::TranslateSrcToDestID(s.association, delta.value());
  RETARGET_CHECK(keyed, "re-keying the delta pose");
  Result<const BaseArray<CharacterNodeTransform>&> deltas = keyed.value().GetNodeTransformArray();
  RETARGET_CHECK(deltas, "reading the delta pose");

  // Which entry drives which target joint; the first entry for a joint wins.
  std::fill(s.deltaOf.begin(), s.deltaOf.end(), -1);
  const BaseArray<CharacterNodeTransform>& entries = deltas.value();
  for (Int k = 0; k < entries.GetCount(); ++k) {
    const Uuid& uuid = entries[k].GetUuid();
    std::int64_t t = std::size_t(k) < s.expectedTargets.size() ? s.expectedTargets[std::size_t(k)] : -1;
    if (t < 0 || !(s.targetUuids[std::size_t(t)] == uuid)) {
      auto found = target.jointOfUuid.find(uuid);
      t = found == target.jointOfUuid.end() ? -1 : found->second;
    }
    if (t >= 0 && s.deltaOf[std::size_t(t)] < 0) s.deltaOf[std::size_t(t)] = k;
  }

  // Parents before children: joints are in pre-order.
  for (std::size_t t = 0; t < targetCount; ++t) {
    const std::int64_t k = s.deltaOf[t];
    if (k < 0) {
      targetLocals[t] = target.restLocals[t];
      continue;
    }
    const bool root = target.skeleton.joints[t].parent < 0;
    const bool translate = root && s.applyTranslation;
    Matrix local = CharacterSolverInterface::ApplyGlobalRotationDelta(target.restTransforms[t], entries[k], translate);
    if (translate) {
      // The displacement from the rest position, scaled.
      const Vector& rest = target.restLocals[t].off;
      Vector moved = Scale(Subtract(local.off, rest), s.scale);
      if (s.inPlace) moved = Scale(s.up, Dot(moved, s.up));  // the height alone
      local.off = Add(rest, moved);
    }
    targetLocals[t] = local;
  }
  return {};
}

Outcome<BvhClip> RetargetClip(Retargeter& retargeter, const BvhClip& source, const Rig& target, std::int64_t first,
                              std::int64_t last, const std::function<void(std::int64_t)>& progress) {
  try {
    BvhClip out;
    out.skeleton = target.skeleton;
    out.frameTime = source.frameTime;
    const std::int64_t perFrame = out.skeleton.valueCount;
    out.values.resize(std::size_t((last - first) * perFrame));
    std::vector<Matrix> locals;
    for (std::int64_t f = first; f < last; ++f) {
      RETARGET_TRY(retargeter.RetargetFrame(source.Frame(f), locals));
      double* values = out.values.data() + (f - first) * perFrame;
      const double* previous = f > first ? values - perFrame : nullptr;
      for (std::size_t t = 0; t < out.skeleton.joints.size(); ++t)
        StoreLocalMatrix(out.skeleton.joints[t], locals[t], values, previous);
      if (progress) progress(f - first + 1);
    }
    return out;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
