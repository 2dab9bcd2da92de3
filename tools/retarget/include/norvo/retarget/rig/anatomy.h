// Body parts found from a skeleton's shape, for a rig whose joint names no
// preset knows (a character's own names, or names that say nothing, such as
// j01, j02, ...).
//
// The shape decides: two chains of about the same reach that leave one
// joint are a pair of limbs; of the two largest pairs, the legs hang down
// from where they meet, away from where the arms meet, and up runs from the
// legs' meeting joint to the arms'. The joints between are the spine (the
// last of them, where the arms meet, the chest), and the chain that leaves
// the chest upward is the neck, up to the head: the first joint where it
// branches (jaw, eyes) or its last joint. Along a leg the thigh starts at
// the first long bone, the foot where the chain turns forward, the knee is
// the joint midway between them, and a joint past the foot is the toe.
// Along an arm the hand is where it branches into fingers (or its end), and
// the upper arm starts where upper arm and forearm come out nearest alike
// in length; a joint before it is the collar. The rig's left is told from
// its rest: across the way its toes point.
//
// Generic words then name what the shape cannot (the fingers: thumb,
// index, middle, ring, little or pinky), and settle which joint is which
// where a name says so (hip, thigh, upleg; knee, shin, calf; ankle, foot;
// toe; clavicle, collar; upper arm; forearm, elbow, lower arm; hand,
// wrist), each with its side marker (Left/Right, L/R, _l, .L, ...) when the
// rig's rest cannot tell the sides.
#pragma once
#include <cstdint>
#include <vector>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

struct AnatomyMap {
  bool found = false;  // the legs, the arms and the spine were found
  // Per standard body part its joints, in tree order.
  std::vector<std::vector<std::int64_t>> parts;
  // The joints placed by the skeleton's shape alone, in skeleton order
  // (the others by a word of their name).
  std::vector<std::int64_t> byStructure;
};

// The body parts of `skeleton` (rest globals `globals`) as its shape and
// names tell them; `found` is false when the shape is not a humanoid's.
Outcome<AnatomyMap> MapAnatomy(const Skeleton& skeleton, const std::vector<Matrix>& globals);

}  // namespace norvo::retarget
