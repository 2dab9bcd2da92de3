// CharacterDefinition: one character rig as a whole: its skeleton tree, its
// body-part tree, its controllers and two rest poses; also a node info. A
// copy-on-write value: a private copy gets copies of both trees (whole
// subtrees) and shares the poses.
#pragma once
#include "norvo/characterbodypart.h"
#include "norvo/characternodeinfo.h"
#include "norvo/characterpose.h"
#include "norvo/charactertree.h"

namespace norvo {

struct CharacterDefinitionInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl, &CharacterNodeInfoInterface::kDecl};
  using GetSkeletonTreeFn = const CharacterTreeRef& (*)(Object&, void*);
  using SetSkeletonTreeFn = Result<void> (*)(Object&, void*, const CharacterTreeRef&);
  using GetBodyPartTreeFn = const CharacterBodyPartRef& (*)(Object&, void*);
  using SetBodyPartTreeFn = Result<void> (*)(Object&, void*, const CharacterBodyPartRef&);
  using SetControllersFn = Result<void> (*)(Object&, void*, const BaseArray<Uuid>&);
  using GetControllersFn = const BaseArray<Uuid>& (*)(Object&, void*);
  using SetPoseFn = Result<void> (*)(Object&, void*, const CharacterPose&);
  using GetPoseFn = const CharacterPose& (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<GetSkeletonTreeFn>{"GetSkeletonTree"},
      SlotDecl<SetSkeletonTreeFn>{"SetSkeletonTree"},
      SlotDecl<GetBodyPartTreeFn>{"GetBodyPartTree"},
      SlotDecl<SetBodyPartTreeFn>{"SetBodyPartTree"},
      SlotDecl<SetControllersFn>{"SetControllers"},
      SlotDecl<GetControllersFn>{"GetControllers"},
      SlotDecl<SetPoseFn>{"SetSkeletonRestPose"},
      SlotDecl<GetPoseFn>{"GetSkeletonRestPose"},
      SlotDecl<SetPoseFn>{"SetControllersRestPose"},
      SlotDecl<GetPoseFn>{"GetControllersRestPose"},
      SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.characterdefinition",
                                       "norvo.CharacterDefinitionInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterDefinition";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.characterdefinition";

  enum Slot : std::size_t {
    kGetSkeletonTree = kSlots.Index("GetSkeletonTree"),
    kSetSkeletonTree = kSlots.Index("SetSkeletonTree"),
    kGetBodyPartTree = kSlots.Index("GetBodyPartTree"),
    kSetBodyPartTree = kSlots.Index("SetBodyPartTree"),
    kSetControllers = kSlots.Index("SetControllers"),
    kGetControllers = kSlots.Index("GetControllers"),
    kSetSkeletonRestPose = kSlots.Index("SetSkeletonRestPose"),
    kGetSkeletonRestPose = kSlots.Index("GetSkeletonRestPose"),
    kSetControllersRestPose = kSlots.Index("SetControllersRestPose"),
    kGetControllersRestPose = kSlots.Index("GetControllersRestPose"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t { kDescribeIO = kStaticSlots.Index("DescribeIO") };

  // Describes "SkeletonRoot", "BodyPartRoot", "SkeletonRestPose",
  // "Controllers" (an array member) and "ControllersRestPose".
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

class CharacterDefinition : public CowRef<CharacterDefinition>, public CharacterNodeInfoCalls<CharacterDefinition> {
  using I = CharacterDefinitionInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using CowRef::CowRef;

  const CharacterTreeRef& GetSkeletonTree() const {
    return Invoke<I::GetSkeletonTreeFn>(I::kDecl, I::kGetSkeletonTree);
  }
  Result<void> SetSkeletonTree(const CharacterTreeRef& tree) {
    return InvokeModifying<I::SetSkeletonTreeFn>(I::kDecl, I::kSetSkeletonTree, tree);
  }
  const CharacterBodyPartRef& GetBodyPartTree() const {
    return Invoke<I::GetBodyPartTreeFn>(I::kDecl, I::kGetBodyPartTree);
  }
  Result<void> SetBodyPartTree(const CharacterBodyPartRef& tree) {
    return InvokeModifying<I::SetBodyPartTreeFn>(I::kDecl, I::kSetBodyPartTree, tree);
  }
  // Keeps the controllers it had when memory runs out.
  Result<void> SetControllers(const BaseArray<Uuid>& controllers) {
    return InvokeModifying<I::SetControllersFn>(I::kDecl, I::kSetControllers, controllers);
  }
  const BaseArray<Uuid>& GetControllers() const { return Invoke<I::GetControllersFn>(I::kDecl, I::kGetControllers); }
  Result<void> SetSkeletonRestPose(const CharacterPose& pose) {
    return InvokeModifying<I::SetPoseFn>(I::kDecl, I::kSetSkeletonRestPose, pose);
  }
  const CharacterPose& GetSkeletonRestPose() const { return Invoke<I::GetPoseFn>(I::kDecl, I::kGetSkeletonRestPose); }
  Result<void> SetControllersRestPose(const CharacterPose& pose) {
    return InvokeModifying<I::SetPoseFn>(I::kDecl, I::kSetControllersRestPose, pose);
  }
  const CharacterPose& GetControllersRestPose() const {
    return Invoke<I::GetPoseFn>(I::kDecl, I::kGetControllersRestPose);
  }
  // The node info text of the definition only.
  String ToString(const FormatStatement* format = nullptr) const {
    return Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }
};

}  // namespace norvo
