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
    Result<Ref> ref = Ref::Create(classId);
    EXPECT_TRUE(ref.has_value());
    return ref ? std::move(ref).value() : Ref();
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

inline constexpr std::string_view kIdentityText = "((1,0,0),(0,1,0),(0,0,1),(0,0,0))";

}  // namespace norvo::test
