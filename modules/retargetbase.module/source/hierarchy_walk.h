// The pre-order walk over tree nodes or body parts. It visits the start node,
// then each child, first to last, followed by the child's whole subtree
// before the next child. The visitor gets the node, its parent (made into a
// reference only when the visitor asks) and its depth below the start node,
// and answers go on, stop, or an error that ends the walk. A descendant that is not of the walked kind is visited as an empty
// reference and then ends the walk with NullptrError. The walk follows the
// sibling and parent links instead of recursing, so any depth is safe.
#pragma once
#include "norvo/hierarchy.h"
#include "norvo/result.h"

namespace norvo::retargetbase {

enum class Visit { kContinue, kStop };

// The parent of a visited node.
class ParentLink {
 public:
  explicit ParentLink(Object* parent) noexcept : parent_(parent) {}
  // The parent as `Ref`; empty when it is not of that kind.
  template <class Ref>
  Ref As() const noexcept {
    return Ref::From(ObjectRef::Share(parent_));
  }

 private:
  Object* parent_;
};

template <class Ref, class Visitor>
Result<void> WalkPreOrder(const Ref& start, Visitor&& visit) {
  Object* root = start.Get();
  if (!root) return NullptrError("call through an empty reference");
  NORVO_ASSIGN_OR_RETURN(Visit first, visit(start, ParentLink(HierarchyParent(root)), Int(0)));
  if (first == Visit::kStop) return {};
  Object* node = root;
  Int depth = 0;
  for (;;) {
    Object* next = HierarchyFirstChild(node);
    if (next) {
      ++depth;
    } else {
      while (node != root && !HierarchyNext(node)) {
        node = HierarchyParent(node);
        --depth;
      }
      if (node == root) return {};
      next = HierarchyNext(node);
    }
    node = next;
    Ref ref = Ref::From(ObjectRef::Share(node));
    NORVO_ASSIGN_OR_RETURN(Visit decision, visit(ref, ParentLink(HierarchyParent(node)), depth));
    if (decision == Visit::kStop) return {};
    if (!ref) return NullptrError("a descendant is not of the walked kind");
  }
}

}  // namespace norvo::retargetbase
