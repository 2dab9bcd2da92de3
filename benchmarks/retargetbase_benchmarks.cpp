// Benchmarks of the calls a retargeting run makes per frame and per node:
// interface dispatch, pose lookups, copy-on-write, hierarchy walks.
//
//   cmake --preset release && cmake --build --preset release
//   build/release/benchmarks/retargetbase_benchmarks
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

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
  CharacterNodeTransform shared =
      Take(CharacterNodeTransformInterface::CreateNodeTransform(Uuid(), Matrix{}, Matrix{}));
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
  CharacterBodyPartRef bodyParts = Take(sample::MakeBodyParts(sample::ReadPreset("makehuman-game")));
  for (auto _ : state) benchmark::DoNotOptimize(RetargetBaseHelperInterface::FillBodyPart(skeleton.root, bodyParts));
}
BENCHMARK(BM_FillBodyPart);

}  // namespace

// ---- The character solver, per node of a pose ------------------------------
// One iteration handles a whole pose of N nodes (the name ends in /N); the
// counter ns_per_node is the time of one iteration divided by N. "Floor" is
// the same per-node math on flat arrays of matrices, without objects.

namespace {

// A skeleton of `count` nodes whose parents come before them, most of them
// below a random earlier node; its rest and current parent globals and globals.
struct SolverRig {
  explicit SolverRig(Int count) {
    std::mt19937_64 rng(count);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    auto local = [&] {
      Vector axis{unit(rng), unit(rng), unit(rng) + 2.0};
      axis = Scale(axis, 1.0 / std::sqrt(Dot(axis, axis)));
      double angle = 3.0 * unit(rng), c = std::cos(angle), s = std::sin(angle), k = 1.0 - c;
      Matrix m;
      m.v1 = {c + axis.x * axis.x * k, axis.y * axis.x * k + axis.z * s, axis.z * axis.x * k - axis.y * s};
      m.v2 = {axis.x * axis.y * k - axis.z * s, c + axis.y * axis.y * k, axis.z * axis.y * k + axis.x * s};
      m.v3 = {axis.x * axis.z * k + axis.y * s, axis.y * axis.z * k - axis.x * s, c + axis.z * axis.z * k};
      m.off = {unit(rng), unit(rng), unit(rng)};
      return m;
    };
    std::vector<int> parents;
    for (Int i = 0; i < count; ++i) parents.push_back(i == 0 ? -1 : int(rng() % UInt(i)));
    for (std::vector<Matrix>* pose : {&rest, &current}) {
      std::vector<Matrix>& parent = pose == &rest ? restParent : currentParent;
      for (Int i = 0; i < count; ++i) {
        parent.push_back(parents[std::size_t(i)] < 0 ? Matrix{} : (*pose)[std::size_t(parents[std::size_t(i)])]);
        pose->push_back(Multiply(parent.back(), local()));
      }
    }
    BaseArray<CharacterNodeTransform> restNodes, currentNodes;
    for (Int i = 0; i < count; ++i) {
      Uuid id = Take(Uuid::Random());
      (void)restNodes.Append(Take(
          CharacterNodeTransformInterface::CreateNodeTransform(id, rest[std::size_t(i)], restParent[std::size_t(i)])));
      (void)currentNodes.Append(Take(CharacterNodeTransformInterface::CreateNodeTransform(
          id, current[std::size_t(i)], currentParent[std::size_t(i)])));
    }
    restPose = Take(CharacterPose::Create(CharacterPoseInterface::kClassId));
    (void)restPose.SetNodeTransformArray(restNodes);
    currentPose = Take(CharacterPose::Create(CharacterPoseInterface::kClassId));
    (void)currentPose.SetNodeTransformArray(currentNodes);
    CharacterDefinition source = Take(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
    (void)source.SetSkeletonRestPose(restPose);
    configuration = Take(CharacterSolverConfiguration::Create(CharacterSolverConfigurationInterface::kClassId));
    (void)configuration.SetSourceCharacter(source);
    solver = Take(CharacterSolver::Create(CharacterSolverInterface::kClassId));
  }

  std::vector<Matrix> rest, restParent, current, currentParent;
  CharacterPose restPose, currentPose;
  CharacterSolverConfiguration configuration;
  CharacterSolver solver;
};

void CountNodes(benchmark::State& state) {
  state.counters["ns_per_node"] = benchmark::Counter(
      double(state.range(0)), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ExtractGlobalDeltaPose(benchmark::State& state) {
  EnsureLoaded();
  SolverRig rig(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(rig.solver.ExtractGlobalDeltaPose(rig.configuration, rig.currentPose));
  CountNodes(state);
}
BENCHMARK(BM_ExtractGlobalDeltaPose)->Arg(31)->Arg(75)->Arg(1000)->Arg(10000);

// TranslateSrcToDestID of a pose of N nodes that all have a partner, one pose
// per iteration; ns_per_node as above. The time per node should not grow
// with N.
void BM_TranslateSrcToDestID(benchmark::State& state) {
  EnsureLoaded();
  BaseArray<Uuid> ids;
  CharacterPose pose = MakePose(state.range(0), ids);
  CharacterAssociation association = Take(CharacterAssociation::Create(CharacterAssociationInterface::kClassId));
  for (const Uuid& id : ids)
    if (!association.AssociateUuid(id, Take(Uuid::Random()))) std::abort();
  for (auto _ : state) benchmark::DoNotOptimize(RetargetBaseHelperInterface::TranslateSrcToDestID(association, pose));
  CountNodes(state);
}
BENCHMARK(BM_TranslateSrcToDestID)->Arg(31)->Arg(75)->Arg(1000)->Arg(10000);

void BM_ApplyGlobalRotationDelta(benchmark::State& state) {
  EnsureLoaded();
  SolverRig rig(state.range(0));
  CharacterPose delta = Take(rig.solver.ExtractGlobalDeltaPose(rig.configuration, rig.currentPose));
  const BaseArray<CharacterNodeTransform>& rests = rig.restPose.GetNodeTransformArray().value();
  const BaseArray<CharacterNodeTransform>& deltas = delta.GetNodeTransformArray().value();
  for (auto _ : state) {
    for (Int i = 0; i < rests.GetCount(); ++i)
      benchmark::DoNotOptimize(CharacterSolverInterface::ApplyGlobalRotationDelta(rests[i], deltas[i], true));
  }
  CountNodes(state);
}
BENCHMARK(BM_ApplyGlobalRotationDelta)->Arg(31)->Arg(75)->Arg(1000)->Arg(10000);

// Extract's delta and apply's local matrix, inlined over flat arrays.
void BM_SolverFloor(benchmark::State& state) {
  EnsureLoaded();
  SolverRig rig(state.range(0));
  std::vector<Matrix> locals(rig.rest.size());
  for (auto _ : state) {
    for (std::size_t i = 0; i < locals.size(); ++i) {
      const Matrix &cp = rig.currentParent[i], &rp = rig.restParent[i], &cg = rig.current[i], &rg = rig.rest[i];
      Matrix k = Multiply(AffineInverse(Multiply(cp, AffineInverse(rp))), cg);
      Matrix delta = Multiply3x3(k, Inverse3x3(rg));
      delta.off = Subtract(k.off, rg.off);
      Matrix inverseParent = AffineInverse(rp);
      locals[i] = Multiply3x3(inverseParent, Multiply3x3(delta, rg));
      locals[i].off = TransformPoint(inverseParent, Add(rg.off, delta.off));
    }
    benchmark::DoNotOptimize(locals.data());
    benchmark::ClobberMemory();
  }
  CountNodes(state);
}
BENCHMARK(BM_SolverFloor)->Arg(31)->Arg(75)->Arg(1000)->Arg(10000);

// The solver's job on spans over the same rig: each node onto itself, its
// translation applied, as the floor does.
void BM_SolverJob(benchmark::State& state) {
  EnsureLoaded();
  SolverRig rig(state.range(0));
  CharacterDefinition target = Take(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
  (void)target.SetSkeletonRestPose(rig.restPose);
  CharacterAssociation association = Take(CharacterAssociation::Create(CharacterAssociationInterface::kClassId));
  for (const CharacterNodeTransform& node : rig.restPose.GetNodeTransformArray().value())
    (void)association.AssociateUuid(node.GetUuid(), node.GetUuid());
  (void)rig.configuration.SetTargetCharacter(target);
  std::unique_ptr<Bool[]> translate(new Bool[rig.rest.size()]);
  std::fill_n(translate.get(), rig.rest.size(), true);
  SolverJob job;
  if (!CharacterSolverInterface::MakeSolverJob(rig.solver, rig.configuration, association,
                                               std::span<const Bool>(translate.get(), rig.rest.size()), job))
    std::abort();
  std::vector<Matrix> locals(rig.rest.size());
  SolverJobFrame frame;
  frame.sourceRestGlobals = rig.rest;
  frame.sourceRestParentGlobals = rig.restParent;
  frame.sourceGlobals = rig.current;
  frame.sourceParentGlobals = rig.currentParent;
  frame.targetRestGlobals = rig.rest;
  frame.targetRestParentGlobals = rig.restParent;
  frame.targetLocals = locals;
  for (auto _ : state) {
    if (!CharacterSolverInterface::RunSolverJob(job, frame)) std::abort();
    benchmark::DoNotOptimize(locals.data());
    benchmark::ClobberMemory();
  }
  CountNodes(state);
}
BENCHMARK(BM_SolverJob)->Arg(31)->Arg(75)->Arg(1000)->Arg(10000);

}  // namespace

// ---- The retargeting tool's pipeline, per frame ----------------------------
// One iteration retargets one frame: the source frame's channels to a pose
// (Euler angles to matrices, forward kinematics), ExtractGlobalDeltaPose,
// TranslateSrcToDestID, ApplyGlobalRotationDelta per target node. Reading and
// writing files are not part of it. N (the name's /N) is the joint count of
// the rigs: the shared clips (a CMU walk onto the other CMU skeleton, the
// MakeHuman clip onto itself) and generated rigs; ns_per_node as above.

#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/app/install.h"
#include "norvo/retarget/solve/pipeline.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/io/rigfile.h"

namespace {

using namespace norvo::retarget;

template <class T>
T Need(Outcome<T> outcome) {
  if (!outcome) {
    std::fprintf(stderr, "%s\n", outcome.failure().Text().c_str());
    std::abort();
  }
  return std::move(outcome).value();
}

// A generated rig of `count` joints in chains, one per standard body
// part, each hanging from the end of its parent part's chain; joint names
// "<body part>_<n>" and a preset that takes them by that prefix. Eight
// frames of random turns.
struct GeneratedClip {
  explicit GeneratedClip(Int count) {
    std::span<const BodyPartSpec> parts = StandardBodyParts();
    std::vector<std::int64_t> chainEnd(parts.size(), -1);
    const std::vector<Channel> zyx = {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation};
    for (Int j = 0; j < count; ++j) {
      const std::size_t part = std::size_t(j) * parts.size() / std::size_t(count);
      std::int64_t parent = chainEnd[part];
      if (parent < 0 && parts[part].parent >= 0) parent = chainEnd[std::size_t(parts[part].parent)];
      std::vector<Channel> channels = zyx;
      if (j == 0) channels.insert(channels.begin(), {Channel::Xposition, Channel::Yposition, Channel::Zposition});
      clip.skeleton.AddJoint(std::string(parts[part].identifier) + "_" + std::to_string(j), parent, {0.1, 1.0, 0.2},
                             channels);
      chainEnd[part] = j;
    }
    preset.name = "generated";
    for (const BodyPartSpec& part : parts) preset.parts.push_back({{std::string(part.identifier) + "_"}, {}});
    std::mt19937_64 rng(count);
    std::uniform_real_distribution<double> angle(-30.0, 30.0);
    std::vector<double> values;
    for (int f = 0; f < 8; ++f)
      for (Int v = 0; v < 3 * count + 3; ++v) values.push_back(angle(rng));
    clip = Need(MotionFromChannels(clip.skeleton, clip.frameTime, values));
  }
  Motion clip;
  Preset preset;
};

Preset PresetNamed(const std::string& name) {
  for (Preset& preset : Need(ReadPresetFolder(ShippedPresetFolder())))
    if (preset.name == name) return preset;
  std::abort();
}

void RetargetFrames(benchmark::State& state, const RetargetOptions& options) {
  EnsureLoaded();
  const Int n = state.range(0);
  Motion source, target;
  Preset sourcePreset, targetPreset;
  const std::string shared = NORVO_SHARED_BVH_DIR;
  if (n == 31) {
    source = Need(ReadBvhFile(shared + "/cmu_02_01_walk.bvh"));
    target = Need(ReadBvhFile(shared + "/cmu_12_03.bvh"));
    sourcePreset = targetPreset = PresetNamed("cmu");
  } else if (n == 75) {
    source = target = Need(ReadBvhFile(shared + "/makehuman_zombie_walk.bvh"));
    sourcePreset = targetPreset = PresetNamed("makehuman-game");
  } else {
    GeneratedClip generated(n);
    source = target = generated.clip;
    sourcePreset = targetPreset = generated.preset;
  }
  Rig sourceRig = Need(BuildRig("source", source.skeleton, sourcePreset));
  Rig targetRig = Need(BuildRig("target", target.skeleton, targetPreset));
  std::unique_ptr<Retargeter> retargeter = Need(Retargeter::Create(sourceRig, targetRig, options));
  std::vector<Matrix> locals(std::size_t(targetRig.JointCount()));
  std::int64_t frame = 0;
  for (auto _ : state) {
    if (!retargeter->RetargetFrame(source.Frame(frame), locals)) std::abort();
    benchmark::DoNotOptimize(locals.data());
    frame = (frame + 1) % source.FrameCount();
  }
  CountNodes(state);
}
void BM_RetargetFrame(benchmark::State& state) { RetargetFrames(state, RetargetOptions{}); }
BENCHMARK(BM_RetargetFrame)->Arg(31)->Arg(75)->Arg(1000)->Arg(10000);

// The same without the rest aligned, and so without following the segments:
// the joints' rotations alone.
void BM_RetargetFrameUnaligned(benchmark::State& state) {
  RetargetOptions options;
  options.align = false;
  RetargetFrames(state, options);
}
BENCHMARK(BM_RetargetFrameUnaligned)->Arg(31)->Arg(75)->Arg(1000)->Arg(10000);

// ---- BVH files against plain reading and writing ------------------------------
// The shared walk's frames 30 times over (10,320 frames, 11 MB): the BVH
// reader and writer on that file, and read()/write() of the same bytes, in
// bytes a second. Both go through the page cache.

namespace {

struct LongBvh {
  LongBvh() {
    const Motion walk = Need(ReadBvhFile(std::string(NORVO_SHARED_BVH_DIR) + "/cmu_02_01_walk.bvh"));
    motion.skeleton = walk.skeleton;
    motion.frameTime = walk.frameTime;
    for (int t = 0; t < 30; ++t) motion.locals.insert(motion.locals.end(), walk.locals.begin(), walk.locals.end());
    text = Need(FormatBvh(motion));
    char name[] = "/tmp/norvo-bench-XXXXXX";
    folder = mkdtemp(name) ? name : "/tmp";
    path = folder + "/long.bvh";
    if (!WriteBvhFile(motion, path)) std::abort();
    motion = Need(ReadBvhFile(path));  // as the reader gives it back
  }
  ~LongBvh() {
    std::remove(path.c_str());
    std::remove((folder + "/out.bvh").c_str());
    rmdir(folder.c_str());
  }
  Motion motion;
  std::string text, folder, path;
};

const LongBvh& Long() {
  static const LongBvh clip;
  return clip;
}

void BM_BvhRead(benchmark::State& state) {
  EnsureLoaded();
  const LongBvh& clip = Long();
  for (auto _ : state) benchmark::DoNotOptimize(Need(ReadBvhFile(clip.path)));
  state.SetBytesProcessed(state.iterations() * std::int64_t(clip.text.size()));
}
BENCHMARK(BM_BvhRead)->Unit(benchmark::kMillisecond);

void BM_ReadFloor(benchmark::State& state) {
  const LongBvh& clip = Long();
  std::string buffer(clip.text.size(), '\0');
  for (auto _ : state) {
    const int fd = open(clip.path.c_str(), O_RDONLY);
    std::size_t done = 0;
    for (ssize_t got; done < buffer.size() && (got = read(fd, buffer.data() + done, buffer.size() - done)) > 0;)
      done += std::size_t(got);
    close(fd);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(clip.text.size()));
}
BENCHMARK(BM_ReadFloor)->Unit(benchmark::kMillisecond);

void BM_BvhWrite(benchmark::State& state) {
  EnsureLoaded();
  const LongBvh& clip = Long();
  const std::string out = clip.folder + "/out.bvh";
  for (auto _ : state)
    if (!WriteBvhFile(clip.motion, out)) std::abort();
  state.SetBytesProcessed(state.iterations() * std::int64_t(clip.text.size()));
}
BENCHMARK(BM_BvhWrite)->Unit(benchmark::kMillisecond);

void BM_WriteFloor(benchmark::State& state) {
  const LongBvh& clip = Long();
  const std::string out = clip.folder + "/out.bvh";
  for (auto _ : state) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::size_t done = 0;
    for (ssize_t put;
         done < clip.text.size() && (put = write(fd, clip.text.data() + done, clip.text.size() - done)) > 0;)
      done += std::size_t(put);
    close(fd);
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(clip.text.size()));
}
BENCHMARK(BM_WriteFloor)->Unit(benchmark::kMillisecond);

}  // namespace

// A rig of n joints as a rig file: its text, and the rig read back from it.
Rig RigOfJoints(std::int64_t n) {
  EnsureLoaded();
  if (n == 75) {
    Motion zombie = Need(ReadBvhFile(std::string(NORVO_SHARED_BVH_DIR) + "/makehuman_zombie_walk.bvh"));
    return Need(BuildRig("zombie", zombie.skeleton, PresetNamed("makehuman-game")));
  }
  GeneratedClip generated(n);
  return Need(BuildRig("generated", generated.clip.skeleton, generated.preset));
}

void BM_SaveRigFile(benchmark::State& state) {
  const Rig rig = RigOfJoints(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(Need(FormatRigFile(rig)).size());
  CountNodes(state);
}
BENCHMARK(BM_SaveRigFile)->Arg(75)->Arg(10000);

void BM_LoadRigFile(benchmark::State& state) {
  const std::string text = Need(FormatRigFile(RigOfJoints(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(Need(ParseRigFile(text, "rig.json")).JointCount());
  CountNodes(state);
}
BENCHMARK(BM_LoadRigFile)->Arg(75)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
