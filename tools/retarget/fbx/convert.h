// FBX bytes read with assimp into the layout the tool takes from its FBX
// reader process (src/io/fbxwire.h).
//
// The skeleton: the bones of the meshes' skins; without them the nodes the
// animation moves (FBX "null" nodes such as an exporter's armature left
// out); without either, every node that is not a null. assimp's pivot
// helper nodes ("NAME_$AssimpFbx$_...") are never joints: a channel on one
// moves the joint NAME, and like any node between two joints they are
// folded into the joint below them, at rest and in every frame. Joints
// whose nearest joint ancestors differ get the nearest node above all of
// them as their root, or a root of their own at the origin ("root").
//
// Every joint's local matrix is made rigid: its global matrix keeps its
// place (in metres, by the file's UnitScaleFactor, centimetres per unit)
// and its axes made orthonormal, so that an exporter's scale on the
// armature does not stay in the joints.
//
// The motion: the animation chosen (by name, the part after an "Armature|"
// too, else by index; the first by default), each key's time rounded to a
// frame of the file's rate, sampled at that rate or at `fps`.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace norvo::retarget::fbx {

struct Request {
  std::string animation;  // a name or an index; empty: the first
  double fps = 0.0;       // 0: the file's frame rate
  std::int64_t nodes = 100000, frames = 1000000, samples = 20000000;
};

// The wire bytes: a skeleton with its frames, or the reason the file is not
// read. Throws std::bad_alloc only.
std::string Convert(std::string_view bytes, const Request& request);

}  // namespace norvo::retarget::fbx
