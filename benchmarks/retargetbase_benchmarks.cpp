// Benchmarks of the calls a retargeting run makes per frame and per node:
// interface dispatch, pose lookups, copy-on-write, hierarchy walks.
//
//   cmake --preset release && cmake --build --preset release
//   build/release/benchmarks/retargetbase_benchmarks
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "norvo/registry.h"
#include "norvo/retargetbase.h"

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

}  // namespace

BENCHMARK_MAIN();
