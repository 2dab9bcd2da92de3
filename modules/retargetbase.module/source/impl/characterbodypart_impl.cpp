#include "characterbodypart_impl.h"

#include <cstdio>

#include "hierarchy_walk.h"
#include "norvo/characternodeinfo.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterBodyPartInterface;

namespace {
CharacterBodyPartRef Self(Object& self) noexcept { return CharacterBodyPartRef::From(ObjectRef::Share(&self)); }

// "<heading> (<count>) :\n", then "\t<item>\n" for each item.
template <class T, class ItemText>
void AppendSection(TextBuilder& text, std::string_view heading, const BaseArray<T>& items, ItemText itemText) {
  char count[24];
  int length = std::snprintf(count, sizeof count, "%lld", static_cast<long long>(items.GetCount()));
  text.Piece({heading, " (", std::string_view(count, std::size_t(length)), ") :\n"});
  for (const T& item : items) itemText(item);
}
}  // namespace

Result<void> CharacterBodyPartImpl::CopyFrom(const CharacterBodyPartImpl& source) noexcept {
  _identifier = source._identifier;
  _name = source._name;
  NORVO_RETURN_IF_ERROR(_controllers.CopyFrom(source._controllers));
  NORVO_RETURN_IF_ERROR(_skeletonNodes.CopyFrom(source._skeletonNodes));
  NORVO_RETURN_IF_ERROR(_skeletonKeywords.CopyFrom(source._skeletonKeywords));
  return _skeletonDiscardKeywords.CopyFrom(source._skeletonDiscardKeywords);
}

Result<void> CharacterBodyPartImpl::SetIdentifier(const InternedId& identifier) noexcept {
  if (!(identifier == _identifier)) _identifier = identifier;
  return {};
}

Result<BaseArray<Uuid>> CharacterBodyPartImpl::GetHierarchySkeleton(Object& self) const noexcept {
  BaseArray<Uuid> result;
  NORVO_RETURN_IF_ERROR(
      WalkPreOrder(Self(self), [&](const CharacterBodyPartRef& part, ParentLink, Int) -> Result<Visit> {
        NORVO_ASSIGN_OR_RETURN(const BaseArray<Uuid>& skeleton, part.GetSkeleton());
        for (const Uuid& uuid : skeleton) NORVO_RETURN_IF_ERROR(result.Append(uuid));
        return Visit::kContinue;
      }));
  return result;
}

// The recursive forms visit the subtree in pre-order, which is the order in
// which clearing (counting) each child's subtree in turn would reach them.
Result<void> CharacterBodyPartImpl::ClearSkeleton(Object& self, Bool recursive) noexcept {
  _skeletonNodes.Reset();
  if (!recursive) return {};
  return WalkPreOrder(Self(self), [&](const CharacterBodyPartRef& part, ParentLink, Int depth) -> Result<Visit> {
    if (depth > 0) NORVO_RETURN_IF_ERROR(part.ClearSkeleton(false));
    return Visit::kContinue;
  });
}

Result<Int> CharacterBodyPartImpl::GetSkeletonCount(Object& self, Bool recursive) const noexcept {
  if (!recursive) return _skeletonNodes.GetCount();
  Int count = 0;
  NORVO_RETURN_IF_ERROR(
      WalkPreOrder(Self(self), [&](const CharacterBodyPartRef& part, ParentLink, Int) -> Result<Visit> {
        NORVO_ASSIGN_OR_RETURN(Int own, part.GetSkeletonCount(false));
        count += own;
        return Visit::kContinue;
      }));
  return count;
}

// Two ids with the same text are the same interned entry, so identity
// comparison is the identifier equality: case-sensitive, and an unset id
// equals only an unset id.
Result<CharacterBodyPartRef> CharacterBodyPartImpl::FindBodyPartByID(Object& self,
                                                                     const InternedId& identifier) const noexcept {
  CharacterBodyPartRef found;
  NORVO_RETURN_IF_ERROR(
      WalkPreOrder(Self(self), [&](const CharacterBodyPartRef& part, ParentLink, Int) -> Result<Visit> {
        NORVO_ASSIGN_OR_RETURN(InternedId own, part.GetIdentifier());
        if (!(own == identifier)) return Visit::kContinue;
        found = part;
        return Visit::kStop;
      }));
  return found;
}

Result<CharacterBodyPartRef> CharacterBodyPartImpl::FindBodyPartByName(Object& self,
                                                                       const String& name) const noexcept {
  CharacterBodyPartRef found;
  NORVO_RETURN_IF_ERROR(
      WalkPreOrder(Self(self), [&](const CharacterBodyPartRef& part, ParentLink, Int) -> Result<Visit> {
        if (!(part.GetName() == name)) return Visit::kContinue;
        found = part;
        return Visit::kStop;
      }));
  return found;
}

String CharacterBodyPartImpl::ToString(const FormatStatement*) const noexcept {
  TextBuilder text;
  text.Piece({"Name : ", _name.View(), "\n"});
  text.Piece({"Identifier : ", _identifier.View(), "\n"});
  auto uuidLine = [&](const Uuid& uuid) {
    char digits[Uuid::kTextLength];
    uuid.Format(digits);
    text.Piece({"\t", std::string_view(digits, Uuid::kTextLength), "\n"});
  };
  auto keywordLine = [&](const String& keyword) { text.Piece({"\t", keyword.View(), "\n"}); };
  AppendSection(text, "Controllers", _controllers, uuidLine);
  AppendSection(text, "Skeleton Nodes", _skeletonNodes, uuidLine);
  AppendSection(text, "Skeleton Keywords", _skeletonKeywords, keywordLine);
  AppendSection(text, "Skeleton Discard Keywords", _skeletonDiscardKeywords, keywordLine);
  return text.Take();
}

Result<void> CharacterBodyPartImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  using Impl = CharacterBodyPartImpl;
  NORVO_RETURN_IF_ERROR(
      stream.DescribeElement("_identifier", datatype::kInternedId, NORVO_MEMBER(Impl, _identifier), nullptr, 0));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_name", datatype::kString, NORVO_MEMBER(Impl, _name), nullptr, 0));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_controllers", datatype::kUuid, NORVO_MEMBER(Impl, _controllers),
                                               &ArrayAccessor<Uuid>(), kDescribeFlagArray));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_skeletonNodes", datatype::kUuid, NORVO_MEMBER(Impl, _skeletonNodes),
                                               &ArrayAccessor<Uuid>(), kDescribeFlagArray));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_skeletonKeywords", datatype::kString,
                                               NORVO_MEMBER(Impl, _skeletonKeywords), &ArrayAccessor<String>(),
                                               kDescribeFlagArray));
  return stream.DescribeElement("_skeletonDiscardKeywords", datatype::kString,
                                NORVO_MEMBER(Impl, _skeletonDiscardKeywords), &ArrayAccessor<String>(),
                                kDescribeFlagArray);
}

Result<CharacterBodyPartRef> CharacterBodyPartImpl::CreateBodyPart(const InternedId& identifier,
                                                                   const String& name) noexcept {
  NORVO_ASSIGN_OR_RETURN(CharacterBodyPartRef part, CharacterBodyPartRef::Create(I::kClassId));
  NORVO_RETURN_IF_ERROR(part.SetIdentifier(identifier));
  part.SetName(name);
  return part;
}

const ComponentInfo& CharacterBodyPartImpl::Component() noexcept {
  using Impl = CharacterBodyPartImpl;
  // The node info ToString stays that of the node info component.
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<
          I, Method<I::kSetIdentifier, &Impl::SetIdentifier>, Method<I::kGetIdentifier, &Impl::GetIdentifier>,
          Method<I::kSetControllers, &Impl::SetControllers>, Method<I::kGetControllers, &Impl::GetControllers>,
          Method<I::kSetSkeleton, &Impl::SetSkeleton>, Method<I::kGetSkeleton, &Impl::GetSkeleton>,
          Method<I::kGetHierarchySkeleton, &Impl::GetHierarchySkeleton>,
          Method<I::kClearSkeleton, &Impl::ClearSkeleton>, Method<I::kGetSkeletonCount, &Impl::GetSkeletonCount>,
          Method<I::kSetSkeletonKeywords, &Impl::SetSkeletonKeywords>,
          Method<I::kSetSkeletonDiscardKeywords, &Impl::SetSkeletonDiscardKeywords>,
          Method<I::kGetSkeletonKeywords, &Impl::GetSkeletonKeywords>,
          Method<I::kGetSkeletonDiscardKeywords, &Impl::GetSkeletonDiscardKeywords>,
          Method<I::kFindBodyPartByID, &Impl::FindBodyPartByID>,
          Method<I::kFindBodyPartByName, &Impl::FindBodyPartByName>, Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterBodyPart(ModuleContext& context) noexcept {
  using Impl = CharacterBodyPartImpl;
  const StaticImpl& statics = StaticsOf<I, StaticMethod<I::kCreateBodyPart, &Impl::CreateBodyPart>,
                                        StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>("CharacterBodyPartImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kAllOf, kHierarchyObjectClassId},
                                        {ClassPart::kAllOf, CharacterNodeInfoInterface::kClassId},
                                        {ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
