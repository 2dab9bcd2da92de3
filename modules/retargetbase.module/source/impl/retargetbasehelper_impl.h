// RetargetBaseHelperImpl: the static operations that prepare and support
// retargeting. It holds no data and keeps nothing between calls; its
// component only gives the helper class.
//
// Every walk over a tree or a body-part hierarchy is the non-recursive
// pre-order walk, so hierarchies of any depth are safe.
#pragma once
#include "norvo/registry.h"
#include "norvo/retargetbasehelper.h"

namespace norvo::retargetbase {

class RetargetBaseHelperImpl {
 public:
  // Fills the skeleton of `bodyPart` and of every body part below it, in
  // pre-order, with the Uuids of the tree nodes (tree root first) whose name
  // holds every "&&"-separated part of one keyword and of no discard keyword,
  // letter case aside. Empty parts are ignored; a keyword without other parts
  // matches nothing. A body part without keywords gets an empty skeleton and
  // the tree is not walked for it. NullptrError for a null body part or tree
  // (the tree only when there are keywords), or a descendant of another kind;
  // OutOfMemoryError. Parts filled before a failure keep their new skeleton,
  // the failing one and those after it their old one.
  static Result<void> FillBodyPart(const CharacterTreeRef& tree, CharacterBodyPartRef bodyPart) noexcept;

  // A new association of each source body part (in pre-order) with the first
  // target body part of its identifier, and of their skeleton nodes pair by
  // pair up to the shorter list. A failure on one body part ends the work on
  // it only and is not reported. IllegalArgumentError for a null argument
  // (statistics untouched); NullptrError for a source descendant of another
  // kind; the creation's error.
  static Result<CharacterAssociation> AssociateBodyPartsByIdentifier(CharacterBodyPartRef srcBodyPart,
                                                                     CharacterBodyPartRef dstBodyPart,
                                                                     AssociationStatistics& statistics) noexcept;

  // A copy of `pose` holding, in order, private copies of the node transforms
  // whose Uuid has a partner, each carrying its partner's Uuid. NullptrError
  // for a null pose or when a private copy cannot be made; OutOfMemoryError.
  static Result<CharacterPose> TranslateSrcToDestID(const CharacterAssociation& association,
                                                    const CharacterPose& pose) noexcept;

  // How many entries of the skeleton of `bodyPart` (of its whole subtree when
  // recursive) the pose holds a node transform for; repeated entries count
  // each time. NullptrError for a null body part, a descendant of another
  // kind, or a null pose met with a non-empty skeleton.
  static Result<Int> FindBodyPartMatchingCount(CharacterBodyPartRef bodyPart, CharacterPose pose,
                                               Bool recursive) noexcept;

  // Empty: the helper has no data.
  String ToString(const FormatStatement* format) const noexcept;

  static const ComponentInfo& Component() noexcept;
};

Result<void> RegisterRetargetBaseHelper(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
