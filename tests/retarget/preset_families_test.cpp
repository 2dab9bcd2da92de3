// The shipped presets on the joint names of the rig families people bring:
// the automatic choice picks each family's own preset, the required body
// parts get the joints a person would put there, left and right never swap,
// and no twist, end, ik or helper joint is taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "norvo/retarget/preset.h"
#include "norvo/retarget/rig.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;
using Names = std::vector<std::string>;

// "$" and "%" in a name stand for the side: {"Left", "L"} or {"Right", "R"}.
struct Side {
  const char* word;
  const char* letter;
};

std::string Expand(std::string text, const Side& side) {
  for (std::size_t at; (at = text.find('$')) != std::string::npos;) text.replace(at, 1, side.word);
  for (std::size_t at; (at = text.find('%')) != std::string::npos;) text.replace(at, 1, side.letter);
  return text;
}

Names Split(const std::string& text, char separator) {
  Names parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

// A skeleton from "parent>child" lines; a line with a side mark is there
// once per side. The first parent is the root; joints come in pre-order.
Skeleton MakeSkeleton(const std::string& edges, const Side sides[2]) {
  std::vector<std::pair<std::string, std::string>> links;
  for (const std::string& line : Split(edges, '\n')) {
    const std::size_t arrow = line.find('>');
    const std::string parent = line.substr(0, arrow), child = line.substr(arrow + 1);
    const bool sided = line.find_first_of("$%") != std::string::npos;
    for (int s = 0; s < (sided ? 2 : 1); ++s) links.emplace_back(Expand(parent, sides[s]), Expand(child, sides[s]));
  }
  std::map<std::string, Names> children;
  for (const auto& [parent, child] : links) children[parent].push_back(child);
  Skeleton skeleton;
  const std::vector<Channel> rotations = {Channel::Zrotation, Channel::Xrotation, Channel::Yrotation};
  std::vector<std::pair<std::string, std::int64_t>> stack = {{links.at(0).first, -1}};
  while (!stack.empty()) {
    auto [name, parent] = stack.back();
    stack.pop_back();
    const std::int64_t index = std::int64_t(skeleton.joints.size());
    skeleton.AddJoint(name, parent, {0.1 * double(index % 3), 1.0, 0.0}, rotations);
    const Names& below = children[name];
    for (auto it = below.rbegin(); it != below.rend(); ++it) stack.emplace_back(*it, index);
  }
  return skeleton;
}

struct Family {
  const char* preset;
  Side left, right;
  const char* edges;
  // Required body parts and their joints, "|"-separated; a name without
  // "Left" or "Right" stands for both sides.
  std::vector<std::pair<const char*, const char*>> expected;
};

const Family kFamilies[] = {
    {"cmu", {"Left", "L"}, {"Right", "R"},
     "Hips>%HipJoint\n%HipJoint>$UpLeg\n$UpLeg>$Leg\n$Leg>$Foot\n$Foot>$ToeBase\nHips>LowerBack\nLowerBack>Spine\n"
     "Spine>Spine1\nSpine1>Neck\nNeck>Neck1\nNeck1>Head\nSpine1>$Shoulder\n$Shoulder>$Arm\n$Arm>$ForeArm\n"
     "$ForeArm>$Hand\n$Hand>$FingerBase\n$FingerBase>$HandIndex1\n$Hand>%Thumb",
     {{"Hips", "Hips|LHipJoint|RHipJoint"}, {"Spine", "LowerBack|Spine"}, {"Chest", "Spine1"}, {"Neck", "Neck|Neck1"},
      {"Head", "Head"}, {"Shoulder", "$Shoulder"}, {"UpperArm", "$Arm"}, {"ForeArm", "$ForeArm"}, {"Hand", "$Hand"},
      {"UpperLeg", "$UpLeg"}, {"LowerLeg", "$Leg"}, {"Foot", "$Foot"}}},
    {"mixamo", {"Left", ""}, {"Right", ""},
     "mixamorig:Hips>mixamorig:Spine\nmixamorig:Spine>mixamorig:Spine1\nmixamorig:Spine1>mixamorig:Spine2\n"
     "mixamorig:Spine2>mixamorig:Neck\nmixamorig:Neck>mixamorig:Head\nmixamorig:Head>mixamorig:HeadTop_End\n"
     "mixamorig:Spine2>mixamorig:$Shoulder\nmixamorig:$Shoulder>mixamorig:$Arm\nmixamorig:$Arm>mixamorig:$ForeArm\n"
     "mixamorig:$ForeArm>mixamorig:$Hand\nmixamorig:$Hand>mixamorig:$HandThumb1\n"
     "mixamorig:$HandThumb1>mixamorig:$HandThumb2\nmixamorig:$Hand>mixamorig:$HandIndex1\n"
     "mixamorig:$HandIndex1>mixamorig:$HandIndex2\nmixamorig:$Hand>mixamorig:$HandMiddle1\n"
     "mixamorig:$Hand>mixamorig:$HandRing1\nmixamorig:$Hand>mixamorig:$HandPinky1\n"
     "mixamorig:$HandPinky1>mixamorig:$HandPinky4\nmixamorig:$HandPinky4>mixamorig:$HandPinky4_End\n"
     "mixamorig:Hips>mixamorig:$UpLeg\nmixamorig:$UpLeg>mixamorig:$Leg\nmixamorig:$Leg>mixamorig:$Foot\n"
     "mixamorig:$Foot>mixamorig:$ToeBase\nmixamorig:$ToeBase>mixamorig:$Toe_End",
     {{"Hips", "mixamorig:Hips"}, {"Spine", "mixamorig:Spine|mixamorig:Spine1"}, {"Chest", "mixamorig:Spine2"},
      {"Neck", "mixamorig:Neck"}, {"Head", "mixamorig:Head"}, {"Shoulder", "mixamorig:$Shoulder"},
      {"UpperArm", "mixamorig:$Arm"}, {"ForeArm", "mixamorig:$ForeArm"}, {"Hand", "mixamorig:$Hand"},
      {"UpperLeg", "mixamorig:$UpLeg"}, {"LowerLeg", "mixamorig:$Leg"}, {"Foot", "mixamorig:$Foot"}}},
    {"mixamo", {"Left", ""}, {"Right", ""},
     "Hips>Spine\nSpine>Spine1\nSpine1>Spine2\nSpine2>Neck\nNeck>Head\nHead>HeadTop_End\nSpine2>$Shoulder\n"
     "$Shoulder>$Arm\n$Arm>$ForeArm\n$ForeArm>$Hand\n$Hand>$HandThumb1\n$Hand>$HandIndex1\n$Hand>$HandMiddle1\n"
     "Hips>$UpLeg\n$UpLeg>$Leg\n$Leg>$Foot\n$Foot>$ToeBase\n$ToeBase>$Toe_End",
     {{"Hips", "Hips"}, {"Spine", "Spine|Spine1"}, {"Chest", "Spine2"}, {"Neck", "Neck"}, {"Head", "Head"},
      {"Shoulder", "$Shoulder"}, {"UpperArm", "$Arm"}, {"ForeArm", "$ForeArm"}, {"Hand", "$Hand"},
      {"UpperLeg", "$UpLeg"}, {"LowerLeg", "$Leg"}, {"Foot", "$Foot"}}},
    {"makehuman-game", {"L", ""}, {"R", ""},
     "Root>Spine1\nSpine1>Spine2\nSpine2>Spine3\nSpine3>Neck\nNeck>Head\nHead>Jaw\nJaw>Tongue1\nHead>Eye_$\n"
     "Spine3>__Clavicle_$\n__Clavicle_$>Clavicle_$\nClavicle_$>__UpArm_$\n__UpArm_$>UpArm_$\nUpArm_$>__LoArm_$\n"
     "__LoArm_$>LoArm_$\nLoArm_$>__Hand_$\n__Hand_$>Hand_$\nHand_$>Thumb1_$\nThumb1_$>Thumb2_$\nHand_$>Index1_$\n"
     "Hand_$>Middle1_$\nHand_$>Ring1_$\nHand_$>Pinky1_$\nRoot>Hips\nHips>__UpLeg_$\n__UpLeg_$>UpLeg_$\n"
     "UpLeg_$>__LoLeg_$\n__LoLeg_$>LoLeg_$\nLoLeg_$>Foot_$\nFoot_$>Toe_$",
     {{"Hips", "Root|Hips"}, {"Spine", "Spine1|Spine2"}, {"Chest", "Spine3"}, {"Neck", "Neck"},
      {"Head", "Head|Jaw|Tongue1|Eye_L|Eye_R"}, {"Shoulder", "Clavicle_$"}, {"UpperArm", "UpArm_$"},
      {"ForeArm", "LoArm_$"}, {"Hand", "Hand_$"}, {"UpperLeg", "UpLeg_$"}, {"LowerLeg", "LoLeg_$"},
      {"Foot", "Foot_$"}}},
    {"daz", {"l", ""}, {"r", ""},
     "hip>pelvis\npelvis>$ThighBend\n$ThighBend>$ThighTwist\n$ThighTwist>$Shin\n$Shin>$Foot\n$Foot>$Metatarsals\n"
     "$Metatarsals>$Toe\nhip>abdomenLower\nabdomenLower>abdomenUpper\nabdomenUpper>chestLower\n"
     "chestLower>chestUpper\nchestUpper>neckLower\nneckLower>neckUpper\nneckUpper>head\nhead>$Eye\n"
     "chestUpper>$Collar\n$Collar>$ShldrBend\n$ShldrBend>$ShldrTwist\n$ShldrTwist>$ForearmBend\n"
     "$ForearmBend>$ForearmTwist\n$ForearmTwist>$Hand\n$Hand>$Thumb1\n$Thumb1>$Thumb2\n$Hand>$Carpal1\n"
     "$Carpal1>$Index1\n$Carpal1>$Mid1\n$Hand>$Carpal2\n$Carpal2>$Ring1\n$Carpal2>$Pinky1",
     {{"Hips", "hip|pelvis"}, {"Spine", "abdomenLower|abdomenUpper"}, {"Chest", "chestLower|chestUpper"},
      {"Neck", "neckLower|neckUpper"}, {"Head", "head"}, {"Shoulder", "$Collar"}, {"UpperArm", "$ShldrBend"},
      {"ForeArm", "$ForearmBend"}, {"Hand", "$Hand|$Carpal1|$Carpal2"}, {"UpperLeg", "$ThighBend"},
      {"LowerLeg", "$Shin"}, {"Foot", "$Foot|$Metatarsals"}}},
    {"daz", {"l", ""}, {"r", ""},
     "hip>abdomen\nabdomen>chest\nchest>neck\nneck>head\nchest>$Collar\n$Collar>$Shldr\n$Shldr>$ForeArm\n"
     "$ForeArm>$Hand\n$Hand>$Thumb1\n$Hand>$Index1\n$Hand>$Mid1\nhip>$Thigh\n$Thigh>$Shin\n$Shin>$Foot",
     {{"Hips", "hip"}, {"Spine", "abdomen"}, {"Chest", "chest"}, {"Neck", "neck"}, {"Head", "head"},
      {"Shoulder", "$Collar"}, {"UpperArm", "$Shldr"}, {"ForeArm", "$ForeArm"}, {"Hand", "$Hand"},
      {"UpperLeg", "$Thigh"}, {"LowerLeg", "$Shin"}, {"Foot", "$Foot"}}},
    {"mannequin", {"l", ""}, {"r", ""},
     "root>pelvis\npelvis>spine_01\nspine_01>spine_02\nspine_02>spine_03\nspine_03>neck_01\nneck_01>head\n"
     "spine_03>clavicle_$\nclavicle_$>upperarm_$\nupperarm_$>lowerarm_$\nlowerarm_$>hand_$\nhand_$>thumb_01_$\n"
     "thumb_01_$>thumb_02_$\nhand_$>index_01_$\nhand_$>middle_01_$\nhand_$>ring_01_$\nhand_$>pinky_01_$\n"
     "upperarm_$>upperarm_twist_01_$\nlowerarm_$>lowerarm_twist_01_$\npelvis>thigh_$\nthigh_$>calf_$\n"
     "calf_$>foot_$\nfoot_$>ball_$\nthigh_$>thigh_twist_01_$\ncalf_$>calf_twist_01_$\nroot>ik_foot_root\n"
     "ik_foot_root>ik_foot_$\nroot>ik_hand_root\nik_hand_root>ik_hand_gun\nik_hand_gun>ik_hand_$",
     {{"Hips", "pelvis"}, {"Spine", "spine_01|spine_02"}, {"Chest", "spine_03"}, {"Neck", "neck_01"}, {"Head", "head"},
      {"Shoulder", "clavicle_$"}, {"UpperArm", "upperarm_$"}, {"ForeArm", "lowerarm_$"}, {"Hand", "hand_$"},
      {"UpperLeg", "thigh_$"}, {"LowerLeg", "calf_$"}, {"Foot", "foot_$"}}},
    {"rigify", {"L", ""}, {"R", ""},
     "root>DEF-spine\nDEF-spine>DEF-spine.001\nDEF-spine.001>DEF-spine.002\nDEF-spine.002>DEF-spine.003\n"
     "DEF-spine.003>DEF-spine.004\nDEF-spine.004>DEF-spine.005\nDEF-spine.005>DEF-spine.006\n"
     "DEF-spine>DEF-thigh.$\nDEF-thigh.$>DEF-thigh.$.001\nDEF-thigh.$.001>DEF-shin.$\nDEF-shin.$>DEF-shin.$.001\n"
     "DEF-shin.$.001>DEF-foot.$\nDEF-foot.$>DEF-toe.$\nDEF-spine.003>DEF-shoulder.$\n"
     "DEF-shoulder.$>DEF-upper_arm.$\nDEF-upper_arm.$>DEF-upper_arm.$.001\nDEF-upper_arm.$.001>DEF-forearm.$\n"
     "DEF-forearm.$>DEF-forearm.$.001\nDEF-forearm.$.001>DEF-hand.$\nDEF-hand.$>DEF-thumb.01.$\n"
     "DEF-hand.$>DEF-f_index.01.$\nDEF-hand.$>DEF-f_pinky.01.$\nroot>MCH-torso.parent\nroot>hand_ik.$\n"
     "root>foot_ik.$\nfoot_ik.$>MCH-foot_ik.$\nroot>ORG-upper_arm.$\nroot>upper_arm_fk.$",
     {{"Hips", "DEF-spine"}, {"Spine", "DEF-spine.001|DEF-spine.002"}, {"Chest", "DEF-spine.003"},
      {"Neck", "DEF-spine.004|DEF-spine.005"}, {"Head", "DEF-spine.006"}, {"Shoulder", "DEF-shoulder.$"},
      {"UpperArm", "DEF-upper_arm.$|DEF-upper_arm.$.001"}, {"ForeArm", "DEF-forearm.$|DEF-forearm.$.001"},
      {"Hand", "DEF-hand.$"}, {"UpperLeg", "DEF-thigh.$|DEF-thigh.$.001"}, {"LowerLeg", "DEF-shin.$|DEF-shin.$.001"},
      {"Foot", "DEF-foot.$"}}},
    {"biped", {"L", ""}, {"R", ""},
     "Bip01>Bip01 Pelvis\nBip01 Pelvis>Bip01 Spine\nBip01 Spine>Bip01 Spine1\nBip01 Spine1>Bip01 Spine2\n"
     "Bip01 Spine2>Bip01 Neck\nBip01 Neck>Bip01 Head\nBip01 Head>Bip01 HeadNub\nBip01 Neck>Bip01 $ Clavicle\n"
     "Bip01 $ Clavicle>Bip01 $ UpperArm\nBip01 $ UpperArm>Bip01 $ Forearm\nBip01 $ Forearm>Bip01 $ Hand\n"
     "Bip01 $ Hand>Bip01 $ Finger0\nBip01 $ Finger0>Bip01 $ Finger01\nBip01 $ Finger01>Bip01 $ Finger0Nub\n"
     "Bip01 $ Hand>Bip01 $ Finger1\nBip01 $ Finger1>Bip01 $ Finger11\nBip01 $ Hand>Bip01 $ Finger2\n"
     "Bip01 $ UpperArm>Bip01 $ UpArmTwist\nBip01 $ Forearm>Bip01 $ ForeTwist\nBip01 Spine>Bip01 $ Thigh\n"
     "Bip01 $ Thigh>Bip01 $ Calf\nBip01 $ Calf>Bip01 $ Foot\nBip01 $ Foot>Bip01 $ Toe0\n"
     "Bip01 $ Toe0>Bip01 $ Toe0Nub\nBip01>Bip01 Footsteps",
     {{"Hips", "Bip01|Bip01 Pelvis"}, {"Spine", "Bip01 Spine|Bip01 Spine1"}, {"Chest", "Bip01 Spine2"},
      {"Neck", "Bip01 Neck"}, {"Head", "Bip01 Head"}, {"Shoulder", "Bip01 $ Clavicle"},
      {"UpperArm", "Bip01 $ UpperArm"}, {"ForeArm", "Bip01 $ Forearm"}, {"Hand", "Bip01 $ Hand"},
      {"UpperLeg", "Bip01 $ Thigh"}, {"LowerLeg", "Bip01 $ Calf"}, {"Foot", "Bip01 $ Foot"}}},
    {"biped", {"L", ""}, {"R", ""},
     "ValveBiped.Bip01_Pelvis>ValveBiped.Bip01_Spine\nValveBiped.Bip01_Spine>ValveBiped.Bip01_Spine1\n"
     "ValveBiped.Bip01_Spine1>ValveBiped.Bip01_Spine2\nValveBiped.Bip01_Spine2>ValveBiped.Bip01_Spine4\n"
     "ValveBiped.Bip01_Spine4>ValveBiped.Bip01_Neck1\nValveBiped.Bip01_Neck1>ValveBiped.Bip01_Head1\n"
     "ValveBiped.Bip01_Spine4>ValveBiped.Bip01_$_Clavicle\nValveBiped.Bip01_$_Clavicle>ValveBiped.Bip01_$_UpperArm\n"
     "ValveBiped.Bip01_$_UpperArm>ValveBiped.Bip01_$_Forearm\nValveBiped.Bip01_$_Forearm>ValveBiped.Bip01_$_Hand\n"
     "ValveBiped.Bip01_$_Hand>ValveBiped.Bip01_$_Finger0\nValveBiped.Bip01_$_Hand>ValveBiped.Bip01_$_Finger4\n"
     "ValveBiped.Bip01_Pelvis>ValveBiped.Bip01_$_Thigh\nValveBiped.Bip01_$_Thigh>ValveBiped.Bip01_$_Calf\n"
     "ValveBiped.Bip01_$_Calf>ValveBiped.Bip01_$_Foot\nValveBiped.Bip01_$_Foot>ValveBiped.Bip01_$_Toe0",
     {{"Hips", "ValveBiped.Bip01_Pelvis"}, {"Spine", "ValveBiped.Bip01_Spine|ValveBiped.Bip01_Spine1"},
      {"Chest", "ValveBiped.Bip01_Spine2|ValveBiped.Bip01_Spine4"}, {"Neck", "ValveBiped.Bip01_Neck1"},
      {"Head", "ValveBiped.Bip01_Head1"}, {"Shoulder", "ValveBiped.Bip01_$_Clavicle"},
      {"UpperArm", "ValveBiped.Bip01_$_UpperArm"}, {"ForeArm", "ValveBiped.Bip01_$_Forearm"},
      {"Hand", "ValveBiped.Bip01_$_Hand"}, {"UpperLeg", "ValveBiped.Bip01_$_Thigh"},
      {"LowerLeg", "ValveBiped.Bip01_$_Calf"}, {"Foot", "ValveBiped.Bip01_$_Foot"}}},
    {"vrm", {"L", ""}, {"R", ""},
     "Root>J_Bip_C_Hips\nJ_Bip_C_Hips>J_Bip_C_Spine\nJ_Bip_C_Spine>J_Bip_C_Chest\nJ_Bip_C_Chest>J_Bip_C_UpperChest\n"
     "J_Bip_C_UpperChest>J_Bip_C_Neck\nJ_Bip_C_Neck>J_Bip_C_Head\nJ_Bip_C_Head>J_Adj_$_FaceEye\n"
     "J_Bip_C_Head>J_Sec_Hair1_01\nJ_Bip_C_UpperChest>J_Bip_$_Shoulder\nJ_Bip_$_Shoulder>J_Bip_$_UpperArm\n"
     "J_Bip_$_UpperArm>J_Bip_$_LowerArm\nJ_Bip_$_LowerArm>J_Bip_$_Hand\nJ_Bip_$_Hand>J_Bip_$_Thumb1\n"
     "J_Bip_$_Thumb1>J_Bip_$_Thumb2\nJ_Bip_$_Hand>J_Bip_$_Index1\nJ_Bip_$_Hand>J_Bip_$_Little1\n"
     "J_Bip_$_UpperArm>J_Sec_$_Sleeve\nJ_Bip_C_Hips>J_Bip_$_UpperLeg\nJ_Bip_$_UpperLeg>J_Bip_$_LowerLeg\n"
     "J_Bip_$_LowerLeg>J_Bip_$_Foot\nJ_Bip_$_Foot>J_Bip_$_ToeBase\nJ_Bip_$_ToeBase>J_Bip_$_ToeBase_end\n"
     "J_Bip_C_Hips>J_Sec_$_Skirt",
     {{"Hips", "J_Bip_C_Hips"}, {"Spine", "J_Bip_C_Spine"}, {"Chest", "J_Bip_C_Chest|J_Bip_C_UpperChest"},
      {"Neck", "J_Bip_C_Neck"}, {"Head", "J_Bip_C_Head"}, {"Shoulder", "J_Bip_$_Shoulder"},
      {"UpperArm", "J_Bip_$_UpperArm"}, {"ForeArm", "J_Bip_$_LowerArm"}, {"Hand", "J_Bip_$_Hand"},
      {"UpperLeg", "J_Bip_$_UpperLeg"}, {"LowerLeg", "J_Bip_$_LowerLeg"}, {"Foot", "J_Bip_$_Foot"}}},
    {"biovision", {"Left", ""}, {"Right", ""},
     "Hips>Chest\nChest>Chest2\nChest2>Neck\nNeck>Head\nChest2>$Collar\n$Collar>$Shoulder\n$Shoulder>$Elbow\n"
     "$Elbow>$Wrist\nHips>$Hip\n$Hip>$Knee\n$Knee>$Ankle",
     {{"Hips", "Hips"}, {"Spine", "Chest"}, {"Chest", "Chest2"}, {"Neck", "Neck"}, {"Head", "Head"},
      {"Shoulder", "$Collar"}, {"UpperArm", "$Shoulder"}, {"ForeArm", "$Elbow"}, {"Hand", "$Wrist"},
      {"UpperLeg", "$Hip"}, {"LowerLeg", "$Knee"}, {"Foot", "$Ankle"}}},
};

// Marks of joints that no body part may take.
const char* const kNeverTaken[] = {"twist", "_end", "nub", "ik_", "helper", "__", "j_sec_", "j_adj_",
                                   "mch-", "org-", "footsteps"};

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

Names Sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

using PresetFamilies = test::WithModule;

TEST_F(PresetFamilies, EachFamilyGetsItsOwnPresetAndTheJointsAPersonWouldAssign) {
  const std::vector<Preset> presets = test::ShippedPresets();
  for (const Family& family : kFamilies) {
    const Side sides[2] = {family.left, family.right};
    const Skeleton skeleton = MakeSkeleton(family.edges, sides);
    SCOPED_TRACE(std::string(family.preset) + " rig with root " + skeleton.joints[0].name);
    const Rig rig = Ok(BuildRigWithBestPreset("rig", skeleton, presets));

    std::string scores;
    for (const PresetChoice::Candidate& candidate : rig.preset.candidates)
      scores += " " + candidate.preset + "=" + std::to_string(candidate.score);
    EXPECT_EQ(rig.preset.name, family.preset) << scores;
    EXPECT_FALSE(rig.preset.tie) << scores;
    EXPECT_FALSE(rig.preset.weak) << scores;
    EXPECT_EQ(rig.parts.emptyRequired, Names{});
    EXPECT_EQ(rig.parts.sharedJoints, 0);

    // Every required body part, each side on its own.
    std::vector<bool> checked(StandardBodyParts().size(), false);
    for (const auto& [part, joints] : family.expected) {
      const bool sided = std::string(joints).find_first_of("$%") != std::string::npos;
      for (int s = 0; s < (sided ? 2 : 1); ++s) {
        const std::string identifier = (sided ? std::string(s == 0 ? "Left" : "Right") : "") + part;
        const int index = FindStandardBodyPart(identifier);
        ASSERT_GE(index, 0) << identifier;
        checked[std::size_t(index)] = true;
        Names expected;
        for (const std::string& name : Split(joints, '|')) expected.push_back(Expand(name, sides[s]));
        Names got;
        for (std::int64_t joint : rig.parts.joints[std::size_t(index)])
          got.push_back(rig.skeleton.joints[std::size_t(joint)].name);
        EXPECT_EQ(Sorted(got), Sorted(expected)) << identifier;
      }
    }
    for (std::size_t i = 0; i < checked.size(); ++i)
      EXPECT_EQ(checked[i], StandardBodyParts()[i].required) << StandardBodyParts()[i].identifier;

    // Fingers and toes lie below the hand or foot of their own side, and
    // nothing marked as a twist, end, ik or helper joint is taken.
    for (std::size_t i = 0; i < rig.parts.joints.size(); ++i) {
      const BodyPartSpec& part = StandardBodyParts()[i];
      for (std::int64_t joint : rig.parts.joints[i]) {
        const std::string& name = rig.skeleton.joints[std::size_t(joint)].name;
        for (const char* mark : kNeverTaken)
          EXPECT_EQ(Lower(name).find(mark), std::string::npos) << part.identifier << " took " << name;
        if (part.required) continue;
        const std::vector<std::int64_t>& above = rig.parts.joints[std::size_t(part.parent)];
        std::int64_t up = rig.skeleton.joints[std::size_t(joint)].parent;
        while (up >= 0 && std::find(above.begin(), above.end(), up) == above.end())
          up = rig.skeleton.joints[std::size_t(up)].parent;
        EXPECT_GE(up, 0) << part.identifier << " took " << name << ", which is not below "
                         << StandardBodyParts()[std::size_t(part.parent)].identifier;
      }
    }
  }
}

TEST_F(PresetFamilies, AWeakChoiceIsFlaggedAndASharedJointCosts) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const Side sides[2] = {{"Left", ""}, {"Right", ""}};
  // A Biovision rig without Chest2: its own preset still wins, but leaves
  // the chest empty.
  const Rig weak = Ok(BuildRigWithBestPreset(
      "weak",
      MakeSkeleton("Hips>Chest\nChest>Neck\nNeck>Head\nChest>$Collar\n$Collar>$Shoulder\n$Shoulder>$Elbow\n"
               "$Elbow>$Wrist\nHips>$Hip\n$Hip>$Knee\n$Knee>$Ankle",
               sides),
      presets));
  EXPECT_EQ(weak.preset.name, "biovision");
  EXPECT_TRUE(weak.preset.weak);
  EXPECT_FALSE(weak.preset.tie);
  EXPECT_EQ(weak.parts.emptyRequired, Names{"Chest"});
  EXPECT_EQ(weak.preset.score, PresetScore(weak.parts.matchingCount, 0, 1));

  // A joint taken by two body parts costs more than it brings.
  Preset twice = presets[0];
  twice.parts[std::size_t(FindStandardBodyPart("Spine"))].keywords = {"Hips"};
  const Rig shared = Ok(BuildRig("shared", MakeSkeleton("Hips>Head", sides), twice));
  EXPECT_EQ(shared.parts.sharedJoints, 1);
  EXPECT_EQ(shared.parts.matchingCount, 3);  // Hips twice, Head once
  EXPECT_EQ(shared.preset.score, 3 - 2 * 1 - 5 * std::int64_t(shared.parts.emptyRequired.size()));
}

}  // namespace
}  // namespace norvo::retarget
