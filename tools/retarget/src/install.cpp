#include "norvo/retarget/install.h"

#include <filesystem>
#include <new>
#include <system_error>

namespace norvo::retarget {

namespace {

// `relative` to the folder of the running binary, when that exists;
// otherwise `built`.
std::string Locate(const char* relative, const char* built) {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    std::filesystem::path installed = exe.parent_path() / relative;
    if (std::filesystem::exists(installed, error)) return installed.lexically_normal().string();
  }
  return built;
}

}  // namespace

std::string ModulePath() { return Locate(NORVO_RETARGET_INSTALLED_MODULE, NORVO_RETARGET_BUILT_MODULE); }

std::string ShippedPresetFolder() { return Locate(NORVO_RETARGET_INSTALLED_PRESETS, NORVO_RETARGET_BUILT_PRESETS); }

Outcome<Module> LoadRetargetModule() {
  try {
    std::string path = ModulePath();
    Result<Module> module = Module::Load(path.c_str());
    if (!module && module.error().kind() == ErrorKind::OutOfMemory) return OutOfMemory();
    if (!module)
      return MakeFailure(FailureKind::Internal,
                         std::string("cannot load the retargeting module: ") + ErrorKindName(module.error().kind()) +
                             (*module.error().message() ? std::string(": ") + module.error().message() : ""),
                         path);
    return std::move(module).value();
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
