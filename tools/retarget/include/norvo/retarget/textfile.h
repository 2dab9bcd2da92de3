// Reading a whole text file under a size limit, for the tool's readers.
#pragma once
#include <cstdint>
#include <string>

#include "norvo/retarget/outcome.h"

namespace norvo::retarget {

// BadInput "the <what> is larger than the limit of N bytes".
Failure TooLarge(std::int64_t limit, const std::string& file, const char* what = "file");

// The text of `path`, refused unread when it is larger than `maxBytes`.
// Io "cannot open the <what>" / "cannot read the <what>"; OutOfMemory.
Outcome<std::string> ReadTextFile(const std::string& path, std::int64_t maxBytes, const char* what = "file");

}  // namespace norvo::retarget
