#include "characterdefinition_impl.h"

#include "characternodeinfo_impl.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterDefinitionInterface;

namespace {
// A new tree object copied from `source`'s root, children included.
template <class Ref>
Result<void> CopyTree(Ref& target, const Ref& source) noexcept {
  target = Ref();
  if (!source) return {};
  NORVO_ASSIGN_OR_RETURN(ObjectRef copy, CopyObject(*source.Get()));
  target = Ref::From(copy);
  return {};
}

template <class Ref>
void Store(Ref& member, const Ref& value) noexcept {
  if (!(member == value)) member = value;
}
}  // namespace

Result<void> CharacterDefinitionImpl::CopyFrom(const CharacterDefinitionImpl& source) noexcept {
  NORVO_RETURN_IF_ERROR(CopyTree(_skeletonRoot, source._skeletonRoot));
  NORVO_RETURN_IF_ERROR(CopyTree(_bodyPartRoot, source._bodyPartRoot));
  _skeletonRestPose = source._skeletonRestPose;
  NORVO_RETURN_IF_ERROR(_controllers.CopyFrom(source._controllers));
  _controllersRestPose = source._controllersRestPose;
  return {};
}

Result<void> CharacterDefinitionImpl::SetSkeletonTree(const CharacterTreeRef& tree) noexcept {
  Store(_skeletonRoot, tree);
  return {};
}

Result<void> CharacterDefinitionImpl::SetBodyPartTree(const CharacterBodyPartRef& tree) noexcept {
  Store(_bodyPartRoot, tree);
  return {};
}

Result<void> CharacterDefinitionImpl::SetSkeletonRestPose(const CharacterPose& pose) noexcept {
  Store(_skeletonRestPose, pose);
  return {};
}

Result<void> CharacterDefinitionImpl::SetControllersRestPose(const CharacterPose& pose) noexcept {
  Store(_controllersRestPose, pose);
  return {};
}

String CharacterDefinitionImpl::ToString(Object& self, const FormatStatement* format) const noexcept {
  return CharacterNodeInfoImpl::TextOf(self, format);
}

Result<void> CharacterDefinitionImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  using Impl = CharacterDefinitionImpl;
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("SkeletonRoot", CharacterTreeInterface::kDataTypeName,
                                               NORVO_MEMBER(Impl, _skeletonRoot), nullptr, 0));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("BodyPartRoot", CharacterBodyPartInterface::kDataTypeName,
                                               NORVO_MEMBER(Impl, _bodyPartRoot), nullptr, 0));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("SkeletonRestPose", CharacterPoseInterface::kDataTypeName,
                                               NORVO_MEMBER(Impl, _skeletonRestPose), nullptr, 0));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("Controllers", datatype::kUuid, NORVO_MEMBER(Impl, _controllers),
                                               &ArrayAccessor<Uuid>(), kDescribeFlagArray));
  return stream.DescribeElement("ControllersRestPose", CharacterPoseInterface::kDataTypeName,
                                NORVO_MEMBER(Impl, _controllersRestPose), nullptr, 0);
}

const ComponentInfo& CharacterDefinitionImpl::Component() noexcept {
  using Impl = CharacterDefinitionImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<CharacterNodeInfoInterface, Method<CharacterNodeInfoInterface::kToString, &Impl::ToString>>(),
      BindInterface<
          I, Method<I::kGetSkeletonTree, &Impl::GetSkeletonTree>, Method<I::kSetSkeletonTree, &Impl::SetSkeletonTree>,
          Method<I::kGetBodyPartTree, &Impl::GetBodyPartTree>, Method<I::kSetBodyPartTree, &Impl::SetBodyPartTree>,
          Method<I::kSetControllers, &Impl::SetControllers>, Method<I::kGetControllers, &Impl::GetControllers>,
          Method<I::kSetSkeletonRestPose, &Impl::SetSkeletonRestPose>,
          Method<I::kGetSkeletonRestPose, &Impl::GetSkeletonRestPose>,
          Method<I::kSetControllersRestPose, &Impl::SetControllersRestPose>,
          Method<I::kGetControllersRestPose, &Impl::GetControllersRestPose>, Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterDefinition(ModuleContext& context) noexcept {
  using Impl = CharacterDefinitionImpl;
  const StaticImpl& statics = StaticsOf<I, StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>("CharacterDefinitionImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kAllOf, CharacterNodeInfoInterface::kClassId},
                                        {ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
