// Where the tool finds the retargeting module and its shipped presets: next
// to an installed binary (the installed layout, relative to the binary), or
// else in the build tree it was built in.
#pragma once
#include "norvo/registry.h"
#include "norvo/retarget/outcome.h"

namespace norvo::retarget {

// Worked out once, in fixed storage: they neither allocate nor fail.
const char* ModulePath() noexcept;
const char* ShippedPresetFolder() noexcept;
// The FBX reader process, norvo-fbx-read (fbx.h).
const char* FbxReaderPath() noexcept;
// Loads the module as a host does; the tool never links it.
Outcome<Module> LoadRetargetModule();

}  // namespace norvo::retarget
