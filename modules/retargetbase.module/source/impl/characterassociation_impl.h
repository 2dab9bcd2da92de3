// CharacterAssociationImpl: which node of one character corresponds to which
// node of the other, and which body part to which body part. Two independent
// tables, one keyed by node Uuid and one by body part identifier; every pair
// is stored in both directions, so one lookup answers for either side.
#pragma once
#include "norvo/characterassociation.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterAssociationImpl {
 public:
  // Copies both tables entry by entry; OutOfMemoryError when they cannot be had.
  Result<void> CopyFrom(const CharacterAssociationImpl& source) noexcept;

  // The identifiers of the two body parts, through AssociateId.
  Result<void> AssociateBodyPart(const CharacterBodyPartRef& source, const CharacterBodyPartRef& target) noexcept;
  // Stores source -> target and target -> source, replacing earlier values of
  // those keys. An empty Uuid is IllegalArgumentError. Both entries are stored
  // or neither: out of memory the table is as it was.
  Result<void> AssociateUuid(const Uuid& source, const Uuid& target) noexcept;
  // IllegalArgumentError when the Uuid has no partner.
  Result<Uuid> GetAssociatedUuid(const Uuid& uuid) const noexcept;
  // The partner itself, or nullptr: for a caller in this module that keeps a
  // copy of it.
  const Uuid* FindAssociatedUuid(const Uuid& uuid) const noexcept { return _uuidAssTable.Find(uuid); }
  // As AssociateUuid, for body part identifiers; an unset id is IllegalArgumentError.
  Result<void> AssociateId(const InternedId& source, const InternedId& target) noexcept;
  Result<InternedId> GetAssociatedId(const InternedId& id) const noexcept;
  // The two tables as "<heading>{key->value,...}", in the tables' iteration order.
  String ToString(const FormatStatement* format) const noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;

 private:
  HashMap<Uuid, Uuid> _uuidAssTable;
  HashMap<InternedId, InternedId> _idAssTable;
};

Result<void> RegisterCharacterAssociation(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
