#include "characternodeinfo_impl.h"

#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterNodeInfoInterface;

Result<void> CharacterNodeInfoImpl::SetUuid(const Uuid& uuid) noexcept {
  if (auto writable = _objectID.MakeWritable(); !writable) return OutOfMemoryError();
  _objectID = uuid;
  return {};
}

Result<void> CharacterNodeInfoImpl::SetName(const String& name) noexcept {
  _objectName = name;
  return {};
}

String CharacterNodeInfoImpl::ToString(const FormatStatement*) const noexcept {
  char uuid[Uuid::kTextLength];
  _objectID.Format(uuid);
  TextBuilder text;
  text.Piece({"Object ID : ", std::string_view(uuid, Uuid::kTextLength)});
  text.Piece("\n");
  text.Piece({"Object Name : ", _objectName.View()});
  text.Piece("\n");
  return text.Take();
}

String CharacterNodeInfoImpl::TextOf(Object& object, const FormatStatement* format) noexcept {
  auto* info = static_cast<const CharacterNodeInfoImpl*>(object.FindComponent(Component()));
  return info ? info->ToString(format) : String();
}

Result<void> CharacterNodeInfoImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  NORVO_RETURN_IF_ERROR(
      stream.DescribeElement("_objectID", datatype::kUuid, NORVO_MEMBER(CharacterNodeInfoImpl, _objectID), nullptr, 0));
  return stream.DescribeElement("_objectName", datatype::kString, NORVO_MEMBER(CharacterNodeInfoImpl, _objectName),
                                nullptr, 0);
}

Result<CharacterNodeInfo> CharacterNodeInfoImpl::CreateNodeInfo(const Uuid& uuid, const String& name) noexcept {
  NORVO_ASSIGN_OR_RETURN(CharacterNodeInfo info, CharacterNodeInfo::Create(I::kClassId));
  NORVO_RETURN_IF_ERROR(info.SetUuid(uuid));
  NORVO_RETURN_IF_ERROR(info.SetName(name));
  return info;
}

const ComponentInfo& CharacterNodeInfoImpl::Component() noexcept {
  using Impl = CharacterNodeInfoImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<I, Method<I::kSetUuid, &Impl::SetUuid>, Method<I::kGetUuid, &Impl::GetUuid>,
                    Method<I::kSetName, &Impl::SetName>, Method<I::kGetName, &Impl::GetName>,
                    Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterNodeInfo(ModuleContext& context) noexcept {
  using Impl = CharacterNodeInfoImpl;
  const StaticImpl& statics = StaticsOf<I, StaticMethod<I::kCreateNodeInfo, &Impl::CreateNodeInfo>,
                                        StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>("CharacterNodeInfoImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
