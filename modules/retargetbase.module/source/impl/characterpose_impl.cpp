#include "characterpose_impl.h"

#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterPoseInterface;

Result<CharacterNodeTransform> CharacterPoseImpl::GetNodeTransformByID(const Uuid& id) const noexcept {
  for (const CharacterNodeTransform& transform : _nodeTransforms)
    if (transform.GetUuid() == id) return transform;
  return CharacterNodeTransform();
}

String CharacterPoseImpl::ToString(const FormatStatement* format) const noexcept {
  TextBuilder text;
  text.Piece("Node Transform :\n");
  text.Piece("{");
  for (Int i = 0; i < _nodeTransforms.GetCount(); ++i) {
    if (i) text.Piece(",");
    const CharacterNodeTransform& transform = _nodeTransforms[i];
    if (transform) text.Piece(transform.ToString(format).View());
    else text.Piece("nullptr");
  }
  text.Piece("}");
  return text.Take();
}

Result<void> CharacterPoseImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  return stream.DescribeElement("NodeTransform", CharacterNodeTransformInterface::kDataTypeName,
                                NORVO_MEMBER(CharacterPoseImpl, _nodeTransforms),
                                &ArrayAccessor<CharacterNodeTransform>(), kDescribeFlagArray);
}

const ComponentInfo& CharacterPoseImpl::Component() noexcept {
  using Impl = CharacterPoseImpl;
  static const MethodFn toString = Bind<I::ToStringFn, &Impl::ToString>();
  static const MethodFn objectSlots[] = {toString};
  static const MethodFn poseSlots[] = {
      Bind<I::SetNodeTransformArrayFn, &Impl::SetNodeTransformArray>(),
      Bind<I::GetNodeTransformArrayFn, &Impl::GetNodeTransformArray>(),
      Bind<I::GetNodeTransformCountFn, &Impl::GetNodeTransformCount>(),
      Bind<I::GetNodeTransformByIDFn, &Impl::GetNodeTransformByID>(),
      toString,
  };
  static const InterfaceBinding bindings[] = {{&ObjectInterface::kDecl, objectSlots}, {&I::kDecl, poseSlots}};
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterPose(ModuleContext& context) noexcept {
  static const MethodFn statics[] = {BindStatic<I::DescribeIOFn>(&CharacterPoseImpl::DescribeIO)};
  static const StaticImpl impl{"CharacterPoseImpl", 0x50000000, statics};
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, CharacterPoseImpl::Component(), parts, I::kDecl, impl);
}

}  // namespace norvo::retargetbase
