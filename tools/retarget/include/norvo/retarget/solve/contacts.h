// Feet on the floor: the frames in which each foot of a clip carries
// weight, figures of how the feet meet the floor, and planting the result's
// feet where the source's are planted.
//
// A foot's joints are those of the Foot and Toes body parts of its side; its
// lowest joint is the one lowest along the up axis in a frame. Heights are
// measured from a floor: the plane at height `floor` along up. Legs
// are those of feet.h; lengths and speeds are in leg lengths (hip to knee to
// ankle at rest), so that rigs of other sizes compare.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// Frames [first, last) of one contact.
using ContactInterval = std::pair<std::int64_t, std::int64_t>;

struct FootContacts {
  bool measured = false;                 // false when the rig lacks a leg or the up axis is not known
  std::vector<ContactInterval> feet[2];  // left, right; in frame order
  // The height of the floor the clip stands on: 0, unless its feet
  // never come within kFloorNear leg lengths of it; then the level they come
  // down to.
  double floor = 0.0;
  bool Down(int side, std::int64_t frame) const noexcept;
};

// A foot is down when its lowest joint is near the lowest it goes in the
// clip and hardly moves across the up axis: it comes down below
// kContactEnter leg lengths above that level at less than kContactSpeed leg
// lengths per second, and lifts above kContactLeave or past twice the speed
// (the gap keeps a contact from flickering). Contacts of a single frame are
// dropped.
inline constexpr double kContactEnter = 0.06, kContactLeave = 0.10, kContactSpeed = 0.5, kFloorNear = 0.25;
Outcome<FootContacts> FindContacts(const Motion& clip, const Rig& rig, const Vector& up);

// Per foot (left, right), in leg lengths: how fast the ankle moves across
// the up axis between frames of a contact (per second); how far the lowest
// joint goes below the floor (0 when never); how high the lowest joint
// stands above the floor at most while the foot is down.
struct FloorFigures {
  bool measured = false;
  double sliding[2] = {0, 0};
  double deepest[2] = {0, 0};
  double planted[2] = {0, 0};
};
Outcome<FloorFigures> MeasureFloor(const Motion& clip, const Rig& rig, const Vector& up, double floor,
                                   const FootContacts& contacts);

// Plants the feet of `result` (frames of `target`) during the contacts of
// `source` (the clip it was made from, frame for frame, on `sourceRig`):
// the ankle moves across the up axis as the source's does from the contact's
// first frame on and its lowest joint stands as high above `targetFloor` as
// the source's above its floor (`contacts.floor`), both scaled by the ratio
// of the leg lengths; a foot never goes further below the floor than the
// source's does in that frame. First the whole clip moves along the up axis
// by the typical difference of the two during contacts; then a two-bone
// solve reaches each goal, and where a leg cannot, the root comes down as
// far as needed, blended in and out over a tenth of a second at each
// contact's ends. A foot that already does what the source's does is left
// exactly as it is.
Outcome<void> PlantFeet(Motion& result, const Rig& target, double targetFloor, const Motion& source,
                        const Rig& sourceRig, const Vector& up, const FootContacts& contacts);

}  // namespace norvo::retarget
