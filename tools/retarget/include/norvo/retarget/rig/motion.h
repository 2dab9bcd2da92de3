// Motion as matrices: a skeleton and, per frame, one local matrix per joint.
// Every stage of the tool takes and gives this: the readers make it, the
// pipeline turns one into another, the figures, the report and the picture
// read it, and the writers write it.
//
// A Matrix is the framework's: offset o and the columns a1, a2, a3 of its
// 3x3 part; a point p maps to o + a1*p.x + a2*p.y + a3*p.z. A joint's global
// matrix is Multiply(parent's global, local); a root's parent is the
// identity. Joints are in pre-order: a parent comes before its children.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/matrix.h"
#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

// A BVH channel. Joints keep the channel layout they were read with, so that
// a clip written again has it too.
enum class Channel : std::uint8_t { Xposition, Yposition, Zposition, Xrotation, Yrotation, Zrotation };

// "Xposition", ..., "Zrotation".
std::string_view ChannelName(Channel channel) noexcept;
inline bool IsRotation(Channel channel) noexcept { return channel >= Channel::Xrotation; }
// The axis of a channel: 0 for X, 1 for Y, 2 for Z.
inline int ChannelAxis(Channel channel) noexcept { return int(channel) % 3; }

struct GltfModel;

// Which way a model faces at rest, when its file says (VRM).
enum class Facing : std::uint8_t { Unknown, PlusZ, MinusZ };

// What a joint's file format keeps beyond its name, parent and rest: the
// reader fills it in and the writer of that format reads it; the rigs, the
// solver and the figures never look at it.
struct JointFormat {
  std::vector<Channel> channels;  // BVH: the channels, 3 or 6, in file order
  // glTF: the joint's node, and the rest of the nodes between its parent
  // joint's node and its own (or above its own, for the root), which its
  // local matrix takes in: rest = fold * node's own.
  std::int64_t node = -1;
  Matrix fold;
};

// What a skeleton's file format keeps, as JointFormat does for a joint.
struct SkeletonFormat {
  // The glTF file the skeleton was read from, which a glTF writer copies
  // (gltf.h); null for other files.
  std::shared_ptr<const GltfModel> model;
  Facing facing = Facing::Unknown;
};

struct Joint {
  std::string name;
  std::int64_t parent = -1;  // index of the parent joint; -1 for the root
  Matrix rest;               // the local matrix at rest
  // Where the joint's last bones end, in its frame (BVH's End Sites): a
  // limb's or the head's far end, which the landmarks and the pictures
  // read.
  std::vector<Vector> endSites;
  JointFormat format;

  // The joint's place in its parent's frame at rest.
  const Vector& Offset() const noexcept { return rest.off; }
};

struct Skeleton {
  std::vector<Joint> joints;  // pre-order; joints[0] is the root
  SkeletonFormat format;

  std::int64_t Count() const noexcept { return std::int64_t(joints.size()); }
  // Adds a joint under `parent` (-1 for the root) whose rest is `offset`
  // without rotation, with the BVH channels given. Children must be added
  // after their parent.
  void AddJoint(std::string name, std::int64_t parent, Vector offset, std::vector<Channel> channels);
};

// The shortest frame a clip may have, in seconds: a hundred thousand frames
// a second.
inline constexpr double kShortestFrameTime = 1e-5;

struct Motion {
  Skeleton skeleton;
  double frameTime = 1.0 / 30.0;  // seconds
  std::vector<Matrix> locals;     // frame after frame, one per joint

  std::int64_t FrameCount() const noexcept {
    return skeleton.joints.empty() ? 0 : std::int64_t(locals.size() / skeleton.joints.size());
  }
  std::span<const Matrix> Frame(std::int64_t frame) const noexcept {
    return {locals.data() + frame * skeleton.Count(), skeleton.joints.size()};
  }
  std::span<Matrix> Frame(std::int64_t frame) noexcept {
    return {locals.data() + frame * skeleton.Count(), skeleton.joints.size()};
  }
};

// Whether every number of the matrices is finite.
bool AllFinite(std::span<const Matrix> matrices) noexcept;

// globals[j] = globals[parent] * locals[j]; both hold one matrix per joint.
void ForwardKinematics(const Skeleton& skeleton, std::span<const Matrix> locals, std::span<Matrix> globals) noexcept;
// The joints whose global matrices those of `joints` are made from: each of
// them and every joint above it, once, in skeleton order (parents first).
std::vector<std::int64_t> JointsUpTo(const Skeleton& skeleton, std::span<const std::int64_t> joints);
// ForwardKinematics for the joints `only` (as JointsUpTo lists them): their
// globals come out the same, bit for bit; the other globals are not touched.
void ForwardKinematics(const Skeleton& skeleton, std::span<const Matrix> locals, std::span<Matrix> globals,
                       std::span<const std::int64_t> only) noexcept;
// The global matrices of one frame of a motion.
inline void FrameGlobals(const Motion& motion, std::int64_t frame, std::span<Matrix> globals) noexcept {
  ForwardKinematics(motion.skeleton, motion.Frame(frame), globals);
}

// The rest of every joint: its local and its global matrices.
struct RestPose {
  std::vector<Matrix> locals, globals;
};
Outcome<RestPose> RestOf(const Skeleton& skeleton);

// Frames [first, last) of a motion.
Outcome<Motion> Frames(const Motion& motion, std::int64_t first, std::int64_t last);
// One frame: the skeleton at rest.
Outcome<Motion> RestMotion(const Skeleton& skeleton);

}  // namespace norvo::retarget
