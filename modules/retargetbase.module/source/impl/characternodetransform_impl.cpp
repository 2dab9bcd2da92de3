#include "characternodetransform_impl.h"

#include "characternodeinfo_impl.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterNodeTransformInterface;

String CharacterNodeTransformImpl::ToString(Object& self, const FormatStatement* format) const noexcept {
  TextBuilder text;
  text.Piece(CharacterNodeInfoImpl::TextOf(self, format).View());
  text.Piece({"Global Matrix :\n", MatrixToString(_globalMat, format).View(), "\n"});
  text.Piece({"Parent Global Matrix :\n", MatrixToString(_parentGlobalMat, format).View(), "\n"});
  text.Piece({"Pre-Multiply Matrix :\n", MatrixToString(_preMultiplyMat, format).View(), "\n"});
  return text.Take();
}

Result<void> CharacterNodeTransformImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  using Impl = CharacterNodeTransformImpl;
  NORVO_RETURN_IF_ERROR(
      stream.DescribeElement("_globalMat", datatype::kMatrix, NORVO_MEMBER(Impl, _globalMat), nullptr, 0));
  NORVO_RETURN_IF_ERROR(
      stream.DescribeElement("_parentGlobalMat", datatype::kMatrix, NORVO_MEMBER(Impl, _parentGlobalMat), nullptr, 0));
  return stream.DescribeElement("_preMultiplyMat", datatype::kMatrix, NORVO_MEMBER(Impl, _preMultiplyMat), nullptr, 0);
}

Result<CharacterNodeTransform> CharacterNodeTransformImpl::CreateNodeTransform(
    const Uuid& uuid, const Matrix& globalMatrix, const Matrix& parentGlobalMatrix) noexcept {
  NORVO_ASSIGN_OR_RETURN(CharacterNodeTransform transform, CharacterNodeTransform::Create(I::kClassId));
  if (!transform.MakeWritable()) return OutOfMemoryError();
  NORVO_RETURN_IF_ERROR(transform.SetUuid(uuid));
  NORVO_RETURN_IF_ERROR(transform.SetGlobalMatrix(globalMatrix));
  NORVO_RETURN_IF_ERROR(transform.SetParentGlobalMatrix(parentGlobalMatrix));
  return transform;
}

const ComponentInfo& CharacterNodeTransformImpl::Component() noexcept {
  using Impl = CharacterNodeTransformImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<CharacterNodeInfoInterface, Method<CharacterNodeInfoInterface::kToString, &Impl::ToString>>(),
      BindInterface<
          I, Method<I::kSetGlobalMatrix, &Impl::SetGlobalMatrix>, Method<I::kGetGlobalMatrix, &Impl::GetGlobalMatrix>,
          Method<I::kSetParentGlobalMatrix, &Impl::SetParentGlobalMatrix>,
          Method<I::kGetParentGlobalMatrix, &Impl::GetParentGlobalMatrix>,
          Method<I::kSetPreMultiplyMatrix, &Impl::SetPreMultiplyMatrix>,
          Method<I::kGetPreMultiplyMatrix, &Impl::GetPreMultiplyMatrix>, Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterNodeTransform(ModuleContext& context) noexcept {
  using Impl = CharacterNodeTransformImpl;
  const StaticImpl& statics = StaticsOf<I, StaticMethod<I::kCreateNodeTransform, &Impl::CreateNodeTransform>,
                                        StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>("CharacterNodeTransformImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kAllOf, CharacterNodeInfoInterface::kClassId},
                                        {ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
