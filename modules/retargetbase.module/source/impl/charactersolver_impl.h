// CharacterSolverImpl: the two computations of a retargeting run, pure
// functions of their arguments. The component has no data.
#pragma once
#include "norvo/charactersolver.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterSolverImpl {
 public:
  // A copy of the source character's skeleton rest pose whose node
  // transforms are private copies carrying each node's global delta. Reads
  // its inputs only; on failure nothing is returned and nothing changed.
  Result<CharacterPose> ExtractGlobalDeltaPose(const CharacterSolverConfiguration& configuration,
                                               const CharacterPose& pose) const noexcept;

  // The delta of a node from its rest to its current transform: 3x3 part
  // K3 * Rg3^-1 and offset K.o - Rg.o, where K = (Cp * Rp^-1)^-1 * Cg. Reads
  // Cp, Rp, Cg and Rg in this order; an empty reference reads as zeros.
  static Matrix ComputeGlobalDeltaMatrix(const CharacterNodeTransform& rest,
                                         const CharacterNodeTransform& current) noexcept;

  // P^-1 * [t, E3 * G3] with t = G.o, or G.o + E.o when applyTranslation.
  static Matrix ApplyGlobalRotationDelta(const CharacterNodeTransform& node, const CharacterNodeTransform& delta,
                                         Bool applyTranslation) noexcept;

  // The plan of a frame on spans; see CharacterSolverInterface::MakeSolverJob.
  static Result<void> MakeSolverJob(const CharacterSolver& solver, const CharacterSolverConfiguration& configuration,
                                    const CharacterAssociation& association, std::span<const Bool> applyTranslation,
                                    SolverJob& job) noexcept;
  // A frame on spans, through the same kernels as ExtractGlobalDeltaPose and
  // ApplyGlobalRotationDelta.
  static Result<void> RunSolverJob(const SolverJob& job, const SolverJobFrame& frame) noexcept;

  // A solver has nothing to show: its text is empty.
  String ToString(const FormatStatement*) const noexcept { return String(); }

  static const ComponentInfo& Component() noexcept;
};

Result<void> RegisterCharacterSolver(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
