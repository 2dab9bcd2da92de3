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
  static const MethodFn objectSlots[] = {Bind<ObjectInterface::ToStringFn, &Impl::ToString>()};
  static const MethodFn nodeInfoSlots[] = {
      Bind<I::SetUuidFn, &Impl::SetUuid>(), Bind<I::GetUuidFn, &Impl::GetUuid>(),
      Bind<I::SetNameFn, &Impl::SetName>(), Bind<I::GetNameFn, &Impl::GetName>(),
      Bind<I::ToStringFn, &Impl::ToString>(),
  };
  static const InterfaceBinding bindings[] = {{&ObjectInterface::kDecl, objectSlots}, {&I::kDecl, nodeInfoSlots}};
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterNodeInfo(ModuleContext& context) noexcept {
  static const MethodFn statics[] = {BindStatic<I::CreateNodeInfoFn>(&CharacterNodeInfoImpl::CreateNodeInfo),
                                     BindStatic<I::DescribeIOFn>(&CharacterNodeInfoImpl::DescribeIO)};
  static const StaticImpl impl{"CharacterNodeInfoImpl", 0x50000000, statics};
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, CharacterNodeInfoImpl::Component(), parts, I::kDecl, impl);
}

}  // namespace norvo::retargetbase
