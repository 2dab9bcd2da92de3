#include "charactersolver_impl.h"

#include "characternodeinfo_impl.h"
#include "characternodetransform_impl.h"
#include "characterpose_impl.h"
#include "component_lookup.h"
#include "matrix_pairs.h"
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
