#include "norvo/retarget/app/install.h"
#include "norvo/retarget/io/fbx.h"
#include "norvo/retarget/analysis/page.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <dlfcn.h>
#include <link.h>
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

// The folder of the file this code was loaded from, without a trailing
// '/': the program's, or that of the shared object it is part of (the
// Python extension). False when it cannot be found.
bool OwnFolder(char (&folder)[PATH_MAX]) noexcept {
  static const char marker = 0;
  Dl_info info;
  link_map* map = nullptr;
  char resolved[PATH_MAX];
  if (::dladdr1(&marker, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) && map && map->l_name &&
      map->l_name[0]) {
    if (!::realpath(map->l_name, resolved)) return false;
  } else {  // the program itself has no name of its own there
    const ssize_t length = ::readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    if (length <= 0) return false;
    resolved[length] = '\0';
  }
  char* slash = std::strrchr(resolved, '/');
  if (resolved[0] != '/' || !slash) return false;
  *slash = '\0';
  std::snprintf(folder, sizeof folder, "%s", resolved);
  return true;
}

// The path of `installed` (relative to the install prefix) when this code
// runs from an installed host, a program in the prefix's folder of
// programs or the Python extension in its folder of Python modules, and
// that file exists; otherwise `built`.
struct Located {
  char path[PATH_MAX];

  Located(const char* installed, const char* built) noexcept {
    char folder[PATH_MAX];
    if (OwnFolder(folder)) {
      const std::size_t length = std::strlen(folder);
      for (const char* host : {"/" NORVO_RETARGET_INSTALLED_PROGRAMS, "/" NORVO_RETARGET_INSTALLED_PYTHON}) {
        const std::size_t size = std::strlen(host);
        if (length < size || std::strcmp(folder + length - size, host) != 0) continue;
        struct stat status;
        const int written = std::snprintf(path, sizeof path, "%.*s/%s", int(length - size), folder, installed);
        if (written > 0 && std::size_t(written) < sizeof path && ::stat(path, &status) == 0) {
          Normalize(path);
          return;
        }
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

void UseInstalledPrograms() noexcept {
  SetFbxReader(FbxReaderPath());
  try {
    if (sizeof(NORVO_RETARGET_BUILT_VIEWER) > 1) {
      static const Located script(NORVO_RETARGET_INSTALLED_VIEWER, NORVO_RETARGET_BUILT_VIEWER);
      static const Located licences(NORVO_RETARGET_INSTALLED_VIEWER_LICENCES, NORVO_RETARGET_BUILT_VIEWER_LICENCES);
      SetViewer(script.path, licences.path, "");
    } else {
      SetViewer("", "", NORVO_RETARGET_VIEWER_WHY);
    }
  } catch (const std::bad_alloc&) {
    // Without memory for three short paths the page is the 2D one.
  }
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
