#include "norvo/retarget/rig/rig.h"

#include "norvo/retarget/rig/anatomy.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>


namespace norvo::retarget {

namespace {

Outcome<String> MakeString(std::string_view text) {
  Result<String> s = String::Make(text);
  if (!s) return FromError(s.error(), "making a text");
  return std::move(s).value();
}

Outcome<BaseArray<String>> MakeTexts(const std::vector<std::string>& texts) {
  BaseArray<String> array;
  RETARGET_CHECK(array.EnsureCapacity(Int(texts.size())), "making a keyword list");
  for (const std::string& text : texts) {
    RETARGET_ASSIGN(String s, MakeString(text));
    RETARGET_CHECK(array.Append(std::move(s)), "making a keyword list");
  }
  return array;
}

Outcome<void> BuildSkeleton(Rig& rig) {
  const std::vector<Joint>& joints = rig.skeleton.joints;
  RETARGET_ASSIGN(RestPose rest, RestOf(rig.skeleton));
  rig.restLocals = std::move(rest.locals);
  rig.restGlobals = std::move(rest.globals);

  BaseArray<CharacterNodeTransform> transforms;
  RETARGET_CHECK(transforms.EnsureCapacity(Int(joints.size())), "making the rest pose");
  for (std::size_t j = 0; j < joints.size(); ++j) {
    Result<Uuid> uuid = Uuid::Random();
    RETARGET_CHECK(uuid, "making a Uuid");
    RETARGET_ASSIGN(String name, MakeString(joints[j].name));
    Result<CharacterTreeRef> node = CharacterTreeInterface::CreateTree(uuid.value(), name, true);
    RETARGET_CHECK(node, "making the skeleton tree");
    if (joints[j].parent >= 0)
      RETARGET_CHECK(rig.nodes[std::size_t(joints[j].parent)].InsertChildLast(node.value()),
                     "linking the skeleton tree");
    rig.nodes.push_back(node.value());

    const Matrix parentGlobal = joints[j].parent < 0 ? Matrix{} : rig.restGlobals[std::size_t(joints[j].parent)];
    Result<CharacterNodeTransform> transform =
        CharacterNodeTransformInterface::CreateNodeTransform(uuid.value(), rig.restGlobals[j], parentGlobal);
    RETARGET_CHECK(transform, "making the rest pose");
    RETARGET_CHECK(transform.value().SetName(name), "making the rest pose");
    RETARGET_CHECK(transforms.Append(transform.value()), "making the rest pose");
    rig.restTransforms.push_back(std::move(transform).value());
    rig.jointOfUuid.emplace(std::move(uuid).value(), std::int64_t(j));
  }

  Result<CharacterPose> pose = CharacterPose::Create(CharacterPoseInterface::kClassId);
  RETARGET_CHECK(pose, "making the rest pose");
  RETARGET_CHECK(pose.value().SetNodeTransformArray(transforms), "making the rest pose");
  Result<CharacterDefinition> definition = CharacterDefinition::Create(CharacterDefinitionInterface::kClassId);
  RETARGET_CHECK(definition, "making the character");
  rig.definition = std::move(definition).value();
  RETARGET_ASSIGN(String name, MakeString(rig.name));
  RETARGET_CHECK(rig.definition.SetName(name), "making the character");
  if (!rig.nodes.empty()) RETARGET_CHECK(rig.definition.SetSkeletonTree(rig.nodes[0]), "making the character");
  RETARGET_CHECK(rig.definition.SetSkeletonRestPose(pose.value()), "making the character");
  return {};
}

// The body parts with `preset`'s keywords; the module fills them from the
// joint names unless `given` holds each one's joints.
Outcome<void> BuildBodyParts(Rig& rig, const Preset& preset,
                             const std::vector<std::vector<std::int64_t>>* given = nullptr) {
  std::span<const BodyPartSpec> standard = StandardBodyParts();
  for (std::size_t i = 0; i < standard.size(); ++i) {
    Result<InternedId> id = InternedId::Make(standard[i].identifier);
    RETARGET_CHECK(id, "making the body parts");
    RETARGET_ASSIGN(String name, MakeString(standard[i].identifier));
    Result<CharacterBodyPartRef> part = CharacterBodyPartInterface::CreateBodyPart(id.value(), name);
    RETARGET_CHECK(part, "making the body parts");
    const BodyPartKeywords& words = preset.parts[i];
    RETARGET_ASSIGN(BaseArray<String> keywords, MakeTexts(words.keywords));
    RETARGET_CHECK(part.value().SetSkeletonKeywords(keywords), "making the body parts");
    RETARGET_ASSIGN(BaseArray<String> discard, MakeTexts(words.discard));
    RETARGET_CHECK(part.value().SetSkeletonDiscardKeywords(discard), "making the body parts");
    if (given) {
      BaseArray<Uuid> joints;
      for (std::int64_t joint : (*given)[i])
        RETARGET_CHECK(joints.Append(rig.JointUuid(joint)), "filling the body parts");
      RETARGET_CHECK(part.value().SetSkeleton(joints), "filling the body parts");
    }
    if (standard[i].parent >= 0)
      RETARGET_CHECK(rig.bodyParts[std::size_t(standard[i].parent)].InsertChildLast(part.value()),
                     "linking the body parts");
    rig.bodyParts.push_back(std::move(part).value());
  }
  RETARGET_CHECK(rig.definition.SetBodyPartTree(rig.bodyParts[0]), "making the character");
  if (!given && !rig.nodes.empty())
    RETARGET_CHECK(RetargetBaseHelperInterface::FillBodyPart(rig.nodes[0], rig.bodyParts[0]), "filling the body parts");
  return {};
}

// What went where.
Outcome<void> SummarizeBodyParts(Rig& rig) {
  std::span<const BodyPartSpec> standard = StandardBodyParts();
  BodyPartMap& map = rig.parts;
  std::vector<bool> covered(rig.skeleton.joints.size(), false);
  map.joints.resize(standard.size());
  for (std::size_t i = 0; i < standard.size(); ++i) {
    Result<const BaseArray<Uuid>&> skeleton = rig.bodyParts[i].GetSkeleton();
    RETARGET_CHECK(skeleton, "reading the body parts");
    for (const Uuid& uuid : skeleton.value()) {
      auto found = rig.jointOfUuid.find(uuid);
      if (found == rig.jointOfUuid.end()) continue;
      map.joints[i].push_back(found->second);
      covered[std::size_t(found->second)] = true;
    }
    if (map.joints[i].empty()) map.empty.emplace_back(standard[i].identifier);
  }
  map.covered = std::count(covered.begin(), covered.end(), true);

  // The score: the module's count against the rest pose, less the joints
  // taken twice and the required body parts left empty.
  Result<Int> matching = RetargetBaseHelperInterface::FindBodyPartMatchingCount(
      rig.bodyParts[0], rig.definition.GetSkeletonRestPose(), true);
  RETARGET_CHECK(matching, "counting the joints in body parts");
  map.matchingCount = matching.value();
  std::vector<std::int64_t> takings(rig.skeleton.joints.size(), 0);
  for (const std::vector<std::int64_t>& joints : map.joints)
    for (std::int64_t joint : joints) ++takings[std::size_t(joint)];
  for (std::int64_t count : takings) map.sharedJoints += std::max<std::int64_t>(0, count - 1);
  for (std::size_t i = 0; i < standard.size(); ++i)
    if (standard[i].required && map.joints[i].empty()) map.emptyRequired.emplace_back(standard[i].identifier);
  rig.preset.score = PresetScore(map.matchingCount, map.sharedJoints, std::int64_t(map.emptyRequired.size()));
  return {};
}

void Measure(Rig& rig) {
  const std::int64_t hips = rig.FirstJoint("Hips"), head = rig.FirstJoint("Head");
  if (hips < 0 || head < 0) return;
  const Vector hipsAt = rig.restGlobals[std::size_t(hips)].off;
  Vector up = Subtract(rig.restGlobals[std::size_t(head)].off, hipsAt);
  const double length = std::sqrt(Dot(up, up));
  if (!(length > 1e-9)) return;
  up = {up.x / length, up.y / length, up.z / length};
  double height = 0.0;
  for (std::size_t j = 0; j < rig.skeleton.joints.size(); ++j) {
    height = std::max(height, Dot(Subtract(hipsAt, rig.restGlobals[j].off), up));
    for (const Vector& endSite : rig.skeleton.joints[j].endSites)
      height = std::max(height, Dot(Subtract(hipsAt, TransformPoint(rig.restGlobals[j], endSite)), up));
  }
  if (!(height > 1e-9)) return;
  rig.measured = true;
  rig.up = up;
  rig.hipHeight = height;
}

}  // namespace

std::int64_t Rig::FirstJoint(std::string_view bodyPart) const noexcept {
  const int part = FindStandardBodyPart(bodyPart);
  if (part < 0 || std::size_t(part) >= parts.joints.size() || parts.joints[std::size_t(part)].empty()) return -1;
  return parts.joints[std::size_t(part)].front();
}

Outcome<Rig> BuildRig(const std::string& name, const Skeleton& skeleton, const Preset& preset) {
  try {
    if (preset.parts.size() != StandardBodyParts().size())
      return MakeFailure(FailureKind::Internal, "the preset " + preset.name + " does not list the standard body parts");
    Rig rig;
    rig.name = name;
    rig.skeleton = skeleton;
    rig.preset.name = preset.name;
    rig.preset.file = preset.file;
    rig.preset.parts = preset.parts;
    RETARGET_TRY(BuildSkeleton(rig));
    RETARGET_TRY(BuildBodyParts(rig, preset));
    RETARGET_TRY(SummarizeRig(rig));
    return rig;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Rig> BuildRigWithParts(const std::string& name, const Skeleton& skeleton, const std::string& source,
                               const std::vector<std::vector<std::int64_t>>& parts) {
  try {
    if (parts.size() != StandardBodyParts().size())
      return MakeFailure(FailureKind::Internal, "the body parts given are not the standard ones");
    for (const std::vector<std::int64_t>& joints : parts)
      for (std::int64_t joint : joints)
        if (joint < 0 || joint >= skeleton.Count())
          return MakeFailure(FailureKind::Internal, "a body part given holds a joint the skeleton has not");
    Rig rig;
    rig.name = name;
    rig.skeleton = skeleton;
    Preset none;
    none.name = source;
    none.parts.resize(parts.size());
    rig.preset.name = source;
    rig.preset.parts = none.parts;
    RETARGET_TRY(BuildSkeleton(rig));
    RETARGET_TRY(BuildBodyParts(rig, none, &parts));
    RETARGET_TRY(SummarizeRig(rig));
    return rig;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> SummarizeRig(Rig& rig) {
  RETARGET_TRY(SummarizeBodyParts(rig));
  Measure(rig);
  return {};
}

std::int64_t PresetScore(std::int64_t matchingCount, std::int64_t sharedJoints, std::int64_t emptyRequired) noexcept {
  return matchingCount - 2 * sharedJoints - 5 * emptyRequired;
}

namespace {

// The rig whose body parts the skeleton's shape fills, or none when the
// shape is not a humanoid's.
Outcome<std::optional<Rig>> RigByShape(const std::string& name, const Skeleton& skeleton) {
  RETARGET_ASSIGN(const RestPose rest, RestOf(skeleton));
  RETARGET_ASSIGN(const AnatomyMap map, MapAnatomy(skeleton, rest.globals));
  if (!map.found) return std::optional<Rig>();
  RETARGET_ASSIGN(Rig rig, BuildRigWithParts(name, skeleton, kGenericPreset, map.parts));
  rig.preset.byStructure = map.byStructure;
  return std::optional<Rig>(std::move(rig));
}

}  // namespace

Outcome<Rig> BuildRigByShape(const std::string& name, const Skeleton& skeleton) {
  RETARGET_ASSIGN(std::optional<Rig> rig, RigByShape(name, skeleton));
  if (!rig)
    return MakeFailure(FailureKind::BadInput,
                       "preset generic finds no humanoid in the skeleton (two legs hanging from one joint, two arms "
                       "from another above them); give a preset that names its joints");
  return std::move(*rig);
}

Outcome<Rig> BuildRigWithBestPreset(const std::string& name, const Skeleton& skeleton,
                                    const std::vector<Preset>& presets) {
  if (presets.empty()) return MakeFailure(FailureKind::Internal, "no presets to choose from");
  try {
    std::optional<Rig> best;
    std::vector<PresetChoice::Candidate> candidates;
    for (const Preset& preset : presets) {
      RETARGET_ASSIGN(Rig rig, BuildRig(name, skeleton, preset));
      candidates.push_back({preset.name, rig.preset.score});
      if (!best || rig.preset.score > best->preset.score) best = std::move(rig);
    }
    Rig& chosen = *best;
    PresetChoice& choice = chosen.preset;
    for (const PresetChoice::Candidate& candidate : candidates)
      if (candidate.score == choice.score && candidate.preset != choice.name) choice.tie = true;
    choice.weak = !chosen.parts.emptyRequired.empty() || 2 * chosen.parts.covered < chosen.JointCount();
    choice.candidates = std::move(candidates);
    if (!choice.weak) return std::move(chosen);
    // No preset fits well: the skeleton's shape and generic words may.
    RETARGET_ASSIGN(std::optional<Rig> shaped, RigByShape(name, skeleton));
    if (!shaped) return std::move(chosen);
    Rig& generic = *shaped;
    if (generic.parts.emptyRequired.size() > chosen.parts.emptyRequired.size() ||
        (generic.parts.emptyRequired.size() == chosen.parts.emptyRequired.size() &&
         generic.parts.covered <= chosen.parts.covered))
      return std::move(chosen);
    PresetChoice& made = generic.preset;
    made.candidates = std::move(choice.candidates);
    made.candidates.push_back({made.name, made.score});
    made.weak = !generic.parts.emptyRequired.empty();
    return std::move(generic);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
