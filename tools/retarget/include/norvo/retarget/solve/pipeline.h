// The retargeting pipeline: a source rig's frames carried onto a target rig
// through the module's association, solver configuration and solver.
//
// Per frame: the source frame becomes a pose (globals by forward
// kinematics); ExtractGlobalDeltaPose gives each source node's change from
// its rest in global space; TranslateSrcToDestID re-keys it to the target's
// nodes through the association; for every target node that received a
// delta, parents before children, ApplyGlobalRotationDelta on the node's REST
// transform (rest global and rest parent global) gives its new local matrix.
// The deltas are relative to the parents, so applying them against the rest
// parents, not the moved ones, carries each joint's own rotation. Nodes without a
// delta keep their rest local matrix. Only the root is translated, when the
// configuration's flag is set, its displacement scaled by the translation
// scale.
//
// With alignment on, the REST transforms the deltas are applied on are the
// target's aligned rest (align.h) instead of its own, and nodes without a
// delta keep their aligned rest local matrix. Chains of the listed body parts
// that differ in length are spread: each target chain joint rotates so that its
// bone follows the source chain's line between the same relative places, and
// the first driven joint below a chain is rotated to its partner's global
// change, so that nothing of the source chain is lost. On an aligned rest so
// is a joint whose partner's parent is not the partner of its nearest driven
// ancestor (a source joint without a partner lies between them).
//
// On an aligned rest the frame then follows the source's body segments
// (solve/segments.h): what joint rotations alone lose between rigs that share
// out their joints differently. The frames stay in the source's world;
// WorldRotation() takes them into the target's, where the tool writes them.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

struct RetargetOptions {
  bool rootTranslation = true;
  enum class Scale { Auto, None, Fixed } scale = Scale::Auto;
  double fixedScale = 1.0;  // for Scale::Fixed
  // Keeps the root over its rest place: its travel across the target's up
  // axis (Rig::up; +Y when the target could not be measured) is removed,
  // its height kept.
  bool inPlace = false;
  bool align = true;  // apply the deltas on the target's aligned rest
  // The body parts whose chains are spread when their lengths differ.
  std::vector<std::string> spreadBodyParts = {"Spine", "Neck"};
};

class Retargeter {
 public:
  // Associates the body parts of the two rigs and sets up the solver. The
  // rigs must outlive the retargeter.
  static Outcome<std::unique_ptr<Retargeter>> Create(const Rig& source, const Rig& target,
                                                     const RetargetOptions& options);
  ~Retargeter();

  const AssociationStatistics& Statistics() const noexcept { return statistics_; }
  // The pairs of body parts and joints the module associated.
  const CharacterAssociation& Association() const noexcept;
  // The factor on the root's displacement.
  double TranslationScale() const noexcept { return scale_; }
  // Source joints whose motion reaches a target joint, and target joints
  // that receive one.
  std::int64_t PairedSourceJoints() const noexcept { return pairedSource_; }
  std::int64_t DrivenTargetJoints() const noexcept { return drivenTarget_; }
  // Each target joint's source partner through the association, or -1.
  const std::vector<std::int64_t>& SourceOfTarget() const noexcept;
  // The rest the deltas are applied on: the target's own, or aligned.
  const std::vector<Matrix>& RestGlobals() const noexcept;
  // The quarter turn that takes the source's world, where the frames are
  // made, into the target's (landmarks.h); the identity without alignment.
  const Matrix& WorldRotation() const noexcept;
  // The chains that are spread.
  const std::vector<Chain>& SpreadChains() const noexcept;

  // The target's local matrices for one frame of the source's, one per
  // joint of each; Internal when the spans have other sizes.
  Outcome<void> RetargetFrame(std::span<const Matrix> sourceLocals, std::span<Matrix> targetLocals);

  // The plan: what Create works out once for every frame (opaque).
  struct State;

 private:
  explicit Retargeter(std::unique_ptr<State> state);
  // A frame made with the scratch of `worker` (0 or 1): RetargetClip makes
  // frames on two threads at once, each with its own.
  Outcome<void> RetargetFrame(std::span<const Matrix> sourceLocals, std::span<Matrix> targetLocals, int worker);
  void RotateFrame(std::span<Matrix> targetLocals) const;
  Outcome<void> SpreadFrame(std::span<Matrix> targetLocals, int worker);
  friend Outcome<Motion> RetargetClip(Retargeter& retargeter, const Motion& source, const Rig& target,
                                      std::int64_t first, std::int64_t last,
                                      const std::function<void(std::int64_t)>& progress);
  void ScaleDisplacement(Matrix& local, std::size_t joint) const noexcept;
  std::unique_ptr<State> state_;
  AssociationStatistics statistics_;
  double scale_ = 1.0;
  std::int64_t pairedSource_ = 0;
  std::int64_t drivenTarget_ = 0;
};

// Retargets frames [first, last) of a motion of the source rig into a
// motion of the target rig with the source's frame time, on two threads
// where the clip may have a second. `progress`, when given, is called on
// this thread with the frames done so far, once for each count. BadInput
// naming the first frame that gives numbers that are not finite (positions
// too large).
Outcome<Motion> RetargetClip(Retargeter& retargeter, const Motion& source, const Rig& target, std::int64_t first,
                             std::int64_t last, const std::function<void(std::int64_t)>& progress = {});

}  // namespace norvo::retarget
