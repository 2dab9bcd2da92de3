// CharacterAssociation: node Uuids and body part identifiers of two
// characters, associated both ways. A copy-on-write value.
#pragma once
#include "norvo/characterbodypart.h"
#include "norvo/hashmap.h"
#include "norvo/internedid.h"
#include "norvo/uuid.h"

namespace norvo {

struct CharacterAssociationInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using AssociateBodyPartFn = Result<void> (*)(Object&, void*, const CharacterBodyPartRef&,
                                               const CharacterBodyPartRef&);
  using AssociateUuidFn = Result<void> (*)(Object&, void*, const Uuid&, const Uuid&);
  using GetAssociatedUuidFn = Result<Uuid> (*)(Object&, void*, const Uuid&);
  using AssociateIdFn = Result<void> (*)(Object&, void*, const InternedId&, const InternedId&);
  using GetAssociatedIdFn = Result<InternedId> (*)(Object&, void*, const InternedId&);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<AssociateBodyPartFn>{"AssociateBodyPart"}, SlotDecl<AssociateUuidFn>{"AssociateUuid"},
      SlotDecl<GetAssociatedUuidFn>{"GetAssociatedUuid"}, SlotDecl<AssociateIdFn>{"AssociateId"},
      SlotDecl<GetAssociatedIdFn>{"GetAssociatedId"},     SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.characterassociation",
                                       "norvo.CharacterAssociationInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterAssociation";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.characterassociation";

  enum Slot : std::size_t {
    kAssociateBodyPart = kSlots.Index("AssociateBodyPart"),
    kAssociateUuid = kSlots.Index("AssociateUuid"),
    kGetAssociatedUuid = kSlots.Index("GetAssociatedUuid"),
    kAssociateId = kSlots.Index("AssociateId"),
    kGetAssociatedId = kSlots.Index("GetAssociatedId"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t { kDescribeIO = kStaticSlots.Index("DescribeIO") };

  // Describes "_uuidAssTable" and "_idAssTable", map members.
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

class CharacterAssociation : public CowRef<CharacterAssociation> {
  using I = CharacterAssociationInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using CowRef::CowRef;

  // Associates the identifiers of the two body parts (AssociateId); their
  // skeleton nodes are not read. NullptrError for a null body part.
  Result<void> AssociateBodyPart(const CharacterBodyPartRef& source, const CharacterBodyPartRef& target) {
    return InvokeModifying<I::AssociateBodyPartFn>(I::kDecl, I::kAssociateBodyPart, source, target);
  }
  // Stores source -> target and target -> source, replacing earlier values
  // of those keys (an older reverse entry stays). IllegalArgumentError for an
  // empty Uuid. Out of memory, neither entry is stored.
  Result<void> AssociateUuid(const Uuid& source, const Uuid& target) {
    return InvokeModifying<I::AssociateUuidFn>(I::kDecl, I::kAssociateUuid, source, target);
  }
  // The partner; IllegalArgumentError "No value associated to this Uuid".
  Result<Uuid> GetAssociatedUuid(const Uuid& uuid) const {
    return Invoke<I::GetAssociatedUuidFn>(I::kDecl, I::kGetAssociatedUuid, uuid);
  }
  // As AssociateUuid, in the table of identifiers; an unset id is
  // IllegalArgumentError.
  Result<void> AssociateId(const InternedId& source, const InternedId& target) {
    return InvokeModifying<I::AssociateIdFn>(I::kDecl, I::kAssociateId, source, target);
  }
  Result<InternedId> GetAssociatedId(const InternedId& id) const {
    return Invoke<I::GetAssociatedIdFn>(I::kDecl, I::kGetAssociatedId, id);
  }
  String ToString(const FormatStatement* format = nullptr) const {
    return Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }
};

}  // namespace norvo
