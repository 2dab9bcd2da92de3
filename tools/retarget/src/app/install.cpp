#include "norvo/retarget/install.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace norvo::retarget {

namespace {

static_assert(sizeof(NORVO_RETARGET_BUILT_MODULE) <= PATH_MAX && sizeof(NORVO_RETARGET_BUILT_PRESETS) <= PATH_MAX);

// Drops "." and empty parts of an absolute path and lets ".." take back the
// part before it, in place.
void Normalize(char* path) {
  char* out = path;  // the normalized path so far, without a trailing '/'
  for (const char* in = path; *in;) {
    while (*in == '/') ++in;
    const char* end = in;
    while (*end && *end != '/') ++end;
    const std::size_t length = std::size_t(end - in);
    if (length == 0 || (length == 1 && in[0] == '.')) {
      // nothing to keep
    } else if (length == 2 && in[0] == '.' && in[1] == '.') {
      while (out > path && *--out != '/') {
      }
    } else {
      *out++ = '/';
      std::memmove(out, in, length);
      out += length;
    }
    in = end;
  }
  if (out == path) *out++ = '/';
  *out = '\0';
}

// The path of `relative` beside the running binary, when that exists;
// otherwise `built`.
struct Located {
  char path[PATH_MAX];

  Located(const char* relative, const char* built) noexcept {
    char exe[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length > 0 && exe[0] == '/') {
      exe[length] = '\0';
      *std::strrchr(exe, '/') = '\0';
      struct stat status;
      const int written = std::snprintf(path, sizeof path, "%s/%s", exe, relative);
      if (written > 0 && std::size_t(written) < sizeof path && ::stat(path, &status) == 0) {
        Normalize(path);
        return;
      }
    }
    std::snprintf(path, sizeof path, "%s", built);
  }
};

}  // namespace

const char* ModulePath() noexcept {
  static const Located located(NORVO_RETARGET_INSTALLED_MODULE, NORVO_RETARGET_BUILT_MODULE);
  return located.path;
}

const char* FbxReaderPath() noexcept {
  static const Located located(NORVO_RETARGET_INSTALLED_FBX_READER, NORVO_RETARGET_BUILT_FBX_READER);
  return located.path;
}

const char* ShippedPresetFolder() noexcept {
  static const Located located(NORVO_RETARGET_INSTALLED_PRESETS, NORVO_RETARGET_BUILT_PRESETS);
  return located.path;
}

Outcome<Module> LoadRetargetModule() {
  try {
    const char* path = ModulePath();
    Result<Module> module = Module::Load(path);
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
