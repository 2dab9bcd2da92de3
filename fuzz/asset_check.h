// What every reader's asset holds, checked by the fuzz targets: a failure
// says what is wrong; a skeleton has a local matrix per joint and frame, its
// joints' parents come before them, and their names are ones a BVH file can
// hold, each once; a rig has the skeleton's joints.
#pragma once
#include <set>
#include <string>

#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/io/formats.h"

inline void CheckAsset(const norvo::retarget::Outcome<norvo::retarget::Asset>& asset) {
  using namespace norvo::retarget;
  if (!asset) {
    if (asset.failure().message.empty()) __builtin_trap();
    return;
  }
  const Motion& motion = asset.value().motion;
  const std::vector<Joint>& joints = motion.skeleton.joints;
  if (joints.empty() || motion.locals.size() % joints.size() != 0) __builtin_trap();
  std::set<std::string> names;
  for (std::size_t j = 0; j < joints.size(); ++j) {
    if (joints[j].parent >= std::int64_t(j) || (j > 0 && joints[j].parent < 0) || !IsJointName(joints[j].name) ||
        !names.insert(joints[j].name).second)
      __builtin_trap();
  }
  if (asset.value().rig && asset.value().rig->JointCount() != motion.skeleton.Count()) __builtin_trap();
}
