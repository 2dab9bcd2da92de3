// The tool's options, each described once: the command line builds its
// options from this list, the Python package reads its keyword arguments
// with it, and the arguments' checks take from it which runs refuse what.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "norvo/retarget/app/arguments.h"

namespace norvo::retarget {

// What an option's value is, and so what Python takes for it.
enum class OptionType {
  Text,          // a text: a file name or a word (Python: a str or a path)
  TextOrNumber,  // a text that may be a number (Python: also a number)
  Flag,          // given or not (Python: True or False)
  List,          // names separated by commas (Python: also a list or tuple)
  Whole,         // a whole number
  Number,        // a number
  Shard,         // "I/N" (Python: also a pair)
};

// Which runs take an option.
enum class OptionRuns {
  CommandLine,  // the command line alone: Python passes it otherwise
  Any,          // a clip, a folder batch and Python's Retargeter
  Outputs,      // a file a clip writes: a clip and a batch, which refuses "-" for it
  Batch,        // a folder batch alone
};

// The runs that refuse an option when it is given.
enum OptionRefusal : unsigned {
  kNoRefusal = 0,
  kWithoutBatch = 1,  // a run without --batch FOLDER
  kRigAlone = 2,      // --save-rig without SOURCE: only the target rig is written
  kSample = 4,        // no SOURCE: the built-in sample
};

// A number's bounds and the words a refusal names them with; none when
// `words` is null.
struct OptionRange {
  double low = 0.0, high = 0.0;
  bool whole = false;
  const char* words = nullptr;
};

using OptionMember = std::variant<std::string Arguments::*, std::optional<std::string> Arguments::*, bool Arguments::*,
                                  std::int64_t Arguments::*, unsigned Arguments::*, double Arguments::*>;

struct OptionDescriptor {
  const char* names;    // the command line's, as "-t,--target", "--lock-feet" or "SOURCE"
  const char* keyword;  // Python's keyword argument; null when it has none
  OptionType type;
  OptionRuns runs;
  unsigned refusals;  // OptionRefusal: the runs that refuse it
  OptionMember member;
  const char* help;
  const char* shown = nullptr;    // the default the help shows, if any
  OptionRange range = {};         // the command line's check
  OptionRange keywordRange = {};  // Python's check (whole numbers and numbers)
};

// Every option, in the order the help lists them.
std::span<const OptionDescriptor> OptionTable();
// An option's long name: "--lock-axis", or "SOURCE".
constexpr std::string_view LongName(const OptionDescriptor& option) {
  const std::string_view names = option.names;
  return names.substr(names.rfind(',') + 1);  // npos + 1: from the start
}

}  // namespace norvo::retarget
