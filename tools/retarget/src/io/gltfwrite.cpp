// The glTF writers (gltf.h). The document is edited as a parsed JSON value
// owned by a jsontext::Builder, which empties it safely however the writing
// ends, and every array and object is made in its place before it is
// filled (see jsontext.h).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <unordered_map>

#include "humanoid.h"
#include "jsontext.h"
#include "trs.h"
#include "norvo/retarget/base/geometry.h"
#include "norvo/retarget/io/gltf.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

namespace {

using json = jsontext::Value;

constexpr int kFloat = 5126;
constexpr std::uint32_t kGlbMagic = 0x46546C67, kJsonChunk = 0x4E4F534A, kBinChunk = 0x004E4942;

enum class Container : std::uint8_t { Glb, Text };

// A matrix without its scale: the rotation of its axes and its offset.
Matrix Rigid(const Matrix& m) noexcept {
  Trs rotation = ToTrs(m);
  rotation.t = m.off;
  rotation.s = {1, 1, 1};
  return FromTrs(rotation);
}

bool IsOne(const Vector& s) noexcept {
  return std::abs(s.x - 1) <= 1e-6 && std::abs(s.y - 1) <= 1e-6 && std::abs(s.z - 1) <= 1e-6;
}

// The keys of one node: per frame 3 translation, 4 rotation and 3 scale
// values; an empty list is not written.
struct Track {
  std::int64_t node = -1;
  std::vector<float> t, r, s;

  // Appends a frame's local transform; the rotation keeps to the side of
  // the one before, so that no key flips sign.
  void Add(const Trs& p, bool translation, bool scale) {
    if (translation) t.insert(t.end(), {float(p.t.x), float(p.t.y), float(p.t.z)});
    double sign = 1;
    if (r.size() >= 4) {
      const float* last = r.data() + r.size() - 4;
      if (last[0] * p.q[0] + last[1] * p.q[1] + last[2] * p.q[2] + last[3] * p.q[3] < 0) sign = -1;
    }
    r.insert(r.end(), {float(sign * p.q[0]), float(sign * p.q[1]), float(sign * p.q[2]), float(sign * p.q[3])});
    if (scale) s.insert(s.end(), {float(p.s.x), float(p.s.y), float(p.s.z)});
  }
};

// The keys of joint j of a motion on `node`, its locals taken back through
// `unfold` (the inverse of its fold) when given: translation and rotation
// in every frame, and scale when a frame's or the node's rest is not 1.
Track JointKeys(std::int64_t node, const Motion& motion, std::size_t j, const Matrix* unfold, bool restScaled) {
  std::vector<Trs> frames(std::size_t(motion.FrameCount()));
  bool scaled = restScaled;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    const Matrix& local = motion.Frame(std::int64_t(f))[j];
    frames[f] = ToTrs(unfold ? Multiply(*unfold, local) : local);
    scaled = scaled || !IsOne(frames[f].s);
  }
  Track track;
  track.node = node;
  for (const Trs& frame : frames) track.Add(frame, true, scaled);
  return track;
}

// Sets a node's rest as translation, rotation and scale, leaving out the
// members at their defaults. Gives whether each value fits a float, as
// glTF wants.
bool SetPose(json& node, const Trs& p) {
  node.erase("matrix");
  node.erase("translation");
  node.erase("rotation");
  node.erase("scale");
  auto put = [&](const char* name, std::initializer_list<double> values) {
    json& list = node[name];
    list = json::array();
    for (double v : values) list.push_back(v);
  };
  if (p.t.x != 0 || p.t.y != 0 || p.t.z != 0) put("translation", {p.t.x, p.t.y, p.t.z});
  if (p.q[0] != 0 || p.q[1] != 0 || p.q[2] != 0) put("rotation", {p.q[0], p.q[1], p.q[2], p.q[3]});
  if (!IsOne(p.s)) put("scale", {p.s.x, p.s.y, p.s.z});
  double largest = 0;
  for (double v : {p.t.x, p.t.y, p.t.z, p.q[0], p.q[1], p.q[2], p.q[3], p.s.x, p.s.y, p.s.z})
    largest = std::max(largest, std::abs(v));  // NaN leaves it be; the readers refuse NaN
  return largest <= std::numeric_limits<float>::max();
}

// A glTF document being written: its JSON and its one binary buffer.
class Document {
  jsontext::Builder owner_{jsontext::Builder::Duplicates::kKeepLast};

 public:
  json& root = owner_.Get();
  std::string bin;
  bool tooLarge = false;  // a value does not fit a float: the file would not be glTF

  // Reads the JSON of a model; false when it is not JSON (it was, when the
  // model was read).
  bool Parse(const std::string& text) {
    jsontext::ParseFault fault;
    return jsontext::Parse(text, owner_, fault, 256) && root.is_object();
  }
  void New() {
    root = json::object();
    json& asset = root["asset"];
    asset = json::object();
    asset["version"] = "2.0";
    asset["generator"] = "norvo-retarget";
  }

  // A new document of one scene: a node per joint with its name and its
  // local matrix at rest, under its parent's (-1: a root of the scene;
  // parents come first). Gives the scene's roots.
  template <class Name, class Rest, class Parent>
  const json& NewTree(std::size_t count, Name name, Rest rest, Parent parent) {
    New();
    json& nodes = List("nodes");
    json& roots = Object(List("scenes"))["nodes"];
    roots = json::array();
    root["scene"] = 0;
    for (std::size_t i = 0; i < count; ++i) {
      json& node = Object(nodes);
      node["name"] = name(i);
      tooLarge = !SetPose(node, ToTrs(rest(i))) || tooLarge;
      const std::int64_t above = parent(i);
      if (above < 0) {
        roots.push_back(i);
        continue;
      }
      json& children = nodes[std::size_t(above)]["children"];
      if (!children.is_array()) children = json::array();
      children.push_back(i);
    }
    return roots;
  }

  // A member that is an array, made when missing.
  json& List(const char* name) {
    json& list = root[name];
    if (!list.is_array()) list = json::array();
    return list;
  }
  // The elements of an array member; none when it is missing.
  std::span<json> Elements(const char* name) {
    if (!root.contains(name) || !root[name].is_array() || root[name].empty()) return {};
    json& list = root[name];
    return {&list[0], list.size()};
  }
  static json& Object(json& list) { return list.emplace_back(json::object()); }

  void Align(std::size_t to) {
    while (bin.size() % to != 0) bin.push_back('\0');
  }
  std::int64_t View(std::string_view bytes) {
    Align(4);
    json& views = List("bufferViews");
    json& view = Object(views);
    view["buffer"] = 0;
    view["byteOffset"] = bin.size();
    view["byteLength"] = bytes.size();
    bin.append(bytes);
    return std::int64_t(views.size()) - 1;
  }
  // An accessor of floats, `width` to an element; with its bounds when
  // glTF wants them (animation times).
  std::int64_t Floats(const std::vector<float>& values, const char* type, std::size_t width, bool bounds = false) {
    for (float v : values) tooLarge = tooLarge || !std::isfinite(v);
    const std::int64_t view =
        View(std::string_view(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)));
    json& accessors = List("accessors");
    json& accessor = Object(accessors);
    accessor["bufferView"] = view;
    accessor["componentType"] = kFloat;
    accessor["count"] = values.size() / width;
    accessor["type"] = type;
    if (bounds && !values.empty()) {
      const auto [low, high] = std::minmax_element(values.begin(), values.end());
      json& min = accessor["min"];
      min = json::array();
      min.push_back(double(*low));
      json& max = accessor["max"];
      max = json::array();
      max.push_back(double(*high));
    }
    return std::int64_t(accessors.size()) - 1;
  }

  // The motion's keys as animation 0, named `name`; an animation of that
  // name is dropped.
  void Animate(const std::string& name, const Motion& motion, const std::vector<Track>& tracks) {
    std::vector<float> times(std::size_t(motion.FrameCount()));
    for (std::size_t f = 0; f < times.size(); ++f) times[f] = float(double(f) * motion.frameTime);
    const std::int64_t input = Floats(times, "SCALAR", 1, true);
    json& animations = List("animations");
    for (std::size_t a = animations.size(); a-- > 0;) {
      const json* old = animations[a].is_object() && animations[a].contains("name") ? &animations[a]["name"] : nullptr;
      if (old && old->is_string() && old->get_ref<const std::string&>() == name) {
        jsontext::Drain(animations[a]);
        animations.erase(animations.begin() + std::ptrdiff_t(a));
      }
    }
    json& animation = *animations.insert(animations.begin(), json::object());
    if (!name.empty()) animation["name"] = name;
    json& samplers = animation["samplers"];
    samplers = json::array();
    json& channels = animation["channels"];
    channels = json::array();
    auto key = [&](std::int64_t node, const std::vector<float>& values, const char* path, const char* type,
                   std::size_t width) {
      if (values.empty()) return;
      json& sampler = Object(samplers);
      sampler["input"] = input;
      sampler["output"] = Floats(values, type, width);
      sampler["interpolation"] = "LINEAR";
      json& channel = Object(channels);
      channel["sampler"] = samplers.size() - 1;
      json& target = channel["target"];
      target = json::object();
      target["node"] = node;
      target["path"] = path;
    };
    for (const Track& track : tracks) {
      key(track.node, track.t, "translation", "VEC3", 3);
      key(track.node, track.r, "rotation", "VEC4", 4);
      key(track.node, track.s, "scale", "VEC3", 3);
    }
  }

  // The finished file: GLB bytes, or JSON text with the buffer in a data URI.
  Outcome<std::string> Finish(Container container) {
    if (tooLarge) return MakeFailure(FailureKind::BadInput, "the result has values too large for glTF's 32-bit floats");
    Align(4);
    json& buffers = root["buffers"];
    jsontext::Drain(buffers);
    if (bin.empty()) {
      root.erase("buffers");
    } else {
      buffers = json::array();
      json& buffer = Object(buffers);
      buffer["byteLength"] = bin.size();
      if (container == Container::Text) buffer["uri"] = "data:application/octet-stream;base64," + Base64(bin);
    }
    std::string text = root.dump();
    if (container == Container::Text) return text + "\n";
    while (text.size() % 4 != 0) text.push_back(' ');
    std::string out;
    const std::size_t total = 12 + 8 + text.size() + (bin.empty() ? 0 : 8 + bin.size());
    out.reserve(total);
    Word(out, kGlbMagic);
    Word(out, 2);
    Word(out, std::uint32_t(total));
    Word(out, std::uint32_t(text.size()));
    Word(out, kJsonChunk);
    out += text;
    if (!bin.empty()) {
      Word(out, std::uint32_t(bin.size()));
      Word(out, kBinChunk);
      out += bin;
    }
    return out;
  }

 private:
  static void Word(std::string& out, std::uint32_t word) {
    for (int k = 0; k < 4; ++k) out.push_back(char((word >> (8 * k)) & 0xFF));
  }
};

// The media type of an image by its first bytes; empty when unknown.
const char* ImageType(std::string_view bytes) noexcept {
  if (bytes.starts_with("\x89PNG")) return "image/png";
  if (bytes.starts_with("\xFF\xD8\xFF")) return "image/jpeg";
  if (bytes.size() >= 12 && bytes.substr(0, 4) == "RIFF" && bytes.substr(8, 4) == "WEBP") return "image/webp";
  if (bytes.starts_with("\xABKTX 20")) return "image/ktx2";
  return "";
}

std::int64_t IndexIn(const json& value, std::size_t count) {
  if (!value.is_number_integer()) return -1;
  const std::int64_t i = value.get<std::int64_t>();
  return i >= 0 && std::uint64_t(i) < count ? i : -1;
}

Failure Bad(const std::string& message) { return MakeFailure(FailureKind::BadInput, message); }

// The model's buffers, one after another, make the one buffer; its images
// move into it.
Outcome<void> MergeBuffers(Document& doc, const GltfModel& model) {
  std::vector<std::size_t> base;
  for (const std::string& buffer : model.buffers) {
    doc.Align(16);
    base.push_back(doc.bin.size());
    doc.bin += buffer;
  }
  auto rebase = [&](json& holder) {
    const std::int64_t b = holder.contains("buffer") ? IndexIn(holder["buffer"], base.size()) : -1;
    if (b < 0) return;
    const json* offset = holder.contains("byteOffset") ? &holder["byteOffset"] : nullptr;
    holder["buffer"] = 0;
    holder["byteOffset"] = (offset && offset->is_number_unsigned() ? offset->get<std::uint64_t>() : 0) +
                           base[std::size_t(b)];
  };
  for (json& view : doc.Elements("bufferViews")) {
    if (!view.is_object()) continue;
    rebase(view);
    if (view.contains("extensions") && view["extensions"].is_object() &&
        view["extensions"].contains("EXT_meshopt_compression"))
      rebase(view["extensions"]["EXT_meshopt_compression"]);
  }
  const std::span<json> images = doc.Elements("images");
  for (std::size_t i = 0; i < images.size() && i < model.images.size(); ++i) {
    if (model.images[i].empty() || !images[i].is_object()) continue;
    // A buffer view needs a media type: the bytes tell, else the model does.
    std::string type = ImageType(model.images[i]);
    if (type.empty() && images[i].contains("mimeType") && images[i]["mimeType"].is_string())
      type = images[i]["mimeType"].get<std::string>();
    if (type.empty())
      return Bad("image " + std::to_string(i) +
                 " of the model is not PNG, JPEG, WebP or KTX2 and has no mimeType, which a glTF buffer needs");
    images[i].erase("uri");
    images[i]["mimeType"] = type;
    images[i]["bufferView"] = doc.View(model.images[i]);
  }
  return {};
}

// A node for joint j, which the model has no node for (a root the motion
// added), above the top nodes of its children, in their place in the scenes.
void AddJointNode(Document& doc, const std::vector<Joint>& joints, std::size_t j, std::vector<std::int64_t>& parent,
                  std::vector<std::int64_t>& nodeOf) {
  json& nodes = doc.List("nodes");
  std::vector<std::int64_t> tops;
  for (std::size_t c = 0; c < joints.size(); ++c) {
    if (joints[c].parent != std::int64_t(j) || nodeOf[c] < 0) continue;
    std::int64_t top = nodeOf[c];
    for (std::size_t steps = 0; parent[std::size_t(top)] >= 0 && steps < nodes.size(); ++steps)
      top = parent[std::size_t(top)];
    if (std::find(tops.begin(), tops.end(), top) == tops.end()) tops.push_back(top);
  }
  const std::int64_t added = std::int64_t(nodes.size());
  json& node = Document::Object(nodes);
  node["name"] = joints[j].name;
  doc.tooLarge = !SetPose(node, ToTrs(joints[j].rest)) || doc.tooLarge;
  json& children = node["children"];
  children = json::array();
  for (std::int64_t top : tops) children.push_back(top);
  for (json& scene : doc.Elements("scenes")) {
    if (!scene.is_object() || !scene.contains("nodes") || !scene["nodes"].is_array()) continue;
    json& list = scene["nodes"];
    bool placed = false;
    for (std::size_t k = list.size(); k-- > 0;) {
      if (std::find(tops.begin(), tops.end(), IndexIn(list[k], nodes.size())) == tops.end()) continue;
      list.erase(list.begin() + std::ptrdiff_t(k));
      placed = true;
    }
    if (placed) list.push_back(added);
  }
  parent.push_back(-1);
  nodeOf[j] = added;
}

// A copy of the model the skeleton was read from, with the motion.
Outcome<std::string> CopyOfModel(const Motion& motion, const GltfModel& model, const MotionContext& context,
                                 Container container) {
  Document doc;
  if (!doc.Parse(model.json)) return Bad("the model's JSON cannot be read again");

  RETARGET_TRY(MergeBuffers(doc, model));

  // The nodes of the joints.
  json& nodes = doc.List("nodes");
  std::vector<std::int64_t> parent(nodes.size(), -1);
  for (std::size_t n = 0; n < nodes.size(); ++n)
    if (nodes[n].is_object() && nodes[n].contains("children"))
      for (const json& child : nodes[n]["children"])
        if (const std::int64_t c = IndexIn(child, nodes.size()); c >= 0) parent[std::size_t(c)] = std::int64_t(n);
  const std::vector<Joint>& joints = motion.skeleton.joints;
  std::vector<std::int64_t> nodeOf(joints.size(), -1);
  std::vector<Matrix> unfold(joints.size());
  for (std::size_t j = 0; j < joints.size(); ++j) {
    const std::int64_t n = joints[j].format.node;
    if (n < 0) continue;
    if (std::uint64_t(n) >= nodes.size() || !nodes[std::size_t(n)].is_object())
      return Bad("joint " + joints[j].name + " has no node in the model");
    nodeOf[j] = n;
    unfold[j] = AffineInverse(joints[j].format.fold);
    // An animated node is given by translation, rotation and scale.
    if (nodes[std::size_t(n)].contains("matrix"))
      doc.tooLarge = !SetPose(nodes[std::size_t(n)], ToTrs(Multiply(unfold[j], joints[j].rest))) || doc.tooLarge;
  }
  // A joint the model has no node for (a root the motion added) becomes a
  // node above the top nodes of its children, in their place in the scenes.
  for (std::size_t j = 0; j < joints.size(); ++j) {
    if (nodeOf[j] >= 0) continue;
    if (joints[j].parent >= 0) return Bad("joint " + joints[j].name + " has no node in the model");
    AddJointNode(doc, joints, j, parent, nodeOf);
  }

  std::vector<Track> tracks;
  for (std::size_t j = 0; j < joints.size(); ++j)
    tracks.push_back(JointKeys(nodeOf[j], motion, j, &unfold[j], !IsOne(ToTrs(Multiply(unfold[j], joints[j].rest)).s)));
  doc.Animate(context.animation, motion, tracks);
  return doc.Finish(container);
}

// A node per joint, a skin over them, and the motion.
Outcome<std::string> NodeTree(const Motion& motion, const MotionContext& context, Container container) {
  Document doc;
  const std::vector<Joint>& joints = motion.skeleton.joints;
  RETARGET_ASSIGN(const RestPose rest, RestOf(motion.skeleton));
  const json& roots = doc.NewTree(
      joints.size(), [&](std::size_t j) { return joints[j].name; }, [&](std::size_t j) { return joints[j].rest; },
      [&](std::size_t j) { return joints[j].parent; });
  std::vector<float> inverse;
  inverse.reserve(joints.size() * 16);
  for (const Matrix& global : rest.globals) {
    const Matrix m = AffineInverse(global);
    for (const Vector& v : {m.v1, m.v2, m.v3}) inverse.insert(inverse.end(), {float(v.x), float(v.y), float(v.z), 0});
    inverse.insert(inverse.end(), {float(m.off.x), float(m.off.y), float(m.off.z), 1});
  }
  json& skin = Document::Object(doc.List("skins"));
  json& list = skin["joints"];
  list = json::array();
  for (std::size_t j = 0; j < joints.size(); ++j) list.push_back(j);
  skin["inverseBindMatrices"] = doc.Floats(inverse, "MAT4", 16);
  if (roots.size() == 1) skin["skeleton"] = roots[0];

  std::vector<Track> tracks;
  for (std::size_t j = 0; j < joints.size(); ++j)
    tracks.push_back(JointKeys(std::int64_t(j), motion, j, nullptr, false));
  doc.Animate(context.animation, motion, tracks);
  return doc.Finish(container);
}

Outcome<std::string> Format(const Motion& motion, const MotionContext& context, Container container) {
  try {
    if (motion.FrameCount() == 0) return Bad("the motion has no frames to write");
    if (motion.skeleton.format.model) return CopyOfModel(motion, *motion.skeleton.format.model, context, container);
    return NodeTree(motion, context, container);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  } catch (const std::exception& e) {
    return Bad(std::string("the glTF cannot be written: ") + e.what());
  }
}

// The human bone each joint stands for, from the rig's body parts; empty
// for a joint that stands for none.
std::vector<std::string> HumanBones(const std::vector<Joint>& joints, const Rig& rig) {
  std::unordered_map<std::string, std::size_t> jointNamed;
  for (std::size_t j = 0; j < joints.size(); ++j) jointNamed.emplace(joints[j].name, j);
  std::vector<std::string> boneOf(joints.size());
  const auto parts = StandardBodyParts();
  for (std::size_t p = 0; p < parts.size() && p < rig.parts.joints.size(); ++p) {
    const std::vector<std::string> bones = humanoid::BonesOfPart(parts[p].identifier);
    const std::vector<std::int64_t>& members = rig.parts.joints[p];
    for (std::size_t k = 0; k < bones.size() && k < members.size(); ++k) {
      const auto found = jointNamed.find(rig.skeleton.joints[std::size_t(members[k])].name);
      if (found != jointNamed.end() && boneOf[found->second].empty()) boneOf[found->second] = bones[k];
    }
  }
  return boneOf;
}

// The VRM animation extension, naming the human bone of each node.
void AddHumanBones(Document& doc, const std::vector<std::size_t>& bones, const std::vector<std::string>& boneOf) {
  json& used = doc.List("extensionsUsed");
  used.push_back("VRMC_vrm_animation");
  json& extensions = doc.root["extensions"];
  extensions = json::object();
  json& extension = extensions["VRMC_vrm_animation"];
  extension = json::object();
  extension["specVersion"] = "1.0";
  json& humanoid = extension["humanoid"];
  humanoid = json::object();
  json& table = humanoid["humanBones"];
  table = json::object();
  for (std::size_t b = 0; b < bones.size(); ++b) {
    json& entry = table[boneOf[bones[b]]];
    entry = json::object();
    entry["node"] = b;
  }
}

}  // namespace

Outcome<std::string> FormatGlb(const Motion& motion, const MotionContext& context) {
  return Format(motion, context, Container::Glb);
}

Outcome<std::string> FormatGltf(const Motion& motion, const MotionContext& context) {
  return Format(motion, context, Container::Text);
}

Outcome<std::string> FormatVrm(const Motion& motion, const MotionContext& context) {
  if (!motion.skeleton.format.model || !motion.skeleton.format.model->vrm)
    return MakeFailure(FailureKind::Usage, "a .vrm file is a copy of a VRM model, and the target" +
                                               (context.rig ? " " + context.rig->name : std::string()) +
                                               " is not one: write .glb, .gltf or .vrma");
  return Format(motion, context, Container::Glb);
}

Outcome<std::string> FormatVrma(const Motion& motion, const MotionContext& context) {
  try {
    const Rig* rig = context.rig;
    if (!rig || rig->FirstJoint("Hips") < 0)
      return MakeFailure(FailureKind::Usage,
                         "a VRM animation moves humanoid bones, and the target's Hips body part has no joint");
    if (motion.FrameCount() == 0) return Bad("the motion has no frames to write");
    const std::vector<Joint>& joints = motion.skeleton.joints;
    const std::vector<std::string> boneOf = HumanBones(joints, *rig);
    // The bones in skeleton order, each under the nearest bone above it.
    std::vector<std::size_t> bones;
    std::vector<std::int64_t> nodeOf(joints.size(), -1), parentNode;
    for (std::size_t j = 0; j < joints.size(); ++j) {
      if (boneOf[j].empty()) continue;
      std::int64_t above = joints[j].parent;
      while (above >= 0 && nodeOf[std::size_t(above)] < 0) above = joints[std::size_t(above)].parent;
      nodeOf[j] = std::int64_t(bones.size());
      parentNode.push_back(above >= 0 ? nodeOf[std::size_t(above)] : -1);
      bones.push_back(j);
    }
    // A node's local matrix: its joint's global one, without scale, in
    // that of the bone above.
    std::vector<Matrix> globals(joints.size());
    auto locals = [&](std::span<const Matrix> from, std::vector<Matrix>& out) {
      ForwardKinematics(motion.skeleton, from, globals);
      out.resize(bones.size());
      for (std::size_t b = 0; b < bones.size(); ++b) {
        const Matrix self = Rigid(globals[bones[b]]);
        out[b] = parentNode[b] < 0 ? self
                                   : Multiply(AffineInverse(Rigid(globals[bones[std::size_t(parentNode[b])]])), self);
      }
    };
    RETARGET_ASSIGN(const RestPose rest, RestOf(motion.skeleton));
    std::vector<Matrix> local;
    locals(rest.locals, local);

    Document doc;
    doc.NewTree(
        bones.size(), [&](std::size_t b) { return joints[bones[b]].name; }, [&](std::size_t b) { return local[b]; },
        [&](std::size_t b) { return parentNode[b]; });
    AddHumanBones(doc, bones, boneOf);

    std::vector<Track> tracks(bones.size());
    for (std::size_t b = 0; b < bones.size(); ++b) tracks[b].node = std::int64_t(b);
    for (std::int64_t f = 0; f < motion.FrameCount(); ++f) {
      locals(motion.Frame(f), local);
      for (std::size_t b = 0; b < bones.size(); ++b) tracks[b].Add(ToTrs(local[b]), boneOf[bones[b]] == "hips", false);
    }
    doc.Animate(context.animation, motion, tracks);
    return doc.Finish(Container::Glb);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  } catch (const std::exception& e) {
    return Bad(std::string("the VRM animation cannot be written: ") + e.what());
  }
}

}  // namespace norvo::retarget
