// The command line's options: what the user typed (arguments.h holds what
// it means).
#pragma once
#include <optional>

#include "norvo/retarget/app/arguments.h"

namespace norvo::retarget::cli {

inline constexpr const char* kTool = "norvo-retarget";

// Parses the command line into `arguments`. Returns the exit code when the
// tool is done (help shown: 0; wrong arguments: 1, said on stderr), or
// nothing when it goes on.
std::optional<int> ParseCommandLine(int argc, char** argv, Arguments& arguments);

}  // namespace norvo::retarget::cli
