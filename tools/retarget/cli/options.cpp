#include "options.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <type_traits>
#include <variant>

#include "norvo/retarget/app/install.h"
#include "norvo/retarget/app/optiontable.h"
#include "norvo/retarget/rig/preset.h"

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

// The options of the option table, each into its field of `arguments`.
void AddOptions(CLI::App& app, Arguments& arguments) {
  for (const OptionDescriptor& descriptor : OptionTable()) {
    CLI::Option* option = std::visit(
        [&](auto member) {
          auto& field = arguments.*member;
          if constexpr (std::is_same_v<std::remove_reference_t<decltype(field)>, bool>)
            return app.add_flag(descriptor.names, field, descriptor.help);
          else return app.add_option(descriptor.names, field, descriptor.help);
        },
        descriptor.member);
    if (descriptor.shown) option->default_str(descriptor.shown);
    const OptionRange& range = descriptor.range;
    if (range.words) option->check(Between(range.low, range.high, range.words, range.whole));
  }
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
