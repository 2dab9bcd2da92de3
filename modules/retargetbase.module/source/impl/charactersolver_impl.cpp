#include "charactersolver_impl.h"

#include "characternodeinfo_impl.h"
#include "characternodetransform_impl.h"
#include "characterpose_impl.h"
#include "component_lookup.h"
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
}  // namespace

Result<CharacterPose> CharacterSolverImpl::ExtractGlobalDeltaPose(const CharacterSolverConfiguration& configuration,
                                                                  const CharacterPose& pose) const noexcept {
  NORVO_ASSIGN_OR_RETURN(const CharacterDefinition& source, configuration.GetSourceCharacter());
  if (!source) return NullptrError("the configuration has no source character");
  CharacterPose restPose = source.GetSkeletonRestPose();
  if (!restPose) return NullptrError("the source character has no skeleton rest pose");
  NORVO_ASSIGN_OR_RETURN(const Array& rest, restPose.GetNodeTransformArray());

  // The working array: each element starts as the rest pose's node transform
  // and is made writable to take its delta. Shared with the rest pose, it is
  // always cloned, so the element is cloned at once.
  Array working;
  NORVO_RETURN_IF_ERROR(working.EnsureCapacity(rest.GetCount()));
  if (!rest.IsEmpty()) {
    NORVO_ASSIGN_OR_RETURN(const Array& current, pose.GetNodeTransformArray());
    // Finds what GetNodeTransformByID of either pose would, in one pass each.
    NodePositionMap positions;
    ComponentLookup<CharacterNodeInfoImpl> infos;
    NORVO_RETURN_IF_ERROR(positions.Build(rest, &current, [&](const CharacterNodeTransform& node) -> const Uuid& {
      const CharacterNodeInfoImpl* info = infos.In(node.Get());
      return info ? info->GetUuid() : node.GetUuid();
    }));
    const CharacterNodeTransform missing;
    TransformLookup reading, writing;
    for (Int i = 0; i < rest.GetCount(); ++i) {
      NodePositionMap::Positions at = positions.FindKey(i);
      const CharacterNodeTransform& restNode = at.first < 0 ? missing : rest[at.first];
      const CharacterNodeTransform& currentNode = at.other < 0 ? missing : current[at.other];
      // Read in the contract's order: the current node's, then the rest's.
      NodeMatrices c = MatricesOf(currentNode, reading);
      NodeMatrices r = MatricesOf(restNode, reading);
      Matrix delta = GlobalDelta(r, c);
      if (!rest[i]) return NullptrError("an empty node transform cannot be made writable");
      Result<ObjectRef> clone = CopyObject(*rest[i].Get());
      if (!clone) return NullptrError("no private copy could be made");
      CharacterNodeTransform element;
      static_cast<ObjectRef&>(element) = std::move(clone).value();
      if (CharacterNodeTransformImpl* impl = writing.In(element.Get())) {
        impl->SetGlobalMatrix(delta);
      } else {
        NORVO_RETURN_IF_ERROR(element.SetGlobalMatrix(delta));
      }
      NORVO_RETURN_IF_ERROR(working.Append(std::move(element)));
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
  const Matrix& g = n.global;
  const Matrix& e = MatricesOf(delta, lookup).global;
  const Matrix& p = n.parentGlobal;
  Vector t = applyTranslation ? Add(g.off, e.off) : g.off;
  Matrix s = Multiply3x3(e, g);
  Matrix inverseParent = AffineInverse(p);
  Matrix local = Multiply3x3(inverseParent, s);
  local.off = TransformPoint(inverseParent, t);
  return local;
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
  const StaticImpl& statics =
      StaticsOf<I, StaticMethod<I::kApplyGlobalRotationDelta, &Impl::ApplyGlobalRotationDelta>>("CharacterSolverImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
