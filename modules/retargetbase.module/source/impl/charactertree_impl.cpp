#include "charactertree_impl.h"

#include "characternodeinfo_impl.h"
#include "hierarchy_walk.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterTreeInterface;

Result<Int> CharacterTreeImpl::GetHiearchyCount(Object& self, Bool onlyTransformNodes) const noexcept {
  Int count = 0;
  NORVO_RETURN_IF_ERROR(WalkPreOrder(CharacterTreeRef::From(ObjectRef::Share(&self)),
                                     [&](const CharacterTreeRef& node, ParentLink, Int) -> Result<Visit> {
                                       if (!onlyTransformNodes || (node && node.IsTransformNode())) ++count;
                                       return Visit::kContinue;
                                     }));
  return count;
}

String CharacterTreeImpl::ToString(Object& self, const FormatStatement* format) const noexcept {
  TextBuilder text;
  text.Piece(CharacterNodeInfoImpl::TextOf(self, format).View());
  text.Piece({"Is Transform Node : ", _isTransformNode ? "1" : "0", "\n"});
  return text.Take();
}

Result<void> CharacterTreeImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  return stream.DescribeElement("IsTransformNode", datatype::kBool, NORVO_MEMBER(CharacterTreeImpl, _isTransformNode),
                                nullptr, 0);
}

Result<CharacterTreeRef> CharacterTreeImpl::CreateTree(const Uuid& uuid, const String& name,
                                                       Bool isTransformNode) noexcept {
  NORVO_ASSIGN_OR_RETURN(CharacterTreeRef node, CharacterTreeRef::Create(I::kClassId));
  NORVO_RETURN_IF_ERROR(node.SetUuid(uuid));
  NORVO_RETURN_IF_ERROR(node.SetName(name));
  node.SetTransformNode(isTransformNode);
  return node;
}

const ComponentInfo& CharacterTreeImpl::Component() noexcept {
  using Impl = CharacterTreeImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<CharacterNodeInfoInterface, Method<CharacterNodeInfoInterface::kToString, &Impl::ToString>>(),
      BindInterface<I, Method<I::kIsTransformNode, &Impl::IsTransformNode>,
                    Method<I::kSetTransformNode, &Impl::SetTransformNode>,
                    Method<I::kGetHiearchyCount, &Impl::GetHiearchyCount>, Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterTree(ModuleContext& context) noexcept {
  using Impl = CharacterTreeImpl;
  const StaticImpl& statics =
      StaticsOf<I, StaticMethod<I::kCreateTree, &Impl::CreateTree>, StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>(
          "CharacterTreeImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kAllOf, kHierarchyObjectClassId},
                                        {ClassPart::kAllOf, CharacterNodeInfoInterface::kClassId},
                                        {ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
