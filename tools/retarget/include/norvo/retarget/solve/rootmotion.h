// Root motion as game engines want it: the travel of a clip on a root joint
// at floor level, or the hips kept still along an axis.
#pragma once
#include <span>
#include <string>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// keep: the travel stays on the hips; extract: see ExtractRootMotion. In
// place, the travel across the up axis removed, is RetargetOptions::inPlace.
enum class RootMotion { Keep, Extract };

// The clip with the hips' travel across the up axis and their rotation about it
// moved onto a root joint at floor level: the rig's root when it stands
// within a tenth of the hip height of the floor and is not the hips,
// otherwise a new root joint named "root" (or "root_motion" when the rig
// has a joint of that name) added above the old root at the floor under the
// origin. Every joint keeps its world motion; the hips' parent then carries
// the travel, and the hips move across the up axis only as much as they do
// against their parent at rest. Needs a rig whose hips and up axis are known;
// BadInput otherwise. `added` tells whether a joint was added.
Outcome<Motion> ExtractRootMotion(const Motion& clip, const Rig& rig, const Vector& up, double floor, bool& added);

// Rotates a motion by `rotation` (its offset unused) through the
// origin: its roots' local matrices are rotated.
void RotateRoots(Motion& clip, const Matrix& rotation) noexcept;
// The same for one frame of a skeleton's local matrices.
void RotateRoots(const Skeleton& skeleton, std::span<Matrix> frame, const Matrix& rotation) noexcept;

// Keeps the hips still along world axis `axis` (0, 1, 2 for X, Y, Z) where
// they are in the first frame, by moving the root that carries them.
Outcome<void> LockAxis(Motion& clip, const Rig& rig, int axis);

}  // namespace norvo::retarget
