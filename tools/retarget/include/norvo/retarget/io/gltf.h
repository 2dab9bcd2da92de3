// glTF 2.0 files: .gltf (JSON, with its buffers in files beside it or in
// data URIs), .glb (binary), VRM models (.vrm) and VRM animations (.vrma),
// read as a skeleton, one animation sampled into frames and, when the file
// has a VRM humanoid table, a rig whose body parts that table fills.
//
// The skeleton: the joints of a skin (the one chosen, else the first), or
// without one the node tree under the humanoid table's hips, or every node
// of the scene. A VRM model has a skin per mesh, which need not hold the
// whole skeleton: with a humanoid table and no skin chosen, the tree under
// the hips is read. A node between two joints (or above the root joint)
// that is no joint is folded into the joint below it: its local matrix
// multiplies the joint's, at rest and in every frame. Joints whose nearest
// joint ancestors differ get the nearest node above all of them as their
// root, or a root of their own at the origin ("root") when there is none.
// Joint names are the node names made fit for a BVH file (see IsJointName)
// and unique: blanks at the ends dropped, line breaks made '_', "node<N>"
// for none, "_2", "_3", ... for one taken.
//
// The motion: the animation chosen (by name, else by index; the first by
// default), its translation, rotation and scale channels sampled with their
// interpolation (LINEAR with a shortest-path slerp, STEP, CUBICSPLINE) at
// the rate of its keys or at the rate asked for; weight channels and
// channels of nodes outside the skeleton are left out, and a joint without
// channels keeps its rest. A file without animation gives a skeleton and no
// frames.
//
// Images are never decoded; those in files are read as bytes, for a copy.
// A URI that leaves the file's folder (an absolute path, a ".." step) is
// refused unread, and so is a buffer or image file that a link (or a linked
// folder on its way) leads out of the file's real folder.
//
// Writing: a motion on a skeleton read from a glTF file is written as a
// copy of that file with the motion as its first animation; a motion on
// any other skeleton as a node tree with a skin over its joints (no mesh);
// a VRM animation as the humanoid bones of the rig the motion is on.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

// The preset name a rig filled from a humanoid table reports.
inline constexpr const char* kHumanoidTable = "the file's humanoid table";

// What the reader accepts at most. A file past a limit is refused as
// BadInput with a message that names the limit; a caller that reads
// untrusted files can set them lower.
struct GltfLimits {
  std::int64_t fileBytes = std::int64_t(1) << 30;  // the file, and each buffer file beside it
  std::int64_t depth = 64;                         // JSON arrays and objects open at once
  std::int64_t nodes = 100000;                     // nodes of the file
  std::int64_t elements = 10000000;                // elements of one accessor read
  std::int64_t frames = 1000000;                   // frames the animation samples to
  std::int64_t samples = 20000000;                 // frames times the nodes sampled
};

// What a glTF writer copies of the file a skeleton was read from: the JSON
// as the file has it, the bytes of every buffer, and those of each image
// read from a file beside it (empty for the others).
struct GltfModel {
  std::string json;
  std::vector<std::string> buffers, images;
  bool vrm = false;  // the file has a VRM humanoid table of a model
};

// Reads a glTF JSON text or GLB bytes; `fileName` names the file in
// failures and gives the rig its name, `folder` is where buffer files are
// read from (empty: none are). A `skin`, `animation` the file has not is
// Usage; anything malformed is BadInput naming the file and what is wrong.
// A humanoid table makes a rig: the retargeting module must be loaded.
Outcome<Asset> ParseGltf(std::string_view bytes, const std::string& fileName, const std::string& folder,
                         const ReadOptions& options = {}, const GltfLimits& limits = {});
// A file larger than limits.fileBytes is refused before it is read.
Outcome<Asset> ReadGltfFile(const std::string& path, const ReadOptions& options = {}, const GltfLimits& limits = {});
// The same with the default limits, for the table of formats.
Outcome<Asset> ReadGltfAsset(const std::string& path, const ReadOptions& options);

// The motion as GLB bytes. On a skeleton with a model (motion.h): a copy of
// the model, everything of it kept, with the motion as its animation 0
// named `context.animation` (an animation of that name it had is dropped,
// the others follow it), its buffers made one, and images from files
// beside it taken into that buffer. Joints given by a matrix become
// translation, rotation and scale, as animated nodes must be; a joint
// without a node (a root the motion added) becomes a node above the top
// nodes of its children. On any other skeleton: a node per joint with its
// rest, a skin over them and the animation. Translation and rotation are
// keyed on every joint in every frame, scale where it is not 1.
Outcome<std::string> FormatGlb(const Motion& motion, const MotionContext& context);
// The same as .gltf JSON text, its one buffer in a data URI.
Outcome<std::string> FormatGltf(const Motion& motion, const MotionContext& context);
// As FormatGlb, onto a skeleton of a VRM model only (Usage otherwise).
Outcome<std::string> FormatVrm(const Motion& motion, const MotionContext& context);
// A VRM animation (GLB): a node for each joint of the context's rig that
// stands for a VRM humanoid bone (humanoid.h), under the nearest such node
// above it and at the rest the skeleton gives, with the humanoid table
// naming them; keyed with their rotations in every frame and the hips'
// translation. Usage without a rig whose Hips body part has a joint.
Outcome<std::string> FormatVrma(const Motion& motion, const MotionContext& context);

}  // namespace norvo::retarget
