// CharacterNodeInfoImpl: the Uuid and name of a node. Other components of the
// same object reach it directly (TextOf) to open their dumps with its text.
#pragma once
#include "norvo/characternodeinfo.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterNodeInfoImpl {
 public:
  // Makes the stored Uuid private first (as a Uuid block may be shared), then
  // shares the given one. When memory runs out the node keeps its old Uuid.
  Result<void> SetUuid(const Uuid& uuid) noexcept;
  const Uuid& GetUuid() const noexcept { return _objectID; }
  // Takes `uuid` over without first making the old one private: for a node
  // this module has just copied and nobody else has seen, where SetUuid's
  // private block would be dropped at once.
  void TakeUuid(Uuid&& uuid) noexcept { _objectID = std::move(uuid); }
  Result<void> SetName(const String& name) noexcept;
  const String& GetName() const noexcept { return _objectName; }
  // "Object ID : " uuid "\n" "Object Name : " name "\n".
  String ToString(const FormatStatement* format) const noexcept;

  // The node info text of `object`, or an empty text when it has no node info.
  static String TextOf(Object& object, const FormatStatement* format) noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;
  static Result<CharacterNodeInfo> CreateNodeInfo(const Uuid& uuid, const String& name) noexcept;

 private:
  Uuid _objectID;
  String _objectName;
};

Result<void> RegisterCharacterNodeInfo(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
