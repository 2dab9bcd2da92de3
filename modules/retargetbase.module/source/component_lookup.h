// The component `Impl` of objects, found once per class: the solver and the
// helper reach many objects of one class in a row, and a class's components
// never move.
#pragma once
#include "norvo/reference.h"

namespace norvo::retargetbase {

template <class Impl>
class ComponentLookup {
 public:
  // The component in `object`, or nullptr for an empty reference or a class
  // without it.
  Impl* In(Object* object) noexcept {
    if (!object) return nullptr;
    const Class* cls = &object->GetClass();
    if (cls != class_) {
      class_ = cls;
      index_ = cls->FindComponent(Impl::Component());
    }
    return index_ < 0 ? nullptr : static_cast<Impl*>(object->GetComponentData(index_));
  }

 private:
  const Class* class_ = nullptr;
  Int index_ = -1;
};

}  // namespace norvo::retargetbase
