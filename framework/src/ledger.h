// Counts that every thread changes all the time and that are seldom read:
// the blocks Allocate has handed out, and the objects alive per class. Each
// thread keeps its own share of them in its ledger, so that making and
// freeing an object changes no memory another thread writes; a reader adds
// the shares up. A thread's shares go to the shared totals when it ends.
#pragma once
#include "norvo/component.h"
#include "norvo/types.h"

namespace norvo::internal {

// Adds `delta` to the blocks handed out and not yet freed.
void CountBlocks(Int delta) noexcept;
Int CountedBlocks() noexcept;

// Adds `delta` to the live objects of `cls`.
void CountObjects(const Class& cls, Int delta) noexcept;
// The live objects of `cls`: its shared total and every thread's share.
Int CountedObjects(const Class& cls) noexcept;
// Forgets every thread's share of `cls`, which is about to be destroyed (it
// has no live objects, so the shares add up to nothing).
void ForgetClass(const Class& cls) noexcept;

}  // namespace norvo::internal
