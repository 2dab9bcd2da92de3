#include "convert.h"

#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/scene.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <iterator>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fbxwire.h"
#include "norvo/matrix.h"

namespace norvo::retarget::fbx {

namespace {

constexpr std::string_view kHelper = "_$AssimpFbx$";

std::string Failure(fbxwire::Status status, std::string_view message) {
  std::string out(fbxwire::kMagic, 4);
  fbxwire::Put(out, fbxwire::kVersion);
  fbxwire::Put(out, std::uint8_t(status));
  fbxwire::PutText(out, message);
  return out;
}

// The joint a pivot helper node belongs to: the name before "_$AssimpFbx$".
std::string_view BaseName(std::string_view name) {
  const std::size_t at = name.find(kHelper);
  return at == std::string_view::npos ? name : name.substr(0, at);
}

Matrix FromAssimp(const aiMatrix4x4& m) {
  Matrix out;
  out.off = {m.a4, m.b4, m.c4};
  out.v1 = {m.a1, m.b1, m.c1};
  out.v2 = {m.a2, m.b2, m.c2};
  out.v3 = {m.a3, m.b3, m.c3};
  return out;
}

double Length3(const Vector& v) { return std::sqrt(Dot(v, v)); }

// The axes made orthonormal, first axis first; the offset kept.
Matrix Rigid(const Matrix& m) {
  Matrix r;
  r.off = m.off;
  const double l1 = Length3(m.v1);
  r.v1 = l1 > 0 ? Scale(m.v1, 1 / l1) : Vector{1, 0, 0};
  Vector v2 = Subtract(m.v2, Scale(r.v1, Dot(r.v1, m.v2)));
  const double l2 = Length3(v2);
  if (!(l2 > 1e-12)) v2 = std::abs(r.v1.x) < 0.9 ? Cross(Vector{1, 0, 0}, r.v1) : Cross(Vector{0, 1, 0}, r.v1);
  r.v2 = Scale(v2, 1 / Length3(v2));
  r.v3 = Cross(r.v1, r.v2);
  return r;
}

bool Finite(const Matrix& m) {
  for (const Vector& v : {m.off, m.v1, m.v2, m.v3})
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) return false;
  return true;
}

template <class T>
bool Meta(const aiScene& scene, const char* key, T& value) {
  return scene.mMetaData && scene.mMetaData->Get(key, value);
}

double UnitScale(const aiScene& scene) {
  double unit = 0;
  float single = 0;
  if (!Meta(scene, "UnitScaleFactor", unit) && Meta(scene, "UnitScaleFactor", single)) unit = single;
  return std::isfinite(unit) && unit > 0 ? unit : 1.0;
}

bool IsNull(const aiNode& node) {
  bool null = false;
  return node.mMetaData && node.mMetaData->Get("IsNull", null) && null;
}

struct Node {
  const aiNode* node;
  int parent;
  std::string name;
};

// A node's local matrix at a time from its channel: translation, rotation
// and scale each sampled between the keys around it (times in seconds).
class Sampler {
 public:
  Sampler(const aiNodeAnim& channel, double ticksPerSecond) : channel_(channel), tps_(ticksPerSecond) {}

  Matrix At(double seconds) const {
    const aiVector3D t = Vector3(channel_.mPositionKeys, channel_.mNumPositionKeys, seconds, {0, 0, 0});
    const aiVector3D s = Vector3(channel_.mScalingKeys, channel_.mNumScalingKeys, seconds, {1, 1, 1});
    aiQuaternion r;
    const unsigned n = channel_.mNumRotationKeys;
    if (n > 0 && channel_.mRotationKeys) {
      const unsigned i = Index(channel_.mRotationKeys, n, seconds);
      r = channel_.mRotationKeys[i].mValue;
      if (i + 1 < n) {
        const double a = Time(channel_.mRotationKeys[i].mTime), b = Time(channel_.mRotationKeys[i + 1].mTime);
        const double w = b > a ? std::clamp((seconds - a) / (b - a), 0.0, 1.0) : 0.0;
        aiQuaternion::Interpolate(r, channel_.mRotationKeys[i].mValue, channel_.mRotationKeys[i + 1].mValue, float(w));
      }
      r.Normalize();
    }
    const aiMatrix3x3 rotation = r.GetMatrix();
    Matrix m;
    m.off = {t.x, t.y, t.z};
    m.v1 = {rotation.a1 * s.x, rotation.b1 * s.x, rotation.c1 * s.x};
    m.v2 = {rotation.a2 * s.y, rotation.b2 * s.y, rotation.c2 * s.y};
    m.v3 = {rotation.a3 * s.z, rotation.b3 * s.z, rotation.c3 * s.z};
    return m;
  }

  // A key's time in seconds, rounded to a frame of the file's rate.
  double Time(double ticks) const { return std::round(ticks) / tps_; }

 private:
  // The last key at or before the time (the first when none is), found by
  // halves: the keys come in time order.
  template <class Key>
  unsigned Index(const Key* keys, unsigned n, double seconds) const {
    const Key* after =
        std::partition_point(keys + 1, keys + n, [&](const Key& key) { return Time(key.mTime) <= seconds; });
    return unsigned(after - keys) - 1;
  }
  aiVector3D Vector3(const aiVectorKey* keys, unsigned n, double seconds, aiVector3D none) const {
    if (n == 0 || !keys) return none;
    const unsigned i = Index(keys, n, seconds);
    if (i + 1 >= n) return keys[i].mValue;
    const double a = Time(keys[i].mTime), b = Time(keys[i + 1].mTime);
    const float w = float(b > a ? std::clamp((seconds - a) / (b - a), 0.0, 1.0) : 0.0);
    return keys[i].mValue + (keys[i + 1].mValue - keys[i].mValue) * w;
  }

  const aiNodeAnim& channel_;
  double tps_;
};

// What the reading learns of the scene, step by step.
struct Scan {
  std::vector<Node> nodes;         // in pre-order
  std::vector<std::string> names;  // the animations'
  std::size_t chosen = 0;          // the animation read, an index into names
  const aiAnimation* animation = nullptr;
  std::unordered_map<std::size_t, const aiNodeAnim*> channelOf;  // by node
  std::vector<bool> isJoint;
  bool addedRoot = false;
  double tps = 30.0, rate = 30.0;
  double first = INFINITY, last = -INFINITY;
  std::int64_t frames = 0;
  std::vector<std::size_t> joints;  // the joint nodes, in pre-order
  std::vector<int> jointOf;         // a node's joint, or -1

  bool IsHelper(std::size_t i) const { return nodes[i].name.find(kHelper) != std::string::npos; }
  int JointAbove(std::size_t i) const {
    for (int at = nodes[i].parent; at >= 0; at = nodes[std::size_t(at)].parent)
      if (isJoint[std::size_t(at)]) return at;
    return -1;
  }
};

// The nodes in pre-order. Returns a failure, or empty.
std::string TakeNodes(const aiScene& scene, const Request& request, Scan& scan) {
  std::vector<Node>& nodes = scan.nodes;
  std::vector<std::pair<const aiNode*, int>> stack{{scene.mRootNode, -1}};
  while (!stack.empty()) {
    const auto [node, parent] = stack.back();
    stack.pop_back();
    if (!node) continue;
    if (std::int64_t(nodes.size()) >= request.nodes)
      return Failure(fbxwire::kBadInput,
                     "the file has more than " + std::to_string(request.nodes) + " nodes, the limit");
    nodes.push_back({node, parent, std::string(node->mName.C_Str())});
    const int at = int(nodes.size()) - 1;
    for (unsigned c = node->mNumChildren; c-- > 0;)
      if (node->mChildren) stack.emplace_back(node->mChildren[c], at);
  }
  if (nodes.size() < 2) return Failure(fbxwire::kBadInput, "the file has no nodes to make a skeleton of");
  return {};
}

// The animation asked for, by name, by the name after "|" or by index; the
// first when none is asked for. Returns a failure, or empty.
std::string ChooseAnimation(const aiScene& scene, const Request& request, Scan& scan) {
  std::vector<std::string>& names = scan.names;
  for (unsigned a = 0; a < scene.mNumAnimations; ++a)
    names.emplace_back(scene.mAnimations && scene.mAnimations[a] ? scene.mAnimations[a]->mName.C_Str() : "");
  std::size_t& chosen = scan.chosen;
  if (!request.animation.empty()) {
    chosen = names.size();
    for (std::size_t a = 0; a < names.size() && chosen == names.size(); ++a) {
      const std::string_view name = names[a], tail = name.substr(name.find('|') + 1);
      if (name == request.animation || (name.find('|') != std::string_view::npos && tail == request.animation))
        chosen = a;
    }
    const std::string& wanted = request.animation;
    if (chosen == names.size() && wanted.size() < 10 && wanted.find_first_not_of("0123456789") == std::string::npos &&
        std::stoull(wanted) < names.size())
      chosen = std::size_t(std::stoull(wanted));
    if (chosen == names.size()) {
      std::string list;
      for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
      return Failure(fbxwire::kUsage, "--animation " + wanted +
                                          (names.empty() ? ": the file has no animation"
                                                         : ": the file has no such animation; it has " + list));
    }
  }
  if (chosen < names.size()) scan.animation = scene.mAnimations[chosen];
  return {};
}

// The animation's channel of each node it moves.
void FindChannels(Scan& scan) {
  std::unordered_map<std::string_view, std::vector<std::size_t>> named;
  for (std::size_t i = 1; i < scan.nodes.size(); ++i) named[scan.nodes[i].name].push_back(i);
  const aiAnimation* animation = scan.animation;
  if (animation)
    for (unsigned c = 0; c < animation->mNumChannels && animation->mChannels; ++c)
      if (const aiNodeAnim* channel = animation->mChannels[c])
        if (auto found = named.find(channel->mNodeName.C_Str()); found != named.end())
          for (std::size_t i : found->second) scan.channelOf[i] = channel;
}

// The joints: the meshes' bones when there are any; else the skeleton's
// nodes (neither nulls nor meshes), else the nodes the animation moves
// (through their helpers too), else all.
void PickJoints(const aiScene& scene, Scan& scan) {
  const std::size_t n = scan.nodes.size();
  scan.isJoint.assign(n, false);
  std::unordered_set<std::string> bones;
  for (unsigned m = 0; m < scene.mNumMeshes && scene.mMeshes; ++m)
    if (const aiMesh* mesh = scene.mMeshes[m])
      for (unsigned b = 0; b < mesh->mNumBones && mesh->mBones; ++b)
        if (mesh->mBones[b]) bones.insert(mesh->mBones[b]->mName.C_Str());
  if (!bones.empty()) {
    for (std::size_t i = 1; i < n; ++i)
      if (!scan.IsHelper(i)) scan.isJoint[i] = bones.contains(scan.nodes[i].name);
    return;
  }
  std::unordered_set<std::string_view> moved;
  for (const auto& [node, channel] : scan.channelOf) moved.insert(BaseName(scan.nodes[node].name));
  for (int pass = 0; pass < 3; ++pass) {
    bool any = false;
    for (std::size_t i = 1; i < n; ++i) {
      const aiNode& node = *scan.nodes[i].node;
      scan.isJoint[i] = !scan.IsHelper(i) && (pass == 0   ? !IsNull(node) && node.mNumMeshes == 0
                                              : pass == 1 ? moved.contains(scan.nodes[i].name)
                                                          : true);
      any = any || scan.isJoint[i];
    }
    if (any) break;
  }
}

// The node above every top joint becomes a joint too, the skeleton's root;
// when there is none but the scene's root, a root joint is added. Returns a
// failure, or empty.
std::string FindRoot(Scan& scan) {
  const std::vector<Node>& nodes = scan.nodes;
  const std::size_t n = nodes.size();
  std::vector<int> depth(n, 0);
  for (std::size_t i = 1; i < n; ++i) depth[i] = depth[std::size_t(nodes[i].parent)] + 1;
  int common = -2;
  for (std::size_t i = 1; i < n; ++i) {
    if (!scan.isJoint[i] || scan.JointAbove(i) >= 0) continue;
    if (common == -2) {
      common = int(i);
      continue;
    }
    int a = common, b = int(i);
    while (a >= 0 && b >= 0 && a != b) {
      if (depth[std::size_t(a)] >= depth[std::size_t(b)]) a = nodes[std::size_t(a)].parent;
      else b = nodes[std::size_t(b)].parent;
    }
    common = a > 0 && a == b ? a : -1;
    if (common < 0) break;
  }
  if (common == -2) return Failure(fbxwire::kBadInput, "the file has no nodes to make a skeleton of");
  scan.addedRoot = common < 0;
  if (common > 0) scan.isJoint[std::size_t(common)] = true;
  return {};
}

// The frames, when the animation moves a joint or a node folded into one.
// Returns a failure, or empty.
std::string CountFrames(const Request& request, Scan& scan) {
  const std::size_t n = scan.nodes.size();
  std::vector<bool> inSkeleton(n, false);
  for (std::size_t i = 1; i < n; ++i)
    if (scan.isJoint[i])
      for (int at = int(i); at > 0 && !inSkeleton[std::size_t(at)]; at = scan.nodes[std::size_t(at)].parent)
        inSkeleton[std::size_t(at)] = true;
  for (auto it = scan.channelOf.begin(); it != scan.channelOf.end();)
    it = inSkeleton[it->first] ? std::next(it) : scan.channelOf.erase(it);
  const aiAnimation* animation = scan.animation;
  scan.tps = animation && animation->mTicksPerSecond > 0 ? animation->mTicksPerSecond : 30.0;
  for (const auto& [node, channel] : scan.channelOf) {
    const Sampler sampler(*channel, scan.tps);
    auto span = [&](const auto* keys, unsigned count) {
      for (unsigned k = 0; k < count && keys; ++k) {
        const double t = sampler.Time(keys[k].mTime);
        if (std::isfinite(t)) scan.first = std::min(scan.first, t), scan.last = std::max(scan.last, t);
      }
    };
    span(channel->mPositionKeys, channel->mNumPositionKeys);
    span(channel->mRotationKeys, channel->mNumRotationKeys);
    span(channel->mScalingKeys, channel->mNumScalingKeys);
  }
  scan.rate = request.fps > 0 ? request.fps : scan.tps;
  if (scan.first <= scan.last) {
    const double count = std::floor((scan.last - scan.first) * scan.rate + 0.5) + 1;
    if (!(count <= double(request.frames)))
      return Failure(fbxwire::kBadInput,
                     "the animation samples to more than " + std::to_string(request.frames) + " frames, the limit");
    scan.frames = std::int64_t(count);
  }
  for (std::size_t i = 1; i < n; ++i)
    if (scan.isJoint[i]) scan.joints.push_back(i);
  if (double(scan.frames) * double(n) > double(request.samples))
    return Failure(fbxwire::kBadInput, "the animation samples " + std::to_string(scan.frames) + " frames of " +
                                           std::to_string(n) + " nodes, more than the limit of " +
                                           std::to_string(request.samples));
  scan.jointOf.assign(n, -1);
  for (std::size_t j = 0; j < scan.joints.size(); ++j) scan.jointOf[scan.joints[j]] = int(j) + (scan.addedRoot ? 1 : 0);
  return {};
}

// The joints' rigid locals at a time: the globals of every node, then the
// joints' made rigid and in metres, then each relative to the joint above.
class Poser {
 public:
  Poser(const aiScene& scene, const Scan& scan)
      : scan_(scan), metres_(UnitScale(scene) / 100.0), global_(scan.nodes.size()),
        rigid_(scan.joints.size() + (scan.addedRoot ? 1 : 0)) {}

  // False when a local holds numbers that are not finite.
  bool Pose(double seconds, bool rest) {
    const std::vector<Node>& nodes = scan_.nodes;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      Matrix local = FromAssimp(nodes[i].node->mTransformation);
      if (!rest)
        if (auto found = scan_.channelOf.find(i); found != scan_.channelOf.end())
          local = Sampler(*found->second, scan_.tps).At(seconds);
      global_[i] = nodes[i].parent < 0 ? local : Multiply(global_[std::size_t(nodes[i].parent)], local);
    }
    const std::vector<std::size_t>& joints = scan_.joints;
    for (std::size_t j = 0; j < joints.size(); ++j) {
      Matrix r = Rigid(global_[joints[j]]);
      r.off = Scale(r.off, metres_);
      rigid_[std::size_t(scan_.jointOf[joints[j]])] = r;
    }
    locals_.assign(rigid_.size(), Matrix{});
    for (std::size_t j = 0; j < joints.size(); ++j) {
      const int above = scan_.JointAbove(joints[j]);
      const std::size_t self = std::size_t(scan_.jointOf[joints[j]]);
      locals_[self] =
          above >= 0 ? Multiply(AffineInverse(rigid_[std::size_t(scan_.jointOf[std::size_t(above)])]), rigid_[self])
                     : rigid_[self];
      if (!Finite(locals_[self])) return false;
    }
    return true;
  }

  const std::vector<Matrix>& Locals() const { return locals_; }

 private:
  const Scan& scan_;
  double metres_;
  std::vector<Matrix> global_, rigid_, locals_;
};

void PutMatrix(std::string& out, const Matrix& m) {
  for (const Vector& v : {m.off, m.v1, m.v2, m.v3}) {
    fbxwire::Put(out, v.x);
    fbxwire::Put(out, v.y);
    fbxwire::Put(out, v.z);
  }
}

// The joints with their rest locals, then every frame's locals. Returns a
// failure, or empty.
std::string PutSkeleton(const Scan& scan, Poser& poser, std::string& out) {
  if (!poser.Pose(0.0, true)) return Failure(fbxwire::kBadInput, "the rest pose holds numbers that are not finite");
  auto putJoint = [&](const std::string& name, std::int64_t parent, const Matrix& rest) {
    fbxwire::PutText(out, name);
    fbxwire::Put(out, parent);
    PutMatrix(out, rest);
  };
  if (scan.addedRoot) putJoint("root", -1, Matrix{});
  for (std::size_t j = 0; j < scan.joints.size(); ++j) {
    const int above = scan.JointAbove(scan.joints[j]);
    putJoint(scan.nodes[scan.joints[j]].name,
             above >= 0       ? scan.jointOf[std::size_t(above)]
             : scan.addedRoot ? 0
                              : -1,
             poser.Locals()[std::size_t(scan.jointOf[scan.joints[j]])]);
  }
  for (std::int64_t f = 0; f < scan.frames; ++f) {
    if (!poser.Pose(scan.first + double(f) / scan.rate, false))
      return Failure(fbxwire::kBadInput, "frame " + std::to_string(f) + " holds numbers that are not finite");
    for (const Matrix& m : poser.Locals()) PutMatrix(out, m);
  }
  return {};
}

std::string Read(const aiScene& scene, const Request& request) {
  Scan scan;
  std::string failure = TakeNodes(scene, request, scan);
  if (failure.empty()) failure = ChooseAnimation(scene, request, scan);
  if (failure.empty()) {
    FindChannels(scan);
    PickJoints(scene, scan);
    failure = FindRoot(scan);
  }
  if (failure.empty()) failure = CountFrames(request, scan);
  if (!failure.empty()) return failure;

  std::string out(fbxwire::kMagic, 4);
  fbxwire::Put(out, fbxwire::kVersion);
  fbxwire::Put(out, std::uint8_t(fbxwire::kRead));
  fbxwire::Put(out, 1.0 / scan.rate);
  fbxwire::Put(out, std::uint64_t(scan.frames));
  fbxwire::Put(out, std::uint64_t(scan.joints.size() + (scan.addedRoot ? 1 : 0)));
  Poser poser(scene, scan);
  if (failure = PutSkeleton(scan, poser, out); !failure.empty()) return failure;
  const aiAnimation* animation = scan.animation;
  fbxwire::PutText(out, animation ? std::string_view(animation->mName.C_Str()) : std::string_view());
  fbxwire::Put(out, std::uint64_t(scan.names.size() > 0 ? scan.names.size() - 1 : 0));
  for (std::size_t a = 0; a < scan.names.size(); ++a)
    if (a != scan.chosen) fbxwire::PutText(out, scan.names[a]);
  int up = 1, sign = 1;
  Meta(scene, "UpAxis", up);
  Meta(scene, "UpAxisSign", sign);
  fbxwire::Put(out, UnitScale(scene));
  fbxwire::Put(out, std::int32_t(up));
  fbxwire::Put(out, std::int32_t(sign));
  fbxwire::Put(out, std::uint8_t(animation != nullptr && scan.frames > 0));
  return out;
}

}  // namespace

std::string Convert(std::string_view bytes, const Request& request) {
  try {
    Assimp::Importer importer;
    // The pivot helper nodes are kept and folded here: without them assimp
    // folds the pivots into the node but still keys the rotation helper it
    // did not make.
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, true);
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_READ_MATERIALS, false);
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_READ_TEXTURES, false);
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_READ_CAMERAS, false);
    importer.SetPropertyBool(AI_CONFIG_IMPORT_FBX_READ_LIGHTS, false);
    const aiScene* scene = importer.ReadFileFromMemory(bytes.data(), bytes.size(), 0, "fbx");
    if (!scene || !scene->mRootNode) {
      std::string why = importer.GetErrorString();
      why = why.substr(0, why.find('\n'));
      while (!why.empty() && (why.back() == ' ' || why.back() == '.')) why.pop_back();
      return Failure(fbxwire::kBadInput, "not FBX that can be read" + (why.empty() ? "" : ": " + why));
    }
    return Read(*scene, request);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    return Failure(fbxwire::kBadInput, std::string("not FBX that can be read: ") + e.what());
  }
}

}  // namespace norvo::retarget::fbx
