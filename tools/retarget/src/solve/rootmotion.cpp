#include "norvo/retarget/solve/rootmotion.h"

#include <cmath>
#include <new>

#include "legs.h"
#include "norvo/retarget/solve/align.h"

namespace norvo::retarget {

namespace {

// The top joint above `joint` (itself when it has no parent).
std::int64_t TopOf(const Skeleton& skeleton, std::int64_t joint) noexcept {
  while (skeleton.joints[std::size_t(joint)].parent >= 0) joint = skeleton.joints[std::size_t(joint)].parent;
  return joint;
}

// A unit direction across `up`: X, or Z where X runs along it.
Vector Heading(const Vector& up) noexcept {
  Vector across = Across(Vector{1, 0, 0}, up);
  if (Length(across) < 0.5) across = Across(Vector{0, 0, 1}, up);
  return Scale(across, 1.0 / Length(across));
}

}  // namespace

void RotateRoots(const Skeleton& skeleton, std::span<Matrix> frame, const Matrix& rotation) noexcept {
  Matrix only = rotation;
  only.off = {};
  for (std::size_t j = 0; j < skeleton.joints.size(); ++j)
    if (skeleton.joints[j].parent < 0) frame[j] = Multiply(only, frame[j]);
}

void RotateRoots(Motion& clip, const Matrix& rotation) noexcept {
  for (std::int64_t f = 0; f < clip.FrameCount(); ++f) RotateRoots(clip.skeleton, clip.Frame(f), rotation);
}

Outcome<Motion> ExtractRootMotion(const Motion& clip, const Rig& rig, const Vector& up, double floor, bool& added) {
  try {
    const std::int64_t hips = rig.FirstJoint("Hips");
    if (hips < 0 || !rig.measured || !(Length(up) > 0.5))
      return MakeFailure(FailureKind::BadInput,
                         "--root-motion extract needs a rig whose Hips and Head body parts have joints (to know which "
                         "way is up)");
    const std::int64_t top = TopOf(clip.skeleton, hips);
    const double height = Dot(rig.restGlobals[std::size_t(top)].off, up) - floor;
    added = top == hips || !(std::abs(height) <= 0.1 * rig.hipHeight);

    Motion out;
    out.frameTime = clip.frameTime;
    out.skeleton.format = clip.skeleton.format;
    const std::size_t offset = added ? 1 : 0;
    if (added) {
      Joint root;
      root.name = "root";
      for (const Joint& joint : clip.skeleton.joints)
        if (joint.name == root.name) root.name = "root_motion";
      root.rest.off = Scale(up, floor);
      out.skeleton.joints.push_back(std::move(root));
    }
    for (Joint joint : clip.skeleton.joints) {
      if (added) joint.parent = joint.parent < 0 ? 0 : joint.parent + 1;
      out.skeleton.joints.push_back(std::move(joint));
    }
    const std::size_t root = added ? 0 : std::size_t(top);
    const std::size_t count = out.skeleton.joints.size();
    out.locals.resize(std::size_t(clip.FrameCount()) * count);

    // The heading: a direction across the up axis, carried by the hips.
    const Vector heading = Heading(up);
    const Vector inHips = TransformVector(Transposed(rig.restGlobals[std::size_t(hips)]), heading);
    std::vector<Matrix> globals(clip.skeleton.joints.size());
    double angle = 0.0;
    for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
      FrameGlobals(clip, f, globals);
      const Matrix& hipsGlobal = globals[std::size_t(hips)];
      const Vector facing = Across(TransformVector(hipsGlobal, inHips), up);
      if (Length(facing) > 1e-6 * Length(inHips))
        angle = std::atan2(Dot(Cross(heading, facing), up), Dot(heading, facing));
      Matrix carrier = AxisAngle(up, angle);
      carrier.off = Add(Across(hipsGlobal.off, up), Scale(up, floor));
      const Matrix back = AffineInverse(carrier);

      const std::span<const Matrix> from = clip.Frame(f);
      const std::span<Matrix> to = out.Frame(f);
      for (std::size_t j = 0; j < from.size(); ++j) to[j + offset] = from[j];
      to[root] = carrier;
      // The root's children keep their world place under the moving root.
      for (std::size_t j = 0; j < count; ++j)
        if (out.skeleton.joints[j].parent == std::int64_t(root)) to[j] = Multiply(back, globals[j - offset]);
    }
    return out;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> LockAxis(Motion& clip, const Rig& rig, int axis) {
  const std::int64_t hips = rig.FirstJoint("Hips");
  if (hips < 0) return MakeFailure(FailureKind::BadInput, "--lock-axis needs a rig whose Hips body part has a joint");
  const std::int64_t top = TopOf(clip.skeleton, hips);
  std::vector<Matrix> globals;
  try {
    globals.resize(clip.skeleton.joints.size());
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  auto along = [axis](const Vector& v) { return axis == 0 ? v.x : axis == 1 ? v.y : v.z; };
  double first = 0.0;
  for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
    FrameGlobals(clip, f, globals);
    const double at = along(globals[std::size_t(hips)].off);
    if (f == 0) first = at;
    Vector& off = clip.Frame(f)[std::size_t(top)].off;
    (axis == 0 ? off.x : axis == 1 ? off.y : off.z) += first - at;
  }
  return {};
}

}  // namespace norvo::retarget
