// CharacterNodeTransformImpl: the three matrices of a node in one pose. It
// follows the node info component in its class.
#pragma once
#include "norvo/characternodetransform.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterNodeTransformImpl {
 public:
  void SetGlobalMatrix(const Matrix& m) noexcept { _globalMat = m; }
  const Matrix& GetGlobalMatrix() const noexcept { return _globalMat; }
  void SetParentGlobalMatrix(const Matrix& m) noexcept { _parentGlobalMat = m; }
  const Matrix& GetParentGlobalMatrix() const noexcept { return _parentGlobalMat; }
  void SetPreMultiplyMatrix(const Matrix& m) noexcept { _preMultiplyMat = m; }
  const Matrix& GetPreMultiplyMatrix() const noexcept { return _preMultiplyMat; }
  // The node info text of the object, then each matrix under its label.
  String ToString(Object& self, const FormatStatement* format) const noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;
  static Result<CharacterNodeTransform> CreateNodeTransform(const Uuid& uuid, const Matrix& globalMatrix,
                                                            const Matrix& parentGlobalMatrix) noexcept;

 private:
  Matrix _globalMat;
  Matrix _parentGlobalMat;
  Matrix _preMultiplyMat;
};

Result<void> RegisterCharacterNodeTransform(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
