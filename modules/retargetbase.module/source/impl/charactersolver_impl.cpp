#include "charactersolver_impl.h"

#include "characternodetransform_impl.h"
#include "characterpose_impl.h"
#include "norvo/nodepositionmap.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterSolverInterface;
using Array = CharacterPoseInterface::Array;

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
    NORVO_RETURN_IF_ERROR(positions.Build(rest, &current));
    const CharacterNodeTransform missing;
    for (Int i = 0; i < rest.GetCount(); ++i) {
      NodePositionMap::Positions at = positions.FindKey(i);
      const CharacterNodeTransform& restNode = at.first < 0 ? missing : rest[at.first];
      const CharacterNodeTransform& currentNode = at.other < 0 ? missing : current[at.other];
      Matrix delta = ComputeGlobalDeltaMatrix(restNode, currentNode);
      if (!rest[i]) return NullptrError("an empty node transform cannot be made writable");
      Result<ObjectRef> clone = CopyObject(*rest[i].Get());
      if (!clone) return NullptrError("no private copy could be made");
      CharacterNodeTransform element;
      static_cast<ObjectRef&>(element) = std::move(clone).value();
      if (auto* impl = static_cast<CharacterNodeTransformImpl*>(
              element.Get()->FindComponent(CharacterNodeTransformImpl::Component()))) {
        impl->SetGlobalMatrix(delta);
      } else {
        NORVO_RETURN_IF_ERROR(element.SetGlobalMatrix(delta));
      }
      NORVO_RETURN_IF_ERROR(working.Append(std::move(element)));
    }
  }
  // The rest pose is shared with the definition, so this clones it; the
  // clone then takes the working array over.
  NORVO_RETURN_IF_ERROR(restPose.MakeWritable());
  if (auto* impl = static_cast<CharacterPoseImpl*>(restPose.Get()->FindComponent(CharacterPoseImpl::Component()))) {
    impl->TakeNodeTransformArray(std::move(working));
  } else {
    NORVO_RETURN_IF_ERROR(restPose.SetNodeTransformArray(working));
  }
  return restPose;
}

namespace {
// The matrices of a node transform, read from its component when the object
// has this module's one (every call of the solver reads them per node),
// else through its interface. An empty reference reads as zeros.
struct NodeMatrices {
  const Matrix& global;
  const Matrix& parentGlobal;
};

NodeMatrices MatricesOf(const CharacterNodeTransform& node) noexcept {
  if (Object* object = node.Get())
    if (auto* impl = static_cast<const CharacterNodeTransformImpl*>(
            object->FindComponent(CharacterNodeTransformImpl::Component())))
      return {impl->GetGlobalMatrix(), impl->GetParentGlobalMatrix()};
  return {node.GetGlobalMatrix(), node.GetParentGlobalMatrix()};
}
}  // namespace

Matrix CharacterSolverImpl::ComputeGlobalDeltaMatrix(const CharacterNodeTransform& rest,
                                                     const CharacterNodeTransform& current) noexcept {
  NodeMatrices c = MatricesOf(current);
  NodeMatrices r = MatricesOf(rest);
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

Matrix CharacterSolverImpl::ApplyGlobalRotationDelta(const CharacterNodeTransform& node,
                                                     const CharacterNodeTransform& delta,
                                                     Bool applyTranslation) noexcept {
  NodeMatrices n = MatricesOf(node);
  const Matrix& g = n.global;
  const Matrix& e = MatricesOf(delta).global;
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
