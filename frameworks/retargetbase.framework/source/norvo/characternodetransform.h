// CharacterNodeTransform: the placement of one node in one pose: its node
// info plus the global, parent global and pre-multiply matrices. A
// copy-on-write value.
#pragma once
#include "norvo/characternodeinfo.h"
#include "norvo/matrix.h"

namespace norvo {

class CharacterNodeTransform;

struct CharacterNodeTransformInterface {
  static constexpr const InterfaceDecl* kBases[] = {&CharacterNodeInfoInterface::kDecl};
  using SetMatrixFn = void (*)(Object&, void*, const Matrix&);
  using GetMatrixFn = const Matrix& (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using CreateNodeTransformFn = Result<CharacterNodeTransform> (*)(const Uuid&, const Matrix&, const Matrix&);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<SetMatrixFn>{"SetGlobalMatrix"},
      SlotDecl<GetMatrixFn>{"GetGlobalMatrix"},
      SlotDecl<SetMatrixFn>{"SetParentGlobalMatrix"},
      SlotDecl<GetMatrixFn>{"GetParentGlobalMatrix"},
      SlotDecl<SetMatrixFn>{"SetPreMultiplyMatrix"},
      SlotDecl<GetMatrixFn>{"GetPreMultiplyMatrix"},
      SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<CreateNodeTransformFn>{"CreateNodeTransform"},
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.characternodetransform",
                                       "norvo.CharacterNodeTransformInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterNodeTransform";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.characternodetransform";

  enum Slot : std::size_t {
    kSetGlobalMatrix = kSlots.Index("SetGlobalMatrix"),
    kGetGlobalMatrix = kSlots.Index("GetGlobalMatrix"),
    kSetParentGlobalMatrix = kSlots.Index("SetParentGlobalMatrix"),
    kGetParentGlobalMatrix = kSlots.Index("GetParentGlobalMatrix"),
    kSetPreMultiplyMatrix = kSlots.Index("SetPreMultiplyMatrix"),
    kGetPreMultiplyMatrix = kSlots.Index("GetPreMultiplyMatrix"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t {
    kCreateNodeTransform = kStaticSlots.Index("CreateNodeTransform"),
    kDescribeIO = kStaticSlots.Index("DescribeIO")
  };

  // A new node transform with the Uuid and the two matrices; its name is
  // empty and its pre-multiply matrix the identity.
  static Result<CharacterNodeTransform> CreateNodeTransform(const Uuid& uuid, const Matrix& globalMatrix,
                                                            const Matrix& parentGlobalMatrix);
  // Describes "_globalMat", "_parentGlobalMat" and "_preMultiplyMat".
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

class CharacterNodeTransform : public CowRef<CharacterNodeTransform>,
                               public CharacterNodeInfoCalls<CharacterNodeTransform> {
  using I = CharacterNodeTransformInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using CowRef::CowRef;

  // The setters store all twelve numbers unchanged. Through a shared value
  // they first make a private copy, and report when none can be had.
  Result<void> SetGlobalMatrix(const Matrix& m) {
    return InvokeModifying<I::SetMatrixFn>(I::kDecl, I::kSetGlobalMatrix, m);
  }
  const Matrix& GetGlobalMatrix() const { return Invoke<I::GetMatrixFn>(I::kDecl, I::kGetGlobalMatrix); }
  Result<void> SetParentGlobalMatrix(const Matrix& m) {
    return InvokeModifying<I::SetMatrixFn>(I::kDecl, I::kSetParentGlobalMatrix, m);
  }
  const Matrix& GetParentGlobalMatrix() const { return Invoke<I::GetMatrixFn>(I::kDecl, I::kGetParentGlobalMatrix); }
  Result<void> SetPreMultiplyMatrix(const Matrix& m) {
    return InvokeModifying<I::SetMatrixFn>(I::kDecl, I::kSetPreMultiplyMatrix, m);
  }
  const Matrix& GetPreMultiplyMatrix() const { return Invoke<I::GetMatrixFn>(I::kDecl, I::kGetPreMultiplyMatrix); }
  String ToString(const FormatStatement* format = nullptr) const {
    return Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }
};

inline Result<CharacterNodeTransform> CharacterNodeTransformInterface::CreateNodeTransform(
    const Uuid& uuid, const Matrix& globalMatrix, const Matrix& parentGlobalMatrix) {
  return InvokeStatic<CreateNodeTransformFn>(kDecl, kCreateNodeTransform, uuid, globalMatrix, parentGlobalMatrix);
}

}  // namespace norvo
