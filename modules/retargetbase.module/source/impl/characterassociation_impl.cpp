#include "characterassociation_impl.h"

#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterAssociationInterface;

namespace {

constexpr const char* kInvalidPair = "Illegal argument: Source or Target doesn't have a valid Uuid";
constexpr const char* kNoPartner = "No value associated to this Uuid";

// Stores a -> b and b -> a, or neither. Replacing the value of a key needs
// no memory, so a key already present goes last; when the second of two new
// keys finds no memory, the first is taken out again (which needs none).
template <class K>
Result<void> InsertBothWays(HashMap<K, K>& table, const K& a, const K& b) noexcept {
  if (a == b) return table.Insert(a, a);
  if (table.Find(a)) {
    NORVO_RETURN_IF_ERROR(table.Insert(b, a));
    return table.Insert(a, b);
  }
  NORVO_RETURN_IF_ERROR(table.Insert(a, b));
  Result<void> second = table.Insert(b, a);
  if (!second) table.Erase(a);
  return second;
}

// "{key->value,...}" in the table's iteration order.
template <class K, class Text>
void AppendTable(TextBuilder& text, const HashMap<K, K>& table, Text textOf) noexcept {
  text.Piece("{");
  bool first = true;
  for (auto entry : table) {
    textOf(entry.key, entry.value, first ? "" : ",");
    first = false;
  }
  text.Piece("}");
}

}  // namespace

Result<void> CharacterAssociationImpl::CopyFrom(const CharacterAssociationImpl& source) noexcept {
  NORVO_RETURN_IF_ERROR(_uuidAssTable.CopyFrom(source._uuidAssTable));
  return _idAssTable.CopyFrom(source._idAssTable);
}

Result<void> CharacterAssociationImpl::AssociateBodyPart(const CharacterBodyPartRef& source,
                                                         const CharacterBodyPartRef& target) noexcept {
  NORVO_ASSIGN_OR_RETURN(InternedId sourceId, source.GetIdentifier());
  NORVO_ASSIGN_OR_RETURN(InternedId targetId, target.GetIdentifier());
  return AssociateId(sourceId, targetId);
}

Result<void> CharacterAssociationImpl::AssociateUuid(const Uuid& source, const Uuid& target) noexcept {
  if (source.IsEmpty() || target.IsEmpty()) return IllegalArgumentError(kInvalidPair);
  return InsertBothWays(_uuidAssTable, source, target);
}

Result<Uuid> CharacterAssociationImpl::GetAssociatedUuid(const Uuid& uuid) const noexcept {
  if (const Uuid* partner = FindAssociatedUuid(uuid)) return *partner;
  return IllegalArgumentError(kNoPartner);
}

Result<void> CharacterAssociationImpl::AssociateId(const InternedId& source, const InternedId& target) noexcept {
  if (!source.IsSet() || !target.IsSet()) return IllegalArgumentError(kInvalidPair);
  return InsertBothWays(_idAssTable, source, target);
}

Result<InternedId> CharacterAssociationImpl::GetAssociatedId(const InternedId& id) const noexcept {
  if (const InternedId* partner = _idAssTable.Find(id)) return *partner;
  return IllegalArgumentError(kNoPartner);
}

String CharacterAssociationImpl::ToString(const FormatStatement*) const noexcept {
  TextBuilder text;
  text.Piece("Uuid Association Table : \n");
  AppendTable(text, _uuidAssTable, [&](const Uuid& key, const Uuid& value, std::string_view separator) {
    char keyText[Uuid::kTextLength], valueText[Uuid::kTextLength];
    key.Format(keyText);
    value.Format(valueText);
    text.Piece({separator, std::string_view(keyText, Uuid::kTextLength), "->",
                std::string_view(valueText, Uuid::kTextLength)});
  });
  text.Piece("InternedId Association Table : \n");
  AppendTable(text, _idAssTable, [&](const InternedId& key, const InternedId& value, std::string_view separator) {
    text.Piece({separator, key.View(), "->", value.View()});
  });
  return text.Take();
}

// Each table is a map member: one description with the member and its
// accessor, then one with neither.
Result<void> CharacterAssociationImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  using Impl = CharacterAssociationImpl;
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_uuidAssTable", datatype::kUuid, NORVO_MEMBER(Impl, _uuidAssTable),
                                               &MapAccessor<Uuid, Uuid>(), kDescribeFlagMap));
  NORVO_RETURN_IF_ERROR(
      stream.DescribeElement("_uuidAssTable", datatype::kUuid, MemberRef{}, nullptr, kDescribeFlagMap));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_idAssTable", datatype::kInternedId, NORVO_MEMBER(Impl, _idAssTable),
                                               &MapAccessor<InternedId, InternedId>(), kDescribeFlagMap));
  return stream.DescribeElement("_idAssTable", datatype::kInternedId, MemberRef{}, nullptr, kDescribeFlagMap);
}

const ComponentInfo& CharacterAssociationImpl::Component() noexcept {
  using Impl = CharacterAssociationImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<
          I, Method<I::kAssociateBodyPart, &Impl::AssociateBodyPart>, Method<I::kAssociateUuid, &Impl::AssociateUuid>,
          Method<I::kGetAssociatedUuid, &Impl::GetAssociatedUuid>, Method<I::kAssociateId, &Impl::AssociateId>,
          Method<I::kGetAssociatedId, &Impl::GetAssociatedId>, Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterAssociation(ModuleContext& context) noexcept {
  using Impl = CharacterAssociationImpl;
  const StaticImpl& statics = StaticsOf<I, StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>("CharacterAssociationImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
