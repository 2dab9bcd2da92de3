// The frames of a clip that a job retargets.
#pragma once
#include <cstdint>
#include <string>

#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

// Frames "A:B" of a clip of `count` frames: from A up to but not including
// B, counted from 0; "A:" and ":B" leave an end open, "" takes them all.
// Usage when the text is not that or the frames are not within the clip.
Outcome<void> ParseFrames(const std::string& text, std::int64_t count, std::int64_t& first, std::int64_t& last);

}  // namespace norvo::retarget
