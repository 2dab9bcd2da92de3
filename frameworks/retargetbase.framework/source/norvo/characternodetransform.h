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
  static constexpr std::string_view kMethods[] = {"SetGlobalMatrix",       "GetGlobalMatrix",
                                                  "SetParentGlobalMatrix", "GetParentGlobalMatrix",
                                                  "SetPreMultiplyMatrix",  "GetPreMultiplyMatrix",
                                                  "ToString"};
  static constexpr std::string_view kStatics[] = {"CreateNodeTransform", "DescribeIO"};
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.characternodetransform",
                                       "norvo.CharacterNodeTransformInterface", kBases, RefKind::CopyOnWrite,
                                       0x50000000, kMethods, kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterNodeTransform";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.characternodetransform";

  enum Slot : std::size_t {
    kSetGlobalMatrix,
    kGetGlobalMatrix,
    kSetParentGlobalMatrix,
    kGetParentGlobalMatrix,
    kSetPreMultiplyMatrix,
    kGetPreMultiplyMatrix,
    kToString
  };
  enum Static : std::size_t { kCreateNodeTransform, kDescribeIO };
  using SetMatrixFn = void (*)(Object&, void*, const Matrix&);
  using GetMatrixFn = const Matrix& (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using CreateNodeTransformFn = Result<CharacterNodeTransform> (*)(const Uuid&, const Matrix&, const Matrix&);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);

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
  Result<void> SetGlobalMatrix(const Matrix& m) { return InvokeModifying<I::SetMatrixFn>(I::kDecl, I::kSetGlobalMatrix, m); }
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
