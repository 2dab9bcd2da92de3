// The glTF, GLB, VRM and VRM animation files the tool writes: each reads
// back as the motion written, and two readers that owe nothing to the tool
// (the Khronos validator, three.js's loader, run by node) accept it and put
// every joint where our own forward kinematics does; a copy of a model keeps
// all of it but the animation data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/io/gltf.h"
#include "norvo/retarget/app/job.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

using nlohmann::json;
using test::Ok;
using test::SharedPath;

using GltfWrite = test::WithTool<test::WithModule>;

// What node makes of a file: the validator's counts and three.js's world
// matrix of every node at frame f (at f times `step` seconds).
json CheckWithJs(const std::string& file, std::int64_t frames, double step) {
  const std::string checker = NORVO_JS_CHECKER;
  if (!std::filesystem::exists(checker)) {
    ADD_FAILURE() << checker << " is missing: run scripts/install-js.sh "
                  << std::filesystem::path(checker).parent_path();
    return json::object();
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.17g", step);
  const std::string command = "node " + checker + " " + file + " --frames " + std::to_string(frames) + " --step " +
                              seconds + " 2>&1";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[65536];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  json parsed = json::parse(out, nullptr, false);
  if (parsed.is_discarded()) ADD_FAILURE() << "node printed: " << out.substr(0, 2000);
  return parsed;
}

// The largest distance of any joint's rest global from the origin.
double Size(const Skeleton& skeleton) {
  const RestPose rest = Ok(RestOf(skeleton));
  double size = 0.0;
  for (const Matrix& global : rest.globals) size = std::max(size, Length(global.off));
  return size;
}

// The largest difference between three.js's world matrices and our forward
// kinematics of the same file, entry by entry, over every joint and frame.
double WorstAgainstThree(const Motion& motion, const json& frames) {
  std::vector<Matrix> globals(motion.skeleton.joints.size());
  double worst = 0.0;
  for (std::int64_t f = 0; f < motion.FrameCount(); ++f) {
    FrameGlobals(motion, f, globals);
    const json& nodes = frames.at(std::size_t(f)).at("nodes");
    for (std::size_t j = 0; j < globals.size(); ++j) {
      const Joint& joint = motion.skeleton.joints[j];
      if (joint.format.node < 0) continue;
      const json& three = nodes.at(std::size_t(joint.format.node));
      if (three.is_null()) return INFINITY;
      const Matrix& m = globals[j];
      const double ours[16] = {m.v1.x, m.v1.y, m.v1.z, 0, m.v2.x,  m.v2.y,  m.v2.z,  0,
                               m.v3.x, m.v3.y, m.v3.z, 0, m.off.x, m.off.y, m.off.z, 1};
      for (std::size_t k = 0; k < 16; ++k) worst = std::max(worst, std::abs(ours[k] - three.at(k).get<double>()));
    }
  }
  return worst;
}

TEST_F(GltfWrite, EveryReaderSeesTheMotionWritten) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const std::string walk = SharedPath("cmu_02_01_walk.bvh"), zombie = SharedPath("../gltf/makehuman_zombie_walk.glb"),
                    overrides = SharedPath("../vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm"),
                    mtoon = SharedPath("../vrm/VRMC_materials_mtoon_UV_Animation_Test.vrm");
  // A small clip, and a model of it whose Spine is given by a matrix, which
  // an animated node cannot be.
  const std::string clip = Write("clip.gltf", test::kSmallGltf);
  const std::string matrixModel =
      Write("matrix.gltf", test::Replaced(test::Replaced(test::kSmallGltf, "\"animations\"", "\"unused\""),
                                          R"({"name":"Spine","translation":[0,0.5,0]})",
                                          R"({"name":"Spine","matrix":[0,0,-1,0, 0,1,0,0, 1,0,0,0, 0,0.5,0,1]})"));
  // The walk's bones point within 2 degrees of the source's on average,
  // planted feet included; on the small model with the long feet, whose
  // legs bend the most to plant them, within 2.25 (0.00 without contacts).
  const struct {
    std::string source, target, output;
    RootMotion root = RootMotion::Keep;
    double quality = 2.0;
  } rows[] = {
      {walk, zombie, "on_zombie.glb"},
      {walk, zombie, "extracted.glb", RootMotion::Extract},
      {walk, SharedPath("cmu_12_03.bvh"), "on_bvh.glb"},
      {walk, SharedPath("cmu_12_03.bvh"), "on_bvh.gltf"},
      // A GLB rig of another family, made from a BVH rig, as the target.
      {walk, SharedPath("makehuman_zombie_walk.bvh"), "makehuman.glb"},
      {walk, Path("makehuman.glb"), "on_makehuman.glb"},
      {walk, overrides, "on_overrides.vrm", RootMotion::Keep, 2.25},
      {walk, overrides, "on_overrides.vrma", RootMotion::Keep, 2.25},
      {walk, mtoon, "on_mtoon.vrm"},
      {walk, SharedPath("../fbx/cmu_02_01_walk.fbx"), "on_fbx.glb"},
      {walk, SharedPath("../fbx/makehuman_zombie_walk.fbx"), "on_fbx_zombie.glb"},
      {walk, mtoon, "on_mtoon.vrma"},
      {SharedPath("../vrm/test.vrma"), mtoon, "vrma_on_mtoon.vrm"},
      {SharedPath("../vrm/test.vrma"), overrides, "vrma_on_overrides.vrma"},
      {SharedPath("../vrm/test.vrma"), SharedPath("cmu_12_03.bvh"), "vrma_on_12_03.glb"},
      {SharedPath("../vrm/test.vrma"), SharedPath("makehuman_zombie_walk.bvh"), "vrma_on_bvh.vrma"},
      {clip, matrixModel, "clip_on_matrix.gltf"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    ClipRequest request;
    request.source = row.source;
    request.target = row.target;
    request.presets = &presets;
    request.root.motion = row.root;
    request.outputs.motion = Path(row.output);
    const ClipResult result = Ok(RunClip(request));
    if (row.source == walk) {
      EXPECT_LE(result.quality->all.mean, row.quality);
    }
    const Asset back = Ok(ReadGltfFile(Path(row.output)));
    ASSERT_EQ(back.motion.FrameCount(), result.motion.FrameCount());
    const double size = Size(result.motion.skeleton);
    EXPECT_LT(test::WorstDistance(back.motion, result.motion), 1e-5 * size);
    EXPECT_EQ(back.animation, Stem(row.source));

    const json js = CheckWithJs(Path(row.output), back.motion.FrameCount(), back.motion.frameTime);
    ASSERT_TRUE(js.contains("validator")) << js.dump();
    EXPECT_EQ(js["validator"]["errors"], 0) << js["validator"].dump();
    EXPECT_TRUE(js["three"]["error"].is_null()) << js["three"].dump();
    EXPECT_LT(WorstAgainstThree(back.motion, js["frames"]), 1e-5 * size);
  }
}

// A motion on the shared GLB walk's own skeleton, read back from the copy:
// every joint turned as in the source within float precision.
TEST_F(GltfWrite, TheGlbWalkOntoItselfKeepsEveryRotation) {
  const std::string walk = SharedPath("../gltf/cmu_02_01_walk.glb");
  const Run run = Tool(walk + " --no-contacts --target " + walk + " -o " + Path("again.glb"));
  ASSERT_EQ(run.status, 0) << run.err;
  const Motion source = Ok(ReadGltfFile(walk)).motion, again = Ok(ReadGltfFile(Path("again.glb"))).motion;
  ASSERT_EQ(again.FrameCount(), source.FrameCount());
  std::vector<Matrix> a(source.skeleton.joints.size()), b(a.size());
  double worst = 0.0;
  for (std::int64_t f = 0; f < source.FrameCount(); ++f) {
    FrameGlobals(source, f, a);
    FrameGlobals(again, f, b);
    for (std::size_t j = 0; j < a.size(); ++j)
      for (const auto& [u, v] : {std::pair{a[j].v1, b[j].v1}, {a[j].v2, b[j].v2}, {a[j].v3, b[j].v3}})
        worst = std::max(worst, Length(Subtract(Scale(u, 1 / Length(u)), Scale(v, 1 / Length(v)))));
  }
  EXPECT_LT(worst, 1e-5);
}

// The copy of a model differs from it only in the animation data.
TEST_F(GltfWrite, ACopyKeepsAllOfItsModel) {
  for (const std::string model :
       {"../gltf/makehuman_zombie_walk.glb", "../vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm"}) {
    SCOPED_TRACE(model);
    const std::string output = Path("copy" + std::filesystem::path(model).extension().string());
    const Run run = Tool(SharedPath("cmu_02_01_walk.bvh") + " --target " + SharedPath(model) + " -o " + output);
    ASSERT_EQ(run.status, 0) << run.err;
    auto jsonOf = [](const std::string& bytes) {
      const std::uint32_t length = std::uint32_t(std::uint8_t(bytes[12])) |
                                   std::uint32_t(std::uint8_t(bytes[13])) << 8 |
                                   std::uint32_t(std::uint8_t(bytes[14])) << 16;
      json parsed = json::parse(bytes.substr(20, length));
      for (const char* dropped : {"animations", "buffers", "bufferViews", "accessors"}) parsed.erase(dropped);
      return parsed;
    };
    const std::string original = test::ReadAll(SharedPath(model)), copy = test::ReadAll(output);
    EXPECT_EQ(jsonOf(copy), jsonOf(original));
  }
}

}  // namespace
}  // namespace norvo::retarget

namespace norvo::retarget {
namespace {

// The GLB of a JSON and a BIN chunk.
std::string Glb(const std::string& json, const std::string& bin) {
  std::string text = json;
  while (text.size() % 4 != 0) text += ' ';
  std::string out;
  auto word = [&](std::size_t n) {
    for (int k = 0; k < 4; ++k) out += char((n >> (8 * k)) & 0xFF);
  };
  word(0x46546C67), word(2), word(12 + 8 + text.size() + 8 + bin.size());
  word(text.size()), word(0x4E4F534A), out += text;
  word(bin.size()), word(0x004E4942), out += bin;
  return out;
}

// A VRM 1.0 model faces +Z, a 0.x one -Z: the walk (which goes toward +Z
// facing it) is written facing, and going, the way each model faces.
TEST_F(GltfWrite, VrmModelsAreWrittenFacingTheirWay) {
  // The 1.0 model made 0.x: its humanoid table as 0.x lists it, and the
  // whole turned half a turn about Y under a new root.
  const std::string model = test::ReadAll(SharedPath("../vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm"));
  const std::size_t length = std::uint8_t(model[12]) | std::uint8_t(model[13]) << 8 | std::uint8_t(model[14]) << 16;
  json doc = json::parse(model.substr(20, length));
  json bones = json::array();
  for (const auto& [bone, entry] : doc["extensions"]["VRMC_vrm"]["humanoid"]["humanBones"].items())
    bones.push_back({{"bone", bone}, {"node", entry["node"]}});
  doc["extensions"] = {{"VRM", {{"humanoid", {{"humanBones", bones}}}}}};
  doc["extensionsUsed"] = {"VRM"};
  doc["nodes"].push_back({{"name", "Turned"}, {"rotation", {0, 1, 0, 0}}, {"children", doc["scenes"][0]["nodes"]}});
  doc["scenes"][0]["nodes"] = {doc["nodes"].size() - 1};
  const std::string old = Write("old.vrm", Glb(doc.dump(), model.substr(20 + length + 8)));

  for (const auto& [file, facing] :
       {std::pair{SharedPath("../vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm"), 1.0}, std::pair{old, -1.0}}) {
    SCOPED_TRACE(file);
    const Run run = Tool(SharedPath("cmu_02_01_walk.bvh") + " --target " + file + " -o " + Path("out.vrm"));
    ASSERT_EQ(run.status, 0) << run.err;
    // Every humanoid bone the walk has is driven: all 22 but the upper chest.
    EXPECT_NE(run.out.find("27 joints; preset the file's humanoid table puts 22 joints into body parts"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("motion  21 of 27 target joints driven"), std::string::npos) << run.out;
    const Motion out = Ok(ReadGltfFile(Path("out.vrm"))).motion;
    std::vector<Matrix> first(out.skeleton.joints.size()), last(first.size());
    FrameGlobals(out, 0, first);
    FrameGlobals(out, out.FrameCount() - 1, last);
    const std::size_t hips = std::size_t(test::JointNamed(out.skeleton, "Hips"));
    const std::size_t left = std::size_t(test::JointNamed(out.skeleton, "UpperLeg.L"));
    const std::size_t right = std::size_t(test::JointNamed(out.skeleton, "UpperLeg.R"));
    // Facing +Z the left side is at +X; facing -Z at -X.
    EXPECT_GT(facing * (first[left].off.x - first[right].off.x), 0);
    EXPECT_GT(facing * (last[hips].off.z - first[hips].off.z), 0.5);
  }
  // A VRM model is written only as a copy of one.
  const Run refused =
      Tool(SharedPath("cmu_02_01_walk.bvh") + " --target " + SharedPath("cmu_12_03.bvh") + " -o " + Path("out.vrm"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "norvo-retarget: error: " + Path("out.vrm") +
                             ": a .vrm file is a copy of a VRM model, and the target cmu_12_03 is not one: write .glb, "
                             ".gltf or .vrma\n");
}

// Images in files beside a .gltf target are taken into every copy of it,
// which stands alone wherever it is written: the validator finds all it
// refers to. A model with an empty list of images is copied as well.
TEST_F(GltfWrite, ImagesBesideATargetAreTakenIntoTheCopy) {
  namespace fs = std::filesystem;
  fs::create_directories(Path("model"));
  fs::create_directories(Path("out"));
  static constexpr char kPng[] =  // a 1 by 1 PNG
      "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00\x00\x01\x08\x02\x00\x00\x00\x90\x77\x53\xde\x00"
      "\x00\x00\x0c\x49\x44\x41\x54\x78\x9c\x63\xf8\xcf\xc0\x00\x00\x03\x01\x01\x00\xc9\xfe\x92\xef\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82";
  const std::string png(kPng, sizeof kPng - 1);
  Write("model/tex0.png", png);
  // The small clip made valid glTF: bounds on its times, no empty animation.
  std::string clip = test::Replaced(test::kSmallGltf, R"(,{"name":"still","channels":[],"samplers":[]})", "");
  clip = test::Replaced(clip, R"("count":3,"type":"SCALAR")", R"("count":3,"type":"SCALAR","min":[0],"max":[1])");
  const std::string textured =
      test::Replaced(clip, R"("buffers")",
                     R"("images":[{"uri":"tex0.png"}],"textures":[{"source":0}],)"
                     R"("materials":[{"pbrMetallicRoughness":{"baseColorTexture":{"index":0}}}],"buffers")");
  const std::string none = test::Replaced(clip, R"("buffers")", R"("images":[],"buffers")");
  for (const auto& [model, images] : {std::pair{textured, std::size_t(1)}, std::pair{none, std::size_t(0)}}) {
    for (const char* output : {"out/copy.glb", "out/copy.gltf"}) {
      SCOPED_TRACE(output + std::string(images ? " with an image" : " with none"));
      const std::string target = Write("model/target.gltf", model);
      const Run run = Tool(SharedPath("cmu_02_01_walk.bvh") + " --target " + target + " -o " + Path(output));
      ASSERT_EQ(run.status, 0) << run.err;
      const std::string bytes = test::ReadAll(Path(output));
      const json doc = json::parse(
          std::string(output).ends_with(".glb")
              ? bytes.substr(20, std::uint8_t(bytes[12]) | std::uint8_t(bytes[13]) << 8 | std::uint8_t(bytes[14]) << 16)
              : bytes);
      ASSERT_EQ(doc["images"].size(), images);
      if (images == 0) continue;
      EXPECT_FALSE(doc["images"][0].contains("uri"));
      EXPECT_EQ(doc["images"][0]["mimeType"], "image/png");
      const json& view = doc["bufferViews"][doc["images"][0]["bufferView"].get<std::size_t>()];
      const std::string buffer = Ok(ReadGltfFile(Path(output))).motion.skeleton.format.model->buffers[0];
      EXPECT_EQ(buffer.substr(view["byteOffset"].get<std::size_t>(), view["byteLength"].get<std::size_t>()), png);
      const json js = CheckWithJs(Path(output), 1, 0.0);
      ASSERT_TRUE(js.contains("validator")) << js.dump();
      EXPECT_EQ(js["validator"]["errors"], 0) << js["validator"].dump();
    }
  }
}

// A target whose values do not fit glTF's floats is refused by name, and so
// is a result whose values would not fit them in the file to be written.
TEST_F(GltfWrite, ValuesTooLargeForFloatsAreRefused) {
  const std::string node = Write(
      "large.gltf", test::Replaced(test::kSmallGltf, R"("translation":[0,0.5,0])", R"("translation":[0,1e39,0])"));
  const std::string rig = Write("large.bvh",
                                "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\n"
                                "CHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"
                                "JOINT Spine\n{\nOFFSET 0 1e39 0\nCHANNELS 3 Zrotation Yrotation Xrotation\n"
                                "End Site\n{\nOFFSET 0 1 0\n}\n}\n}\nMOTION\nFrames: 1\nFrame Time: 0.04\n"
                                "0 0 0 0 0 0 0 0 0\n");
  const struct {
    std::string target, output, err;
  } rows[] = {
      {node, "out.glb", node + ": node 2 has a value too large for a 32-bit float"},
      {rig, "out.glb", Path("out.glb") + ": the result has values too large for glTF's 32-bit floats"},
      {rig, "out.gltf", Path("out.gltf") + ": the result has values too large for glTF's 32-bit floats"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.target + " " + row.output);
    const Run run = Tool(SharedPath("cmu_02_01_walk.bvh") + " --target " + row.target + " -o " + Path(row.output));
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("norvo-retarget: error: " + row.err + "\n"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(Path(row.output)));
  }
  // A BVH file can hold such a rig.
  const Run bvh = Tool(SharedPath("cmu_02_01_walk.bvh") + " --target " + rig + " -o " + Path("out.bvh"));
  EXPECT_EQ(bvh.status, 0) << bvh.err;
}

}  // namespace
}  // namespace norvo::retarget
