#include "retargetbasehelper_impl.h"

#include <algorithm>

#include "characterassociation_impl.h"
#include "characternodeinfo_impl.h"
#include "characterpose_impl.h"
#include "component_lookup.h"
#include "hierarchy_walk.h"
#include "norvo/nodepositionmap.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = RetargetBaseHelperInterface;

namespace {

constexpr const char* kNullBodyParts = "Illegal argument: Condition srcBodyPart && dstBodyPart not fulfilled. ";

char ToUpperAscii(char c) noexcept { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// Whether `upperPart` occurs in `name` once the name's ASCII letters are
// upper-cased, the same test as a search in an upper-cased copy, without
// the copy.
bool ContainsUpperCased(std::string_view name, std::string_view upperPart) noexcept {
  for (std::size_t at = 0; at + upperPart.size() <= name.size(); ++at) {
    std::size_t i = 0;
    while (i < upperPart.size() && ToUpperAscii(name[at + i]) == upperPart[i]) ++i;
    if (i == upperPart.size()) return true;
  }
  return false;
}

// A list of keywords, split at "&&" and upper-cased once for all the names
// it is tried on. Empty parts are dropped; a keyword left without parts
// matches no name and is dropped with them.
class KeywordList {
 public:
  Result<void> Prepare(const BaseArray<String>& keywords) noexcept {
    for (const String& keyword : keywords) {
      NORVO_ASSIGN_OR_RETURN(String upper, keyword.ToUpper());
      NORVO_ASSIGN_OR_RETURN(BaseArray<String> parts, upper.Split("&&"));
      for (Int i = parts.GetCount(); i-- > 0;)
        if (parts[i].IsEmpty()) parts.Erase(i);
      if (!parts.IsEmpty()) NORVO_RETURN_IF_ERROR(keywords_.Append(std::move(parts)));
    }
    return {};
  }

  // Whether some keyword has all its parts in `name`, in any order.
  bool Matches(std::string_view name) const noexcept {
    return std::any_of(keywords_.begin(), keywords_.end(), [&](const BaseArray<String>& parts) {
      return std::all_of(parts.begin(), parts.end(),
                         [&](const String& part) { return ContainsUpperCased(name, part.View()); });
    });
  }

 private:
  BaseArray<BaseArray<String>> keywords_;
};

// Fills the skeleton of one body part from the whole tree. The skeleton is
// replaced only when the walk has succeeded.
Result<void> FillOne(const CharacterTreeRef& tree, const CharacterBodyPartRef& part) noexcept {
  NORVO_ASSIGN_OR_RETURN(const BaseArray<String>& keywords, part.GetSkeletonKeywords());
  BaseArray<Uuid> skeleton;
  if (!keywords.IsEmpty()) {
    if (!tree) return NullptrError("no tree to fill the body part from");
    KeywordList take, discard;
    NORVO_RETURN_IF_ERROR(take.Prepare(keywords));
    NORVO_ASSIGN_OR_RETURN(const BaseArray<String>& discardKeywords, part.GetSkeletonDiscardKeywords());
    NORVO_RETURN_IF_ERROR(discard.Prepare(discardKeywords));
    NORVO_RETURN_IF_ERROR(WalkPreOrder(tree, [&](const CharacterTreeRef& node, ParentLink, Int) -> Result<Visit> {
      std::string_view name = node.GetName().View();
      if (!discard.Matches(name) && take.Matches(name)) NORVO_RETURN_IF_ERROR(skeleton.Append(node.GetUuid()));
      return Visit::kContinue;
    }));
  }
  return part.SetSkeleton(skeleton);
}

// For each identifier, the body part that FindBodyPartByID of the target
// root finds, taken from one walk of the target hierarchy instead of one
// search per source body part. The walk ends where a search would fail, at a
// descendant that is not a body part, so an identifier met only beyond it is
// not found, as a search for it would fail. Without memory for the index,
// each lookup searches.
class FirstBodyPartById {
 public:
  explicit FirstBodyPartById(const CharacterBodyPartRef& root) noexcept : root_(root) {
    (void)WalkPreOrder(root, [&](const CharacterBodyPartRef& part, ParentLink, Int) -> Result<Visit> {
      NORVO_ASSIGN_OR_RETURN(InternedId id, part.GetIdentifier());
      if (firsts_.Find(id) || firsts_.Insert(id, part)) return Visit::kContinue;
      indexed_ = false;
      return Visit::kStop;
    });
  }

  // The body part, or an empty reference.
  Result<CharacterBodyPartRef> Find(const InternedId& id) const noexcept {
    if (!indexed_) return root_.FindBodyPartByID(id);
    const CharacterBodyPartRef* part = firsts_.Find(id);
    return part ? *part : CharacterBodyPartRef();
  }

 private:
  CharacterBodyPartRef root_;
  HashMap<InternedId, CharacterBodyPartRef> firsts_;
  bool indexed_ = true;
};

// Associates one source body part with its target and their skeleton nodes,
// position by position, and counts what it paired. The first failure ends
// the work on this body part; what was stored before it stays.
Result<void> AssociateOne(CharacterAssociation& association, const CharacterBodyPartRef& source,
                          const FirstBodyPartById& targets, AssociationStatistics& statistics) noexcept {
  NORVO_ASSIGN_OR_RETURN(InternedId id, source.GetIdentifier());
  NORVO_ASSIGN_OR_RETURN(CharacterBodyPartRef target, targets.Find(id));
  if (!target) return {};
  NORVO_RETURN_IF_ERROR(association.AssociateBodyPart(source, target));
  ++statistics.associatedBodyParts;
  NORVO_ASSIGN_OR_RETURN(const BaseArray<Uuid>& sourceNodes, source.GetSkeleton());
  NORVO_ASSIGN_OR_RETURN(const BaseArray<Uuid>& targetNodes, target.GetSkeleton());
  Int pairs = std::min(sourceNodes.GetCount(), targetNodes.GetCount());
  for (Int i = 0; i < pairs; ++i) NORVO_RETURN_IF_ERROR(association.AssociateUuid(sourceNodes[i], targetNodes[i]));
  statistics.sourceNodes += sourceNodes.GetCount();
  statistics.targetNodes += targetNodes.GetCount();
  statistics.associatedNodes += pairs;
  return {};
}

// Whether a pose holds a node transform for a Uuid, as GetNodeTransformByID
// answers it. The pose's Uuids are indexed once, at the first question. The
// empty Uuid (whose first match may be an empty element) is asked of the
// pose itself, as is every Uuid when there is no memory for the index.
class PoseMembership {
 public:
  explicit PoseMembership(const CharacterPose& pose) noexcept : pose_(pose) {}

  Result<bool> Holds(const Uuid& uuid) noexcept {
    if (!uuid.IsEmpty()) {
      if (state_ == kUnindexed) NORVO_RETURN_IF_ERROR(Index());
      if (state_ == kIndexed) return positions_.Find(uuid).first >= 0;
    }
    NORVO_ASSIGN_OR_RETURN(CharacterNodeTransform transform, pose_.GetNodeTransformByID(uuid));
    return bool(transform);
  }

 private:
  Result<void> Index() noexcept {
    NORVO_ASSIGN_OR_RETURN(const CharacterPoseInterface::Array& transforms, pose_.GetNodeTransformArray());
    state_ = positions_.Build(transforms) ? kIndexed : kUnavailable;
    return {};
  }

  const CharacterPose& pose_;
  NodePositionMap positions_;
  enum { kUnindexed, kIndexed, kUnavailable } state_ = kUnindexed;
};

}  // namespace

Result<void> RetargetBaseHelperImpl::FillBodyPart(const CharacterTreeRef& tree,
                                                  CharacterBodyPartRef bodyPart) noexcept {
  // Filling each body part and then each of its children in turn is a
  // pre-order walk of the body parts.
  return WalkPreOrder(bodyPart, [&](const CharacterBodyPartRef& part, ParentLink, Int) -> Result<Visit> {
    NORVO_RETURN_IF_ERROR(FillOne(tree, part));
    return Visit::kContinue;
  });
}

Result<CharacterAssociation> RetargetBaseHelperImpl::AssociateBodyPartsByIdentifier(
    CharacterBodyPartRef srcBodyPart, CharacterBodyPartRef dstBodyPart, AssociationStatistics& statistics) noexcept {
  if (!srcBodyPart || !dstBodyPart) return IllegalArgumentError(kNullBodyParts);
  NORVO_ASSIGN_OR_RETURN(CharacterAssociation association,
                         CharacterAssociation::Create(CharacterAssociationInterface::kClassId));
  statistics = AssociationStatistics();
  FirstBodyPartById targets(dstBodyPart);
  NORVO_RETURN_IF_ERROR(
      WalkPreOrder(srcBodyPart, [&](const CharacterBodyPartRef& source, ParentLink, Int) -> Result<Visit> {
        ++statistics.visitedBodyParts;
        (void)AssociateOne(association, source, targets, statistics);  // ends the work on this part only
        return Visit::kContinue;
      }));
  return association;
}

Result<CharacterPose> RetargetBaseHelperImpl::TranslateSrcToDestID(const CharacterAssociation& association,
                                                                   const CharacterPose& pose) noexcept {
  NORVO_ASSIGN_OR_RETURN(const CharacterPoseInterface::Array& transforms, pose.GetNodeTransformArray());
  CharacterPoseInterface::Array translated;
  NORVO_RETURN_IF_ERROR(translated.EnsureCapacity(transforms.GetCount()));
  ComponentLookup<CharacterNodeInfoImpl> infos;
  ComponentLookup<CharacterAssociationImpl> tables;
  const CharacterAssociationImpl* table = tables.In(association.Get());
  for (const CharacterNodeTransform& transform : transforms) {
    const CharacterNodeInfoImpl* own = infos.In(transform.Get());
    const Uuid& uuid = own ? own->GetUuid() : transform.GetUuid();
    Uuid partner;
    if (table) {
      const Uuid* found = table->FindAssociatedUuid(uuid);
      if (!found) continue;  // no partner: the node is left out
      partner = *found;
    } else {
      Result<Uuid> found = association.GetAssociatedUuid(uuid);
      if (!found) continue;
      partner = std::move(found).value();
    }
    // The transform is shared with the given pose, so the change makes a
    // private copy first; its node info is made fresh rather than copied,
    // since its Uuid is replaced at once.
    if (!transform) return NullptrError("call through an empty reference");
    Result<ObjectRef> clone = own ? CopyObject(*transform.Get(), CharacterNodeInfoImpl::Component())
                                  : CopyObject(*transform.Get());
    if (!clone) return NullptrError("no private copy could be made");
    CharacterNodeTransform copy;
    static_cast<ObjectRef&>(copy) = std::move(clone).value();
    if (CharacterNodeInfoImpl* info = own ? infos.In(copy.Get()) : nullptr) {
      info->TakeUuid(std::move(partner));
      (void)info->SetName(own->GetName());  // cannot fail
    } else {
      NORVO_RETURN_IF_ERROR(copy.SetUuid(partner));
    }
    NORVO_RETURN_IF_ERROR(translated.Append(std::move(copy)));
  }
  return CharacterPoseImpl::CopyWithArray(pose, std::move(translated));
}

Result<Int> RetargetBaseHelperImpl::FindBodyPartMatchingCount(CharacterBodyPartRef bodyPart, CharacterPose pose,
                                                              Bool recursive) noexcept {
  PoseMembership membership(pose);
  Int count = 0;
  auto countOwn = [&](const CharacterBodyPartRef& part) -> Result<Visit> {
    NORVO_ASSIGN_OR_RETURN(const BaseArray<Uuid>& skeleton, part.GetSkeleton());
    for (const Uuid& uuid : skeleton) {
      NORVO_ASSIGN_OR_RETURN(bool held, membership.Holds(uuid));
      count += held ? 1 : 0;
    }
    return Visit::kContinue;
  };
  // Adding the count of each child's subtree in turn is a pre-order walk.
  if (recursive) {
    NORVO_RETURN_IF_ERROR(
        WalkPreOrder(bodyPart, [&](const CharacterBodyPartRef& part, ParentLink, Int) { return countOwn(part); }));
  } else {
    NORVO_RETURN_IF_ERROR(countOwn(bodyPart));
  }
  return count;
}

// The helper has no data, so its text is empty.
String RetargetBaseHelperImpl::ToString(const FormatStatement*) const noexcept { return String(); }

// No instance methods of its own: the class carries the interface and the
// object's ToString.
const ComponentInfo& RetargetBaseHelperImpl::Component() noexcept {
  using Impl = RetargetBaseHelperImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<I>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings);
  return component;
}

Result<void> RegisterRetargetBaseHelper(ModuleContext& context) noexcept {
  using Impl = RetargetBaseHelperImpl;
  const StaticImpl& statics =
      StaticsOf<I, StaticMethod<I::kFillBodyPart, &Impl::FillBodyPart>,
                StaticMethod<I::kAssociateBodyPartsByIdentifier, &Impl::AssociateBodyPartsByIdentifier>,
                StaticMethod<I::kTranslateSrcToDestID, &Impl::TranslateSrcToDestID>,
                StaticMethod<I::kFindBodyPartMatchingCount, &Impl::FindBodyPartMatchingCount>>(
          "RetargetBaseHelperImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
