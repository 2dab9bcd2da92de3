// CharacterTreeImpl: the transform-node flag of a skeleton node. It follows
// the hierarchy object and node info components in its class.
#pragma once
#include "norvo/charactertree.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterTreeImpl {
 public:
  Bool IsTransformNode() const noexcept { return _isTransformNode; }
  void SetTransformNode(Bool value) noexcept { _isTransformNode = value; }
  Result<Int> GetHiearchyCount(Object& self, Bool onlyTransformNodes) const noexcept;
  // The node info text, then "Is Transform Node : " 1 or 0.
  String ToString(Object& self, const FormatStatement* format) const noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;
  static Result<CharacterTreeRef> CreateTree(const Uuid& uuid, const String& name, Bool isTransformNode) noexcept;

 private:
  // A node made by class id, not by CreateTree, is not a transform node.
  Bool _isTransformNode = false;
};

Result<void> RegisterCharacterTree(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
