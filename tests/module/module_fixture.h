// Loads the retargeting base module for a test suite, as a host would.
#pragma once
#include "norvo/retargetbase.h"
#include "test_support.h"

namespace norvo::test {

class LoadedModule : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Result<Module> loaded = Module::Load(NORVO_RETARGETBASE_MODULE_PATH);
    ASSERT_TRUE(loaded.has_value()) << loaded.error().message();
    module_ = new Module(std::move(loaded).value());
  }
  static void TearDownTestSuite() {
    delete module_;
    module_ = nullptr;
  }

  template <class Ref>
  static Ref Make(std::string_view classId) {
    return Ok(Ref::Create(classId));
  }

  // The referenced value of a result that must hold one.
  template <class T>
  static T& Ref(Result<T&> result) {
    if (!result) {
      ADD_FAILURE() << result.error().message();
      std::abort();
    }
    return result.value();
  }

  static inline Module* module_ = nullptr;
};

// "Object ID : <uuid>\nObject Name : <name>\n".
inline std::string NodeInfoText(const Uuid& uuid, std::string_view name) {
  return "Object ID : " + Str(uuid.ToString()) + "\nObject Name : " + std::string(name) + "\n";
}

// Appends `child` to the children of `parent`.
inline void Link(const ObjectRef& parent, const ObjectRef& child) {
  ASSERT_TRUE(HierarchyObjectRef::From(parent).InsertChildLast(child).has_value());
}

// A pose holding these node transforms.
inline CharacterPose MakePose(const BaseArray<CharacterNodeTransform>& nodes) {
  CharacterPose pose = Ok(CharacterPose::Create(CharacterPoseInterface::kClassId));
  EXPECT_TRUE(pose.SetNodeTransformArray(nodes).has_value());
  return pose;
}

// A node transform with this Uuid and name, its global matrix moved to x.
inline CharacterNodeTransform Transform(const Uuid& uuid, std::string_view name = "", double x = 0) {
  Matrix global{{x, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  CharacterNodeTransform transform = Ok(CharacterNodeTransformInterface::CreateNodeTransform(uuid, global, Matrix{}));
  EXPECT_TRUE(transform.SetName(S(name)).has_value());
  return transform;
}

// One object of every class of the module, each filled so that every piece
// of its text has something to print: the body part's node info is `a`,
// "Hips node"; the pose holds an empty entry.
struct Sample {
  const char* what;
  ObjectRef object;
};
inline std::vector<Sample> Samples(const Uuid& a, const Uuid& b) {
  CharacterBodyPartRef part = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Hips"), S("hips")));
  EXPECT_TRUE(part.SetUuid(a) && part.SetNodeInfoName(S("Hips node")));
  EXPECT_TRUE(part.SetSkeleton(Array({a, b})) && part.SetControllers(Array({b})));
  EXPECT_TRUE(part.SetSkeletonKeywords(Array({S("Hips"), S("Pelvis")})));
  EXPECT_TRUE(part.SetSkeletonDiscardKeywords(Array({S("End")})));
  CharacterDefinition source = Ok(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
  EXPECT_TRUE(source.SetUuid(a) && source.SetName(S("walker")));
  CharacterDefinition target = Ok(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
  EXPECT_TRUE(target.SetName(S("runner")));
  CharacterAssociation association = Ok(CharacterAssociation::Create(CharacterAssociationInterface::kClassId));
  EXPECT_TRUE(association.AssociateUuid(a, b) && association.AssociateId(Id("Hips"), Id("Pelvis")));
  CharacterSolverConfiguration configuration =
      Ok(CharacterSolverConfiguration::Create(CharacterSolverConfigurationInterface::kClassId));
  EXPECT_TRUE(configuration.Setup(source, target, association) && configuration.SetApplyTranslationFromRoot(true));
  return {
      {"node info", Ok(CharacterNodeInfoInterface::CreateNodeInfo(a, S("Hips")))},
      {"node transform", Transform(a, "Hips", 1.5)},
      {"pose", MakePose(Array({Transform(a), CharacterNodeTransform(), Transform(b)}))},
      {"tree", Ok(CharacterTreeInterface::CreateTree(a, S("Hips"), true))},
      {"body part", part},
      {"solver setting", Ok(CharacterBodyPartSolverSettingInterface::CreateBodyPartSolverSetting(Id("Spine"), 0.5))},
      {"definition", source},
      {"association", association},
      {"solver configuration", configuration},
      {"solver", Ok(CharacterSolver::Create(CharacterSolverInterface::kClassId))},
      {"helper", Ok(RetargetBaseHelperRef::Create(RetargetBaseHelperInterface::kClassId))},
  };
}

inline constexpr std::string_view kIdentityText = "((1,0,0),(0,1,0),(0,0,1),(0,0,0))";

}  // namespace norvo::test
