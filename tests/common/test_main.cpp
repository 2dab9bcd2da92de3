// The test programs' main: the framework's own classes are registered for
// the whole run and released at its end.
#include <gtest/gtest.h>

#include "norvo/registry.h"

namespace {
class FrameworkEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_TRUE(norvo::InitializeFramework().has_value()); }
  void TearDown() override { norvo::ShutdownFramework(); }
};
}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new FrameworkEnvironment);
  return RUN_ALL_TESTS();
}
