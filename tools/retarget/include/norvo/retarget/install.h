// Where the tool finds the retargeting module and its shipped presets: next
// to an installed binary (the installed layout, relative to the binary), or
// else in the build tree it was built in.
#pragma once
#include <string>

#include "norvo/registry.h"
#include "norvo/retarget/outcome.h"

namespace norvo::retarget {

std::string ModulePath();
std::string ShippedPresetFolder();
// Loads the module as a host does; the tool never links it.
Outcome<Module> LoadRetargetModule();

}  // namespace norvo::retarget
