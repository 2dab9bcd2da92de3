// CharacterTreeRef: one node of a skeleton hierarchy: a hierarchy object, a
// node info (its Uuid and name) and the transform-node flag. A strong
// reference: all holders share the node.
#pragma once
#include "norvo/characternodeinfo.h"
#include "norvo/hierarchy.h"

namespace norvo {

class CharacterTreeRef;

struct CharacterTreeInterface {
  static constexpr const InterfaceDecl* kBases[] = {&HierarchyObjectInterface::kDecl,
                                                    &CharacterNodeInfoInterface::kDecl};
  using IsTransformNodeFn = Bool (*)(Object&, void*);
  using SetTransformNodeFn = void (*)(Object&, void*, Bool);
  using GetHiearchyCountFn = Result<Int> (*)(Object&, void*, Bool);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using CreateTreeFn = Result<CharacterTreeRef> (*)(const Uuid&, const String&, Bool);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<IsTransformNodeFn>{"IsTransformNode"},
      SlotDecl<SetTransformNodeFn>{"SetTransformNode"},
      SlotDecl<GetHiearchyCountFn>{"GetHiearchyCount"},
      SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<CreateTreeFn>{"CreateTree"},
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.charactertree",
                                       "norvo.CharacterTreeInterface",
                                       kBases,
                                       RefKind::Strong,
                                       0x30000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterTreeRef";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.charactertree";

  enum Slot : std::size_t {
    kIsTransformNode = kSlots.Index("IsTransformNode"),
    kSetTransformNode = kSlots.Index("SetTransformNode"),
    kGetHiearchyCount = kSlots.Index("GetHiearchyCount"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t {
    kCreateTree = kStaticSlots.Index("CreateTree"),
    kDescribeIO = kStaticSlots.Index("DescribeIO")
  };

  // A new node without parent or children.
  static Result<CharacterTreeRef> CreateTree(const Uuid& uuid, const String& name, Bool isTransformNode);
  // Describes "IsTransformNode".
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

class CharacterTreeRef : public StrongRef<CharacterTreeRef>,
                         public HierarchyObjectCalls<CharacterTreeRef>,
                         public CharacterNodeInfoCalls<CharacterTreeRef> {
  using I = CharacterTreeInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using StrongRef::StrongRef;
  // A node's name is its node info name; the observer-object name is reached
  // through HierarchyObjectRef.
  using CharacterNodeInfoCalls::GetName;
  // All holders share the node, so the setters work through a const reference too.
  Result<void> SetUuid(const Uuid& uuid) const {
    return Invoke<CharacterNodeInfoInterface::SetUuidFn>(CharacterNodeInfoInterface::kDecl,
                                                         CharacterNodeInfoInterface::kSetUuid, uuid);
  }
  Result<void> SetName(const String& name) const {
    return Invoke<CharacterNodeInfoInterface::SetNameFn>(CharacterNodeInfoInterface::kDecl,
                                                         CharacterNodeInfoInterface::kSetName, name);
  }

  Bool IsTransformNode() const { return Invoke<I::IsTransformNodeFn>(I::kDecl, I::kIsTransformNode); }
  void SetTransformNode(Bool value) const { Invoke<I::SetTransformNodeFn>(I::kDecl, I::kSetTransformNode, value); }
  // The nodes of the subtree, this node included; with onlyTransformNodes,
  // only those whose flag is set. NullptrError when a descendant is not a
  // tree node.
  Result<Int> GetHiearchyCount(Bool onlyTransformNodes) const {
    return Invoke<I::GetHiearchyCountFn>(I::kDecl, I::kGetHiearchyCount, onlyTransformNodes);
  }
  String ToString(const FormatStatement* format = nullptr) const {
    return Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }
};

inline Result<CharacterTreeRef> CharacterTreeInterface::CreateTree(const Uuid& uuid, const String& name,
                                                                   Bool isTransformNode) {
  return InvokeStatic<CreateTreeFn>(kDecl, kCreateTree, uuid, name, isTransformNode);
}

}  // namespace norvo
