// The solver's job on spans against the object calls it stands for:
// ExtractGlobalDeltaPose, TranslateSrcToDestID, then ApplyGlobalRotationDelta
// on the target's rest node transforms, paired by Uuid.
#include <cstring>
#include <functional>
#include <memory>

#include "solver_support.h"

namespace norvo::test {
namespace {

using SolverJobs = LoadedModule;
using SI = CharacterSolverInterface;

bool SameBits(const Matrix& a, const Matrix& b) { return std::memcmp(&a, &b, sizeof(Matrix)) == 0; }

Matrix Marker() { return Rotation({1, 2, 3}, 0.123, {7, 7, 7}); }

// A source and a target character, their association and a current source
// pose, with the awkward cases a host may meet.
struct JobCase {
  CharacterSolverConfiguration configuration;
  CharacterAssociation association;
  CharacterPose sourceRest, targetRest, current;
  std::vector<Bool> translate;  // per target rest node

  // The spans, in the rest poses' orders.
  std::vector<Matrix> sourceRestGlobals, sourceRestParents, sourceGlobals, sourceParents;
  std::vector<Matrix> targetRestGlobals, targetRestParents;
  std::unique_ptr<Bool[]> present, flags;
};

CharacterDefinition Character(const CharacterPose& rest) {
  CharacterDefinition character = Ok(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
  EXPECT_TRUE(character.SetSkeletonRestPose(rest).has_value());
  return character;
}

JobCase MakeCase(RandomRig& rig, int sourceCount, int targetCount) {
  JobCase c;
  Skeleton source = rig.MakeSkeleton(sourceCount), target = rig.MakeSkeleton(targetCount);
  // A Uuid twice in the source's rest: the later node takes the first's matrices.
  if (sourceCount > 3 && rig.Index(3) == 0) source.ids[std::size_t(sourceCount - 1)] = source.ids[1];
  // A singular rest and a current of all zeros (a null delta).
  std::vector<Matrix> restLocals = source.restLocals, moved = rig.MovedLocals(source);
  if (rig.Index(2) == 0) restLocals[std::size_t(rig.Index(sourceCount))].v2 = Vector{};
  if (rig.Index(2) == 0) moved[std::size_t(rig.Index(sourceCount))] = kZeroMatrix;
  c.sourceRest = source.Pose(restLocals, InOrder(std::size_t(sourceCount)));
  // The current pose in another order, some nodes missing.
  std::vector<std::size_t> order;
  for (std::size_t i : rig.Shuffled(std::size_t(sourceCount)))
    if (rig.Index(8) != 0) order.push_back(i);
  c.current = source.Pose(moved, order);
  c.targetRest = target.Pose(target.restLocals, InOrder(std::size_t(targetCount)));
  // Partners: most source nodes, some onto a target node another source
  // node also drives (the first wins), some onto no target node.
  c.association = Ok(CharacterAssociation::Create(CharacterAssociationInterface::kClassId));
  for (int i = 0; i < sourceCount; ++i) {
    const int pick = rig.Index(10);
    if (pick == 0) continue;
    const Uuid partner = pick == 1 ? NewUuid() : target.ids[std::size_t(rig.Index(targetCount))];
    (void)c.association.AssociateUuid(source.ids[std::size_t(i)], partner);  // a Uuid twice keeps its first
  }
  c.configuration = Ok(CharacterSolverConfiguration::Create(CharacterSolverConfigurationInterface::kClassId));
  EXPECT_TRUE(c.configuration.Setup(Character(c.sourceRest), Character(c.targetRest), c.association).has_value());
  c.flags.reset(new Bool[std::size_t(targetCount)]);
  for (int t = 0; t < targetCount; ++t) c.flags[std::size_t(t)] = rig.Index(3) == 0;

  for (const CharacterNodeTransform& node : NodesOf(c.sourceRest)) {
    c.sourceRestGlobals.push_back(node.GetGlobalMatrix());
    c.sourceRestParents.push_back(node.GetParentGlobalMatrix());
  }
  for (const CharacterNodeTransform& node : NodesOf(c.targetRest)) {
    c.targetRestGlobals.push_back(node.GetGlobalMatrix());
    c.targetRestParents.push_back(node.GetParentGlobalMatrix());
  }
  // A rest node's current matrices at its own place: the first node of the
  // current pose with its Uuid.
  c.present.reset(new Bool[std::size_t(sourceCount)]);
  for (int i = 0; i < sourceCount; ++i) {
    const Uuid& id = NodesOf(c.sourceRest)[i].GetUuid();
    const CharacterNodeTransform* found = nullptr;
    for (const CharacterNodeTransform& node : NodesOf(c.current))
      if (!found && node.GetUuid() == id) found = &node;
    c.present[std::size_t(i)] = found != nullptr;
    c.sourceGlobals.push_back(found ? found->GetGlobalMatrix() : Marker());
    c.sourceParents.push_back(found ? found->GetParentGlobalMatrix() : Marker());
  }
  return c;
}

SolverJobFrame FrameOf(JobCase& c, std::vector<Matrix>& locals, std::vector<Matrix>& deltas) {
  SolverJobFrame frame;
  frame.sourceRestGlobals = c.sourceRestGlobals;
  frame.sourceRestParentGlobals = c.sourceRestParents;
  frame.sourceGlobals = c.sourceGlobals;
  frame.sourceParentGlobals = c.sourceParents;
  frame.sourcePresent = std::span<const Bool>(c.present.get(), c.sourceGlobals.size());
  frame.targetRestGlobals = c.targetRestGlobals;
  frame.targetRestParentGlobals = c.targetRestParents;
  frame.targetLocals = locals;
  frame.targetDeltas = deltas;
  return frame;
}

// Random rigs and poses: the job writes what the object calls give, bit for
// bit, and leaves the undriven target nodes alone.
TEST_F(SolverJobs, GiveTheObjectPathsBits) {
  RandomRig rig(4411);
  CharacterSolver solver = Ok(CharacterSolver::Create(SI::kClassId));
  for (int trial = 0; trial < 60; ++trial) {
    const int sourceCount = 1 + rig.Index(trial < 10 ? 4 : 150), targetCount = 1 + rig.Index(trial < 10 ? 4 : 150);
    SCOPED_TRACE("trial " + std::to_string(trial));
    JobCase c = MakeCase(rig, sourceCount, targetCount);
    const std::span<const Bool> flags(c.flags.get(), std::size_t(targetCount));

    CharacterPose delta = Ok(solver.ExtractGlobalDeltaPose(c.configuration, c.current));
    CharacterPose keyed = Ok(RetargetBaseHelperInterface::TranslateSrcToDestID(c.association, delta));
    SolverJob job;
    ASSERT_TRUE(SI::MakeSolverJob(solver, c.configuration, c.association, flags, job).has_value());
    std::vector<Matrix> locals(std::size_t(targetCount), Marker()), deltas(std::size_t(targetCount), Marker());
    ASSERT_TRUE(SI::RunSolverJob(job, FrameOf(c, locals, deltas)).has_value());

    int driven = 0;
    for (int t = 0; t < targetCount; ++t) {
      const CharacterNodeTransform& rest = NodesOf(c.targetRest)[t];
      const CharacterNodeTransform* entry = nullptr;
      for (const CharacterNodeTransform& node : NodesOf(keyed))
        if (!entry && node.GetUuid() == rest.GetUuid()) entry = &node;
      EXPECT_EQ(job.sourceOf[t] >= 0, entry != nullptr) << "node " << t;
      if (!entry) {
        EXPECT_TRUE(SameBits(locals[std::size_t(t)], Marker())) << "node " << t;
        continue;
      }
      ++driven;
      const Matrix expected = SI::ApplyGlobalRotationDelta(rest, *entry, flags[std::size_t(t)]);
      EXPECT_TRUE(SameBits(locals[std::size_t(t)], expected)) << "node " << t;
      EXPECT_TRUE(SameBits(deltas[std::size_t(t)], entry->GetGlobalMatrix())) << "node " << t;
    }
    EXPECT_EQ(job.driven.GetCount(), driven);
  }
}

TEST_F(SolverJobs, RefuseSpansOfOtherSizesAndWriteNothing) {
  RandomRig rig(7);
  CharacterSolver solver = Ok(CharacterSolver::Create(SI::kClassId));
  JobCase c = MakeCase(rig, 6, 5);
  SolverJob job;
  ASSERT_TRUE(SI::MakeSolverJob(solver, c.configuration, c.association, {}, job).has_value());
  std::vector<Matrix> locals(5, Marker()), deltas(5, Marker()), shortLocals(4, Marker()), none;
  struct Case {
    const char* name;
    std::function<void(SolverJobFrame&)> spoil;
    const char* message;
  } cases[] = {
      {"short locals", [&](SolverJobFrame& f) { f.targetLocals = shortLocals; },
       "a target span of another size than the target's rest pose"},
      {"short deltas", [&](SolverJobFrame& f) { f.targetDeltas = std::span<Matrix>(deltas).first(2); },
       "a target span of another size than the target's rest pose"},
      {"no source globals", [&](SolverJobFrame& f) { f.sourceGlobals = {}; },
       "a source span of another size than the source's rest pose"},
      {"short presence", [&](SolverJobFrame& f) { f.sourcePresent = f.sourcePresent.first(1); },
       "a source span of another size than the source's rest pose"},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.name);
    SolverJobFrame frame = FrameOf(c, locals, deltas);
    bad.spoil(frame);
    EXPECT_ERROR_MESSAGE(SI::RunSolverJob(job, frame), IllegalArgument, bad.message);
    for (const Matrix& m : locals) EXPECT_TRUE(SameBits(m, Marker()));
  }
  std::unique_ptr<Bool[]> flags(new Bool[4]());
  EXPECT_ERROR(SI::MakeSolverJob(solver, c.configuration, c.association, std::span<const Bool>(flags.get(), 4), job),
               IllegalArgument);
  EXPECT_EQ(job.sourceOf.GetCount(), 0);
  CharacterSolverConfiguration empty;
  EXPECT_ERROR(SI::MakeSolverJob(solver, empty, c.association, {}, job), Nullptr);
  EXPECT_ERROR(SI::MakeSolverJob(CharacterSolver(), c.configuration, c.association, {}, job), Nullptr);
}

// Setting up may fail on any allocation and leaves an empty job; a frame
// allocates nothing.
TEST_F(SolverJobs, AllocationFailureAtSetUpLeavesAnEmptyJob) {
  RandomRig rig(99);
  CharacterSolver solver = Ok(CharacterSolver::Create(SI::kClassId));
  JobCase c = MakeCase(rig, 12, 9);
  const int failures = ForEachAllocationFailure([&] {
    SolverJob job;
    Result<void> made = SI::MakeSolverJob(solver, c.configuration, c.association, {}, job);
    if (!made) {
      EXPECT_EQ(made.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_EQ(job.sourceOf.GetCount() + job.driven.GetCount() + job.applyTranslation.GetCount(), 0);
    }
    return made.has_value();
  });
  EXPECT_GT(failures, 0);
  SolverJob job;
  ASSERT_TRUE(SI::MakeSolverJob(solver, c.configuration, c.association, {}, job).has_value());
  std::vector<Matrix> locals(9), deltas(9);
  EXPECT_EQ(ForEachAllocationFailure([&] { return SI::RunSolverJob(job, FrameOf(c, locals, deltas)).has_value(); }), 0);
}

}  // namespace
}  // namespace norvo::test
