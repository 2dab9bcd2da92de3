// norvo_demo: loads the retargeting base module as a host would and shows
// the object model at work on built-in sample data: objects created by class
// id, copy-on-write values, static calls, a small skeleton and body parts.
//
//   norvo_demo [path/to/retargetbase.module.so]
#include <cstdio>

#include "norvo/registry.h"
#include "norvo/retargetbase.h"

using namespace norvo;

namespace {

int Fail(const char* what, const Error& error) {
  std::fprintf(stderr, "norvo_demo: %s: %s %s (%s:%u)\n", what, ErrorKindName(error.kind()), error.message(),
               error.file(), error.line());
  return 1;
}

void Print(std::string_view title, const String& text) {
  std::printf("== %.*s\n%.*s\n", int(title.size()), title.data(), int(text.GetLength()), text.View().data());
}

#define TRY(what, expr)                      \
  do {                                       \
    auto&& r_ = (expr);                      \
    if (!r_) return Fail(what, r_.error());  \
  } while (0)

template <class T>
T Take(Result<T> result) {
  if (!result) {
    Fail("unexpected failure", result.error());
    std::exit(1);
  }
  return std::move(result).value();
}

int Run(const char* modulePath) {
  std::printf("static call before loading: %s\n",
              ErrorKindName(CharacterNodeInfoInterface::CreateNodeInfo(Uuid(), String()).error().kind()));
  Result<Module> loaded = Module::Load(modulePath);
  if (!loaded) return Fail("loading the module", loaded.error());
  Module module = std::move(loaded).value();
  {
    // A node info by class id and by its creation function.
    CharacterNodeInfo empty = Take(CharacterNodeInfo::Create(CharacterNodeInfoInterface::kClassId));
    Print("node info created by class id", empty.ToString());
    Uuid hipsId = Take(Uuid::Parse("6f1c2a9e-3b4d-4e5f-8a7b-1c2d3e4f5a6b"));
    CharacterNodeInfo hips = Take(CharacterNodeInfoInterface::CreateNodeInfo(hipsId, Take(String::Make("Hips"))));
    Print("node info made by CreateNodeInfo", hips.ToString());

    // Copy-on-write: the copy separates on its first change.
    CharacterNodeInfo copy = hips;
    std::printf("shared before the change: %s\n", copy == hips ? "yes" : "no");
    TRY("renaming the copy", copy.SetName(Take(String::Make("Pelvis"))));
    std::printf("shared after the change: %s; original still named %.*s\n", copy == hips ? "yes" : "no",
                int(hips.GetName().GetLength()), hips.GetName().View().data());

    // A node transform and a pose of two nodes.
    Matrix raised;
    raised.off = {0.0, 16.7, 0.0};
    CharacterNodeTransform hipsAtRest = Take(CharacterNodeTransformInterface::CreateNodeTransform(hipsId, raised, Matrix{}));
    CharacterPose pose = Take(CharacterPose::Create(CharacterPoseInterface::kClassId));
    TRY("filling the pose", pose.SetNodeTransformArray(Take(MakeArray({hipsAtRest, CharacterNodeTransform()}))));
    Print("rest pose", pose.ToString());

    // A skeleton of three nodes and its count.
    CharacterTreeRef root = Take(CharacterTreeInterface::CreateTree(hipsId, Take(String::Make("Hips")), true));
    CharacterTreeRef spine = Take(CharacterTreeInterface::CreateTree(Take(Uuid::Random()), Take(String::Make("Spine")), true));
    CharacterTreeRef head = Take(CharacterTreeInterface::CreateTree(Take(Uuid::Random()), Take(String::Make("Head")), false));
    TRY("linking", root.InsertChildLast(spine));
    TRY("linking", spine.InsertChildLast(head));
    std::printf("skeleton nodes: %lld, transform nodes: %lld\n", static_cast<long long>(Take(root.GetHiearchyCount(false))),
                static_cast<long long>(Take(root.GetHiearchyCount(true))));

    // A body part with one skeleton node and a keyword.
    CharacterBodyPartRef torso =
        Take(CharacterBodyPartInterface::CreateBodyPart(Take(InternedId::Make("Torso")), Take(String::Make("Torso"))));
    TRY("setting the skeleton", torso.SetSkeleton(Take(MakeArray({hipsId}))));
    TRY("setting the keywords", torso.SetSkeletonKeywords(Take(MakeArray({Take(String::Make("hip"))}))));
    Print("body part", torso.ToString());

    // A solver setting and a definition.
    CharacterBodyPartSolverSetting weight = Take(
        CharacterBodyPartSolverSettingInterface::CreateBodyPartSolverSetting(Take(InternedId::Make("Torso")), 0.5));
    Print("solver setting", weight.ToString());
    CharacterDefinition character = Take(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
    TRY("naming the character", character.SetName(Take(String::Make("Walker"))));
    TRY("setting the skeleton", character.SetSkeletonTree(root));
    TRY("setting the body parts", character.SetBodyPartTree(torso));
    TRY("setting the rest pose", character.SetSkeletonRestPose(pose));
    Print("character", character.ToString());
  }
  // Static calls without an implementation: an error, or the diagnostic lines and the identity.
  module.Unload();
  std::printf("static call after unloading: %s\n",
              ErrorKindName(CharacterNodeInfoInterface::CreateNodeInfo(Uuid(), String()).error().kind()));
  Matrix m = CharacterSolverInterface::ApplyGlobalRotationDelta(CharacterNodeTransform(), CharacterNodeTransform(), false);
  Print("unresolved ApplyGlobalRotationDelta yields", MatrixToString(m));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int status = Run(argc > 1 ? argv[1] : NORVO_RETARGETBASE_MODULE_PATH);
  ShutdownFramework();
  return status;
}
