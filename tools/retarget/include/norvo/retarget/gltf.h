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
// Images are never decoded nor read from files; a URI that leaves the
// file's folder (an absolute path, a ".." step) is refused unread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "norvo/retarget/formats.h"
#include "norvo/retarget/outcome.h"

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

}  // namespace norvo::retarget
