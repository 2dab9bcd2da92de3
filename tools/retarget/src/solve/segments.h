// Following the source's segments (landmarks.h): after the joints have
// taken their rotations, each frame rotates a few target joints so that every
// segment the two rigs share points where the source's points, and each
// foot rotates away from its own rest as the source's rotates from its rest.
//
// Joint rotations alone lose what the rigs share out differently: a joint that
// the pairing leaves out between paired ones, a chain of another length,
// hips or a chest whose children sit elsewhere, a foot of another shape.
// The segments see all of these, and are what a pose looks like.
//
// The rotations, in this order, each about the joint it rotates (which carries
// everything below it):
// - the pelvis: the joint where the two legs meet rotates the shortest way
//   that lays the hip line along the source's;
// - the spine: the joint where the spine leaves the legs rotates so that the
//   neck lies on the source's line from the pelvis middle, then about that
//   line to lay the shoulder line as near the source's as it can; the
//   joint where the two arms meet rotates about its own line to the neck for
//   more; the collar bones, where the rig has them, rotate the shoulders
//   about their middle onto the source's line for the rest;
// - the neck, and each limb from the hip and the shoulder down: the joint
//   at a segment's start rotates the shortest way onto the source's segment;
//   a foot's ankle takes its rest rotated as the source's ankle rotated from
//   its rest, twist and all.
// A rotation too small to matter is not made, so a clip on its own rig comes
// out bit for bit as it went in.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "norvo/retarget/rig/landmarks.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

class SegmentFollower {
 public:
  // The plan for a pair of rigs. `rotation` takes the target's world into the
  // source's, where the result moves. Empty when the rigs share no segment.
  static Outcome<SegmentFollower> Make(const Rig& source, const Rig& target, const Matrix& rotation);

  bool Empty() const noexcept { return steps_.empty(); }
  // Rotates joints of `locals` (the target's, one frame) after the source's
  // globals this frame. `globals` is scratch of the target's joint count;
  // only the joints the steps read are computed in it.
  void Follow(std::span<const Matrix> sourceGlobals, std::span<Matrix> locals, std::span<Matrix> globals) const;

 private:
  enum class Kind : std::uint8_t { Line, Foot, Pelvis, Spine, Collars };
  struct Step {
    Step(Kind kind, std::int64_t joint, std::size_t segment, std::int64_t other = -1)
        : kind(kind), joint(joint), segment(segment), other(other) {}
    Kind kind;
    std::int64_t joint;        // the joint rotated
    std::size_t segment;       // index in Segments()
    Matrix rest;               // a foot's ankle's global at rest, in the source's world
    std::int64_t other;        // a foot's source ankle; the collars' right collar
    Matrix sourceRestInverse;  // a foot's: the inverse of the source ankle's rest
  };
  void Rotate(std::int64_t joint, const Matrix& rotation, std::span<Matrix> locals, std::span<Matrix> globals) const;
  void SetRotation(std::int64_t joint, const Matrix& rotation, std::span<Matrix> locals,
                   std::span<Matrix> globals) const;
  // Moves the globals read below `joint` by `move`, the joint's change.
  void Refresh(std::int64_t joint, const Matrix& move, std::span<Matrix> globals) const;
  // The steps of Make: the pelvis, spine and collars; then the lines and
  // feet; then the joints the steps read (read_ and upTo_).
  void AddTorsoSteps(std::vector<Step>& steps);
  void AddLineSteps(const Matrix& rotation, std::vector<Step>& steps) const;
  void FindRead();
  // Whether `d` is below `joint`.
  bool Below(std::int64_t joint, std::int64_t d) const;
  // Whether both rigs have the segment's landmarks.
  bool Shared(std::size_t segment) const;
  // The steps of Follow that take more than one rotation.
  void FollowSpine(const Step& step, const Vector& wanted, std::span<const Matrix> sourceGlobals,
                   std::span<Matrix> locals, std::span<Matrix> globals) const;
  void FollowCollars(const Step& step, const Vector& wanted, std::span<Matrix> locals, std::span<Matrix> globals) const;

  const Rig* source_ = nullptr;
  const Rig* target_ = nullptr;
  Landmarks sourceMarks_, targetMarks_;
  std::vector<Step> steps_;
  std::vector<std::int64_t> ends_;   // one past each target joint's last descendant
  std::vector<std::int64_t> read_;   // the joints whose globals the steps read, in order
  std::vector<std::int64_t> upTo_;   // those and the joints above them, parents first
  std::int64_t shoulderJoint_ = -1;  // where the arms meet, when the spine step twists it too
};

}  // namespace norvo::retarget
