#include "norvo/retarget/rig/motion.h"

#include <array>
#include <cmath>
#include <new>

namespace norvo::retarget {

namespace {

constexpr std::array<std::string_view, 6> kChannelNames = {"Xposition", "Yposition", "Zposition",
                                                           "Xrotation", "Yrotation", "Zrotation"};

}  // namespace

std::string_view ChannelName(Channel channel) noexcept { return kChannelNames[std::size_t(channel)]; }

void Skeleton::AddJoint(std::string name, std::int64_t parent, Vector offset, std::vector<Channel> channels) {
  Joint joint;
  joint.name = std::move(name);
  joint.parent = parent;
  joint.rest.off = offset;
  joint.format.channels = std::move(channels);
  joints.push_back(std::move(joint));
}

bool AllFinite(std::span<const Matrix> matrices) noexcept {
  for (const Matrix& m : matrices)
    for (const Vector* v : {&m.off, &m.v1, &m.v2, &m.v3})
      if (!std::isfinite(v->x) || !std::isfinite(v->y) || !std::isfinite(v->z)) return false;
  return true;
}

void ForwardKinematics(const Skeleton& skeleton, std::span<const Matrix> locals, std::span<Matrix> globals) noexcept {
  for (std::size_t j = 0; j < skeleton.joints.size(); ++j) {
    const std::int64_t parent = skeleton.joints[j].parent;
    globals[j] = parent < 0 ? locals[j] : Multiply(globals[std::size_t(parent)], locals[j]);
  }
}

std::vector<std::int64_t> JointsUpTo(const Skeleton& skeleton, std::span<const std::int64_t> joints) {
  std::vector<bool> needed(skeleton.joints.size(), false);
  for (std::int64_t j : joints)
    for (; j >= 0 && !needed[std::size_t(j)]; j = skeleton.joints[std::size_t(j)].parent) needed[std::size_t(j)] = true;
  std::vector<std::int64_t> listed;
  for (std::size_t j = 0; j < needed.size(); ++j)
    if (needed[j]) listed.push_back(std::int64_t(j));
  return listed;
}

void ForwardKinematics(const Skeleton& skeleton, std::span<const Matrix> locals, std::span<Matrix> globals,
                       std::span<const std::int64_t> only) noexcept {
  for (const std::int64_t listed : only) {
    const std::size_t j = std::size_t(listed);
    const std::int64_t parent = skeleton.joints[j].parent;
    globals[j] = parent < 0 ? locals[j] : Multiply(globals[std::size_t(parent)], locals[j]);
  }
}

Outcome<RestPose> RestOf(const Skeleton& skeleton) {
  try {
    RestPose rest;
    rest.locals.reserve(skeleton.joints.size());
    for (const Joint& joint : skeleton.joints) rest.locals.push_back(joint.rest);
    rest.globals.resize(skeleton.joints.size());
    ForwardKinematics(skeleton, rest.locals, rest.globals);
    if (!AllFinite(rest.globals))
      return MakeFailure(FailureKind::BadInput, "the rest pose reaches positions too large to compute");
    return rest;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Motion> Frames(const Motion& motion, std::int64_t first, std::int64_t last) {
  try {
    Motion part;
    part.skeleton = motion.skeleton;
    part.frameTime = motion.frameTime;
    const std::int64_t count = motion.skeleton.Count();
    part.locals.assign(motion.locals.begin() + first * count, motion.locals.begin() + last * count);
    return part;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Motion> RestMotion(const Skeleton& skeleton) {
  try {
    Motion motion;
    motion.skeleton = skeleton;
    for (const Joint& joint : skeleton.joints) motion.locals.push_back(joint.rest);
    return motion;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
