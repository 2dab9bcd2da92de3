// The character solver through the loaded module: the global delta pose,
// the new local matrix of a node, and how a host wires the two.
#include <cstring>

#include "solver_support.h"

namespace norvo::test {
namespace {

using Solver = LoadedModule;
using SI = CharacterSolverInterface;

constexpr double kPi = 3.14159265358979323846;

CharacterSolver NewSolver() { return Ok(CharacterSolver::Create(SI::kClassId)); }

// What a caller holds, to check that a call changed none of it: the pose's
// holders, and each node's object and global matrix.
struct Snapshot {
  explicit Snapshot(const CharacterPose& pose) : pose(pose), count(pose.GetRefCount()), nodes(Taken()) {}
  std::vector<std::pair<Object*, Matrix>> Taken() const {
    std::vector<std::pair<Object*, Matrix>> taken;
    for (const CharacterNodeTransform& node : NodesOf(pose)) taken.emplace_back(node.Get(), node.GetGlobalMatrix());
    return taken;
  }
  void ExpectUnchanged() const {
    EXPECT_EQ(pose.GetRefCount(), count);
    EXPECT_TRUE(Taken() == nodes);
  }
  CharacterPose pose;
  Int count;
  std::vector<std::pair<Object*, Matrix>> nodes;
};

// With identity or all-zero parents the delta is Cg3 * Rg3^-1 and
// Cg.o - Rg.o; rest nodes with the same Uuid all take the first match's.
TEST_F(Solver, IdentityOrZeroParentsGiveGlobalDifferencesOfTheFirstMatches) {
  Matrix rg = Rotation({1, 1, 0}, 0.7, {1, 2, 3});
  Matrix cg = Rotation({0, 1, 1}, -1.1, {-1, 0, 4});
  Matrix expected = Multiply3x3(cg, Inverse3x3(rg));
  expected.off = Subtract(cg.off, rg.off);
  Matrix secondParent = Rotation({0, 1, 0}, 0.2);
  struct Case {
    const char* name;
    Matrix restParent, currentParent;
  } cases[] = {
      {"identity parents", Matrix{}, Matrix{}},
      {"all-zero current parent", Rotation({1, 0, 0}, 0.3, {4, 4, 4}), kZeroMatrix},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Uuid id = NewUuid();
    CharacterPose rest =
        MakePose(Array({Node(id, rg, c.restParent), Node(id, Rotation({1, 0, 0}, 1.0, {5, 5, 5}), secondParent)}));
    CharacterPose pose = MakePose(Array({Node(NewUuid(), Rotation({0, 1, 0}, 2.0)), Node(id, cg, c.currentParent),
                                         Node(id, Rotation({0, 1, 0}, 0.5))}));
    CharacterPose delta = Ok(NewSolver().ExtractGlobalDeltaPose(ConfigurationFor(rest), pose));
    const BaseArray<CharacterNodeTransform>& deltas = NodesOf(delta);
    ASSERT_EQ(deltas.GetCount(), 2);
    EXPECT_EQ(deltas[0].GetGlobalMatrix(), expected);
    EXPECT_EQ(deltas[1].GetGlobalMatrix(), expected);
    EXPECT_EQ(deltas[1].GetParentGlobalMatrix(), secondParent);  // otherwise a copy of its own rest node
  }
}

// Each delta has the bits of the matrix arithmetic on its own node, whatever
// its neighbours: singular matrices (which invert to the identity) beside
// regular ones, at every place of an odd count of nodes.
TEST_F(Solver, EachDeltaIsExactlyItsOwnNodesArithmetic) {
  const Matrix turn = Rotation({1, 2, 0}, 0.9, {1, -2, 3}), other = Rotation({0, 1, 1}, -2.2, {0.5, 0, -1});
  Matrix flat = other;  // no volume: its determinant is exactly 0
  flat.v3 = kZeroMatrix.v3;
  struct Node4 {
    Matrix rg, rp, cg, cp;
  };
  const std::vector<Node4> nodes = {
      {turn, flat, other, turn},
      {other, turn, turn, other},
      {flat, other, turn, kZeroMatrix},
      {turn, other, flat, flat},
      {kZeroMatrix, kZeroMatrix, other, turn},
  };
  for (std::size_t shift = 0; shift < nodes.size(); ++shift) {
    SCOPED_TRACE("shifted by " + std::to_string(shift));
    BaseArray<CharacterNodeTransform> rest, current;
    std::vector<Matrix> expected;
    for (std::size_t n = 0; n < nodes.size(); ++n) {
      const Node4& node = nodes[(n + shift) % nodes.size()];
      Uuid id = NewUuid();
      ASSERT_TRUE(rest.Append(Node(id, node.rg, node.rp)).has_value());
      ASSERT_TRUE(current.Append(Node(id, node.cg, node.cp)).has_value());
      Matrix k = Multiply(AffineInverse(Multiply(node.cp, AffineInverse(node.rp))), node.cg);
      expected.push_back(Multiply3x3(k, Inverse3x3(node.rg)));
      expected.back().off = Subtract(k.off, node.rg.off);
    }
    CharacterPose delta = Ok(NewSolver().ExtractGlobalDeltaPose(ConfigurationFor(MakePose(rest)), MakePose(current)));
    const BaseArray<CharacterNodeTransform>& deltas = NodesOf(delta);
    ASSERT_EQ(deltas.GetCount(), Int(nodes.size()));
    for (std::size_t n = 0; n < nodes.size(); ++n)
      EXPECT_EQ(std::memcmp(&deltas[Int(n)].GetGlobalMatrix(), &expected[n], sizeof(Matrix)), 0) << "node " << n;
  }
}

TEST_F(Solver, ApplyWithAnIdentityTurn) {
  Matrix global = Rotation({1, 2, 0}, 0.9, {1, 2, 3});
  Matrix parent = Rotation({0, 0, 1}, kPi / 2, {10, 0, 0});
  parent.v1 = Scale(parent.v1, 2.0);
  CharacterNodeTransform node = Node(NewUuid(), global, parent);
  CharacterNodeTransform delta = Node(NewUuid(), Matrix{{1, 2, 3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}});

  Matrix local = Multiply(AffineInverse(parent), global);
  EXPECT_LE(MaxDifference(SI::ApplyGlobalRotationDelta(node, delta, false), local), 1e-14);
  // Moved by the delta's offset as the parent's axes see it: (1,2,3) is
  // (1,-1,3) in axes (0,2,0), (-1,0,0), (0,0,1).
  Matrix moved = local;
  moved.off = Add(local.off, {1, -1, 3});
  EXPECT_LE(MaxDifference(SI::ApplyGlobalRotationDelta(node, delta, true), moved), 1e-14);

  // An empty delta reads as zeros: no axes left, the position kept.
  Matrix empty = SI::ApplyGlobalRotationDelta(node, CharacterNodeTransform(), true);
  EXPECT_EQ(MaxDifference(empty, kZeroMatrix, false), 0.0);
  EXPECT_LE(MaxDifference(Matrix{empty.off, {}, {}, {}}, Matrix{local.off, {}, {}, {}}), 1e-14);
}

TEST_F(Solver, NeedsARestPoseAndAPoseForItsNodesAndChangesNothing) {
  CharacterSolver solver = NewSolver();
  CharacterPose rest = MakePose(Array({Node(NewUuid(), Rotation({0, 0, 1}, 1.0))}));
  CharacterPose withEmptyEntry = MakePose(Array({Node(NewUuid(), Matrix{}), CharacterNodeTransform()}));
  CharacterPose pose = MakePose(Array({Node(NewUuid(), Matrix{})}));
  CharacterDefinition withoutRestPose = Ok(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
  CharacterSolverConfiguration noSource =
      Ok(CharacterSolverConfiguration::Create(CharacterSolverConfigurationInterface::kClassId));
  CharacterSolverConfiguration noRestPose = noSource;
  ASSERT_TRUE(noRestPose.SetSourceCharacter(withoutRestPose).has_value());
  struct Case {
    const char* name;
    CharacterSolverConfiguration configuration;
    CharacterPose pose;
  } cases[] = {
      {"no configuration", CharacterSolverConfiguration(), pose},
      {"no source character", noSource, pose},
      {"no rest pose", noRestPose, pose},
      {"no pose, rest pose with nodes", ConfigurationFor(rest), CharacterPose()},
      {"an empty entry in the rest pose", ConfigurationFor(withEmptyEntry), pose},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Snapshot restBefore(rest), emptyEntryBefore(withEmptyEntry), poseBefore(pose);
    EXPECT_ERROR(solver.ExtractGlobalDeltaPose(c.configuration, c.pose), Nullptr);
    restBefore.ExpectUnchanged();
    emptyEntryBefore.ExpectUnchanged();
    poseBefore.ExpectUnchanged();
  }
  // An empty rest pose needs no pose.
  CharacterPose empty = MakePose({});
  CharacterPose delta = Ok(solver.ExtractGlobalDeltaPose(ConfigurationFor(empty), CharacterPose()));
  EXPECT_TRUE(delta && delta != empty && delta.GetNodeTransformCount() == 0);
}

// A host applies each delta to the node's REST node transform: the rest
// global as global, the rest parent global as parent global. That gives
// back the current local matrices of the source.
TEST_F(Solver, RestWiringReproducesTheCurrentLocals) {
  RandomRig rig(2024);
  CharacterSolver solver = NewSolver();
  for (int trial = 0; trial < 40; ++trial) {
    int count = trial == 0 ? 40 : trial < 6 ? trial : 1 + rig.Index(200);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", " + std::to_string(count) + " nodes");
    Skeleton skeleton = rig.MakeSkeleton(count);
    // The first trial moves nothing: the rest pose as current pose.
    std::vector<Matrix> moved = trial == 0 ? skeleton.restLocals : rig.MovedLocals(skeleton);
    CharacterPose rest = skeleton.Pose(skeleton.restLocals, InOrder(std::size_t(count)));
    CharacterPose pose = trial == 0 ? rest : skeleton.Pose(moved, rig.Shuffled(std::size_t(count)));
    Snapshot before(rest);
    CharacterPose delta = Ok(solver.ExtractGlobalDeltaPose(ConfigurationFor(rest), pose));
    before.ExpectUnchanged();
    const BaseArray<CharacterNodeTransform>& restNodes = NodesOf(rest);
    const BaseArray<CharacterNodeTransform>& deltas = NodesOf(delta);
    ASSERT_EQ(deltas.GetCount(), count);
    for (int i = 0; i < count; ++i) {
      // A private copy of the rest node: all but the global matrix kept.
      EXPECT_NE(deltas[i].Get(), restNodes[i].Get());
      EXPECT_EQ(deltas[i].GetUuid(), restNodes[i].GetUuid());
      EXPECT_EQ(deltas[i].GetPreMultiplyMatrix(), restNodes[i].GetPreMultiplyMatrix());
      EXPECT_EQ(deltas[i].GetRefCount(), 1);
      EXPECT_LE(MaxDifference(deltas[i].GetGlobalMatrix(), Matrix{}),
                trial == 0 ? 1e-12 : 1e300);  // nothing moved: identity
      Matrix translated = SI::ApplyGlobalRotationDelta(restNodes[i], deltas[i], true);
      Matrix turned = SI::ApplyGlobalRotationDelta(restNodes[i], deltas[i], false);
      Matrix expectedTurned = moved[std::size_t(i)];
      expectedTurned.off = skeleton.restLocals[std::size_t(i)].off;
      ASSERT_LE(MaxDifference(translated, moved[std::size_t(i)]), 1e-9) << "node " << i;
      ASSERT_LE(MaxDifference(turned, expectedTurned), 1e-9) << "node " << i;
    }
  }
}

TEST_F(Solver, AllocationFailureReportsAndLeavesNoTrace) {
  CharacterSolver solver = NewSolver();
  CharacterPose rest = MakePose(Array({Node(NewUuid(), Rotation({1, 0, 0}, 1.0)), Node(NewUuid(), Matrix{}),
                                       Node(NewUuid(), Rotation({0, 1, 0}, 1.0))}));
  CharacterPose pose = MakePose(Array({Node(NodesOf(rest)[0].GetUuid(), Matrix{})}));
  CharacterSolverConfiguration configuration = ConfigurationFor(rest);
  std::vector<ErrorKind> kinds;
  ForEachAllocationFailure([&] {
    Snapshot restBefore(rest), poseBefore(pose);
    Result<CharacterPose> delta = solver.ExtractGlobalDeltaPose(configuration, pose);
    if (!delta) kinds.push_back(delta.error().kind());
    restBefore.ExpectUnchanged();
    poseBefore.ExpectUnchanged();
    return delta.has_value();
  });
  // The working array and the lookup table; a private copy of each node;
  // the private copy of the rest pose (its object, which takes the working
  // array over).
  using K = ErrorKind;
  EXPECT_EQ(kinds, (std::vector<K>{K::OutOfMemory, K::OutOfMemory, K::Nullptr, K::Nullptr, K::Nullptr, K::Nullptr}));
}

}  // namespace
}  // namespace norvo::test
