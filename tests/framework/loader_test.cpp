// Loading the test module: its registrations, their release in reverse
// order, and what the host can reach through them. Unloading a module while
// objects of its classes are alive is refused, and a module handle released
// then leaves the library loaded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "norvo/hierarchy.h"
#include "test_support.h"

namespace norvo::test {
namespace {

// The host's own copy of the module's counter interface.
struct CounterInterface {
  static constexpr std::string_view kMethods[] = {"Get", "ToString"};
  static constexpr std::string_view kStatics[] = {"Answer"};
  static constexpr InterfaceDecl kDecl{"net.norvo.test.interface.counter",
                                       "norvo.test.CounterInterface",
                                       {},
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  using GetFn = Int (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using AnswerFn = Result<Int> (*)();
};

constexpr std::string_view kCounterClass = "net.norvo.test.class.counter";
constexpr std::string_view kCounterNodeClass = "net.norvo.test.class.counternode";

Module Load(const char* path = NORVO_TEST_MODULE_PATH) { return Ok(Module::Load(path)); }

// What the host reaches of the module, loaded or not.
void ExpectLoaded(bool loaded = true) {
  EXPECT_EQ(IsClassRegistered(kCounterClass), loaded);
  EXPECT_EQ(IsClassRegistered(kCounterNodeClass), loaded);
  EXPECT_EQ(IsComponentRegistered(kCounterClass), loaded);  // the counter's component has the class's id
  EXPECT_EQ(IsModuleRegistered("net.norvo.test"), loaded);
  EXPECT_EQ(IsDataTypeRegistered("norvo::test::Counter"), loaded);
  EXPECT_EQ(FindInterface(CounterInterface::kDecl.id) != nullptr, loaded);
  Result<Int> answer = InvokeStatic<CounterInterface::AnswerFn>(CounterInterface::kDecl, 0);
  if (loaded) {
    EXPECT_EQ(Ok(std::move(answer)), 42);
  } else {
    EXPECT_ERROR(answer, Unresolved);
    EXPECT_ERROR(CreateObject(kCounterClass), Unresolved);
  }
}

TEST(Module, LoadRegistersAndUnloadReleasesInReverse) {
  ExpectLoaded(false);
  ClearRegistrationLog();
  Module module = Load();
  ASSERT_TRUE(module.IsLoaded());
  ExpectLoaded();
  {
    // The node class took over the hierarchy object and then the counter,
    // which its module registered after it.
    const ObjectRef node = Ok(CreateObject(kCounterNodeClass));
    EXPECT_TRUE(node.Carries(HierarchyObjectInterface::kDecl));
    EXPECT_TRUE(node.Carries(CounterInterface::kDecl));
    EXPECT_EQ(InvokeMethod<CounterInterface::GetFn>(node.Get(), CounterInterface::kDecl, 0), 7);
    EXPECT_EQ(Str(node.ToString()), "counter");

    const ObjectRef counter = Ok(CreateObject(kCounterClass));
    EXPECT_FALSE(counter.Carries(HierarchyObjectInterface::kDecl));
    EXPECT_EQ(Str(InvokeMethod<CounterInterface::ToStringFn>(counter.Get(), CounterInterface::kDecl, 1,
                                                             static_cast<const FormatStatement*>(nullptr))),
              "counter");
  }
  const std::vector<std::string> registered = {"datatype norvo::test::Counter",
                                               "module net.norvo.test",
                                               "component net.norvo.test.class.counter",
                                               "class net.norvo.test.class.counternode",
                                               "class net.norvo.test.class.counter",
                                               "static net.norvo.test.interface.counter",
                                               "interface net.norvo.test.interface.counter"};
  EXPECT_EQ(RegistrationLog(), registered);
  EXPECT_ERROR_MESSAGE(Module::Load(NORVO_TEST_MODULE_PATH), IllegalArgument, "the module is loaded already");
  ExpectLoaded();
  EXPECT_EQ(RegistrationLog(), registered);

  EXPECT_TRUE(module.Unload().has_value());
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_EQ(RegistrationLog(), WithReleases(registered));
  ExpectLoaded(false);
  EXPECT_TRUE(module.Unload().has_value());  // a second unload does nothing
  EXPECT_EQ(RegistrationLog(), WithReleases(registered));
  ClearRegistrationLog();
}

TEST(Module, LibraryWithoutAValidRecordIsRefusedBeforeItsStartUp) {
  const struct {
    const char* path;
    ErrorKind kind;
    const char* message;
    std::size_t diagnostics;  // the reason the system gave
  } cases[] = {
      {"/nonexistent/norvo_missing.so", ErrorKind::Unresolved, "the module library cannot be opened", 1},
      {NORVO_OTHER_VERSION_TEST_MODULE_PATH, ErrorKind::IllegalArgument, "the module record has another version", 0},
      {NORVO_NO_RECORD_TEST_MODULE_PATH, ErrorKind::Unresolved, "the module exports no g_norvo record", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ClearRegistrationLog();
    DiagnosticCapture capture;
    Result<Module> module = Module::Load(c.path);
    ASSERT_FALSE(module);
    EXPECT_EQ(module.error().kind(), c.kind);
    EXPECT_STREQ(module.error().message(), c.message);
    EXPECT_EQ(capture.lines.size(), c.diagnostics);
    EXPECT_TRUE(RegistrationLog().empty());
    ExpectLoaded(false);
  }
}

TEST(Module, ClashingModuleIsUndoneAndTheFirstKeepsWorking) {
  Module first = Load();
  ClearRegistrationLog();
  // The clashing module registers its own ids, then the counter class id
  // that the first module holds.
  EXPECT_ERROR_MESSAGE(Module::Load(NORVO_CLASHING_TEST_MODULE_PATH), IllegalArgument, "class already registered");
  EXPECT_EQ(RegistrationLog(),
            WithReleases({"datatype norvo::test::Clashing", "module net.norvo.test.clashing",
                          "component net.norvo.test.class.clashing", "class net.norvo.test.class.clashingnode"}));

  ExpectLoaded();
  EXPECT_EQ(
      InvokeMethod<CounterInterface::GetFn>(Ok(CreateObject(kCounterNodeClass)).Get(), CounterInterface::kDecl, 0), 7);
  EXPECT_TRUE(first.Unload().has_value());
  ExpectLoaded(false);

  // Alone, the clashing module loads: its failed load left nothing behind.
  EXPECT_TRUE(Load(NORVO_CLASHING_TEST_MODULE_PATH).Unload().has_value());
  ExpectLoaded(false);
  ClearRegistrationLog();
}

TEST(Module, EveryAllocationFailureOfALoadIsUndone) {
  // One load first, so that the registries' tables have their full size.
  EXPECT_TRUE(Load().Unload().has_value());
  int failed = 0;
  Int lastFailure = -1;
  for (Int n = 0; n < 120; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    ClearRegistrationLog();
    const Int before = LiveAllocationCount();
    Result<Module> module = WithAllocationFailure(n, [] { return Module::Load(NORVO_TEST_MODULE_PATH); });
    if (module) {
      // A dropped log line is the only trace an allocation failure may leave.
      ExpectLoaded();
      EXPECT_TRUE(module.value().Unload().has_value());
    } else {
      ++failed;
      lastFailure = n;
      EXPECT_EQ(module.error().kind(), ErrorKind::OutOfMemory);
    }
    ExpectLoaded(false);
    ClearRegistrationLog();
    EXPECT_EQ(LiveAllocationCount(), before);
  }
  EXPECT_GT(failed, 30);
  EXPECT_LT(lastFailure, 100);  // the loop went well past the load's last allocation
}

// ---- Unloading with live objects ---------------------------------------

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

// ---- Registrations through a context --------------------------------------

TEST(ModuleContext, StaticImplNeedsOneMethodPerStaticMethod) {
  using AnswerFn = CounterInterface::AnswerFn;
  static const MethodFn one[] = {BindStatic<AnswerFn>([]() noexcept -> Result<Int> { return Int(1); })};
  static const MethodFn two[] = {one[0], one[0]};
  const StaticImpl tooMany{"CounterImpl", 0x50000000, two};
  const StaticImpl none{"CounterImpl", 0x50000000, {}};
  const StaticImpl fits{"CounterImpl", 0x50000000, one};
  ClearRegistrationLog();
  {
    ModuleContext context;
    for (const StaticImpl* impl : {&tooMany, &none}) {
      EXPECT_ERROR_MESSAGE(context.RegisterStaticImpl(CounterInterface::kDecl, *impl), IllegalArgument,
                           "the implementation does not have one method per static method of the interface");
      EXPECT_EQ(FindStaticImpl(CounterInterface::kDecl), nullptr);
    }
    EXPECT_TRUE(RegistrationLog().empty());
    ASSERT_TRUE(context.RegisterStaticImpl(CounterInterface::kDecl, fits));
    EXPECT_EQ(FindStaticImpl(CounterInterface::kDecl), &fits);
  }
  EXPECT_EQ(FindStaticImpl(CounterInterface::kDecl), nullptr);
  EXPECT_EQ(RegistrationLog(), WithReleases({"static net.norvo.test.interface.counter"}));
  ClearRegistrationLog();
}

}  // namespace
}  // namespace norvo::test
