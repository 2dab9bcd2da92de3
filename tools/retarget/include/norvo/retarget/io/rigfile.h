// Rig files: a filled rig kept as JSON, so that a hand-corrected mapping can
// be reused. The file holds the rig's character definition as the framework
// writes objects (skeleton tree, body parts with their skeleton nodes and
// keywords, rest pose), and beside it the section "norvo-retarget" with what
// the tool needs to write BVH motion for the rig: its name, the preset that
// filled it and per joint the name, parent, offset, channels and End Sites.
// A rig read back keeps its body parts as the file has them; no preset runs.
#pragma once
#include <string>

#include "norvo/jsonio.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

inline constexpr const char* kRigSection = "norvo-retarget";

// The text of a rig file for `rig`.
Outcome<std::string> FormatRigFile(const Rig& rig);
Outcome<void> WriteRigFile(const Rig& rig, const std::string& path);

// A rig from the text of a rig file; `fileName` names the file in failures.
// A text that is not a rig file, or whose skeleton, body parts and rest pose
// do not fit each other, is BadInput. So is a text past one of `limits`
// (the JSON reader's: text size, nesting depth, object count, array
// length), with a message that names the limit.
Outcome<Rig> ParseRigFile(const std::string& text, const std::string& fileName, const JsonLimits& limits = {});
// A file larger than limits.textBytes is refused before it is read.
Outcome<Rig> ReadRigFile(const std::string& path, const JsonLimits& limits = {});

}  // namespace norvo::retarget
