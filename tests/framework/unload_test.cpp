// Unloading a module while objects of its classes are alive: refused, and a
// module handle released then leaves the library loaded.
#include <gtest/gtest.h>

#include <unistd.h>

#include "norvo/hierarchy.h"
#include "test_support.h"

namespace norvo::test {
namespace {

constexpr std::string_view kCounterClass = "net.norvo.test.class.counter";
constexpr std::string_view kCounterNodeClass = "net.norvo.test.class.counternode";
constexpr const char* kRefused = "the module cannot be unloaded while objects of its classes are alive";

Int LiveObjects(std::string_view classId) {
  Result<ObjectRef> probe = CreateObject(classId);
  EXPECT_TRUE(probe.has_value());
  return probe ? probe.value().Get()->GetClass().GetLiveObjectCount() - 1 : -1;
}

TEST(Module, UnloadWithLiveObjectsIsRefusedUntilTheyAreReleased) {
  Module module = Ok(Module::Load(NORVO_TEST_MODULE_PATH));
  ObjectRef counter = Ok(CreateObject(kCounterClass));
  ObjectRef node = Ok(CreateObject(kCounterNodeClass));
  ObjectRef child = Ok(CreateObject(kCounterNodeClass));
  ASSERT_TRUE(HierarchyObjectRef::From(node).InsertChildLast(child).has_value());
  child.Reset();                                 // held by its parent alone
  ObjectRef copy = Ok(CopyObject(*node.Get()));  // a copy of the node and its child
  EXPECT_EQ(LiveObjects(kCounterClass), 1);
  EXPECT_EQ(LiveObjects(kCounterNodeClass), 4);

  // Each holder in turn keeps the module loaded; the last release lets it go.
  ObjectRef* holders[] = {&counter, &node, &copy};
  for (ObjectRef* holder : holders) {
    ClearRegistrationLog();
    EXPECT_ERROR_MESSAGE(module.Unload(), IllegalArgument, kRefused);
    EXPECT_TRUE(module.IsLoaded());
    EXPECT_TRUE(RegistrationLog().empty());  // nothing was released
    EXPECT_TRUE(IsClassRegistered(kCounterClass));
    holder->Reset();
  }
  EXPECT_EQ(LiveObjects(kCounterNodeClass), 0);
  // An object of the framework's own class is not the module's.
  ObjectRef hierarchy = Ok(CreateObject(kHierarchyObjectClassId));
  EXPECT_TRUE(module.Unload().has_value());
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_FALSE(IsClassRegistered(kCounterClass));
  EXPECT_FALSE(IsClassRegistered(kCounterNodeClass));
  ClearRegistrationLog();
}

TEST(Framework, ShutdownWithLiveObjectsKeepsItsClasses) {
  ObjectRef node = Ok(CreateObject(kHierarchyObjectClassId));
  {
    DiagnosticCapture capture;
    ShutdownFramework();
    EXPECT_EQ(capture.lines, std::vector<std::string>{
                                 "The framework was shut down with live objects of its classes; they stay registered"});
  }
  EXPECT_TRUE(IsClassRegistered(kHierarchyObjectClassId));
  node.Reset();
  ShutdownFramework();
  EXPECT_FALSE(IsClassRegistered(kHierarchyObjectClassId));
  ASSERT_TRUE(InitializeFramework().has_value());  // as the test program's set-up left it
  ClearRegistrationLog();
}

// A module handle released with an object alive leaves the library loaded,
// so the object keeps working, and says so in one line. The module then
// stays for the rest of the process, so this runs in a child process.
TEST(ModuleDeathTest, ReleasedWithLiveObjectsStaysLoaded) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        int failures = 0;
        ObjectRef counter;
        std::vector<std::string> lines;
        {
          DiagnosticCapture capture;
          {
            Result<Module> module = Module::Load(NORVO_TEST_MODULE_PATH);
            if (!module) _exit(10);
            counter = Ok(CreateObject(kCounterClass));
          }
          lines = capture.lines;
        }
        if (lines !=
            std::vector<std::string>{"A module was released with live objects of its classes (1); it stays loaded"})
          failures |= 1;
        if (!IsClassRegistered(kCounterClass)) failures |= 2;
        if (std::string(counter.ToString().View()) != "counter") failures |= 4;  // its code is still there
        counter.Reset();
        _exit(failures);  // what stays loaded is kept on purpose; no leak check
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace norvo::test
