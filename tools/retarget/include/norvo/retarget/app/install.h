// Where the tool finds the retargeting module, its shipped presets and the
// FBX reader: in the install prefix of an installed host (the command line
// in the prefix's folder of programs, the Python extension in its folder of
// Python modules), or else in the build tree it was built in.
#pragma once
#include "norvo/registry.h"
#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

// Worked out once, in fixed storage: they neither allocate nor fail.
const char* ModulePath() noexcept;
const char* ShippedPresetFolder() noexcept;
// The FBX reader process, norvo-fbx-read (fbx.h).
const char* FbxReaderPath() noexcept;
// Hands the install's programs to the layers that run them (the FBX reader
// to io/fbx.h); a host calls it once at its start.
void UseInstalledPrograms() noexcept;
// Loads the module as a host does; the tool never links it.
Outcome<Module> LoadRetargetModule();

}  // namespace norvo::retarget
