// Reading a whole text file under a size limit, and writing one, for the
// tool's readers and writers.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "norvo/retarget/outcome.h"

namespace norvo::retarget {

// BadInput "the <what> is larger than the limit of N bytes".
Failure TooLarge(std::int64_t limit, const std::string& file, const char* what = "file");

// The text of `path`, refused unread when it is larger than `maxBytes`.
// Io "cannot open the <what>" / "cannot read the <what>"; OutOfMemory.
Outcome<std::string> ReadTextFile(const std::string& path, std::int64_t maxBytes, const char* what = "file");

// Writes `text` to `path`, replacing what was there.
// Io "cannot create the <what>" / "cannot write the <what>"; OutOfMemory.
Outcome<void> WriteTextFile(const std::string& path, std::string_view text, const char* what = "file");

}  // namespace norvo::retarget
