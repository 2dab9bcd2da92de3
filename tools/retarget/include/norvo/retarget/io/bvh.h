// BVH motion files: the skeleton (HIERARCHY) and the frames (MOTION).
//
// Each joint has 3 or 6 channels; a frame line holds one value per channel,
// joints in file order, each joint's channels in its own order. Angles are
// in degrees. A joint's local matrix is T(offset + position channels) * R,
// with R the product of its rotations in channel order: "Zrotation
// Yrotation Xrotation" gives R = Rz * Ry * Rx. The reader turns the values
// into matrices and the writer turns matrices back into values: Euler
// angles live here and nowhere else.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

// What the reader accepts at most. A text past a limit is refused as
// BadInput with a message that names the limit; a caller that reads
// untrusted files can set them lower.
struct BvhLimits {
  std::int64_t fileBytes = std::int64_t(1) << 33;  // the size of the text: 8 GiB
  std::int64_t joints = 1000000;                   // ROOT and JOINTs
  std::int64_t depth = 1000000;                    // blocks open at once: joints and End Sites
  std::int64_t frames = 10000000;                  // the count on the Frames line
};

// Reads a BVH text. `fileName` names the file in failures, which carry the
// line number and what was expected. Tolerant of CRLF, tabs, blank lines and
// odd indentation; strict about structure, counts and numbers. Nothing is
// allocated beyond what the text holds, and no nesting depth overflows.
// Fewer frame lines than the Frames line says are refused; more are not
// read, as other readers take the frames declared, and `unreadLines` (when
// given) counts them.
Outcome<Motion> ParseBvh(std::string_view text, const std::string& fileName, const BvhLimits& limits = {},
                         std::int64_t* unreadLines = nullptr);
// A file larger than the limit is refused before it is read.
Outcome<Motion> ReadBvhFile(const std::string& path, const BvhLimits& limits = {}, std::int64_t* unreadLines = nullptr);

// The BVH text of a motion, LF line ends, six decimals for every value.
// Joints keep their channels; a joint without a valid layout gets position
// and rotation channels when it is the root, rotation channels otherwise.
// The angles of each frame are the ones closest to the frame before, so
// that the values do not jump by a whole turn where the rotation does not.
// BadInput, before it is all made, for a text larger than `maxBytes`: by
// default what the reader takes, so that what is written reads back.
Outcome<std::string> FormatBvh(const Motion& motion, std::int64_t maxBytes = BvhLimits{}.fileBytes);
// The same text handed to `put` in blocks of about a megabyte as it is
// made, so that a long clip's text is never held whole; a failure of `put`
// stops it and is returned.
Outcome<void> FormatBvhInPieces(const Motion& motion, const TextSink& put,
                                std::int64_t maxBytes = BvhLimits{}.fileBytes);
Outcome<void> WriteBvhFile(const Motion& motion, const std::string& path,
                           std::int64_t maxBytes = BvhLimits{}.fileBytes);

// Whether channels are a layout the reader takes: 3 or 6 channels, each
// once, the three rotations among them.
bool IsChannelLayout(const std::vector<Channel>& channels) noexcept;
// Whether a joint name reads back from a BVH file as it was written: not
// empty, on one line, without blanks at either end.
bool IsJointName(std::string_view name) noexcept;

// Joint names from another file's names, made fit for a BVH file and
// unique: line breaks made '_', blanks at the ends dropped, `none` for a
// name left empty, "_2", "_3", ... after one already given. May throw
// std::bad_alloc.
class JointNames {
 public:
  std::string Take(std::string text, const std::string& none);

 private:
  std::unordered_set<std::string> taken_;
};

// The channel values of BVH frames made into a motion: `values` holds the
// frames one after the other, one value per channel.
Outcome<Motion> MotionFromChannels(const Skeleton& skeleton, double frameTime, std::span<const double> values);

// The Euler rotations of the channels.
// R_axes[0](degrees[0]) * R_axes[1](degrees[1]) * R_axes[2](degrees[2]),
// axes 0, 1, 2 for X, Y, Z; zero offset.
Matrix RotationFromEuler(const int axes[3], const double degrees[3]) noexcept;
// Angles whose RotationFromEuler gives the rotation part of m (three
// distinct axes). The middle angle lies in [-90, 90]; at +-90 the last
// angle is 0. Only the 3x3 part of m is read; it should be a rotation.
void EulerFromRotation(const Matrix& m, const int axes[3], double degrees[3]) noexcept;

}  // namespace norvo::retarget
