#include "options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "norvo/retarget/install.h"
#include "norvo/retarget/preset.h"

namespace norvo::retarget::cli {

namespace {

// A number from `low` to `high` (a whole one when `whole`), refused in the
// tool's words: no NaN, no bound written out to three hundred digits.
CLI::Validator Between(double low, double high, const char* range, bool whole) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end != text.c_str() && *end == '\0' && value >= low && value <= high &&
            (!whole || value == std::floor(value)))
          return {};
        return std::string("takes ") + range;
      },
      "");
}

std::string Footer() {
  std::string footer =
      "Without SOURCE the tool runs its built-in sample and says where it wrote the files.\n"
      "With --batch, each clip's result keeps the clip's file name in OUTFOLDER, and --report, --svg and --save-rig "
      "NAME write CLIP.NAME there for each clip. For a whole library: --recursive takes the subfolders, --shard I/N "
      "one share of the clips per run (retarget-shard.sh, shipped with the tool, runs one per task of a job array), "
      "--manifest FILE.jsonl a line per clip, and --resume goes on where a stopped run left off.\n"
      "A file name - writes that file to standard output instead of the summary (one such output at a time).\n"
      "Exit codes: 0 done, 1 wrong arguments, 2 a file that cannot be read or written or is malformed, "
      "3 an internal failure or out of memory, 130 and 143 stopped by Ctrl-C (SIGINT) or SIGTERM.\n";
  Outcome<std::vector<Preset>> shipped = ReadPresetFolder(ShippedPresetFolder());
  if (shipped) {
    footer += std::string("Shipped presets (") + ShippedPresetFolder() + "):\n";
    for (const Preset& preset : shipped.value()) footer += "  " + preset.name + ": " + preset.description + "\n";
  }
  return footer;
}

void AddOptions(CLI::App& app, Arguments& arguments) {
  app.add_option("SOURCE", arguments.source,
                 "the clip whose motion is carried over: BVH, or glTF, GLB, VRM or VRM animation with an animation");
  app.add_option("-t,--target", arguments.target,
                 "the BVH, glTF, GLB or VRM file whose skeleton receives the motion (its frames are not read), or a "
                 "rig file (.json) written by --save-rig");
  app.add_option("-o,--output", arguments.output,
                 "the file to write, by its extension: .bvh (the target's skeleton with the motion), .glb, .gltf or "
                 ".vrm (a copy of a glTF or VRM target with the motion as its first animation; another target as a "
                 "skinned node tree), .vrma (the target's humanoid bones); - writes BVH to standard output (with "
                 "--batch: the folder)");
  app.add_option("--preset", arguments.preset,
                 "body-part preset of the target: a shipped preset's name, generic (the skeleton's shape) or a JSON "
                 "file (default: auto, the shipped preset that explains the rig best, or generic where none fits)");
  app.add_option("--source-preset", arguments.sourcePreset, "the same for the source");
  app.add_option("--frames", arguments.frames,
                 "A:B retargets frames A up to but not including B, counted from 0 (A: or :B leave an end open)");
  app.add_option("--translation-scale", arguments.translationScale,
                 "auto, none or a number: the factor on the root's displacement; auto is the target's hip height "
                 "over the source's")
      ->default_str("auto");
  app.add_flag("--no-root-translation", arguments.noRootTranslation,
               "keep the root in place; only rotations are carried over");
  app.add_option("--save-rig", arguments.saveRig,
                 "write the target rig (skeleton, filled body parts, rest pose) to a JSON rig file, which --target "
                 "and --source-rig accept in place of a BVH file; without SOURCE only the rig is written");
  app.add_option("--source-rig", arguments.sourceRig,
                 "a rig file (.json, from --save-rig) for the source instead of SOURCE's skeleton and a preset; "
                 "SOURCE must have the same joints");
  app.add_flag("--no-align", arguments.noAlign,
               "apply the joints' turns on the target's own rest pose instead of one aligned to the source's bone "
               "directions, and spread no chains: the plain solver result");
  app.add_option("--spread-chains", arguments.spreadChains,
                 "PARTS: body parts (comma-separated) whose chains are spread over the target's when their joint "
                 "counts differ, or none (default: Spine,Neck; none with --no-align)");
  app.add_flag("--round-trip", arguments.roundTrip,
               "retarget the result back onto the source and print how far its body segments point from the "
               "clip's, per segment");
  app.add_flag("--lock-feet", arguments.lockFeet,
               "plant the target's feet while they are in contact (a two-bone leg solve)");
  app.add_flag("--no-contacts", arguments.noContacts,
               "leave the feet as the joint turns put them: no planting during the source's contacts, no floor");
  app.add_option(
      "--floor", arguments.floor,
      "Y: the up coordinate of the floor the result's feet stand on (default: the source's, 0 unless its feet "
      "never come near it)");
  app.add_option("--root-motion", arguments.rootMotion,
                 "keep (the travel on the hips, the default), in-place (as --in-place) or extract (the travel and the "
                 "turn about the up axis on a root joint at floor level: the rig's, or a joint named root added above "
                 "the hips)");
  app.add_option("--lock-axis", arguments.lockAxis, "x, y or z: keep the hips still along that world axis");
  app.add_flag("--in-place", arguments.inPlace,
               "remove the root's travel across the target's up axis, keep its height (for loops)");
  app.add_option("--report", arguments.report,
                 "FILE.json: the match report (body parts, the keyword that took each joint, pairs, what stayed "
                 "unpaired); - prints it as text");
  app.add_option("--svg", arguments.svg,
                 "FILE.svg: stick figures of the source and the result side by side, front and side view, "
                 "six frames over the clip");
  app.add_option("--html", arguments.html,
                 "FILE.html: a page that plays the source and the result side by side in 3D (orbit, zoom, play, a "
                 "frame slider; FILE.html#frame=N opens at frame N); it needs nothing but a browser");
  app.add_option("--batch", arguments.batch,
                 "FOLDER: retarget every .bvh file of FOLDER onto the target; -o names the folder for the results");
  app.add_flag("--recursive", arguments.recursive,
               "with --batch: the clips in FOLDER's subfolders too; each result goes into the same subfolder of "
               "OUTFOLDER");
  app.add_option("--shard", arguments.shard,
                 "I/N: with --batch, only the clips whose place in the sorted list of clips is I modulo N (0 <= I < "
                 "N), so that N runs share a batch; they may write into one OUTFOLDER");
  app.add_option("--manifest", arguments.manifest,
                 "FILE.jsonl: with --batch, append a line of JSON for each clip as it finishes (input, output, "
                 "status, exit code, message, figures, seconds), on the disk before the next");
  app.add_flag("--resume", arguments.resume,
               "with --batch and --manifest: skip the clips whose result is there and whose last line in the "
               "manifest says done, and remove the temporary files a stopped run left beside this run's outputs");
  app.add_option("--skin", arguments.skin,
                 "N: in a glTF, GLB or VRM file, the joints of skin N (counted from 0) make the skeleton (default: "
                 "the first skin; in a VRM model the tree under the humanoid table's hips)")
      ->check(Between(0, 1e9, "a skin's number, counted from 0", true));
  app.add_option("--animation", arguments.animation,
                 "NAME or INDEX: the animation of a glTF SOURCE to carry over (default: the first)");
  app.add_option("--fps", arguments.fps,
                 "N: sample a glTF SOURCE's animation N times a second (default: at the rate of its keys)")
      ->check(Between(1e-3, 1e4, "a number from 0.001 to 10000", false));
  app.add_option("-j,--jobs", arguments.jobs, "worker threads for --batch (default: one per core)");
  app.add_flag("-q,--quiet", arguments.quiet, "print nothing but warnings and errors (and --report -)");
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Arguments& arguments) {
  CLI::App app{std::string("Carries the motion of a clip (BVH, glTF, GLB, VRM animation) onto the skeleton of "
                           "another file (BVH, glTF, GLB, VRM):\n  ") +
                   kTool + " SOURCE.bvh --target TARGET.bvh -o OUT.bvh [OPTIONS]\n  " + kTool +
                   " SOURCE.glb --target TARGET.vrm -o OUT.vrm [OPTIONS]\n  " + kTool +
                   " --batch FOLDER --target TARGET.bvh -o OUTFOLDER [OPTIONS]\n",
               kTool};
  AddOptions(app, arguments);
  app.footer(Footer());
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s: error: %s (see --help)\n", kTool, Printable(Excerpt(error.what(), 400)).c_str());
    return 1;
  }
  return std::nullopt;
}

}  // namespace norvo::retarget::cli
