// CharacterPoseImpl: the node transforms of a pose, in the caller's order.
#pragma once
#include "norvo/characterpose.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterPoseImpl {
 public:
  using Array = CharacterPoseInterface::Array;

  // Copies the array element by element (each node transform shared).
  Result<void> CopyFrom(const CharacterPoseImpl& source) noexcept {
    return _nodeTransforms.CopyFrom(source._nodeTransforms);
  }

  // Allocates at most once, exactly for the new count; out of memory the
  // pose keeps the transforms it had.
  Result<void> SetNodeTransformArray(const Array& array) noexcept { return _nodeTransforms.CopyFrom(array); }
  Result<const Array&> GetNodeTransformArray() const noexcept { return _nodeTransforms; }
  // Takes over `array` without copying it: for the module's own operations
  // that build a pose's array and then discard it.
  void TakeNodeTransformArray(Array&& array) noexcept { _nodeTransforms = std::move(array); }
  Int GetNodeTransformCount() const noexcept { return _nodeTransforms.GetCount(); }
  // A linear search; an empty element counts as having the empty Uuid.
  Result<CharacterNodeTransform> GetNodeTransformByID(const Uuid& id) const noexcept;
  // "Node Transform :\n{" the dumps, separated by ",", "}".
  String ToString(const FormatStatement* format) const noexcept;

  // A private copy of `pose` holding `array` in place of its transforms:
  // what making it writable and then taking the array over gives. A pose of
  // this component alone is made afresh instead of copied, as the copy's
  // array would be thrown away at once. NullptrError when no copy can be had.
  static Result<CharacterPose> CopyWithArray(const CharacterPose& pose, Array&& array) noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;

 private:
  Array _nodeTransforms;
};

Result<void> RegisterCharacterPose(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
