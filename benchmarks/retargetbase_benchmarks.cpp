// Benchmarks of the calls a retargeting run makes per frame and per node:
// interface dispatch, pose lookups, copy-on-write, hierarchy walks.
//
//   cmake --preset release && cmake --build --preset release
//   build/release/benchmarks/retargetbase_benchmarks
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdlib>

#include "norvo/registry.h"
#include "norvo/retargetbase.h"
#include "sample_rigs.h"

using namespace norvo;

namespace {

template <class T>
T Take(Result<T> result) {
  if (!result) std::abort();
  return std::move(result).value();
}

// The module stays loaded for the whole run.
struct Loaded {
  Loaded() : module(Take(Module::Load(NORVO_RETARGETBASE_MODULE_PATH))) {}
  Module module;
};
void EnsureLoaded() { static Loaded loaded; }

// A pose of `count` nodes with random Uuids.
CharacterPose MakePose(Int count, BaseArray<Uuid>& ids) {
  BaseArray<CharacterNodeTransform> transforms;
  for (Int i = 0; i < count; ++i) {
    Uuid id = Take(Uuid::Random());
    (void)ids.Append(id);
    (void)transforms.Append(Take(CharacterNodeTransformInterface::CreateNodeTransform(id, Matrix{}, Matrix{})));
  }
  CharacterPose pose = Take(CharacterPose::Create(CharacterPoseInterface::kClassId));
  (void)pose.SetNodeTransformArray(transforms);
  return pose;
}

void BM_GetNodeTransformByID(benchmark::State& state) {
  EnsureLoaded();
  BaseArray<Uuid> ids;
  CharacterPose pose = MakePose(state.range(0), ids);
  Int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(pose.GetNodeTransformByID(ids[i]));
    i = (i + 1) % ids.GetCount();
  }
}
BENCHMARK(BM_GetNodeTransformByID)->Arg(31)->Arg(75);

void BM_GetGlobalMatrix(benchmark::State& state) {
  EnsureLoaded();
  CharacterNodeTransform t = Take(CharacterNodeTransformInterface::CreateNodeTransform(Uuid(), Matrix{}, Matrix{}));
  for (auto _ : state) benchmark::DoNotOptimize(t.GetGlobalMatrix());
}
BENCHMARK(BM_GetGlobalMatrix);

void BM_CopyOnWriteSet(benchmark::State& state) {
  EnsureLoaded();
  CharacterNodeTransform shared = Take(CharacterNodeTransformInterface::CreateNodeTransform(Uuid(), Matrix{}, Matrix{}));
  Matrix m;
  m.off = {1, 2, 3};
  for (auto _ : state) {
    CharacterNodeTransform copy = shared;
    benchmark::DoNotOptimize(copy.SetGlobalMatrix(m));
  }
}
BENCHMARK(BM_CopyOnWriteSet);

void BM_SetNodeTransformArray(benchmark::State& state) {
  EnsureLoaded();
  BaseArray<Uuid> ids;
  CharacterPose source = MakePose(state.range(0), ids);
  const BaseArray<CharacterNodeTransform>& array = source.GetNodeTransformArray().value();
  CharacterPose pose = Take(CharacterPose::Create(CharacterPoseInterface::kClassId));
  for (auto _ : state) benchmark::DoNotOptimize(pose.SetNodeTransformArray(array));
}
BENCHMARK(BM_SetNodeTransformArray)->Arg(31)->Arg(75);

void BM_GetHiearchyCount(benchmark::State& state) {
  EnsureLoaded();
  // A skeleton of five chains of equal length under one root.
  CharacterTreeRef root = Take(CharacterTreeInterface::CreateTree(Uuid(), String(), true));
  for (int chain = 0; chain < 5; ++chain) {
    CharacterTreeRef last = root;
    for (Int i = 0; i < state.range(0) / 5; ++i) {
      CharacterTreeRef next = Take(CharacterTreeInterface::CreateTree(Uuid(), String(), i % 2 == 0));
      (void)last.InsertChildLast(next);
      last = next;
    }
  }
  for (auto _ : state) benchmark::DoNotOptimize(root.GetHiearchyCount(true));
}
BENCHMARK(BM_GetHiearchyCount)->Arg(30)->Arg(75)->Arg(100000);

void BM_PoseToString(benchmark::State& state) {
  EnsureLoaded();
  BaseArray<Uuid> ids;
  CharacterPose pose = MakePose(31, ids);
  for (auto _ : state) benchmark::DoNotOptimize(pose.ToString());
}
BENCHMARK(BM_PoseToString);

// ---- Retarget base helper ----------------------------------------------------

// FillBodyPart of the twenty-one body parts over the 75-joint MakeHuman rig.
void BM_FillBodyPart(benchmark::State& state) {
  EnsureLoaded();
  sample::Skeleton skeleton = Take(sample::ReadBvhSkeleton(sample::SharedClip("makehuman_zombie_walk.bvh")));
  CharacterBodyPartRef bodyParts = Take(sample::MakeBodyParts(sample::MakeHumanGamePreset()));
  for (auto _ : state)
    benchmark::DoNotOptimize(RetargetBaseHelperInterface::FillBodyPart(skeleton.root, bodyParts));
}
BENCHMARK(BM_FillBodyPart);

// TranslateSrcToDestID of a pose of N nodes that all have a partner, one pose
// per iteration. The time per node should not grow with N.
//
// Each translated pose of 10,000 nodes takes some megabytes, all freed with
// it. With its default trim threshold glibc hands that memory back to the
// system after each pose and faults it in again for the next, which costs
// more than the translation; keeping it measures the translation.
void BM_TranslateSrcToDestID(benchmark::State& state) {
  EnsureLoaded();
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  BaseArray<Uuid> ids;
  CharacterPose pose = MakePose(state.range(0), ids);
  CharacterAssociation association = Take(CharacterAssociation::Create(CharacterAssociationInterface::kClassId));
  for (const Uuid& id : ids)
    if (!association.AssociateUuid(id, Take(Uuid::Random()))) std::abort();
  for (auto _ : state)
    benchmark::DoNotOptimize(RetargetBaseHelperInterface::TranslateSrcToDestID(association, pose));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TranslateSrcToDestID)->Arg(31)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
