#include "norvo/hierarchy.h"

#include <cstddef>

#include "norvo/serialize.h"

namespace norvo {
namespace {

// The hierarchy component: the links of one object and its observer name.
// The parent holds one reference to each child; the links themselves own
// nothing.
struct HierarchyData {
  Object* parent = nullptr;
  Object* first = nullptr;
  Object* last = nullptr;
  Object* prev = nullptr;
  Object* next = nullptr;
  String name;

  HierarchyData() = default;
  HierarchyData(const HierarchyData&) = delete;
  ~HierarchyData();
  // A copy takes the name; the links belong to the object's place in a tree.
  Result<void> CopyFrom(const HierarchyData& source) noexcept {
    name = source.name;
    return {};
  }

  const String& GetName() const noexcept { return name; }
  void SetName(const String& value) noexcept { name = value; }

  // The observer name, then the children in order; a writer reaches the
  // children through the hierarchy functions, so they have no member.
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept {
    NORVO_RETURN_IF_ERROR(stream.DescribeElement("_observerName", datatype::kString,
                                                 MemberRef{offsetof(HierarchyData, name)}, nullptr, 0));
    return stream.DescribeElement("_children", datatype::kHierarchyChildren, MemberRef{}, nullptr, 0);
  }
};

HierarchyData* Links(Object* object) noexcept {
  return object ? static_cast<HierarchyData*>(object->FindComponent(HierarchyComponent())) : nullptr;
}

void Unlink(HierarchyData& links) noexcept {
  HierarchyData& parent = *Links(links.parent);
  if (links.prev) Links(links.prev)->next = links.next;
  else parent.first = links.next;
  if (links.next) Links(links.next)->prev = links.prev;
  else parent.last = links.prev;
  links.parent = links.prev = links.next = nullptr;
}

// Releasing a child may free it; Object::Release queues such frees while
// another object is being freed, so a deep tree is freed without recursion.
HierarchyData::~HierarchyData() {
  for (Object* child = first; child;) {
    HierarchyData& links = *Links(child);
    Object* next = links.next;
    links.parent = links.prev = links.next = nullptr;
    child->Release();
    child = next;
  }
}

}  // namespace

const ComponentInfo& HierarchyComponent() noexcept {
  using Observer = ObserverObjectInterface;
  static const InterfaceBinding bindings[] = {
      BindInterface<Observer, Method<Observer::kGetName, &HierarchyData::GetName>,
                    Method<Observer::kSetName, &HierarchyData::SetName>>(),
      BindInterface<HierarchyObjectInterface>(),
  };
  static const ComponentInfo component =
      MakeComponent<HierarchyData>(kHierarchyObjectClassId, bindings, &HierarchyData::DescribeIO);
  return component;
}

namespace {
Object* LinkOf(Object* object, Object* HierarchyData::*link) noexcept {
  HierarchyData* links = Links(object);
  return links ? links->*link : nullptr;
}
}  // namespace

Object* HierarchyParent(Object* object) noexcept { return LinkOf(object, &HierarchyData::parent); }
Object* HierarchyFirstChild(Object* object) noexcept { return LinkOf(object, &HierarchyData::first); }
Object* HierarchyLastChild(Object* object) noexcept { return LinkOf(object, &HierarchyData::last); }
Object* HierarchyNext(Object* object) noexcept { return LinkOf(object, &HierarchyData::next); }
Object* HierarchyPrev(Object* object) noexcept { return LinkOf(object, &HierarchyData::prev); }

Result<void> HierarchyInsert(Object* parent, Object* child, Object* after, bool last) noexcept {
  if (!parent || !child) return NullptrError("no object to insert");
  HierarchyData* parentLinks = Links(parent);
  HierarchyData* childLinks = Links(child);
  if (!parentLinks || !childLinks) return IllegalArgumentError("not a hierarchy object");
  if (after && (after == child || HierarchyParent(after) != parent))
    return IllegalArgumentError("the sibling is not another child of this parent");
  // Only an object with children can have `parent` below it.
  if (child == parent) return IllegalArgumentError("an object cannot be inserted under itself or its descendants");
  if (childLinks->first) {
    for (Object* p = parentLinks->parent; p; p = HierarchyParent(p))
      if (p == child) return IllegalArgumentError("an object cannot be inserted under itself or its descendants");
  }

  child->AddRef();  // the new parent's reference
  if (childLinks->parent) {
    Unlink(*childLinks);
    child->Release();  // the old parent's reference
  }
  childLinks->parent = parent;
  if (last && !after) after = parentLinks->last;
  if (after) {
    HierarchyData& afterLinks = *Links(after);
    childLinks->prev = after;
    childLinks->next = afterLinks.next;
    if (afterLinks.next) Links(afterLinks.next)->prev = child;
    else parentLinks->last = child;
    afterLinks.next = child;
  } else {
    childLinks->next = parentLinks->first;
    if (parentLinks->first) Links(parentLinks->first)->prev = child;
    else parentLinks->last = child;
    parentLinks->first = child;
  }
  return {};
}

void HierarchyRemove(Object* object) noexcept {
  HierarchyData* links = Links(object);
  if (!links || !links->parent) return;
  Unlink(*links);
  object->Release();
}

}  // namespace norvo
