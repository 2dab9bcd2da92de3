#include "norvo/retarget/io/rigfile.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>

#include "jsontext.h"
#include "norvo/jsonio.h"
#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

namespace {

using json = jsontext::Value;

void WritePoint(const Vector& v, jsontext::Writer& out) {
  out.Open('[');
  out.Value(v.x);
  out.Value(v.y);
  out.Value(v.z);
  out.Close(']');
}

// The tool's section: what a BVH file needs beyond the character, each
// object's members in name order (as the JSON library lists them). False
// when a name is not UTF-8 text.
bool WriteSection(const Rig& rig, jsontext::Writer& out) {
  out.Open('{');
  out.Key("joints").Open('[');
  for (const Joint& joint : rig.skeleton.joints) {
    out.Open('{');
    out.Key("channels").Open('[');
    for (Channel c : joint.format.channels) out.Value(ChannelName(c));
    out.Close(']');
    out.Key("endSites").Open('[');
    for (const Vector& site : joint.endSites) WritePoint(site, out);
    out.Close(']');
    out.Key("name").Value(joint.name);
    WritePoint(joint.Offset(), out.Key("offset"));
    out.Key("parent").Value(joint.parent);
    // A model's joint may be rotated at rest (a glTF node's rotation, an FBX
    // pivot): its 3x3 part, column after column.
    const Matrix& rest = joint.rest;
    if (!(rest.v1 == Matrix{}.v1 && rest.v2 == Matrix{}.v2 && rest.v3 == Matrix{}.v3)) {
      out.Key("rest").Open('[');
      for (const Vector* column : {&rest.v1, &rest.v2, &rest.v3}) {
        out.Value(column->x);
        out.Value(column->y);
        out.Value(column->z);
      }
      out.Close(']');
    }
    out.Close('}');
  }
  out.Close(']');
  out.Key("name").Value(rig.name);
  out.Key("preset").Value(rig.preset.name);
  out.Close('}');
  return !out.Refused();
}

class SectionReader {
 public:
  explicit SectionReader(const std::string& file) : file_(file) {}

  Outcome<void> Read(const json& section, Rig& rig) {
    if (!section.is_object()) return Bad("the section \"" + std::string(kRigSection) + "\" is not an object");
    RETARGET_TRY(Text(section, "name", rig.name));
    RETARGET_TRY(Text(section, "preset", rig.preset.name));
    const json* joints = Member(section, "joints");
    if (!joints || !joints->is_array() || joints->empty()) return Bad("the rig's \"joints\" are not a list of joints");
    for (std::size_t j = 0; j < joints->size(); ++j) RETARGET_TRY(ReadJoint((*joints)[j], j, rig.skeleton));
    return {};
  }

 private:
  Failure Bad(const std::string& message) const { return MakeFailure(FailureKind::BadInput, message, file_); }

  static const json* Member(const json& object, const char* name) {
    auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
  }

  Outcome<void> Text(const json& object, const char* name, std::string& out) const {
    const json* value = Member(object, name);
    if (!value || !value->is_string()) return Bad(std::string("the rig's \"") + name + "\" is not a text");
    out = value->get<std::string>();
    return {};
  }

  Outcome<void> Point(const json* value, Vector& out, const std::string& what) const {
    if (!value || !value->is_array() || value->size() != 3) return Bad(what + " is not three numbers");
    double xyz[3];
    for (std::size_t i = 0; i < 3; ++i) {
      if (!(*value)[i].is_number()) return Bad(what + " is not three numbers");
      xyz[i] = (*value)[i].get<double>();
    }
    out = {xyz[0], xyz[1], xyz[2]};
    return {};
  }

  Outcome<void> ReadJoint(const json& entry, std::size_t j, Skeleton& skeleton) const {
    const std::string what = "joint " + std::to_string(j);
    if (!entry.is_object()) return Bad(what + " is not an object");
    std::string name;
    RETARGET_TRY(Text(entry, "name", name));
    // Every name a BVH file can hold, and only those.
    if (!IsJointName(name)) return Bad(what + " has a name that a BVH file cannot hold");
    const json* parent = Member(entry, "parent");
    if (!parent || !parent->is_number_integer()) return Bad(what + " has no parent index");
    const std::int64_t p = parent->get<std::int64_t>();
    if (j == 0 ? p != -1 : (p < 0 || p >= std::int64_t(j)))
      return Bad(what + " has parent " + std::to_string(p) +
                 ": a joint's parent comes before it, and only the first joint is a root");
    Vector offset;
    RETARGET_TRY(Point(Member(entry, "offset"), offset, what + "'s offset"));
    // A joint of a model (glTF, VRM, FBX) has no channels: a BVH file
    // written for it takes the usual layout.
    const json* channels = Member(entry, "channels");
    if (!channels || !channels->is_array() || (channels->size() != 0 && channels->size() != 3 && channels->size() != 6))
      return Bad(what + " does not have 0, 3 or 6 channels");
    std::vector<Channel> list;
    for (const json& c : *channels) {
      bool known = false;
      for (int k = 0; k < 6 && !known; ++k) {
        if (c.is_string() && c.get_ref<const std::string&>() == ChannelName(Channel(k))) {
          list.push_back(Channel(k));
          known = true;
        }
      }
      if (!known) return Bad(what + " has an unknown channel");
    }
    if (!list.empty() && !IsChannelLayout(list))
      return Bad(what + "'s channels are not three rotations, alone or with three positions, each once");
    skeleton.AddJoint(std::move(name), p, offset, std::move(list));
    if (const json* rest = Member(entry, "rest")) {
      if (!rest->is_array() || rest->size() != 9) return Bad(what + "'s rest is not nine numbers");
      double m[9];
      for (std::size_t i = 0; i < 9; ++i) {
        if (!(*rest)[i].is_number()) return Bad(what + "'s rest is not nine numbers");
        m[i] = (*rest)[i].get<double>();
      }
      Matrix& local = skeleton.joints.back().rest;
      local.v1 = {m[0], m[1], m[2]};
      local.v2 = {m[3], m[4], m[5]};
      local.v3 = {m[6], m[7], m[8]};
    }
    const json* endSites = Member(entry, "endSites");
    if (!endSites || !endSites->is_array()) return Bad(what + "'s End Sites are not a list");
    for (const json& site : *endSites) {
      Vector at;
      RETARGET_TRY(Point(&site, at, what + "'s End Site"));
      skeleton.joints.back().endSites.push_back(at);
    }
    return {};
  }

  const std::string& file_;
};

// The objects of the rig: the skeleton tree in joint order, the rest pose
// and the standard body parts, each checked against the joint list.
Outcome<void> TakeCharacter(Rig& rig, const std::string& file) {
  auto bad = [&](const std::string& message) { return MakeFailure(FailureKind::BadInput, message, file); };
  const std::vector<Joint>& joints = rig.skeleton.joints;

  // Pre-order over the skeleton tree, which lists the joints in file order.
  std::unordered_map<const Object*, std::int64_t> jointOf;
  std::vector<Object*> stack;
  if (rig.definition.GetSkeletonTree()) stack.push_back(rig.definition.GetSkeletonTree().Get());
  while (!stack.empty()) {
    Object* at = stack.back();
    stack.pop_back();
    const std::int64_t j = std::int64_t(rig.nodes.size());
    CharacterTreeRef node = CharacterTreeRef::From(ObjectRef::Share(at));
    if (!node || j >= std::int64_t(joints.size()) || node.GetName().View() != joints[std::size_t(j)].name)
      return bad("the skeleton tree does not list the rig's joints in order");
    Object* parent = at == rig.definition.GetSkeletonTree().Get() ? nullptr : HierarchyParent(at);
    const std::int64_t p = parent ? jointOf.at(parent) : -1;
    if (p != joints[std::size_t(j)].parent) return bad("the skeleton tree does not link the rig's joints as they are");
    if (node.GetUuid().IsEmpty() || !rig.jointOfUuid.emplace(node.GetUuid(), j).second)
      return bad("the skeleton tree's nodes do not each have a Uuid of their own");
    jointOf.emplace(at, j);
    rig.nodes.push_back(std::move(node));
    const std::size_t first = stack.size();
    for (Object* c = HierarchyFirstChild(at); c; c = HierarchyNext(c)) stack.push_back(c);
    std::reverse(stack.begin() + std::ptrdiff_t(first), stack.end());
  }
  if (rig.nodes.size() != joints.size()) return bad("the skeleton tree does not list the rig's joints in order");

  Result<const BaseArray<CharacterNodeTransform>&> pose = rig.definition.GetSkeletonRestPose().GetNodeTransformArray();
  if (!pose || pose.value().GetCount() != Int(joints.size()))
    return bad("the rest pose does not hold one node transform per joint");
  for (std::size_t j = 0; j < joints.size(); ++j) {
    const CharacterNodeTransform& transform = pose.value()[Int(j)];
    if (!transform || !(transform.GetUuid() == rig.nodes[j].GetUuid()))
      return bad("the rest pose does not hold one node transform per joint");
    rig.restTransforms.push_back(transform);
  }
  Outcome<RestPose> restOf = RestOf(rig.skeleton);
  if (!restOf) {
    Failure failure = std::move(restOf).failure();
    if (failure.file.empty()) failure.file = file;
    return failure;
  }
  RestPose& rest = restOf.value();
  rig.restLocals = std::move(rest.locals);
  rig.restGlobals = std::move(rest.globals);

  // The standard body parts, found by identifier anywhere in the tree.
  std::unordered_map<std::string, CharacterBodyPartRef> partOf;
  if (rig.definition.GetBodyPartTree()) stack.push_back(rig.definition.GetBodyPartTree().Get());
  while (!stack.empty()) {
    Object* at = stack.back();
    stack.pop_back();
    CharacterBodyPartRef part = CharacterBodyPartRef::From(ObjectRef::Share(at));
    if (!part) return bad("the body-part tree holds something that is not a body part");
    Result<InternedId> id = part.GetIdentifier();
    RETARGET_CHECK(id, "reading the body parts");
    partOf.emplace(std::string(id.value().View()), std::move(part));
    for (Object* c = HierarchyFirstChild(at); c; c = HierarchyNext(c)) stack.push_back(c);
  }
  auto texts = [](Result<const BaseArray<String>&> words, std::vector<std::string>& out) {
    if (words)
      for (const String& word : words.value()) out.emplace_back(word.View());
  };
  for (const BodyPartSpec& part : StandardBodyParts()) {
    auto found = partOf.find(std::string(part.identifier));
    if (found == partOf.end()) return bad("the body part " + std::string(part.identifier) + " is missing");
    rig.bodyParts.push_back(found->second);
    // The keywords the body part keeps stand for the preset's.
    BodyPartKeywords words;
    texts(found->second.GetSkeletonKeywords(), words.keywords);
    texts(found->second.GetSkeletonDiscardKeywords(), words.discard);
    rig.preset.parts.push_back(std::move(words));
  }
  if (rig.bodyParts[0].Get() != rig.definition.GetBodyPartTree().Get())
    return bad("the body-part tree does not start with " + std::string(StandardBodyParts()[0].identifier));
  return SummarizeRig(rig);
}

// Whether the JSON reader refused the text for one of its limits.
bool IsPastLimit(const Error& error) {
  for (const char* what : {"text too long", "nesting too deep", "too many objects", "array too long"})
    if (std::strcmp(error.message(), what) == 0) return true;
  return false;
}

}  // namespace

Outcome<std::string> FormatRigFile(const Rig& rig) {
  try {
    Result<String> name = String::Make(kRigSection);
    RETARGET_CHECK(name, "writing the rig");
    jsontext::Writer written;
    if (!WriteSection(rig, written))
      return MakeFailure(FailureKind::BadInput, "the rig has a joint name that is not UTF-8 text");
    Result<String> text = String::Make(written.text);
    RETARGET_CHECK(text, "writing the rig");
    const JsonSection section{std::move(name).value(), std::move(text).value()};
    Result<String> file = SaveJson(rig.definition, std::span<const JsonSection>(&section, 1));
    RETARGET_CHECK(file, "writing the rig");
    return std::string(file.value().View());
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> WriteRigFile(const Rig& rig, const std::string& path) {
  RETARGET_ASSIGN(std::string text, FormatRigFile(rig));
  return WriteTextFile(path, text);
}

Outcome<Rig> ParseRigFile(const std::string& text, const std::string& fileName, const JsonLimits& limits) {
  try {
    if (std::int64_t(text.size()) > std::max<Int>(limits.textBytes, 0)) return TooLarge(limits.textBytes, fileName);
    String problem;
    Result<JsonDocument> document = LoadJson(text, &problem, limits);
    if (!document) {
      if (document.error().kind() == ErrorKind::OutOfMemory) return OutOfMemory();
      const char* prefix = IsPastLimit(document.error()) ? "the rig file is past a limit: " : "not a rig file: ";
      return MakeFailure(FailureKind::BadInput, prefix + std::string(problem.View()), fileName);
    }
    Rig rig;
    rig.definition = CharacterDefinition::From(document.value().root);
    if (!rig.definition)
      return MakeFailure(FailureKind::BadInput, "not a rig file: it holds no character definition", fileName);
    const JsonSection* section = nullptr;
    for (const JsonSection& s : document.value().sections)
      if (s.name.View() == kRigSection) section = &s;
    if (!section)
      return MakeFailure(FailureKind::BadInput,
                         "not a rig file: the section \"" + std::string(kRigSection) + "\" is missing", fileName);
    jsontext::Builder parsed(jsontext::Builder::Duplicates::kKeepLast);
    jsontext::ParseFault syntax;
    if (!jsontext::Parse(section->json.View(), parsed, syntax))
      return MakeFailure(FailureKind::BadInput,
                         "not a rig file: the section \"" + std::string(kRigSection) + "\" is not JSON", fileName);
    SectionReader reader(fileName);
    RETARGET_TRY(reader.Read(parsed.Get(), rig));
    RETARGET_TRY(TakeCharacter(rig, fileName));
    return rig;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Rig> ReadRigFile(const std::string& path, const JsonLimits& limits) {
  RETARGET_ASSIGN(std::string text, ReadTextFile(path, limits.textBytes));
  return ParseRigFile(text, path, limits);
}

}  // namespace norvo::retarget
