// CharacterNodeInfo: the Uuid and name of one node of a character rig; the
// common part of node transforms, tree nodes, body parts and definitions.
// A copy-on-write value.
#pragma once
#include "norvo/object.h"
#include "norvo/serialize.h"
#include "norvo/string.h"
#include "norvo/uuid.h"

namespace norvo {

class CharacterNodeInfo;

struct CharacterNodeInfoInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using SetUuidFn = Result<void> (*)(Object&, void*, const Uuid&);
  using GetUuidFn = const Uuid& (*)(Object&, void*);
  using SetNameFn = Result<void> (*)(Object&, void*, const String&);
  using GetNameFn = const String& (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using CreateNodeInfoFn = Result<CharacterNodeInfo> (*)(const Uuid&, const String&);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<SetUuidFn>{"SetUuid"}, SlotDecl<GetUuidFn>{"GetUuid"},   SlotDecl<SetNameFn>{"SetName"},
      SlotDecl<GetNameFn>{"GetName"}, SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<CreateNodeInfoFn>{"CreateNodeInfo"},
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.characternodeinfo",
                                       "norvo.CharacterNodeInfoInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterNodeInfo";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.characternodeinfo";

  enum Slot : std::size_t {
    kSetUuid = kSlots.Index("SetUuid"),
    kGetUuid = kSlots.Index("GetUuid"),
    kSetName = kSlots.Index("SetName"),
    kGetName = kSlots.Index("GetName"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t {
    kCreateNodeInfo = kStaticSlots.Index("CreateNodeInfo"),
    kDescribeIO = kStaticSlots.Index("DescribeIO")
  };

  // A new node info with the given Uuid and name.
  static Result<CharacterNodeInfo> CreateNodeInfo(const Uuid& uuid, const String& name);
  // Describes "_objectID" and "_objectName".
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

// The node info calls of every reference whose interface derives from it.
template <class Self>
class CharacterNodeInfoCalls {
  using I = CharacterNodeInfoInterface;

 public:
  // OutOfMemoryError when the Uuid cannot be made private; the node then
  // keeps the Uuid it had.
  Result<void> SetUuid(const Uuid& uuid) {
    return Me().template InvokeModifying<I::SetUuidFn>(I::kDecl, I::kSetUuid, uuid);
  }
  const Uuid& GetUuid() const { return CMe().template Invoke<I::GetUuidFn>(I::kDecl, I::kGetUuid); }
  Result<void> SetName(const String& name) {
    return Me().template InvokeModifying<I::SetNameFn>(I::kDecl, I::kSetName, name);
  }
  const String& GetName() const { return CMe().template Invoke<I::GetNameFn>(I::kDecl, I::kGetName); }
  // "Object ID : <uuid>\nObject Name : <name>\n" for a plain node info.
  String ToString(const FormatStatement* format = nullptr) const {
    return CMe().template Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }

 private:
  Self& Me() { return static_cast<Self&>(*this); }
  const Self& CMe() const { return static_cast<const Self&>(*this); }
};

class CharacterNodeInfo : public CowRef<CharacterNodeInfo>, public CharacterNodeInfoCalls<CharacterNodeInfo> {
 public:
  static constexpr const InterfaceDecl& kInterface = CharacterNodeInfoInterface::kDecl;
  using CharacterNodeInfoCalls::ToString;
  using CowRef::CowRef;
};

inline Result<CharacterNodeInfo> CharacterNodeInfoInterface::CreateNodeInfo(const Uuid& uuid, const String& name) {
  return InvokeStatic<CreateNodeInfoFn>(kDecl, kCreateNodeInfo, uuid, name);
}

}  // namespace norvo
