// CharacterSolver: extracts the global delta pose of a source pose, and turns
// one delta into the new local matrix of a target node. A copy-on-write
// value without data.
//
// One frame of a retargeting run, as a host wires it:
//
//   delta  = solver.ExtractGlobalDeltaPose(configuration, currentSourcePose)
//   keyed  = RetargetBaseHelperInterface::TranslateSrcToDestID(association, delta)
//   for each node of the target's REST pose that has a delta in `keyed`:
//     local = CharacterSolverInterface::ApplyGlobalRotationDelta(restNode, deltaNode, applyTranslation)
//
// (NodePositionMap, built from the target's rest pose array and the keyed
// delta pose array, pairs the nodes in one pass.)
//
// The delta is relative to the node's parent, so ApplyGlobalRotationDelta
// must get the node's REST node transform: its rest global matrix as global
// and its rest parent global matrix as parent global. The result is then the
// node's new local matrix, to be composed down the hierarchy with the new
// parent globals (global = Multiply(parentGlobal, local)). Applied to a clip
// on its own skeleton, this gives back the clip's local matrices: with
// applyTranslation true exactly, with false the 3x3 parts exactly and the
// rest local offsets. Passing the node's already moved parent global instead
// drops every ancestor's rotation from the result.
//
// Outcomes a host must test for rather than apply:
// - A rest node that the given pose lacks gets a delta with an all-zero 3x3
//   part and the offset -Rg.o (Rg: its rest global matrix).
// - ApplyGlobalRotationDelta with an empty delta reference returns an
//   all-zero 3x3 part.
// So a host applies a delta only to a node that its source pose had, and
// skips the others.
//
// A host that streams frames runs the same frame on spans instead, with a
// SolverJob made once (MakeSolverJob) and run per frame (RunSolverJob): no
// objects are made and nothing is allocated per frame, and the local
// matrices it writes are those of the three calls above, bit for bit.
#pragma once
#include <span>

#include "norvo/charactersolverconfiguration.h"
#include "norvo/matrix.h"

namespace norvo {

class CharacterSolver;

// The plan of a solver job, as MakeSolverJob fills it: per node of the
// target's rest pose, the node of the source's rest pose whose delta drives
// it (the first source node whose partner it is; that node's first match in
// the rest pose), or -1; and whether its translation is applied.
struct SolverJob {
  Int sourceCount = 0;
  BaseArray<Int> sourceOf;
  BaseArray<Bool> applyTranslation;
  BaseArray<Int> driven;  // the target nodes whose sourceOf is not -1, in order
};

// One frame of a solver job. The source spans follow the source's rest pose
// node by node (a node's current matrices at its own place); the target
// spans and the output follow the target's rest pose.
struct SolverJobFrame {
  std::span<const Matrix> sourceRestGlobals, sourceRestParentGlobals;
  std::span<const Matrix> sourceGlobals, sourceParentGlobals;
  // Which source nodes the current pose has (empty: every one). A node it
  // lacks reads as zeros, as a node missing from a pose does.
  std::span<const Bool> sourcePresent;
  std::span<const Matrix> targetRestGlobals, targetRestParentGlobals;
  // Written for the driven target nodes only; the others keep what they hold.
  std::span<Matrix> targetLocals;
  // When not empty: each driven target node's delta (its global matrix in
  // the re-keyed delta pose).
  std::span<Matrix> targetDeltas;
};

struct CharacterSolverInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using ExtractGlobalDeltaPoseFn = Result<CharacterPose> (*)(Object&, void*, const CharacterSolverConfiguration&,
                                                             const CharacterPose&);
  using ApplyGlobalRotationDeltaFn = Matrix (*)(const CharacterNodeTransform&, const CharacterNodeTransform&, Bool);
  using MakeSolverJobFn = Result<void> (*)(const CharacterSolver&, const CharacterSolverConfiguration&,
                                           const CharacterAssociation&, std::span<const Bool>, SolverJob&);
  using RunSolverJobFn = Result<void> (*)(const SolverJob&, const SolverJobFrame&);
  static constexpr SlotTable kSlots{
      SlotDecl<ExtractGlobalDeltaPoseFn>{"ExtractGlobalDeltaPose"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<ApplyGlobalRotationDeltaFn>{"ApplyGlobalRotationDelta"},
      SlotDecl<MakeSolverJobFn>{"MakeSolverJob"},
      SlotDecl<RunSolverJobFn>{"RunSolverJob"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.charactersolver",
                                       "norvo.CharacterSolverInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterSolver";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.charactersolver";

  enum Slot : std::size_t { kExtractGlobalDeltaPose = kSlots.Index("ExtractGlobalDeltaPose") };
  enum Static : std::size_t {
    kApplyGlobalRotationDelta = kStaticSlots.Index("ApplyGlobalRotationDelta"),
    kMakeSolverJob = kStaticSlots.Index("MakeSolverJob"),
    kRunSolverJob = kStaticSlots.Index("RunSolverJob")
  };

  // The new local matrix of `node` turned by `delta`: P^-1 * [t, E3 * G3],
  // where G and P are the node's global and parent global matrices, E the
  // delta's global matrix, and t = G.o, or G.o + E.o with applyTranslation.
  // Singular matrices (determinant exactly 0) invert to the identity; an
  // empty reference reads as zeros. It cannot fail. Without a registered
  // implementation: the diagnostic lines, and the identity.
  static Matrix ApplyGlobalRotationDelta(const CharacterNodeTransform& node, const CharacterNodeTransform& delta,
                                         Bool applyTranslation) {
    return InvokeStaticOr<ApplyGlobalRotationDeltaFn>(Matrix{}, kDecl, kApplyGlobalRotationDelta, node, delta,
                                                      applyTranslation);
  }

  // The plan of a frame of `solver` on spans: the configuration's source and
  // target characters' rest poses, paired through `association` as
  // TranslateSrcToDestID and a host pairing by Uuid pair them.
  // `applyTranslation` holds a flag per target rest node (empty: none).
  // NullptrError: an empty solver or configuration, no source or target
  // character, no rest pose, or an empty entry in one; IllegalArgumentError:
  // flags of the wrong count; OutOfMemoryError: the plan cannot be
  // allocated. On failure `job` is left empty.
  static Result<void> MakeSolverJob(const CharacterSolver& solver, const CharacterSolverConfiguration& configuration,
                                    const CharacterAssociation& association, std::span<const Bool> applyTranslation,
                                    SolverJob& job) {
    return InvokeStatic<MakeSolverJobFn>(kDecl, kMakeSolverJob, solver, configuration, association, applyTranslation,
                                         job);
  }
  // One frame: per driven target node, the local matrix
  // ApplyGlobalRotationDelta gives for its rest and the delta
  // ExtractGlobalDeltaPose gives its source node. Allocates nothing.
  // IllegalArgumentError, with nothing written: a span of the wrong size.
  static Result<void> RunSolverJob(const SolverJob& job, const SolverJobFrame& frame) {
    return InvokeStatic<RunSolverJobFn>(kDecl, kRunSolverJob, job, frame);
  }
};

class CharacterSolver : public CowRef<CharacterSolver> {
  using I = CharacterSolverInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using CowRef::CowRef;

  // A copy of the source character's skeleton rest pose, same nodes in the
  // same order, whose node transforms are private copies with the node's
  // delta as global matrix: 3x3 part K3 * Rg3^-1 and offset K.o - Rg.o, with
  // K = (Cp * Rp^-1)^-1 * Cg (C: the node's first match in `pose`, R: its
  // first match in the rest pose; g global, p parent global). The
  // configuration, the definition, its rest pose and `pose` never change.
  // NullptrError: an empty configuration, no source character, no rest pose,
  // an empty `pose` while the rest pose has nodes, an empty entry in the rest
  // pose, or a private copy that cannot be made. OutOfMemoryError: the
  // working arrays cannot be allocated.
  Result<CharacterPose> ExtractGlobalDeltaPose(const CharacterSolverConfiguration& configuration,
                                               const CharacterPose& pose) const {
    return Invoke<I::ExtractGlobalDeltaPoseFn>(I::kDecl, I::kExtractGlobalDeltaPose, configuration, pose);
  }
};

}  // namespace norvo
