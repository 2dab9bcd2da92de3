// Body parts filled from the skeletons of two real clips of different
// joint-naming families, then associated with each other.
#include "retarget_test_support.h"
#include "sample_rigs.h"

namespace norvo::test {
namespace {

using RigFamilies = LoadedModule;
using HI = RetargetBaseHelperInterface;
using Names = std::vector<std::string>;

struct Expected {
  const char* identifier;
  Names cmu, makeHuman;
};

// The joints a person would put into each body part, in the order of the
// skeleton. The CMU hip joints go with the hips; MakeHuman's "__" helper
// joints go nowhere.
const Expected kExpected[] = {
    {"Hips", {"Hips", "LHipJoint", "RHipJoint"}, {"Root", "Hips"}},
    {"Spine", {"LowerBack", "Spine"}, {"Spine1", "Spine2"}},
    {"Chest", {"Spine1"}, {"Spine3"}},
    {"Neck", {"Neck", "Neck1"}, {"Neck"}},
    {"Head", {"Head"}, {"Head", "Jaw", "Tongue1", "Tongue2", "Tongue3", "Eye_L", "Eye_R"}},
    {"LeftShoulder", {"LeftShoulder"}, {"Clavicle_L"}},
    {"LeftUpperArm", {"LeftArm"}, {"UpArm_L"}},
    {"LeftForeArm", {"LeftForeArm"}, {"LoArm_L"}},
    {"LeftHand",
     {"LeftHand", "LeftFingerBase", "LeftHandIndex1", "LThumb"},
     {"Hand_L", "Thumb1_L", "Thumb2_L", "Thumb3_L", "Index1_L", "Index2_L", "Index3_L", "Middle1_L", "Middle2_L",
      "Middle3_L", "Ring1_L", "Ring2_L", "Ring3_L", "Pinky1_L", "Pinky2_L", "Pinky3_L"}},
    {"RightShoulder", {"RightShoulder"}, {"Clavicle_R"}},
    {"RightUpperArm", {"RightArm"}, {"UpArm_R"}},
    {"RightForeArm", {"RightForeArm"}, {"LoArm_R"}},
    {"RightHand",
     {"RightHand", "RightFingerBase", "RightHandIndex1", "RThumb"},
     {"Hand_R", "Thumb1_R", "Thumb2_R", "Thumb3_R", "Index1_R", "Index2_R", "Index3_R", "Middle1_R", "Middle2_R",
      "Middle3_R", "Ring1_R", "Ring2_R", "Ring3_R", "Pinky1_R", "Pinky2_R", "Pinky3_R"}},
    {"LeftUpperLeg", {"LeftUpLeg"}, {"UpLeg_L"}},
    {"LeftLowerLeg", {"LeftLeg"}, {"LoLeg_L"}},
    {"LeftFoot", {"LeftFoot"}, {"Foot_L"}},
    {"LeftToe", {"LeftToeBase"}, {"Toe_L"}},
    {"RightUpperLeg", {"RightUpLeg"}, {"UpLeg_R"}},
    {"RightLowerLeg", {"RightLeg"}, {"LoLeg_R"}},
    {"RightFoot", {"RightFoot"}, {"Foot_R"}},
    {"RightToe", {"RightToeBase"}, {"Toe_R"}},
};

struct FilledRig {
  sample::Skeleton skeleton;
  CharacterBodyPartRef bodyParts;

  Names JointsOf(const char* identifier) const {
    Names names;
    CharacterBodyPartRef part = Ok(bodyParts.FindBodyPartByID(Id(identifier)));
    EXPECT_TRUE(part) << identifier;
    for (const Uuid& uuid : Skeleton(part)) names.push_back(skeleton.NameOf(uuid));
    return names;
  }
};

FilledRig Fill(const char* clip, const std::vector<sample::PartPreset>& preset) {
  FilledRig rig{Ok(sample::ReadBvhSkeleton(sample::SharedClip(clip))), Ok(sample::MakeBodyParts(preset))};
  EXPECT_TRUE(HI::FillBodyPart(rig.skeleton.root, rig.bodyParts).has_value());
  return rig;
}

TEST_F(RigFamilies, FillsEveryBodyPartAsAPersonWouldAndAssociatesTheTwoRigs) {
  FilledRig cmu = Fill("cmu_02_01_walk.bvh", sample::CmuPreset());
  FilledRig makeHuman = Fill("makehuman_zombie_walk.bvh", sample::MakeHumanGamePreset());
  ASSERT_EQ(cmu.skeleton.joints.size(), 31u);
  ASSERT_EQ(makeHuman.skeleton.joints.size(), 75u);
  EXPECT_EQ(std::size(kExpected), 21u);
  for (const Expected& part : kExpected) {
    SCOPED_TRACE(part.identifier);
    EXPECT_EQ(cmu.JointsOf(part.identifier), part.cmu);
    EXPECT_EQ(makeHuman.JointsOf(part.identifier), part.makeHuman);
  }
  // Every CMU joint has found its part; of MakeHuman's, all but the 16 helpers.
  EXPECT_EQ(Ok(cmu.bodyParts.GetSkeletonCount(true)), 31);
  EXPECT_EQ(Ok(makeHuman.bodyParts.GetSkeletonCount(true)), 75 - 16);

  // Associated part by part.
  AssociationStatistics statistics;
  CharacterAssociation association =
      Ok(HI::AssociateBodyPartsByIdentifier(cmu.bodyParts, makeHuman.bodyParts, statistics));
  // 29 pairs: the shorter of the two lists of each body part.
  EXPECT_EQ(Counts(statistics), (std::vector<Int>{21, 21, 31, 59, 29}));

  // Every pair both ways, by position in the two lists.
  for (const Expected& part : kExpected) {
    for (std::size_t i = 0; i < std::min(part.cmu.size(), part.makeHuman.size()); ++i) {
      Uuid source = cmu.skeleton.UuidOf(part.cmu[i]), target = makeHuman.skeleton.UuidOf(part.makeHuman[i]);
      EXPECT_EQ(makeHuman.skeleton.NameOf(Ok(association.GetAssociatedUuid(source))), part.makeHuman[i]);
      EXPECT_EQ(cmu.skeleton.NameOf(Ok(association.GetAssociatedUuid(target))), part.cmu[i]);
    }
  }
  // Beyond the shorter list nothing is paired; the helpers never are.
  EXPECT_ERROR(association.GetAssociatedUuid(cmu.skeleton.UuidOf("RHipJoint")), IllegalArgument);
  EXPECT_ERROR(association.GetAssociatedUuid(makeHuman.skeleton.UuidOf("Tongue1")), IllegalArgument);
  EXPECT_ERROR(association.GetAssociatedUuid(makeHuman.skeleton.UuidOf("__Clavicle_L")), IllegalArgument);
  EXPECT_EQ(Ok(association.GetAssociatedId(Id("LeftHand"))), Id("LeftHand"));
  EXPECT_EQ(EntriesOf(association).ids.size(), 21u);
}

}  // namespace
}  // namespace norvo::test
