#include "characterpose_impl.h"

#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterPoseInterface;

Result<CharacterNodeTransform> CharacterPoseImpl::GetNodeTransformByID(const Uuid& id) const noexcept {
  for (const CharacterNodeTransform& transform : _nodeTransforms)
    if (transform.GetUuid() == id) return transform;
  return CharacterNodeTransform();
}

Result<CharacterPose> CharacterPoseImpl::CopyWithArray(const CharacterPose& pose, Array&& array) noexcept {
  Object* object = pose.Get();
  if (!object) return NullptrError("call through an empty reference");
  const Class& cls = object->GetClass();
  CharacterPose copy;
  if (cls.GetComponentCount() == 1 && &cls.GetComponent(0) == &Component()) {
    Result<ObjectRef> fresh = CreateObject(cls);
    if (!fresh) return NullptrError("no private copy could be made");
    static_cast<ObjectRef&>(copy) = std::move(fresh).value();
  } else {
    copy = pose;
    NORVO_RETURN_IF_ERROR(copy.MakeWritable());
  }
  if (auto* impl = static_cast<CharacterPoseImpl*>(copy.Get()->FindComponent(Component()))) {
    impl->TakeNodeTransformArray(std::move(array));
  } else {
    NORVO_RETURN_IF_ERROR(copy.SetNodeTransformArray(array));
  }
  return copy;
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
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<I, Method<I::kSetNodeTransformArray, &Impl::SetNodeTransformArray>,
                    Method<I::kGetNodeTransformArray, &Impl::GetNodeTransformArray>,
                    Method<I::kGetNodeTransformCount, &Impl::GetNodeTransformCount>,
                    Method<I::kGetNodeTransformByID, &Impl::GetNodeTransformByID>,
                    Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterPose(ModuleContext& context) noexcept {
  using Impl = CharacterPoseImpl;
  const StaticImpl& statics = StaticsOf<I, StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>("CharacterPoseImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
