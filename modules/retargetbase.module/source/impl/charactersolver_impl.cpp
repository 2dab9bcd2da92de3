#include "charactersolver_impl.h"

#include "characterassociation_impl.h"
#include "characternodeinfo_impl.h"
#include "characternodetransform_impl.h"
#include "characterpose_impl.h"
#include "component_lookup.h"
#include "matrix_pairs.h"
#include "norvo/hashmap.h"
#include "norvo/nodepositionmap.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterSolverInterface;
using Array = CharacterPoseInterface::Array;

namespace {
// The matrices of a node transform, read from its component when the object
// has this module's one (every call of the solver reads them per node),
// else through its interface. An empty reference reads as zeros.
struct NodeMatrices {
  const Matrix& global;
  const Matrix& parentGlobal;
};

using TransformLookup = ComponentLookup<CharacterNodeTransformImpl>;

NodeMatrices MatricesOf(const CharacterNodeTransform& node, TransformLookup& lookup) noexcept {
  if (const CharacterNodeTransformImpl* impl = lookup.In(node.Get()))
    return {impl->GetGlobalMatrix(), impl->GetParentGlobalMatrix()};
  return {node.GetGlobalMatrix(), node.GetParentGlobalMatrix()};
}

// The global delta of a node from its rest and current matrices, with the
// matrix work inlined.
[[gnu::flatten]] Matrix GlobalDelta(const NodeMatrices& r, const NodeMatrices& c) noexcept {
  const Matrix& cp = c.parentGlobal;
  const Matrix& rp = r.parentGlobal;
  const Matrix& cg = c.global;
  const Matrix& rg = r.global;
  Matrix q = Multiply(cp, AffineInverse(rp));
  Matrix k = Multiply(AffineInverse(q), cg);
  Matrix delta = Multiply3x3(k, Inverse3x3(rg));
  delta.off = Subtract(k.off, rg.off);
  return delta;
}

// GlobalDelta of two nodes at once, with the same bits.
struct DeltaInputs {
  NodeMatrices r, c;
};
[[gnu::flatten]] void GlobalDeltas(const DeltaInputs& a, const DeltaInputs& b, Matrix (&deltas)[2]) noexcept {
  using namespace pairs;
  const Matrix2 cp = Load(a.c.parentGlobal, b.c.parentGlobal);
  const Matrix2 rp = Load(a.r.parentGlobal, b.r.parentGlobal);
  const Matrix2 cg = Load(a.c.global, b.c.global);
  const Matrix2 rg = Load(a.r.global, b.r.global);
  Matrix2 q = Multiply(cp, AffineInverse(rp));
  Matrix2 k = Multiply(AffineInverse(q), cg);
  Matrix2 delta = Multiply3x3(k, Inverse3x3(rg));
  delta.off = Subtract(k.off, rg.off);
  deltas[0] = Lane(delta, 0);
  deltas[1] = Lane(delta, 1);
}

// A node's new local matrix from its rest global g and parent global p and
// the delta's global e: P^-1 * [t, E3 * G3], t = G.o (+ E.o).
[[gnu::always_inline]] inline Matrix ApplyDelta(const Matrix& g, const Matrix& p, const Matrix& e,
                                                Bool applyTranslation) noexcept {
  Vector t = applyTranslation ? Add(g.off, e.off) : g.off;
  Matrix s = Multiply3x3(e, g);
  Matrix inverseParent = AffineInverse(p);
  Matrix local = Multiply3x3(inverseParent, s);
  local.off = TransformPoint(inverseParent, t);
  return local;
}

// A node's Uuid, from its node info when it is this module's.
const Uuid& UuidOf(const CharacterNodeTransform& node, ComponentLookup<CharacterNodeInfoImpl>& infos) noexcept {
  const CharacterNodeInfoImpl* info = infos.In(node.Get());
  return info ? info->GetUuid() : node.GetUuid();
}

// The node transforms of a character's skeleton rest pose.
Result<const Array*> RestNodes(const CharacterDefinition& character, CharacterPose& holder, const char* none) noexcept {
  if (!character) return NullptrError(none);
  holder = character.GetSkeletonRestPose();
  if (!holder) return NullptrError("a character has no skeleton rest pose");
  NORVO_ASSIGN_OR_RETURN(const Array& nodes, holder.GetNodeTransformArray());
  for (const CharacterNodeTransform& node : nodes)
    if (!node) return NullptrError("an empty entry in a rest pose");
  return &nodes;
}

// Per source rest node, its partner in the association, or none.
Result<const Uuid*> PartnerOf(const Uuid& uuid, const CharacterAssociation& association,
                              const CharacterAssociationImpl* table, Uuid& holder) noexcept {
  if (table) return table->FindAssociatedUuid(uuid);
  Result<Uuid> found = association.GetAssociatedUuid(uuid);
  if (!found) return static_cast<const Uuid*>(nullptr);
  holder = std::move(found).value();
  return &holder;
}

// Fills the plan; `job` arrives empty.
Result<void> FillSolverJob(const Array& source, const Array& target, const CharacterAssociation& association,
                           std::span<const Bool> applyTranslation, SolverJob& job) noexcept {
  const Int sourceCount = source.GetCount(), targetCount = target.GetCount();
  NORVO_RETURN_IF_ERROR(job.sourceOf.EnsureCapacity(targetCount));
  NORVO_RETURN_IF_ERROR(job.applyTranslation.EnsureCapacity(targetCount));
  NORVO_RETURN_IF_ERROR(job.driven.EnsureCapacity(targetCount));
  ComponentLookup<CharacterNodeInfoImpl> infos;
  ComponentLookup<CharacterAssociationImpl> tables;
  const CharacterAssociationImpl* table = tables.In(association.Get());
  // Each source node's first match in its rest pose, as the delta pose reads
  // it.
  NodePositionMap positions;
  NORVO_RETURN_IF_ERROR(positions.BuildForKeys(
      source, source, [&](const CharacterNodeTransform& node) -> const Uuid& { return UuidOf(node, infos); }));
  // Per partner, the first match of the first source node keyed with it.
  HashMap<Uuid, Int> firstEntry;
  for (Int i = 0; i < sourceCount; ++i) {
    Uuid holder;
    NORVO_ASSIGN_OR_RETURN(const Uuid* partner, PartnerOf(UuidOf(source[i], infos), association, table, holder));
    if (partner && !firstEntry.Find(*partner))
      NORVO_RETURN_IF_ERROR(firstEntry.Insert(*partner, positions.FindKey(i).first));
  }
  // Per target node, the first entry keyed with its Uuid.
  for (Int t = 0; t < targetCount; ++t) {
    const Int* entry = firstEntry.Find(UuidOf(target[t], infos));
    const Int from = entry ? *entry : -1;
    NORVO_RETURN_IF_ERROR(job.sourceOf.Append(from));
    NORVO_RETURN_IF_ERROR(job.applyTranslation.Append(!applyTranslation.empty() && applyTranslation[t]));
    if (from >= 0) NORVO_RETURN_IF_ERROR(job.driven.Append(t));
  }
  job.sourceCount = sourceCount;
  return {};
}
}  // namespace

Result<CharacterPose> CharacterSolverImpl::ExtractGlobalDeltaPose(const CharacterSolverConfiguration& configuration,
                                                                  const CharacterPose& pose) const noexcept {
  NORVO_ASSIGN_OR_RETURN(const CharacterDefinition& source, configuration.GetSourceCharacter());
  if (!source) return NullptrError("the configuration has no source character");
  CharacterPose restPose = source.GetSkeletonRestPose();
  if (!restPose) return NullptrError("the source character has no skeleton rest pose");
  NORVO_ASSIGN_OR_RETURN(const Array& rest, restPose.GetNodeTransformArray());

  // The working array: a private copy of each of the rest pose's node
  // transforms (shared with the rest pose, they are always cloned), each
  // then taking its delta.
  Array working;
  NORVO_RETURN_IF_ERROR(working.EnsureCapacity(rest.GetCount()));
  if (!rest.IsEmpty()) {
    NORVO_ASSIGN_OR_RETURN(const Array& current, pose.GetNodeTransformArray());
    // Finds what GetNodeTransformByID of either pose would, in one pass each.
    NodePositionMap positions;
    ComponentLookup<CharacterNodeInfoImpl> infos;
    NORVO_RETURN_IF_ERROR(positions.BuildForKeys(rest, current, [&](const CharacterNodeTransform& node) -> const Uuid& {
      const CharacterNodeInfoImpl* info = infos.In(node.Get());
      return info ? info->GetUuid() : node.GetUuid();
    }));
    for (const CharacterNodeTransform& restNode : rest) {
      if (!restNode) return NullptrError("an empty node transform cannot be made writable");
      Result<ObjectRef> clone = CopyObject(*restNode.Get());
      if (!clone) return NullptrError("no private copy could be made");
      CharacterNodeTransform element;
      static_cast<ObjectRef&>(element) = std::move(clone).value();
      NORVO_RETURN_IF_ERROR(working.Append(std::move(element)));
    }
    // Then the deltas, two nodes at a time.
    const CharacterNodeTransform missing;
    TransformLookup reading, writing;
    // The matrices node i's delta is taken from, read in the contract's
    // order: the current node's, then the rest's.
    auto read = [&](Int i) {
      NodePositionMap::Positions at = positions.FindKey(i);
      NodeMatrices c = MatricesOf(at.other < 0 ? missing : current[at.other], reading);
      return DeltaInputs{MatricesOf(at.first < 0 ? missing : rest[at.first], reading), c};
    };
    auto write = [&](Int i, const Matrix& delta) -> Result<void> {
      CharacterNodeTransform& element = working[i];
      if (CharacterNodeTransformImpl* impl = writing.In(element.Get())) {
        impl->SetGlobalMatrix(delta);
        return {};
      }
      return element.SetGlobalMatrix(delta);
    };
    const Int count = rest.GetCount();
    Int i = 0;
    for (; i + 1 < count; i += 2) {
      const DeltaInputs a = read(i), b = read(i + 1);
      Matrix deltas[2];
      GlobalDeltas(a, b, deltas);
      NORVO_RETURN_IF_ERROR(write(i, deltas[0]));
      NORVO_RETURN_IF_ERROR(write(i + 1, deltas[1]));
    }
    if (i < count) {
      const DeltaInputs last = read(i);
      NORVO_RETURN_IF_ERROR(write(i, GlobalDelta(last.r, last.c)));
    }
  }
  // The rest pose is shared with the definition, so it is copied; the copy
  // then takes the working array over.
  return CharacterPoseImpl::CopyWithArray(restPose, std::move(working));
}

Matrix CharacterSolverImpl::ComputeGlobalDeltaMatrix(const CharacterNodeTransform& rest,
                                                     const CharacterNodeTransform& current) noexcept {
  TransformLookup lookup;
  NodeMatrices c = MatricesOf(current, lookup);
  NodeMatrices r = MatricesOf(rest, lookup);
  return GlobalDelta(r, c);
}

[[gnu::flatten]] Matrix CharacterSolverImpl::ApplyGlobalRotationDelta(const CharacterNodeTransform& node,
                                                                      const CharacterNodeTransform& delta,
                                                                      Bool applyTranslation) noexcept {
  TransformLookup lookup;
  NodeMatrices n = MatricesOf(node, lookup);
  return ApplyDelta(n.global, n.parentGlobal, MatricesOf(delta, lookup).global, applyTranslation);
}

Result<void> CharacterSolverImpl::MakeSolverJob(const CharacterSolver& solver,
                                                const CharacterSolverConfiguration& configuration,
                                                const CharacterAssociation& association,
                                                std::span<const Bool> applyTranslation, SolverJob& job) noexcept {
  job = SolverJob{};
  if (!solver) return NullptrError("the solver is empty");
  if (!configuration) return NullptrError("the configuration is empty");
  NORVO_ASSIGN_OR_RETURN(const CharacterDefinition& sourceCharacter, configuration.GetSourceCharacter());
  NORVO_ASSIGN_OR_RETURN(const CharacterDefinition& targetCharacter, configuration.GetTargetCharacter());
  CharacterPose sourcePose, targetPose;
  NORVO_ASSIGN_OR_RETURN(const Array* source,
                         RestNodes(sourceCharacter, sourcePose, "the configuration has no source character"));
  NORVO_ASSIGN_OR_RETURN(const Array* target,
                         RestNodes(targetCharacter, targetPose, "the configuration has no target character"));
  if (!applyTranslation.empty() && Int(applyTranslation.size()) != target->GetCount())
    return IllegalArgumentError("a translation flag per target rest node, or none");
  Result<void> filled = FillSolverJob(*source, *target, association, applyTranslation, job);
  if (!filled) job = SolverJob{};
  return filled;
}

[[gnu::flatten]] Result<void> CharacterSolverImpl::RunSolverJob(const SolverJob& job,
                                                                const SolverJobFrame& frame) noexcept {
  const std::size_t sources = std::size_t(job.sourceCount), targets = std::size_t(job.sourceOf.GetCount());
  const bool sourceFits = frame.sourceRestGlobals.size() == sources &&
                          frame.sourceRestParentGlobals.size() == sources && frame.sourceGlobals.size() == sources &&
                          frame.sourceParentGlobals.size() == sources &&
                          (frame.sourcePresent.empty() || frame.sourcePresent.size() == sources);
  const bool targetFits = frame.targetRestGlobals.size() == targets &&
                          frame.targetRestParentGlobals.size() == targets && frame.targetLocals.size() == targets &&
                          (frame.targetDeltas.empty() || frame.targetDeltas.size() == targets);
  if (!sourceFits) return IllegalArgumentError("a source span of another size than the source's rest pose");
  if (!targetFits) return IllegalArgumentError("a target span of another size than the target's rest pose");
  const Matrix& zero = kZeroMatrix;
  // The matrices a source node's delta is taken from, as ExtractGlobalDeltaPose reads them.
  auto read = [&](Int t) {
    const std::size_t i = std::size_t(job.sourceOf[t]);
    const bool present = frame.sourcePresent.empty() || frame.sourcePresent[i];
    return DeltaInputs{{frame.sourceRestGlobals[i], frame.sourceRestParentGlobals[i]},
                       {present ? frame.sourceGlobals[i] : zero, present ? frame.sourceParentGlobals[i] : zero}};
  };
  auto write = [&](Int t, const Matrix& delta) {
    const std::size_t at = std::size_t(t);
    frame.targetLocals[at] =
        ApplyDelta(frame.targetRestGlobals[at], frame.targetRestParentGlobals[at], delta, job.applyTranslation[t]);
    if (!frame.targetDeltas.empty()) frame.targetDeltas[at] = delta;
  };
  const Int count = job.driven.GetCount();
  Int k = 0;
  for (; k + 1 < count; k += 2) {
    const Int a = job.driven[k], b = job.driven[k + 1];
    Matrix deltas[2];
    GlobalDeltas(read(a), read(b), deltas);
    write(a, deltas[0]);
    write(b, deltas[1]);
  }
  if (k < count) {
    const Int last = job.driven[k];
    const DeltaInputs inputs = read(last);
    write(last, GlobalDelta(inputs.r, inputs.c));
  }
  return {};
}

const ComponentInfo& CharacterSolverImpl::Component() noexcept {
  using Impl = CharacterSolverImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<I, Method<I::kExtractGlobalDeltaPose, &Impl::ExtractGlobalDeltaPose>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings);
  return component;
}

Result<void> RegisterCharacterSolver(ModuleContext& context) noexcept {
  using Impl = CharacterSolverImpl;
  const StaticImpl& statics = StaticsOf<I, StaticMethod<I::kApplyGlobalRotationDelta, &Impl::ApplyGlobalRotationDelta>,
                                        StaticMethod<I::kMakeSolverJob, &Impl::MakeSolverJob>,
                                        StaticMethod<I::kRunSolverJob, &Impl::RunSolverJob>>("CharacterSolverImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
