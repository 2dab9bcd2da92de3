// RetargetBaseHelperInterface: the static operations that fill body parts
// from a rig, associate two body-part hierarchies, re-key poses and count
// matching nodes.
#pragma once
#include "norvo/characterassociation.h"
#include "norvo/characterbodypart.h"
#include "norvo/characterpose.h"
#include "norvo/charactertree.h"

namespace norvo {

// What AssociateBodyPartsByIdentifier paired.
struct AssociationStatistics {
  Int visitedBodyParts = 0;
  Int associatedBodyParts = 0;
  Int sourceNodes = 0;
  Int targetNodes = 0;
  Int associatedNodes = 0;
};

struct RetargetBaseHelperInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using FillBodyPartFn = Result<void> (*)(const CharacterTreeRef&, CharacterBodyPartRef);
  using AssociateBodyPartsByIdentifierFn = Result<CharacterAssociation> (*)(CharacterBodyPartRef, CharacterBodyPartRef,
                                                                            AssociationStatistics&);
  using TranslateSrcToDestIDFn = Result<CharacterPose> (*)(const CharacterAssociation&, const CharacterPose&);
  using FindBodyPartMatchingCountFn = Result<Int> (*)(CharacterBodyPartRef, CharacterPose, Bool);
  static constexpr SlotTable<> kSlots{};
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<FillBodyPartFn>{"FillBodyPart"},
      SlotDecl<AssociateBodyPartsByIdentifierFn>{"AssociateBodyPartsByIdentifier"},
      SlotDecl<TranslateSrcToDestIDFn>{"TranslateSrcToDestID"},
      SlotDecl<FindBodyPartMatchingCountFn>{"FindBodyPartMatchingCount"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.retargetbasehelper",
                                       "norvo.RetargetBaseHelperInterface",
                                       kBases,
                                       RefKind::Strong,
                                       0x30020000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::RetargetBaseHelperRef";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.retargetbasehelper";

  enum Static : std::size_t {
    kFillBodyPart = kStaticSlots.Index("FillBodyPart"),
    kAssociateBodyPartsByIdentifier = kStaticSlots.Index("AssociateBodyPartsByIdentifier"),
    kTranslateSrcToDestID = kStaticSlots.Index("TranslateSrcToDestID"),
    kFindBodyPartMatchingCount = kStaticSlots.Index("FindBodyPartMatchingCount")
  };

  // Fills the skeleton of the body part and of every body part below it with
  // the tree nodes (pre-order, the tree root first) whose name, letter case
  // aside, holds every "&&"-separated part of one of the part's keywords and
  // no discard keyword; empty parts are ignored. A part without keywords gets
  // an empty skeleton. Parts filled before a failure keep their new skeleton.
  static Result<void> FillBodyPart(const CharacterTreeRef& tree, CharacterBodyPartRef bodyPart) {
    return InvokeStatic<FillBodyPartFn>(kDecl, kFillBodyPart, tree, std::move(bodyPart));
  }
  // A new association of each source body part with the first target body
  // part of the same identifier, and of their skeleton nodes by position. A
  // failure on one body part only ends the work on it. IllegalArgumentError
  // for a null argument; NullptrError for a source child that is not a body part.
  static Result<CharacterAssociation> AssociateBodyPartsByIdentifier(CharacterBodyPartRef srcBodyPart,
                                                                     CharacterBodyPartRef dstBodyPart,
                                                                     AssociationStatistics& statistics) {
    return InvokeStatic<AssociateBodyPartsByIdentifierFn>(kDecl, kAssociateBodyPartsByIdentifier,
                                                          std::move(srcBodyPart), std::move(dstBodyPart), statistics);
  }
  // The pose's node transforms that have a partner, in order, each a private
  // copy carrying its partner's Uuid; the given pose is not changed.
  static Result<CharacterPose> TranslateSrcToDestID(const CharacterAssociation& association,
                                                    const CharacterPose& pose) {
    return InvokeStatic<TranslateSrcToDestIDFn>(kDecl, kTranslateSrcToDestID, association, pose);
  }
  // How many skeleton entries of the body part (of its subtree when
  // recursive) the pose holds a node transform for.
  static Result<Int> FindBodyPartMatchingCount(CharacterBodyPartRef bodyPart, CharacterPose pose, Bool recursive) {
    return InvokeStatic<FindBodyPartMatchingCountFn>(kDecl, kFindBodyPartMatchingCount, std::move(bodyPart),
                                                     std::move(pose), recursive);
  }
};

class RetargetBaseHelperRef : public StrongRef<RetargetBaseHelperRef> {
 public:
  static constexpr const InterfaceDecl& kInterface = RetargetBaseHelperInterface::kDecl;
  using StrongRef::StrongRef;
};

}  // namespace norvo
