// The module as a host meets it: its one export, its registrations in order
// and their release in reverse, and static calls without it.
#include <cstdio>

#include "module_fixture.h"

namespace norvo::test {
namespace {

std::vector<std::string> ExpectedStartUp() {
  std::vector<std::string> lines;
  for (const char* type :
       {"CharacterAssociation", "CharacterNodeInfo", "CharacterSolverConfiguration", "CharacterBodyPartRef",
        "CharacterNodeTransform", "CharacterTreeRef", "CharacterBodyPartSolverSetting", "CharacterPose",
        "RetargetBaseHelperRef", "CharacterDefinition", "CharacterSolver"})
    lines.push_back(std::string("datatype norvo::") + type);
  for (const char* framework :
       {"net.norvo.animation_base_private.framework", "net.norvo.core.framework", "net.norvo.math.framework",
        "net.norvo.norvo.framework", "net.norvo.misc.framework", "net.norvo.retargetbase.framework"})
    lines.push_back(std::string("framework ") + framework);
  lines.push_back("module net.norvo.retargetbase");
  // The units in their order, each registering its component, class and
  // static-method implementation.
  for (const char* unit : {"characterassociation", "characterbodypart", "characterbodypartsolversetting",
                           "characterdefinition", "characternodeinfo", "characternodetransform", "characterpose",
                           "charactersolver", "charactersolverconfiguration", "charactertree", "retargetbasehelper"}) {
    lines.push_back(std::string("component net.norvo.animation.class.") + unit);
    lines.push_back(std::string("class net.norvo.animation.class.") + unit);
    lines.push_back(std::string("static net.norvo.animation.interface.") + unit);
  }
  for (const char* iface :
       {"characterassociation", "characternodeinfo", "charactersolverconfiguration", "characterbodypart",
        "characternodetransform", "charactertree", "characterbodypartsolversetting", "characterpose",
        "retargetbasehelper", "characterdefinition", "charactersolver"})
    lines.push_back(std::string("interface net.norvo.animation.interface.") + iface);
  return lines;
}

TEST(ModuleLibrary, ExportsOnlyItsModuleRecord) {
  std::string command = std::string("nm -D --defined-only '") + NORVO_RETARGETBASE_MODULE_PATH + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    std::size_t last = text.find_last_of(' ');
    symbols.push_back(text.substr(last + 1, text.find_last_not_of("\r\n") - last));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(symbols, std::vector<std::string>{"g_norvo"});
}

// Static calls need the module, and find it gone once it is unloaded.
TEST(ModuleRegistration, RegistersInOrderAndReleasesInReverse) {
  ClearRegistrationLog();
  EXPECT_ERROR(CharacterNodeInfoInterface::CreateNodeInfo(Uuid(), String()), Unresolved);
  {
    Result<Module> module = Module::Load(NORVO_RETARGETBASE_MODULE_PATH);
    ASSERT_TRUE(module.has_value());
    EXPECT_EQ(RegistrationLog(), ExpectedStartUp());
    EXPECT_TRUE(IsModuleRegistered("net.norvo.retargetbase"));
    EXPECT_TRUE(IsDataTypeRegistered("norvo::CharacterSolver"));
    ASSERT_NE(FindInterface("net.norvo.animation.interface.charactertree"), nullptr);
    EXPECT_EQ(FindInterface("net.norvo.animation.interface.charactertree")->publishedName,
              "norvo.CharacterTreeInterface");
    EXPECT_TRUE(CharacterNodeInfoInterface::CreateNodeInfo(Uuid(), String()).has_value());
  }
  EXPECT_EQ(RegistrationLog(), WithReleases(ExpectedStartUp()));
  EXPECT_FALSE(IsClassRegistered(CharacterNodeInfoInterface::kClassId));
  EXPECT_FALSE(IsModuleRegistered("net.norvo.retargetbase"));
  EXPECT_ERROR(CharacterNodeInfoInterface::CreateNodeInfo(Uuid(), String()), Unresolved);  // not a stale lookup

  DiagnosticCapture diagnostics;
  EXPECT_EQ(CharacterSolverInterface::ApplyGlobalRotationDelta({}, {}, true), Matrix{});
  EXPECT_EQ(diagnostics.lines,
            (std::vector<std::string>{
                "Method invocation of unresolvable interface net.norvo.animation.interface.charactersolver", "Stop"}));
}

// Every class of the module fills every slot of every interface it answers,
// and of their bases; the names come from the interfaces' declarations.
TEST(ModuleRegistration, EveryClassFillsEverySlotOfItsInterfaces) {
  ClearRegistrationLog();
  Result<Module> module = Module::Load(NORVO_RETARGETBASE_MODULE_PATH);
  ASSERT_TRUE(module.has_value());
  std::vector<std::string> classIds;
  for (const std::string& line : RegistrationLog())
    if (line.rfind("class ", 0) == 0) classIds.push_back(line.substr(6));
  ASSERT_FALSE(classIds.empty());
  for (const std::string& classId : classIds) {
    Result<ObjectRef> object = CreateObject(classId);
    ASSERT_TRUE(object.has_value()) << classId;
    const Class& cls = object.value().Get()->GetClass();
    std::vector<const InterfaceDecl*> pending;
    for (Int i = 0; i < cls.GetInterfaceCount(); ++i) pending.push_back(&cls.GetInterface(i));
    while (!pending.empty()) {
      const InterfaceDecl& iface = *pending.back();
      pending.pop_back();
      EXPECT_TRUE(cls.Carries(iface)) << classId << " lacks its base " << iface.id;
      for (std::size_t slot = 0; slot < iface.methods.size(); ++slot)
        EXPECT_NE(cls.FindMethod(iface, slot), nullptr)
            << classId << " leaves " << iface.id << "::" << iface.methods[slot];
      for (const InterfaceDecl* base : iface.bases) pending.push_back(base);
    }
  }
}

TEST(ModuleRegistration, AllocationFailureDuringStartUpUndoesIt) {
  // One load first, so that the registries' tables have their full size.
  ASSERT_TRUE(Module::Load(NORVO_RETARGETBASE_MODULE_PATH).has_value());
  ClearRegistrationLog();
  SweepForOutOfMemory([] { return Module::Load(NORVO_RETARGETBASE_MODULE_PATH); },
                      [] {
                        ClearRegistrationLog();
                        return !IsModuleRegistered("net.norvo.retargetbase") &&
                               !IsClassRegistered(CharacterNodeInfoInterface::kClassId);
                      });
  ClearRegistrationLog();
}

}  // namespace
}  // namespace norvo::test
