// CharacterBodyPartRef: one region of a character rig: identifier, name,
// controllers, skeleton nodes and the keywords that select skeleton nodes.
// Body parts form a hierarchy of their own; the observer-object name is the
// body part's name. A strong reference.
#pragma once
#include "norvo/array.h"
#include "norvo/characternodeinfo.h"
#include "norvo/hierarchy.h"
#include "norvo/internedid.h"
#include "norvo/serialize.h"
#include "norvo/uuid.h"

namespace norvo {

class CharacterBodyPartRef;

struct CharacterBodyPartInterface {
  static constexpr const InterfaceDecl* kBases[] = {&HierarchyObjectInterface::kDecl};
  using SetIdentifierFn = Result<void> (*)(Object&, void*, const InternedId&);
  using GetIdentifierFn = Result<InternedId> (*)(Object&, void*);
  using SetUuidsFn = Result<void> (*)(Object&, void*, const BaseArray<Uuid>&);
  using GetUuidsFn = Result<const BaseArray<Uuid>&> (*)(Object&, void*);
  using GetHierarchySkeletonFn = Result<BaseArray<Uuid>> (*)(Object&, void*);
  using ClearSkeletonFn = Result<void> (*)(Object&, void*, Bool);
  using GetSkeletonCountFn = Result<Int> (*)(Object&, void*, Bool);
  using SetKeywordsFn = Result<void> (*)(Object&, void*, const BaseArray<String>&);
  using GetKeywordsFn = Result<const BaseArray<String>&> (*)(Object&, void*);
  using FindBodyPartByIDFn = Result<CharacterBodyPartRef> (*)(Object&, void*, const InternedId&);
  using FindBodyPartByNameFn = Result<CharacterBodyPartRef> (*)(Object&, void*, const String&);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using CreateBodyPartFn = Result<CharacterBodyPartRef> (*)(const InternedId&, const String&);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<SetIdentifierFn>{"SetIdentifier"},
      SlotDecl<GetIdentifierFn>{"GetIdentifier"},
      SlotDecl<SetUuidsFn>{"SetControllers"},
      SlotDecl<GetUuidsFn>{"GetControllers"},
      SlotDecl<SetUuidsFn>{"SetSkeleton"},
      SlotDecl<GetUuidsFn>{"GetSkeleton"},
      SlotDecl<GetHierarchySkeletonFn>{"GetHierarchySkeleton"},
      SlotDecl<ClearSkeletonFn>{"ClearSkeleton"},
      SlotDecl<GetSkeletonCountFn>{"GetSkeletonCount"},
      SlotDecl<SetKeywordsFn>{"SetSkeletonKeywords"},
      SlotDecl<SetKeywordsFn>{"SetSkeletonDiscardKeywords"},
      SlotDecl<GetKeywordsFn>{"GetSkeletonKeywords"},
      SlotDecl<GetKeywordsFn>{"GetSkeletonDiscardKeywords"},
      SlotDecl<FindBodyPartByIDFn>{"FindBodyPartByID"},
      SlotDecl<FindBodyPartByNameFn>{"FindBodyPartByName"},
      SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<CreateBodyPartFn>{"CreateBodyPart"},
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.characterbodypart",
                                       "norvo.CharacterBodyPartInterface",
                                       kBases,
                                       RefKind::Strong,
                                       0x30000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterBodyPartRef";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.characterbodypart";

  enum Slot : std::size_t {
    kSetIdentifier = kSlots.Index("SetIdentifier"),
    kGetIdentifier = kSlots.Index("GetIdentifier"),
    kSetControllers = kSlots.Index("SetControllers"),
    kGetControllers = kSlots.Index("GetControllers"),
    kSetSkeleton = kSlots.Index("SetSkeleton"),
    kGetSkeleton = kSlots.Index("GetSkeleton"),
    kGetHierarchySkeleton = kSlots.Index("GetHierarchySkeleton"),
    kClearSkeleton = kSlots.Index("ClearSkeleton"),
    kGetSkeletonCount = kSlots.Index("GetSkeletonCount"),
    kSetSkeletonKeywords = kSlots.Index("SetSkeletonKeywords"),
    kSetSkeletonDiscardKeywords = kSlots.Index("SetSkeletonDiscardKeywords"),
    kGetSkeletonKeywords = kSlots.Index("GetSkeletonKeywords"),
    kGetSkeletonDiscardKeywords = kSlots.Index("GetSkeletonDiscardKeywords"),
    kFindBodyPartByID = kSlots.Index("FindBodyPartByID"),
    kFindBodyPartByName = kSlots.Index("FindBodyPartByName"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t {
    kCreateBodyPart = kStaticSlots.Index("CreateBodyPart"),
    kDescribeIO = kStaticSlots.Index("DescribeIO")
  };

  // A new body part with the identifier; `name` becomes its observer-object name.
  static Result<CharacterBodyPartRef> CreateBodyPart(const InternedId& identifier, const String& name);
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

class CharacterBodyPartRef : public StrongRef<CharacterBodyPartRef>, public HierarchyObjectCalls<CharacterBodyPartRef> {
  using I = CharacterBodyPartInterface;
  using NI = CharacterNodeInfoInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using StrongRef::StrongRef;

  // The body part's node info part (a Uuid and a name of its own, apart
  // from the observer-object name that GetName/SetName reach), read and
  // set in place: all holders share the body part.
  const Uuid& GetUuid() const { return Invoke<NI::GetUuidFn>(NI::kDecl, NI::kGetUuid); }
  Result<void> SetUuid(const Uuid& uuid) const { return Invoke<NI::SetUuidFn>(NI::kDecl, NI::kSetUuid, uuid); }
  const String& GetNodeInfoName() const { return Invoke<NI::GetNameFn>(NI::kDecl, NI::kGetName); }
  Result<void> SetNodeInfoName(const String& name) const {
    return Invoke<NI::SetNameFn>(NI::kDecl, NI::kSetName, name);
  }

  Result<void> SetIdentifier(const InternedId& id) const {
    return Invoke<I::SetIdentifierFn>(I::kDecl, I::kSetIdentifier, id);
  }
  Result<InternedId> GetIdentifier() const { return Invoke<I::GetIdentifierFn>(I::kDecl, I::kGetIdentifier); }
  // The array setters keep the array they had when memory runs out.
  Result<void> SetControllers(const BaseArray<Uuid>& uuids) const {
    return Invoke<I::SetUuidsFn>(I::kDecl, I::kSetControllers, uuids);
  }
  Result<const BaseArray<Uuid>&> GetControllers() const { return Invoke<I::GetUuidsFn>(I::kDecl, I::kGetControllers); }
  Result<void> SetSkeleton(const BaseArray<Uuid>& uuids) const {
    return Invoke<I::SetUuidsFn>(I::kDecl, I::kSetSkeleton, uuids);
  }
  Result<const BaseArray<Uuid>&> GetSkeleton() const { return Invoke<I::GetUuidsFn>(I::kDecl, I::kGetSkeleton); }
  // The skeleton nodes of the whole subtree, in pre-order of the body parts.
  Result<BaseArray<Uuid>> GetHierarchySkeleton() const {
    return Invoke<I::GetHierarchySkeletonFn>(I::kDecl, I::kGetHierarchySkeleton);
  }
  Result<void> ClearSkeleton(Bool recursive) const {
    return Invoke<I::ClearSkeletonFn>(I::kDecl, I::kClearSkeleton, recursive);
  }
  Result<Int> GetSkeletonCount(Bool recursive) const {
    return Invoke<I::GetSkeletonCountFn>(I::kDecl, I::kGetSkeletonCount, recursive);
  }
  Result<void> SetSkeletonKeywords(const BaseArray<String>& keywords) const {
    return Invoke<I::SetKeywordsFn>(I::kDecl, I::kSetSkeletonKeywords, keywords);
  }
  Result<void> SetSkeletonDiscardKeywords(const BaseArray<String>& keywords) const {
    return Invoke<I::SetKeywordsFn>(I::kDecl, I::kSetSkeletonDiscardKeywords, keywords);
  }
  Result<const BaseArray<String>&> GetSkeletonKeywords() const {
    return Invoke<I::GetKeywordsFn>(I::kDecl, I::kGetSkeletonKeywords);
  }
  Result<const BaseArray<String>&> GetSkeletonDiscardKeywords() const {
    return Invoke<I::GetKeywordsFn>(I::kDecl, I::kGetSkeletonDiscardKeywords);
  }
  // The first body part of the subtree, in pre-order, with this identifier
  // (resp. observer-object name), or an empty reference.
  Result<CharacterBodyPartRef> FindBodyPartByID(const InternedId& id) const;
  Result<CharacterBodyPartRef> FindBodyPartByName(const String& name) const;
  String ToString(const FormatStatement* format = nullptr) const {
    return Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }
};

inline Result<CharacterBodyPartRef> CharacterBodyPartRef::FindBodyPartByID(const InternedId& id) const {
  return Invoke<I::FindBodyPartByIDFn>(I::kDecl, I::kFindBodyPartByID, id);
}
inline Result<CharacterBodyPartRef> CharacterBodyPartRef::FindBodyPartByName(const String& name) const {
  return Invoke<I::FindBodyPartByNameFn>(I::kDecl, I::kFindBodyPartByName, name);
}
inline Result<CharacterBodyPartRef> CharacterBodyPartInterface::CreateBodyPart(const InternedId& identifier,
                                                                               const String& name) {
  return InvokeStatic<CreateBodyPartFn>(kDecl, kCreateBodyPart, identifier, name);
}

}  // namespace norvo
