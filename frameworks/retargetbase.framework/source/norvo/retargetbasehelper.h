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
      SlotDecl<FindBodyPartMatchingCountFn>{"FindBodyPartMatchingCount"}};
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.retargetbasehelper",
                                       "norvo.RetargetBaseHelperInterface", kBases, RefKind::Strong, 0x30020000, kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::RetargetBaseHelperRef";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.retargetbasehelper";

  enum Static : std::size_t {
    kFillBodyPart = kStaticSlots.Index("FillBodyPart"),
    kAssociateBodyPartsByIdentifier = kStaticSlots.Index("AssociateBodyPartsByIdentifier"),
    kTranslateSrcToDestID = kStaticSlots.Index("TranslateSrcToDestID"),
    kFindBodyPartMatchingCount = kStaticSlots.Index("FindBodyPartMatchingCount")
  };

  static Result<void> FillBodyPart(const CharacterTreeRef& tree, CharacterBodyPartRef bodyPart) {
    return InvokeStatic<FillBodyPartFn>(kDecl, kFillBodyPart, tree, std::move(bodyPart));
  }
  static Result<CharacterAssociation> AssociateBodyPartsByIdentifier(CharacterBodyPartRef srcBodyPart,
                                                                     CharacterBodyPartRef dstBodyPart,
                                                                     AssociationStatistics& statistics) {
    return InvokeStatic<AssociateBodyPartsByIdentifierFn>(kDecl, kAssociateBodyPartsByIdentifier,
                                                          std::move(srcBodyPart), std::move(dstBodyPart), statistics);
  }
  static Result<CharacterPose> TranslateSrcToDestID(const CharacterAssociation& association, const CharacterPose& pose) {
    return InvokeStatic<TranslateSrcToDestIDFn>(kDecl, kTranslateSrcToDestID, association, pose);
  }
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
