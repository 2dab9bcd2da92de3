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

std::string Read(const aiScene& scene, const Request& request) {
  using fbxwire::kBadInput;
  // The nodes in pre-order.
  std::vector<Node> nodes;
  std::vector<std::pair<const aiNode*, int>> stack{{scene.mRootNode, -1}};
  while (!stack.empty()) {
    const auto [node, parent] = stack.back();
    stack.pop_back();
    if (!node) continue;
    if (std::int64_t(nodes.size()) >= request.nodes)
      return Failure(kBadInput, "the file has more than " + std::to_string(request.nodes) + " nodes, the limit");
    nodes.push_back({node, parent, std::string(node->mName.C_Str())});
    const int at = int(nodes.size()) - 1;
    for (unsigned c = node->mNumChildren; c-- > 0;)
      if (node->mChildren) stack.emplace_back(node->mChildren[c], at);
  }
  const std::size_t n = nodes.size();
  if (n < 2) return Failure(kBadInput, "the file has no nodes to make a skeleton of");

  // The animation.
  const aiAnimation* animation = nullptr;
  std::vector<std::string> names;
  for (unsigned a = 0; a < scene.mNumAnimations; ++a)
    names.emplace_back(scene.mAnimations && scene.mAnimations[a] ? scene.mAnimations[a]->mName.C_Str() : "");
  std::size_t chosen = 0;
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
  if (chosen < names.size()) animation = scene.mAnimations[chosen];

  // The joints.
  std::unordered_map<std::string_view, std::vector<std::size_t>> named;
  for (std::size_t i = 1; i < n; ++i) named[nodes[i].name].push_back(i);
  std::vector<bool> isJoint(n, false);
  auto isHelper = [&](std::size_t i) { return nodes[i].name.find(kHelper) != std::string::npos; };
  std::unordered_set<std::string> bones;
  for (unsigned m = 0; m < scene.mNumMeshes && scene.mMeshes; ++m)
    if (const aiMesh* mesh = scene.mMeshes[m])
      for (unsigned b = 0; b < mesh->mNumBones && mesh->mBones; ++b)
        if (mesh->mBones[b]) bones.insert(mesh->mBones[b]->mName.C_Str());
  std::unordered_map<std::size_t, const aiNodeAnim*> channelOf;
  if (animation)
    for (unsigned c = 0; c < animation->mNumChannels && animation->mChannels; ++c)
      if (const aiNodeAnim* channel = animation->mChannels[c])
        if (auto found = named.find(channel->mNodeName.C_Str()); found != named.end())
          for (std::size_t i : found->second) channelOf[i] = channel;
  for (std::size_t i = 1; i < n; ++i) {
    if (isHelper(i)) continue;
    if (!bones.empty()) isJoint[i] = bones.contains(nodes[i].name);
  }
  if (bones.empty()) {
    // The skeleton's nodes (neither nulls nor meshes), else the nodes the
    // animation moves (through their helpers too), else all.
    std::unordered_set<std::string_view> moved;
    for (const auto& [node, channel] : channelOf) moved.insert(BaseName(nodes[node].name));
    for (int pass = 0; pass < 3; ++pass) {
      bool any = false;
      for (std::size_t i = 1; i < n; ++i) {
        const aiNode& node = *nodes[i].node;
        isJoint[i] = !isHelper(i) && (pass == 0   ? !IsNull(node) && node.mNumMeshes == 0
                                      : pass == 1 ? moved.contains(nodes[i].name)
                                                  : true);
        any = any || isJoint[i];
      }
      if (any) break;
    }
  }
  auto jointAbove = [&](std::size_t i) {
    for (int at = nodes[i].parent; at >= 0; at = nodes[std::size_t(at)].parent)
      if (isJoint[std::size_t(at)]) return at;
    return -1;
  };
  std::vector<int> depth(n, 0);
  for (std::size_t i = 1; i < n; ++i) depth[i] = depth[std::size_t(nodes[i].parent)] + 1;
  int common = -2;
  for (std::size_t i = 1; i < n; ++i) {
    if (!isJoint[i] || jointAbove(i) >= 0) continue;
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
  if (common == -2) return Failure(kBadInput, "the file has no nodes to make a skeleton of");
  const bool addedRoot = common < 0;
  if (common > 0) isJoint[std::size_t(common)] = true;

  // The frames, when the animation moves a joint or a node folded into one.
  std::vector<bool> inSkeleton(n, false);
  for (std::size_t i = 1; i < n; ++i)
    if (isJoint[i])
      for (int at = int(i); at > 0 && !inSkeleton[std::size_t(at)]; at = nodes[std::size_t(at)].parent)
        inSkeleton[std::size_t(at)] = true;
  for (auto it = channelOf.begin(); it != channelOf.end();)
    it = inSkeleton[it->first] ? std::next(it) : channelOf.erase(it);
  const double tps = animation && animation->mTicksPerSecond > 0 ? animation->mTicksPerSecond : 30.0;
  double first = INFINITY, last = -INFINITY;
  for (const auto& [node, channel] : channelOf) {
    const Sampler sampler(*channel, tps);
    auto span = [&](const auto* keys, unsigned count) {
      for (unsigned k = 0; k < count && keys; ++k) {
        const double t = sampler.Time(keys[k].mTime);
        if (std::isfinite(t)) first = std::min(first, t), last = std::max(last, t);
      }
    };
    span(channel->mPositionKeys, channel->mNumPositionKeys);
    span(channel->mRotationKeys, channel->mNumRotationKeys);
    span(channel->mScalingKeys, channel->mNumScalingKeys);
  }
  const double rate = request.fps > 0 ? request.fps : tps;
  std::int64_t frames = 0;
  if (first <= last) {
    const double count = std::floor((last - first) * rate + 0.5) + 1;
    if (!(count <= double(request.frames)))
      return Failure(kBadInput,
                     "the animation samples to more than " + std::to_string(request.frames) + " frames, the limit");
    frames = std::int64_t(count);
  }
  std::vector<std::size_t> joints;
  for (std::size_t i = 1; i < n; ++i)
    if (isJoint[i]) joints.push_back(i);
  if (double(frames) * double(n) > double(request.samples))
    return Failure(kBadInput, "the animation samples " + std::to_string(frames) + " frames of " + std::to_string(n) +
                                  " nodes, more than the limit of " + std::to_string(request.samples));

  // Globals of every node, then the joints' rigid locals.
  const double metres = UnitScale(scene) / 100.0;
  std::vector<Matrix> global(n);
  std::vector<int> jointOf(n, -1);
  for (std::size_t j = 0; j < joints.size(); ++j) jointOf[joints[j]] = int(j) + (addedRoot ? 1 : 0);
  const std::size_t count = joints.size() + (addedRoot ? 1 : 0);
  std::vector<Matrix> rigid(count), locals;
  auto pose = [&](double seconds, bool rest) -> bool {
    for (std::size_t i = 0; i < n; ++i) {
      Matrix local = FromAssimp(nodes[i].node->mTransformation);
      if (!rest)
        if (auto found = channelOf.find(i); found != channelOf.end()) local = Sampler(*found->second, tps).At(seconds);
      global[i] = nodes[i].parent < 0 ? local : Multiply(global[std::size_t(nodes[i].parent)], local);
    }
    for (std::size_t j = 0; j < joints.size(); ++j) {
      Matrix r = Rigid(global[joints[j]]);
      r.off = Scale(r.off, metres);
      rigid[std::size_t(jointOf[joints[j]])] = r;
    }
    locals.assign(count, Matrix{});
    for (std::size_t j = 0; j < joints.size(); ++j) {
      const int above = jointAbove(joints[j]);
      const std::size_t self = std::size_t(jointOf[joints[j]]);
      locals[self] = above >= 0 ? Multiply(AffineInverse(rigid[std::size_t(jointOf[std::size_t(above)])]), rigid[self])
                                : rigid[self];
      if (!Finite(locals[self])) return false;
    }
    return true;
  };

  std::string out(fbxwire::kMagic, 4);
  fbxwire::Put(out, fbxwire::kVersion);
  fbxwire::Put(out, std::uint8_t(fbxwire::kRead));
  fbxwire::Put(out, 1.0 / rate);
  fbxwire::Put(out, std::uint64_t(frames));
  fbxwire::Put(out, std::uint64_t(count));
  if (!pose(0.0, true)) return Failure(kBadInput, "the rest pose holds numbers that are not finite");
  auto putJoint = [&](const std::string& name, std::int64_t parent, const Matrix& rest) {
    fbxwire::PutText(out, name);
    fbxwire::Put(out, parent);
    for (const Vector& v : {rest.off, rest.v1, rest.v2, rest.v3}) {
      fbxwire::Put(out, v.x);
      fbxwire::Put(out, v.y);
      fbxwire::Put(out, v.z);
    }
  };
  if (addedRoot) putJoint("root", -1, Matrix{});
  for (std::size_t j = 0; j < joints.size(); ++j) {
    const int above = jointAbove(joints[j]);
    putJoint(nodes[joints[j]].name,
             above >= 0  ? jointOf[std::size_t(above)]
             : addedRoot ? 0
                         : -1,
             locals[std::size_t(jointOf[joints[j]])]);
  }
  for (std::int64_t f = 0; f < frames; ++f) {
    if (!pose(first + double(f) / rate, false))
      return Failure(kBadInput, "frame " + std::to_string(f) + " holds numbers that are not finite");
    for (const Matrix& m : locals)
      for (const Vector& v : {m.off, m.v1, m.v2, m.v3}) {
        fbxwire::Put(out, v.x);
        fbxwire::Put(out, v.y);
        fbxwire::Put(out, v.z);
      }
  }
  fbxwire::PutText(out, animation ? std::string_view(animation->mName.C_Str()) : std::string_view());
  fbxwire::Put(out, std::uint64_t(names.size() > 0 ? names.size() - 1 : 0));
  for (std::size_t a = 0; a < names.size(); ++a)
    if (a != chosen) fbxwire::PutText(out, names[a]);
  int up = 1, sign = 1;
  Meta(scene, "UpAxis", up);
  Meta(scene, "UpAxisSign", sign);
  fbxwire::Put(out, UnitScale(scene));
  fbxwire::Put(out, std::int32_t(up));
  fbxwire::Put(out, std::int32_t(sign));
  fbxwire::Put(out, std::uint8_t(animation != nullptr && frames > 0));
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
