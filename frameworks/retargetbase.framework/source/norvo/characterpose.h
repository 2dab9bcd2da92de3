// CharacterPose: the node transforms of a whole character, in the caller's
// order. A copy-on-write value; created by class id.
#pragma once
#include "norvo/array.h"
#include "norvo/characternodetransform.h"

namespace norvo {

struct CharacterPoseInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using Array = BaseArray<CharacterNodeTransform>;
  using SetNodeTransformArrayFn = Result<void> (*)(Object&, void*, const Array&);
  using GetNodeTransformArrayFn = Result<const Array&> (*)(Object&, void*);
  using GetNodeTransformCountFn = Int (*)(Object&, void*);
  using GetNodeTransformByIDFn = Result<CharacterNodeTransform> (*)(Object&, void*, const Uuid&);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<SetNodeTransformArrayFn>{"SetNodeTransformArray"},
      SlotDecl<GetNodeTransformArrayFn>{"GetNodeTransformArray"},
      SlotDecl<GetNodeTransformCountFn>{"GetNodeTransformCount"},
      SlotDecl<GetNodeTransformByIDFn>{"GetNodeTransformByID"},
      SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.characterpose",
                                       "norvo.CharacterPoseInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterPose";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.characterpose";

  enum Slot : std::size_t {
    kSetNodeTransformArray = kSlots.Index("SetNodeTransformArray"),
    kGetNodeTransformArray = kSlots.Index("GetNodeTransformArray"),
    kGetNodeTransformCount = kSlots.Index("GetNodeTransformCount"),
    kGetNodeTransformByID = kSlots.Index("GetNodeTransformByID"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t { kDescribeIO = kStaticSlots.Index("DescribeIO") };

  // Describes "NodeTransform", an array member.
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

class CharacterPose : public CowRef<CharacterPose> {
  using I = CharacterPoseInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using CowRef::CowRef;

  // Replaces the node transforms by `array` (each element shared). Out of
  // memory: OutOfMemoryError, and the pose keeps the transforms it had.
  Result<void> SetNodeTransformArray(const I::Array& array) {
    return InvokeModifying<I::SetNodeTransformArrayFn>(I::kDecl, I::kSetNodeTransformArray, array);
  }
  Result<const I::Array&> GetNodeTransformArray() const {
    return Invoke<I::GetNodeTransformArrayFn>(I::kDecl, I::kGetNodeTransformArray);
  }
  Int GetNodeTransformCount() const { return Invoke<I::GetNodeTransformCountFn>(I::kDecl, I::kGetNodeTransformCount); }
  // The first node transform with this Uuid, or an empty reference.
  Result<CharacterNodeTransform> GetNodeTransformByID(const Uuid& id) const {
    return Invoke<I::GetNodeTransformByIDFn>(I::kDecl, I::kGetNodeTransformByID, id);
  }
  String ToString(const FormatStatement* format = nullptr) const {
    return Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }
};

}  // namespace norvo
