// Feet on the floor, with one contact model for the whole tool: the frames
// in which each foot of the source carries weight (its contacts), the
// figures of how a clip's feet meet the floor during them, planting the
// result's feet where the source's are planted, and locking them.
//
// A leg is the first joints of the UpperLeg, LowerLeg and Foot body parts of
// one side (hip, knee, ankle); its length is the rest distance hip to knee
// plus knee to ankle. A foot's joints are those of the Foot and Toes body
// parts of its side; its lowest joint is the one lowest along the up axis in
// a frame. Heights are measured from a floor: the plane at height `floor`
// along up. Lengths and speeds are in leg lengths, so that rigs of other
// sizes compare. The up axis is the world's: a result on an aligned rest
// moves in the source's world, so it is measured along the source's up axis.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// The direction from the hips to the head in a rest given by its global
// matrices (a rig's own or an aligned one); (0, 0, 0) when not known.
Vector StandingUp(const Rig& rig, const std::vector<Matrix>& restGlobals);

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
// The floor of a clip as FindContacts finds it (FootContacts::floor); 0 for
// a rig without legs.
Outcome<double> FindFloor(const Motion& clip, const Rig& rig, const Vector& up);

// Per foot (left, right), over the contacts given (found on the source, and
// read frame for frame on a result made from it), in leg lengths: how fast
// the lowest joint moves across the up axis between frames of a contact (per
// second; 0 without two such frames), so that a foot rolling about its heel
// or toes does not count as sliding; how far the lowest joint goes below
// the floor in any frame (0 when never); how high the lowest joint stands
// above the floor at most while the foot is down; and the frames in
// contact. The sliding is NaN where the foot's positions are too large to
// compute.
struct FeetFigures {
  bool measured = false;  // false when the rig lacks a leg or the contacts were not measured
  double sliding[2] = {0, 0};
  double deepest[2] = {0, 0};
  double planted[2] = {0, 0};
  std::int64_t contactFrames[2] = {0, 0};
};
Outcome<FeetFigures> MeasureFeet(const Motion& clip, const Rig& rig, const Vector& up, double floor,
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

// Locks the feet of `clip` (a clip of `rig`, frame for frame with the clip
// the contacts were found on) during the contacts: from the first frame of
// each contact on, a two-bone solve of hip and knee keeps the foot's lowest
// joint where it was across the up axis (held anew where another joint
// becomes the lowest, as a foot rolls from heel to toes; where the leg
// cannot reach that far, the foot goes as far as it can and stays there);
// the foot keeps its rotation in the world and the heights are left as they
// are. Legs whose knee is not the
// hip's child or whose ankle is not the knee's are left alone.
Outcome<void> LockFeet(Motion& clip, const Rig& rig, const Vector& up, const FootContacts& contacts);

}  // namespace norvo::retarget
