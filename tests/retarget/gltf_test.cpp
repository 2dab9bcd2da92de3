// glTF, GLB, VRM and VRM animation files: the shared walk reads as its BVH
// clip does and the tool carries it as it carries the clip; humanoid tables
// fill the body parts; the keys are sampled with their interpolation; and
// malformed files are refused with one line that says what is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/io/gltf.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;
using test::SharedPath;

using Gltf = test::WithTool<test::WithModule>;

// The small glTF with each `from` replaced by its `to`.
std::string Small(const std::vector<std::pair<std::string, std::string>>& edits) {
  std::string text = test::kSmallGltf;
  for (const auto& [from, to] : edits) text = test::Replaced(text, from, to);
  return text;
}

// Blender's BVH importer (forward -Z, up Y) turns the clip into its Z-up
// world and its glTF exporter turns that back to Y up: the two undo each
// other, so the joints stand where the clip puts them, up to float
// precision on positions of up to ~30 units.
TEST_F(Gltf, SharedWalkStandsWhereItsBvhClipDoes) {
  const Motion bvh = test::SharedClip("cmu_02_01_walk.bvh");
  const Asset glb = Ok(ReadGltfFile(SharedPath("../gltf/cmu_02_01_walk.glb")));
  ASSERT_EQ(glb.motion.skeleton.Count(), bvh.skeleton.Count());
  ASSERT_EQ(glb.motion.FrameCount(), bvh.FrameCount());
  EXPECT_NEAR(glb.motion.frameTime, bvh.frameTime, 1e-6);
  EXPECT_EQ(glb.animation, "cmu_02_01_walk");
  EXPECT_LT(test::WorstDistance(glb.motion, bvh), 2e-4);
}

// The same motion, once the root's travel is scaled alike: glTF keeps no End
// Sites, so the hip height the automatic scale measures stands on the toe
// joints instead of the toe tips (a scale of 0.924 instead of 0.923). The
// feet are left unplanted: a contact may begin a frame earlier in one.
TEST_F(Gltf, ToolCarriesTheGlbWalkAsItCarriesTheBvhWalk) {
  for (const char* source : {"../gltf/cmu_02_01_walk.glb", "cmu_02_01_walk.bvh"}) {
    const Run run = Tool(SharedPath(source) + " --no-contacts --translation-scale 0.9 --target " +
                         SharedPath("cmu_12_03.bvh") + " -o " +
                         Path(std::string(source).ends_with(".glb") ? "glb.bvh" : "bvh.bvh"));
    ASSERT_EQ(run.status, 0) << run.err;
  }
  const Motion glb = Ok(ReadBvhFile(Path("glb.bvh"))), bvh = Ok(ReadBvhFile(Path("bvh.bvh")));
  ASSERT_EQ(glb.FrameCount(), bvh.FrameCount());
  EXPECT_LT(test::WorstDistance(glb, bvh), 1e-3);
  // Every joint turned alike within the GLB's float precision.
  std::vector<Matrix> a(glb.skeleton.joints.size()), b(a.size());
  double worst = 0.0;
  for (std::int64_t f = 0; f < glb.FrameCount(); ++f) {
    FrameGlobals(glb, f, a);
    FrameGlobals(bvh, f, b);
    for (std::size_t j = 0; j < a.size(); ++j) {
      const Matrix turn = Multiply3x3(a[j], Transposed(b[j]));
      const double cosine = std::clamp((turn.v1.x + turn.v2.y + turn.v3.z - 1) / 2, -1.0, 1.0);
      worst = std::max(worst, std::acos(cosine) * 180 / M_PI);
    }
  }
  EXPECT_LT(worst, 0.01);
}

TEST_F(Gltf, HumanoidTablesFillTheBodyParts) {
  struct Row {
    std::string file;
    std::int64_t joints, covered, frames;
    Facing facing;
    const char *hips, *leftHand;
  };
  const Row rows[] = {
      {SharedPath("../vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm"), 27, 22, 0, Facing::PlusZ, "Hips", "Hand.L"},
      {SharedPath("../vrm/VRMC_materials_mtoon_UV_Animation_Test.vrm"), 56, 51, 0, Facing::PlusZ, "hips", "hand.L"},
      {SharedPath("../vrm/test.vrma"), 51, 51, 7, Facing::PlusZ, "hips", "leftHand"},
      {Write("zero.vrm", test::kSmallVrm0), 2, 2, 0, Facing::MinusZ, "pelvis", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    const Asset asset = Ok(ReadGltfFile(row.file));
    ASSERT_TRUE(asset.rig && asset.humanoid);
    const Rig& rig = *asset.rig;
    EXPECT_EQ(rig.preset.name, kHumanoidTable);
    EXPECT_EQ(rig.JointCount(), row.joints);
    EXPECT_EQ(rig.parts.covered, row.covered);
    EXPECT_EQ(asset.motion.FrameCount(), row.frames);
    EXPECT_EQ(asset.animated, row.frames > 0);
    EXPECT_EQ(asset.motion.skeleton.format.facing, row.facing);
    EXPECT_EQ(rig.skeleton.joints[std::size_t(rig.FirstJoint("Hips"))].name, row.hips);
    if (row.leftHand) {
      EXPECT_EQ(rig.skeleton.joints[std::size_t(rig.FirstJoint("LeftHand"))].name, row.leftHand);
    }
  }
}

// Spine's rotation about Y at each frame, in degrees, and Hips' height.
TEST_F(Gltf, KeysAreSampledWithTheirInterpolation) {
  struct Row {
    const char* interpolation;
    ReadOptions options;
    std::vector<double> degrees, heights;
  };
  ReadOptions fps4, still;
  fps4.fps = 4;
  still.animation = "1";
  const Row rows[] = {
      {"LINEAR", {}, {0, 45, 180}, {1, 2, 1}},
      {"LINEAR", fps4, {0, 22.5, 45, 112.5, 180}, {1, 1.5, 2, 1.5, 1}},
      {"STEP", fps4, {0, 0, 45, 45, 180}, {1, 1.5, 2, 1.5, 1}},
      {"LINEAR", still, {0}, {1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.interpolation + std::string(" at ") + std::to_string(row.options.fps));
    const std::string file = Write("small.gltf", Small({{"\"LINEAR\"", std::string("\"") + row.interpolation + "\""}}));
    const Asset asset = Ok(ReadGltfFile(file, row.options));
    const Motion& motion = asset.motion;
    ASSERT_EQ(motion.FrameCount(), std::int64_t(row.degrees.size()));
    EXPECT_EQ(asset.otherAnimations.size(), 1u);
    for (std::int64_t f = 0; f < motion.FrameCount(); ++f) {
      const Matrix& spine = motion.Frame(f)[1];
      const double degrees = std::atan2(-spine.v1.z, spine.v1.x) * 180 / M_PI;
      EXPECT_NEAR(std::remainder(degrees - row.degrees[std::size_t(f)], 360.0), 0.0, 1e-4);
      // The Armature's quarter turn about X is folded into Hips: up is +Z.
      EXPECT_NEAR(motion.Frame(f)[0].off.z, row.heights[std::size_t(f)], 1e-6);
    }
  }
}

TEST_F(Gltf, MalformedFilesAreRefusedWithWhatIsWrong) {
  struct Row {
    std::string text;
    std::string message;
    FailureKind kind = FailureKind::BadInput;
    ReadOptions options = {};
    GltfLimits limits = {};
  };
  // The buffer, and the same with a NaN in Hips' translations and with
  // the key times 0, 1, 0.5.
  const std::string data =
      "AAAAAAAAAD8AAIA/AAAAAAAAAAAAAAAAAACAPwAAAAAV78M+AAAAAF6DbD8AAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAEAAAAAAAAAAAAAAgD8AAAAA";
  const std::string nan =
      "AAAAAAAAAD8AAIA/AAAAAAAAAAAAAAAAAACAPwAAAAAV78M+AAAAAF6DbD8AAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAwH8AAAAAAAAAAAAAgD8AAAAA";
  const std::string backwards =
      "AAAAAAAAgD8AAAA/AAAAAAAAAAAAAAAAAACAPwAAAAAV78M+AAAAAF6DbD8AAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAEAAAAAAAAAAAAAAgD8AAAAA";
  ReadOptions skin5, walk;
  skin5.skin = 5;
  walk.animation = "walk";
  GltfLimits twoNodes;
  twoNodes.nodes = 2;
  const Row rows[] = {
      {"{\"asset\": ", "the JSON is malformed at byte 11"},
      {"[1]", "the JSON is not an object"},
      {Small({{"\"asset\":{", "\"extras\":" + std::string(70, '[') + std::string(70, ']') + ",\"asset\":{"}}),
       "the JSON nests deeper than the limit of 64"},
      {std::string("glTF\2\0\0\0", 8), "the GLB header is cut short"},
      {std::string("glTF\2\0\0\0\x40\0\0\0\4\0\0\0JSON{}  ", 24),
       "the GLB header gives a length of 64 bytes, the file has 24"},
      {std::string("glTF\2\0\0\0\x18\0\0\0\x40\0\0\0JSON{}  ", 24),
       "the GLB's JSON chunk runs past the end of the file"},
      {Small({{"\"asset\":{\"version\":\"2.0\"},", ""}}),
       "not glTF that can be read: \"asset\" object not found in .gltf or not an object type"},
      {Small({{"\"byteOffset\":60,\"byteLength\":36", "\"byteOffset\":60,\"byteLength\":24"}}),
       "accessor 2 runs past the end of its buffer view"},
      {Small({{"\"byteOffset\":60", "\"byteOffset\":70"}}), "buffer view 2 runs past the end of its buffer"},
      {Small({{"5126", "5123"}}), "accessor 0 has component type 5123, not float"},
      {Small({{"\"SCALAR\"", "\"VEC2\""}}), "accessor 0 holds VEC2 values where SCALAR values are needed"},
      {Small({{"\"count\":3,\"type\":\"VEC3\"", "\"count\":2,\"type\":\"VEC3\""}}),
       "animation 0's channel 1 has 2 values for 3 keys"},
      {Small({{data, nan}}), "accessor 2 holds a value that is not finite"},
      {Small({{data, backwards}}), "animation 0's channel 0 has keys whose times do not increase"},
      {Small({{"\"LINEAR\"", "\"SMOOTH\""}}),
       "animation 0's channel 0 has the interpolation 'SMOOTH', which is not LINEAR, STEP or CUBICSPLINE"},
      {Small({{"\"children\":[1],\"rotation\"", "\"rotation\""},
              {"\"translation\":[0,0.5,0]}", "\"translation\":[0,0.5,0],\"children\":[1]}"}}),
       "the node tree has a cycle through node 1"},
      {Small({{"0.5,0]}]", "0.5,0]},{\"name\":\"Loose\"}]"}, {"[1,2]", "[1,2,3]"}}),
       "skin 0 lists node 3, which is not in the scene"},
      {Small({{"data:application/octet-stream;base64," + data, "../walk.bin"}}),
       "buffer 0's URI leaves the file's folder: ../walk.bin"},
      {Small({{"data:application/octet-stream;base64," + data, "%2E%2E/walk.bin"}}),
       "buffer 0's URI leaves the file's folder: %2E%2E/walk.bin"},
      {Small({{"\"asset\":{",
               "\"extensions\":{\"VRMC_vrm\":{\"humanoid\":{\"humanBones\":{\"hips\":{\"node\":9}}}}},\"asset\":{"}}),
       "the humanoid table gives hips no node of the file"},
      // Values that do not fit the floats glTF keeps them in.
      {Small({{"\"translation\":[0,0.5,0]", "\"translation\":[0,1e39,0]"}}),
       "node 2 has a value too large for a 32-bit float"},
      // Whole numbers that are not: tinygltf would read them as others.
      {Small({{"\"byteOffset\":60", "\"byteOffset\":1.5"}}),
       "buffer view 2's byteOffset is not a whole number of 0 or more"},
      {Small({{"\"byteOffset\":60", "\"byteOffset\":-4"}}),
       "buffer view 2's byteOffset is not a whole number of 0 or more"},
      {Small({{"\"byteOffset\":12,\"byteLength\":48", "\"byteOffset\":12,\"byteLength\":48,\"byteStride\":-16"}}),
       "buffer view 1's byteStride is not a whole number of 0 or more"},
      {Small({{"\"bufferView\":2,", "\"bufferView\":2,\"byteOffset\":0.5,"}}),
       "accessor 2's byteOffset is not a whole number of 0 or more"},
      {Small({{"\"count\":3,\"type\":\"VEC4\"", "\"count\":3.0,\"type\":\"VEC4\""}}),
       "accessor 1's count is not a whole number of 0 or more"},
      {Small({{"\"children\":[1]", "\"children\":[1.0]"}}),
       "node 0's children[0] is not a whole number from 0 to 2147483647"},
      {Small({{"\"node\":1,", "\"node\":4294967297,"}}),
       "animation 0's channels[1].target.node is not a whole number from 0 to 2147483647"},
      {Small({{"\"scene\":0", "\"scene\":-1"}}), "the default scene is not a whole number from 0 to 2147483647"},
      // A fallback buffer without data: the compressed views would be needed.
      {Small({{"\"asset\":{", "\"extensionsUsed\":[\"EXT_meshopt_compression\"],"
                              "\"extensionsRequired\":[\"EXT_meshopt_compression\"],\"asset\":{"},
              {"\"buffers\":[", "\"buffers\":[{\"byteLength\":96,\"extensions\":"
                                "{\"EXT_meshopt_compression\":{\"fallback\":true}}},"}}),
       "the file uses EXT_meshopt_compression, which this tool cannot decode"},
      {test::kSmallGltf, "the file has 3 nodes, more than the limit of 2", FailureKind::BadInput, {}, twoNodes},
      {test::kSmallGltf, "--skin 5 is not a skin of the file, which has 1 (counted from 0)", FailureKind::Usage, skin5},
      {test::kSmallGltf, "--animation walk: the file has no such animation; it has turn, still", FailureKind::Usage,
       walk},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    const std::string file = Write("bad.gltf", row.text);
    Outcome<Asset> read = ReadGltfFile(file, row.options, row.limits);
    if (read.has_value()) {
      ADD_FAILURE() << "read";
      continue;
    }
    EXPECT_EQ(read.failure().kind, row.kind);
    EXPECT_EQ(read.failure().Text(), file + ": " + row.message);
  }
}

// A buffer or image file is read only where it really is inside the glTF
// file's folder: a link out of it, or a linked folder on the way, is
// refused as a ".." step is, and nothing of what it leads to is read.
TEST_F(Gltf, LinksOutOfTheFolderAreNotFollowed) {
  namespace fs = std::filesystem;
  fs::create_directories(Path("model"));
  fs::create_directories(Path("outside"));
  const std::string bytes =
      Ok(ReadGltfFile(Write("small.gltf", test::kSmallGltf))).motion.skeleton.format.model->buffers[0];
  const std::string png = "\x89PNG\r\n\x1a\n tex";
  for (const char* name : {"model/real.bin", "outside/real.bin"}) Write(name, bytes);
  for (const char* name : {"model/tex.png", "outside/tex.png"}) Write(name, png);
  fs::create_symlink("real.bin", Path("model/inner.bin"));
  fs::create_symlink(Path("outside/real.bin"), Path("model/leak.bin"));
  fs::create_symlink("../outside/tex.png", Path("model/leak.png"));
  fs::create_directory_symlink(Path("outside"), Path("model/sub"));
  const std::string model = Path("model") + "/";
  const struct {
    std::string buffer, image, message;  // no message: read
  } rows[] = {
      {"real.bin", "tex.png", ""},
      {"inner.bin", "tex.png", ""},
      {"leak.bin", "tex.png", "the buffer file " + model + "leak.bin leads out of the file's folder through a link"},
      {"sub/real.bin", "tex.png",
       "the buffer file " + model + "sub/real.bin leads out of the file's folder through a link"},
      {"real.bin", "leak.png", "the image file " + model + "leak.png leads out of the file's folder through a link"},
      {"real.bin", "sub/tex.png",
       "the image file " + model + "sub/tex.png leads out of the file's folder through a link"},
      {"real.bin", "gone.png", "the image file " + model + "gone.png is not there"},
  };
  const std::size_t from = std::string(test::kSmallGltf).find("data:");
  const std::string uri(test::kSmallGltf + from, std::string(test::kSmallGltf).find('"', from) - from);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.buffer + " " + row.image);
    const std::string file =
        Write("model/linked.gltf",
              Small({{uri, row.buffer}, {"\"buffers\"", "\"images\":[{\"uri\":\"" + row.image + "\"}],\"buffers\""}}));
    Outcome<Asset> read = ReadGltfFile(file);
    if (row.message.empty()) {
      ASSERT_TRUE(read.has_value()) << read.failure().Text();
      EXPECT_EQ(read.value().motion.skeleton.format.model->images, std::vector<std::string>{png});
      continue;
    }
    EXPECT_FALSE(read.has_value());
    if (!read.has_value()) {
      EXPECT_EQ(read.failure().kind, FailureKind::BadInput);
      EXPECT_EQ(read.failure().Text(), file + ": " + row.message);
    }
    // The tool refuses such a target, and writes nothing.
    const Run run = Tool(SharedPath("cmu_02_01_walk.bvh") + " --target " + file + " -o " + Path("leak.glb"));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "norvo-retarget: error: " + file + ": " + row.message + "\n");
    EXPECT_FALSE(fs::exists(Path("leak.glb")));
  }
}

TEST_F(Gltf, CommandLineSaysWhatAGltfSourceLacks) {
  const std::string model = Write("model.gltf", Small({{"\"animations\"", "\"unused\""}}));
  const std::string clip = Write("clip.gltf", test::kSmallGltf);
  const std::string target = " --target " + SharedPath("cmu_12_03.bvh") + " -o " + Path("out.bvh");
  const struct {
    std::string arguments;
    int status;
    std::string err;
  } rows[] = {
      {model + target, 2,
       model + ": the file holds a model and no animation: give a file with an animation as the source (a model can "
               "be the target)"},
      {clip + target + " --skin 1", 1, clip + ": --skin 1 is not a skin of the file, which has 1 (counted from 0)"},
  };
  for (const auto& row : rows) {
    const Run run = Tool(row.arguments);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err, "norvo-retarget: error: " + row.err + "\n");
  }
  const Run run = Tool(clip + target + " --animation still");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\n        animation still; the file has also turn (choose with --animation)\n"),
            std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace norvo::retarget
