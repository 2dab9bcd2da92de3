#include "norvo/retarget/app/optiontable.h"

#include <algorithm>
#include <iterator>

namespace norvo::retarget {

namespace {

using T = OptionType;
using R = OptionRuns;
using A = Arguments;

constexpr OptionRange kUnchecked{};
constexpr OptionRange kSkins{0, 1e9, true, "a skin's number, counted from 0"};
constexpr OptionRange kRates{1e-3, 1e4, false, "a number from 0.001 to 10000"};
// Python takes a skin's number up to 2^31 and up to 65536 workers.
constexpr OptionRange kPythonSkins{0, double(std::int64_t(1) << 31), true, kSkins.words};
constexpr OptionRange kPythonWorkers{0, double(1 << 16), true, "a number of workers (0: one per core)"};

constexpr OptionDescriptor kOptions[] = {
    {"SOURCE", nullptr, T::Text, R::CommandLine, kNoRefusal, &A::source,
     "the clip whose motion is carried over: BVH, or glTF, GLB, VRM or VRM animation with an animation"},
    {"-t,--target", nullptr, T::Text, R::CommandLine, kSample, &A::target,
     "the BVH, glTF, GLB or VRM file whose skeleton receives the motion (its frames are not read), or a rig file "
     "(.json) written by --save-rig"},
    {"-o,--output", nullptr, T::Text, R::CommandLine, kRigAlone | kSample, &A::output,
     "the file to write, by its extension: .bvh (the target's skeleton with the motion), .glb, .gltf or .vrm (a "
     "copy of a glTF or VRM target with the motion as its first animation; another target as a skinned node tree), "
     ".vrma (the target's humanoid bones); - writes BVH to standard output (with --batch: the folder)"},
    {"--preset", "preset", T::Text, R::Any, kSample, &A::preset,
     "body-part preset of the target: a shipped preset's name, generic (the skeleton's shape) or a JSON file "
     "(default: auto, the shipped preset that explains the rig best, or generic where none fits)"},
    {"--source-preset", "source_preset", T::Text, R::Any, kRigAlone | kSample, &A::sourcePreset,
     "the same for the source"},
    {"--frames", "frames", T::Text, R::Any, kRigAlone | kSample, &A::frames,
     "A:B retargets frames A up to but not including B, counted from 0 (A: or :B leave an end open)"},
    {"--translation-scale", "translation_scale", T::TextOrNumber, R::Any, kNoRefusal, &A::translationScale,
     "auto, none or a number: the factor on the root's displacement; auto is the target's hip height over the "
     "source's",
     "auto"},
    {"--no-root-translation", "no_root_translation", T::Flag, R::Any, kNoRefusal, &A::noRootTranslation,
     "keep the root in place; only rotations are carried over"},
    {"--save-rig", "save_rig", T::Text, R::Outputs, kNoRefusal, &A::saveRig,
     "write the target rig (skeleton, filled body parts, rest pose) to a JSON rig file, which --target and "
     "--source-rig accept in place of a BVH file; without SOURCE only the rig is written"},
    {"--source-rig", "source_rig", T::Text, R::Any, kRigAlone | kSample, &A::sourceRig,
     "a rig file (.json, from --save-rig) for the source instead of SOURCE's skeleton and a preset; SOURCE must "
     "have the same joints"},
    {"--no-align", "no_align", T::Flag, R::Any, kNoRefusal, &A::noAlign,
     "apply the joints' rotations on the target's own rest pose instead of one aligned to the source's bone "
     "directions, and spread no chains: the plain solver result"},
    {"--spread-chains", "spread_chains", T::List, R::Any, kNoRefusal, &A::spreadChains,
     "PARTS: body parts (comma-separated) whose chains are spread over the target's when their joint counts "
     "differ, or none (default: Spine,Neck; none with --no-align)"},
    {"--round-trip", "round_trip", T::Flag, R::Any, kNoRefusal, &A::roundTrip,
     "retarget the result back onto the source and print how far its body segments point from the clip's, per "
     "segment"},
    {"--lock-feet", "lock_feet", T::Flag, R::Any, kNoRefusal, &A::lockFeet,
     "keep the target's feet where they touch the floor during the source's contacts, with a two-bone leg "
     "solve; give it with --no-contacts"},
    {"--no-contacts", "no_contacts", T::Flag, R::Any, kNoRefusal, &A::noContacts,
     "leave the feet as the joint rotations put them: no planting during the source's contacts, no floor"},
    {"--floor", "floor", T::TextOrNumber, R::Any, kNoRefusal, &A::floor,
     "Y: the height of the floor the result's feet stand on (default: the source's, 0 unless its feet "
     "never come near it)"},
    {"--root-motion", "root_motion", T::Text, R::Any, kNoRefusal, &A::rootMotion,
     "keep (the travel on the hips, the default), in-place (as --in-place) or extract (the travel and the rotation "
     "about the up axis on a root joint at floor level: the rig's, or a joint named root added above the hips)"},
    {"--lock-axis", "lock_axis", T::Text, R::Any, kNoRefusal, &A::lockAxis,
     "x, y or z: keep the hips still along that world axis"},
    {"--in-place", "in_place", T::Flag, R::Any, kNoRefusal, &A::inPlace,
     "remove the root's travel across the target's up axis, keep its height (for loops)"},
    {"--report", "report", T::Text, R::Outputs, kSample, &A::report,
     "FILE.json: the match report (body parts, the keyword that took each joint, pairs, what stayed unpaired); - "
     "prints it as text"},
    {"--svg", "svg", T::Text, R::Outputs, kSample, &A::svg,
     "FILE.svg: stick figures of the source and the result side by side, front and side view, six frames over "
     "the clip"},
    {"--html", "html", T::Text, R::Outputs, kSample, &A::html,
     "FILE.html: a page that plays the source and the result side by side in 3D (orbit, zoom, play, a frame "
     "slider; FILE.html#frame=N opens at frame N); it needs nothing but a browser"},
    {"--batch", nullptr, T::Text, R::CommandLine, kNoRefusal, &A::batch,
     "FOLDER: retarget every .bvh file of FOLDER onto the target; -o names the folder for the results"},
    {"--recursive", "recursive", T::Flag, R::Batch, kWithoutBatch, &A::recursive,
     "with --batch: the clips in FOLDER's subfolders too; each result goes into the same subfolder of OUTFOLDER"},
    {"--shard", "shard", T::Shard, R::Batch, kWithoutBatch, &A::shard,
     "I/N: with --batch, only the clips whose place in the sorted list of clips is I modulo N (0 <= I < N), so "
     "that N runs share a batch; they may write into one OUTFOLDER"},
    {"--manifest", "manifest", T::Text, R::Batch, kWithoutBatch, &A::manifest,
     "FILE.jsonl: with --batch, append a line of JSON for each clip as it finishes (input, output, status, exit "
     "code, message, figures, seconds), on the disk before the next"},
    {"--resume", "resume", T::Flag, R::Batch, kWithoutBatch, &A::resume,
     "with --batch and --manifest: skip the clips whose result is there and whose last line in the manifest says "
     "done, and remove the temporary files a stopped run left beside this run's outputs"},
    {"--skin", "skin", T::Whole, R::Any, kNoRefusal, &A::skin,
     "N: in a glTF, GLB or VRM file, the joints of skin N (counted from 0) make the skeleton (default: the first "
     "skin; in a VRM model the tree under the humanoid table's hips)",
     nullptr, kSkins, kPythonSkins},
    {"--animation", "animation", T::TextOrNumber, R::Any, kNoRefusal, &A::animation,
     "NAME or INDEX: the animation of a glTF SOURCE to carry over (default: the first)"},
    {"--fps", "fps", T::Number, R::Any, kNoRefusal, &A::fps,
     "N: sample a glTF SOURCE's animation N times a second (default: at the rate of its keys)", nullptr, kRates,
     kRates},
    {"-j,--jobs", "jobs", T::Whole, R::Batch, kNoRefusal, &A::jobs,
     "worker threads for --batch (default: one per core)", nullptr, kUnchecked, kPythonWorkers},
    {"-q,--quiet", nullptr, T::Flag, R::CommandLine, kNoRefusal, &A::quiet,
     "print nothing but warnings and errors (and --report -)"},
};

// Whether an option's value type fits its field.
constexpr bool Fits(const OptionDescriptor& option) {
  const OptionMember& member = option.member;
  switch (option.type) {
    case T::Flag: return std::holds_alternative<bool A::*>(member);
    case T::Text:
    case T::TextOrNumber:
    case T::Shard: return std::holds_alternative<std::string A::*>(member);
    case T::List: return std::holds_alternative<std::optional<std::string> A::*>(member);
    case T::Whole:
      return std::holds_alternative<std::int64_t A::*>(member) || std::holds_alternative<unsigned A::*>(member);
    case T::Number: return std::holds_alternative<double A::*>(member);
  }
  return false;
}

// Whether a keyword is the long name without "--" and with underscores.
constexpr bool KeywordOfName(std::string_view keyword, std::string_view name) {
  if (!name.starts_with("--") || keyword.size() + 2 != name.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i)
    if (keyword[i] != (name[i + 2] == '-' ? '_' : name[i + 2])) return false;
  return true;
}

// What the command line and Python rely on: the value type fits the field,
// Python takes every option but the command line's own under its long name,
// only batch options need --batch, and numbers have Python bounds.
constexpr bool Consistent(const OptionDescriptor& option) {
  const bool numeric = option.type == T::Whole || option.type == T::Number;
  const bool keyword = option.keyword && KeywordOfName(option.keyword, LongName(option));
  return Fits(option) && (option.runs == R::CommandLine ? !option.keyword : keyword) &&
         (!(option.refusals & kWithoutBatch) || option.runs == R::Batch) &&
         numeric == (option.keywordRange.words != nullptr);
}
static_assert(std::all_of(std::begin(kOptions), std::end(kOptions), Consistent));

}  // namespace

std::span<const OptionDescriptor> OptionTable() { return kOptions; }

}  // namespace norvo::retarget
