// The option table as the arguments' checks read it: which runs refuse which
// options, each with its message; and the request every caller gets from
// the arguments.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <type_traits>
#include <variant>

#include "norvo/retarget/app/arguments.h"
#include "norvo/retarget/app/optiontable.h"

namespace norvo::retarget {
namespace {

// `arguments` with one option given: `text`, true or 1.
Arguments With(Arguments arguments, const OptionDescriptor& option, const std::string& text) {
  std::visit(
      [&](auto member) {
        auto& field = arguments.*member;
        using Field = std::remove_reference_t<decltype(field)>;
        if constexpr (std::is_same_v<Field, bool>) field = true;
        else if constexpr (std::is_arithmetic_v<Field>) field = 1;
        else field = text;
      },
      option.member);
  return arguments;
}

// The options `check` refuses with `message`, each given alone on `base`.
std::set<std::string> Refused(const std::function<Outcome<void>(const Arguments&)>& check, const Arguments& base,
                              const std::string& text, const std::function<std::string(std::string)>& message) {
  std::set<std::string> refused;
  for (const OptionDescriptor& option : OptionTable()) {
    const std::string name(LongName(option));
    const Outcome<void> checked = check(With(base, option, text));
    if (!checked && checked.failure().kind == FailureKind::Usage && checked.failure().Text() == message(name))
      refused.insert(name);
  }
  return refused;
}

TEST(OptionTable, EachRunRefusesItsOptions) {
  const Arguments none;
  const std::string missing = "SOURCE.bvh is missing: give SOURCE.bvh --target TARGET.bvh -o OUT.bvh, or ";
  EXPECT_EQ(Refused(CheckBatchOnly, none, "x", [](std::string name) { return name + " goes with --batch FOLDER"; }),
            (std::set<std::string>{"--recursive", "--shard", "--manifest", "--resume"}));
  const auto rigAlone = [](const Arguments& arguments) { return CheckWithoutSource(arguments, true); };
  EXPECT_EQ(Refused(rigAlone, none, "x",
                    [&](std::string) { return missing + "--target TARGET.bvh --save-rig RIG.json alone"; }),
            (std::set<std::string>{"--output", "--frames", "--source-preset", "--source-rig"}));
  const auto sample = [](const Arguments& arguments) { return CheckWithoutSource(arguments, false); };
  EXPECT_EQ(Refused(sample, none, "x", [&](std::string) { return missing + "no arguments for the built-in sample"; }),
            (std::set<std::string>{"--target", "--output", "--frames", "--preset", "--source-preset", "--report",
                                   "--svg", "--html", "--source-rig"}));
  // A batch refuses "-" (standard output) for each clip's files.
  Arguments batch;
  batch.batch = "clips";
  batch.target = "target.bvh";
  batch.output = "out";
  const std::vector<Preset> presets;
  const auto folder = [&](const Arguments& arguments) -> Outcome<void> {
    RETARGET_TRY(MakeFolderBatch(arguments, presets));
    return {};
  };
  EXPECT_EQ(Refused(folder, batch, "-",
                    [](std::string name) {
                      return name + " - prints one clip's file; with --batch give a file name (each clip writes "
                                    "CLIP.NAME)";
                    }),
            (std::set<std::string>{"--report", "--svg", "--save-rig", "--html"}));
  EXPECT_TRUE(folder(batch));
}

// The request holds the files, the presets and the options the arguments
// name; a batch's clip the same.
TEST(OptionTable, RequestIsCompleteForEveryCaller) {
  Arguments arguments;
  arguments.source = "walk.bvh";
  arguments.target = "rig.bvh";
  arguments.preset = "generic";
  arguments.report = "report.json";
  arguments.rootMotion = "extract";
  arguments.lockAxis = "z";
  arguments.skin = 1;
  const std::vector<Preset> presets;
  const Outcome<ClipRequest> made = MakeRequest(arguments, presets);
  ASSERT_TRUE(made) << made.failure().Text();
  const ClipRequest& request = made.value();
  EXPECT_EQ(request.source, "walk.bvh");
  EXPECT_EQ(request.target, "rig.bvh");
  EXPECT_EQ(request.presets, &presets);
  ASSERT_TRUE(request.targetPreset);
  EXPECT_EQ(request.targetPreset->name, "generic");
  EXPECT_FALSE(request.sourcePreset);
  EXPECT_EQ(request.outputs.report, "report.json");
  EXPECT_EQ(request.root.motion, RootMotion::Extract);
  EXPECT_EQ(request.root.lockAxis, 2);
  EXPECT_EQ(request.read.skin, 1);

  arguments.source.clear();
  arguments.batch = "clips";
  arguments.output = "out";
  const Outcome<FolderBatch> batch = MakeFolderBatch(arguments, presets);
  ASSERT_TRUE(batch) << batch.failure().Text();
  EXPECT_EQ(batch.value().clip.target, "rig.bvh");
  ASSERT_TRUE(batch.value().clip.targetPreset);
  EXPECT_EQ(batch.value().clip.targetPreset->name, "generic");

  arguments.sourcePreset = "nope";
  const Outcome<FolderBatch> unknown = MakeFolderBatch(arguments, presets);
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.failure().Text().rfind("unknown preset 'nope': give a JSON file", 0), 0u)
      << unknown.failure().Text();
}

}  // namespace
}  // namespace norvo::retarget
