// BVH motion files: the skeleton (HIERARCHY) and the frames (MOTION).
//
// Joints are kept in file order, which is pre-order: a parent comes before
// its children. Each joint has 3 or 6 channels; a frame is one value per
// channel, joints in file order, each joint's channels in its own order.
// Angles are in degrees.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/matrix.h"
#include "norvo/retarget/outcome.h"

namespace norvo::retarget {

enum class Channel : std::uint8_t { Xposition, Yposition, Zposition, Xrotation, Yrotation, Zrotation };

// "Xposition", ..., "Zrotation".
std::string_view ChannelName(Channel channel) noexcept;
inline bool IsRotation(Channel channel) noexcept { return channel >= Channel::Xrotation; }
// The axis of a channel: 0 for X, 1 for Y, 2 for Z.
inline int ChannelAxis(Channel channel) noexcept { return int(channel) % 3; }

struct BvhJoint {
  std::string name;
  std::int64_t parent = -1;  // index of the parent joint; -1 for the root
  Vector offset;             // from the parent joint, in the parent's frame
  std::vector<Channel> channels;  // 3 or 6, in file order
  std::int64_t firstValue = 0;    // index of the joint's first value in a frame
  std::vector<Vector> endSites;   // offsets of the End Sites under the joint
};

struct BvhSkeleton {
  std::vector<BvhJoint> joints;  // pre-order; joints[0] is the root
  std::int64_t valueCount = 0;   // values in one frame: all channels

  // Adds a joint under `parent` (-1 for the root) and gives it its place in
  // the frame. Children must be added after their parent.
  void AddJoint(std::string name, std::int64_t parent, Vector offset, std::vector<Channel> channels);
};

struct BvhClip {
  BvhSkeleton skeleton;
  double frameTime = 1.0 / 30.0;  // seconds
  std::vector<double> values;     // frame after frame, valueCount each

  std::int64_t FrameCount() const noexcept {
    return skeleton.valueCount ? std::int64_t(values.size()) / skeleton.valueCount : 0;
  }
  const double* Frame(std::int64_t frame) const noexcept { return values.data() + frame * skeleton.valueCount; }
};

// What the reader accepts at most. A text past a limit is refused as
// BadInput with a message that names the limit; a caller that reads
// untrusted files can set them lower.
struct BvhLimits {
  std::int64_t fileBytes = std::int64_t(1) << 30;  // the size of the text
  std::int64_t joints = 1000000;                   // ROOT and JOINTs
  std::int64_t depth = 1000000;   // blocks open at once: joints and End Sites
  std::int64_t frames = 10000000;  // the count on the Frames line
};

// Reads a BVH text. `fileName` names the file in failures, which carry the
// line number and what was expected. Tolerant of CRLF, tabs, blank lines and
// odd indentation; strict about structure, counts and numbers. Nothing is
// allocated beyond what the text holds, and no nesting depth overflows.
Outcome<BvhClip> ParseBvh(std::string_view text, const std::string& fileName, const BvhLimits& limits = {});
// A file larger than the limit is refused before it is read.
Outcome<BvhClip> ReadBvhFile(const std::string& path, const BvhLimits& limits = {});

// The BVH text of a clip, LF line ends, six decimals for every value.
Outcome<std::string> FormatBvh(const BvhClip& clip);
Outcome<void> WriteBvhFile(const BvhClip& clip, const std::string& path);

}  // namespace norvo::retarget
