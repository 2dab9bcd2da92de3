// Body parts filled from the skeletons of two real clips of different
// joint-naming families, then associated with each other.
#include <fstream>
#include <sstream>

#include "retarget_test_support.h"
#include "sample_rigs.h"

namespace norvo::test {
namespace {

using RigFamilies = LoadedModule;
using HI = RetargetBaseHelperInterface;
using Names = std::vector<std::string>;

struct Expected {
  std::string identifier;
  Names cmu, makeHuman;
};

// The joints a person would put into each body part, in the order of the
// skeleton (data/rig_families.txt).
std::vector<Expected> ReadExpected() {
  std::ifstream file(NORVO_MODULE_TEST_DATA_DIR "/rig_families.txt");
  std::vector<Expected> parts;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    Expected& part = parts.emplace_back();
    words >> part.identifier;
    Names* list = &part.cmu;
    for (std::string word; words >> word;) {
      if (word == "|") list = &part.makeHuman;
      else list->push_back(word);
    }
  }
  return parts;
}

struct FilledRig {
  sample::Skeleton skeleton;
  CharacterBodyPartRef bodyParts;

  Names JointsOf(const std::string& identifier) const {
    Names names;
    CharacterBodyPartRef part = Ok(bodyParts.FindBodyPartByID(Id(identifier)));
    EXPECT_TRUE(part) << identifier;
    for (const Uuid& uuid : Skeleton(part)) names.push_back(skeleton.NameOf(uuid));
    return names;
  }
};

FilledRig Fill(const char* clip, const char* preset) {
  FilledRig rig{Ok(sample::ReadBvhSkeleton(sample::SharedClip(clip))),
                Ok(sample::MakeBodyParts(sample::ReadPreset(preset)))};
  EXPECT_TRUE(HI::FillBodyPart(rig.skeleton.root, rig.bodyParts).has_value());
  return rig;
}

TEST_F(RigFamilies, FillsEveryBodyPartAsAPersonWouldAndAssociatesTheTwoRigs) {
  FilledRig cmu = Fill("cmu_02_01_walk.bvh", "cmu");
  FilledRig makeHuman = Fill("makehuman_zombie_walk.bvh", "makehuman-game");
  ASSERT_EQ(cmu.skeleton.joints.size(), 31u);
  ASSERT_EQ(makeHuman.skeleton.joints.size(), 75u);
  const std::vector<Expected> expected = ReadExpected();
  EXPECT_EQ(expected.size(), 21u);
  for (const Expected& part : expected) {
    SCOPED_TRACE(part.identifier);
    EXPECT_EQ(cmu.JointsOf(part.identifier), part.cmu);
    EXPECT_EQ(makeHuman.JointsOf(part.identifier), part.makeHuman);
  }
  // Associated part by part.
  AssociationStatistics statistics;
  CharacterAssociation association =
      Ok(HI::AssociateBodyPartsByIdentifier(cmu.bodyParts, makeHuman.bodyParts, statistics));
  // Every CMU joint found its part, and all of MakeHuman's but the 16 helpers;
  // 29 pairs: the shorter of the two lists of each body part.
  EXPECT_EQ(Counts(statistics), (std::vector<Int>{21, 21, 31, 59, 29}));

  // Every pair both ways, by position in the two lists.
  for (const Expected& part : expected) {
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
