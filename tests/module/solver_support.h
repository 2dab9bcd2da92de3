// Helpers of the solver tests: matrices from rotations, poses, solver
// configurations, and random skeletons with their rest and current poses.
#pragma once
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "module_fixture.h"

namespace norvo::test {

// A turn by `angle` radians about `axis` (need not be unit length), then
// moved to `offset`.
inline Matrix Rotation(Vector axis, double angle, Vector offset = {}) {
  double length = std::sqrt(Dot(axis, axis));
  Vector u = Scale(axis, 1.0 / length);
  double c = std::cos(angle), s = std::sin(angle), k = 1.0 - c;
  Matrix m;
  m.v1 = {c + u.x * u.x * k, u.y * u.x * k + u.z * s, u.z * u.x * k - u.y * s};
  m.v2 = {u.x * u.y * k - u.z * s, c + u.y * u.y * k, u.z * u.y * k + u.x * s};
  m.v3 = {u.x * u.z * k + u.y * s, u.y * u.z * k - u.x * s, c + u.z * u.z * k};
  m.off = offset;
  return m;
}

// The largest difference of the twelve numbers, or of the nine of the 3x3 parts.
inline double MaxDifference(const Matrix& a, const Matrix& b, bool withOffset = true) {
  const Vector* va[] = {&a.v1, &a.v2, &a.v3, &a.off};
  const Vector* vb[] = {&b.v1, &b.v2, &b.v3, &b.off};
  double worst = 0.0;
  for (int i = 0; i < (withOffset ? 4 : 3); ++i)
    worst =
        std::max({worst, std::abs(va[i]->x - vb[i]->x), std::abs(va[i]->y - vb[i]->y), std::abs(va[i]->z - vb[i]->z)});
  return worst;
}

inline CharacterNodeTransform Node(const Uuid& id, const Matrix& global, const Matrix& parentGlobal = {}) {
  return Ok(CharacterNodeTransformInterface::CreateNodeTransform(id, global, parentGlobal));
}

inline const BaseArray<CharacterNodeTransform>& NodesOf(const CharacterPose& pose) {
  static const BaseArray<CharacterNodeTransform> none;
  Result<const BaseArray<CharacterNodeTransform>&> nodes = pose.GetNodeTransformArray();
  return nodes ? nodes.value() : none;
}

// A configuration whose source character has `restPose` as skeleton rest pose.
inline CharacterSolverConfiguration ConfigurationFor(const CharacterPose& restPose) {
  CharacterDefinition source = Ok(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
  EXPECT_TRUE(source.SetSkeletonRestPose(restPose).has_value());
  CharacterSolverConfiguration configuration =
      Ok(CharacterSolverConfiguration::Create(CharacterSolverConfigurationInterface::kClassId));
  EXPECT_TRUE(configuration.SetSourceCharacter(source).has_value());
  return configuration;
}

// A skeleton: node i has parent parents[i] < i, or -1 for a root. Rest
// locals turn, move and, for some nodes, scale each axis within [0.8, 1.25].
struct Skeleton {
  std::vector<Uuid> ids;
  std::vector<int> parents;
  std::vector<Matrix> restLocals;
  std::vector<Vector> scales;

  // The pose with these locals, its nodes in the order of `order`.
  CharacterPose Pose(const std::vector<Matrix>& locals, const std::vector<std::size_t>& order) const {
    std::vector<Matrix> parentGlobals(locals.size()), globals(locals.size());
    for (std::size_t i = 0; i < locals.size(); ++i) {
      if (parents[i] >= 0) parentGlobals[i] = globals[std::size_t(parents[i])];
      globals[i] = Multiply(parentGlobals[i], locals[i]);
    }
    BaseArray<CharacterNodeTransform> nodes;
    for (std::size_t i : order) EXPECT_TRUE(nodes.Append(Node(ids[i], globals[i], parentGlobals[i])).has_value());
    return MakePose(nodes);
  }
};

inline std::vector<std::size_t> InOrder(std::size_t count) {
  std::vector<std::size_t> order(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = i;
  return order;
}

class RandomRig {
 public:
  explicit RandomRig(std::uint64_t seed) : rng_(seed) {}

  double Uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(rng_); }
  int Index(int count) { return std::uniform_int_distribution<int>(0, count - 1)(rng_); }

  Vector Direction() {
    std::normal_distribution<double> normal;
    Vector v{normal(rng_), normal(rng_), normal(rng_)};
    return Dot(v, v) < 1e-6 ? Vector{0, 0, 1} : v;
  }

  // A random turn and offset, with the axes scaled by `scale`.
  Matrix Local(const Vector& scale) {
    Matrix m = Rotation(Direction(), Uniform(-3.14, 3.14), {Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1)});
    m.v1 = Scale(m.v1, scale.x);
    m.v2 = Scale(m.v2, scale.y);
    m.v3 = Scale(m.v3, scale.z);
    return m;
  }

  // `count` nodes, parents before children; most nodes hang below a random
  // earlier node, so chains stay short.
  Skeleton MakeSkeleton(int count) {
    Skeleton s;
    for (int i = 0; i < count; ++i) {
      s.ids.push_back(NewUuid());
      s.parents.push_back(i == 0 || Index(10) == 0 ? -1 : Index(i));
      bool scaled = Index(3) == 0;
      Vector scale = scaled ? Vector{Uniform(0.8, 1.25), Uniform(0.8, 1.25), Uniform(0.8, 1.25)} : Vector{1, 1, 1};
      s.scales.push_back(scale);
      s.restLocals.push_back(Local(scale));
    }
    return s;
  }

  // New turns and offsets for every node of `s`, keeping each node's scale.
  std::vector<Matrix> MovedLocals(const Skeleton& s) {
    std::vector<Matrix> locals;
    for (const Vector& scale : s.scales) locals.push_back(Local(scale));
    return locals;
  }

  std::vector<std::size_t> Shuffled(std::size_t count) {
    std::vector<std::size_t> order = InOrder(count);
    std::shuffle(order.begin(), order.end(), rng_);
    return order;
  }

 private:
  std::mt19937_64 rng_;
};

}  // namespace norvo::test
