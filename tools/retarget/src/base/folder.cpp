#include "norvo/retarget/base/folder.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <system_error>

#include <dirent.h>
#include <sys/stat.h>

namespace norvo::retarget {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool Passes(std::string_view name, const FolderFilter& filter) {
  if (name.size() <= filter.extension.size()) return false;
  const std::string_view end = name.substr(name.size() - filter.extension.size());
  if (!filter.ignoreCase) return end == filter.extension;
  return std::equal(end.begin(), end.end(), filter.extension.begin(),
                    [](char a, char b) { return Lower(a) == Lower(b); });
}

Failure CannotList(int error, const std::string& folder, const char* what) {
  if (error == ENOMEM) return OutOfMemory();
  return MakeFailure(FailureKind::Io,
                     std::string("cannot list the ") + what + ": " + std::generic_category().message(error), folder);
}

}  // namespace

Outcome<std::vector<std::string>> ListFolder(const std::string& folder, const FolderFilter& filter, const char* what) {
  try {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return CannotList(errno, folder, what);
    std::unique_ptr<DIR, int (*)(DIR*)> closing(dir, &::closedir);
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    std::vector<std::string> files;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir);
      if (!entry) {
        if (errno != 0) return CannotList(errno, folder, what);
        break;
      }
      const std::string_view name = entry->d_name;
      if (name == "." || name == ".." || !Passes(name, filter)) continue;
      std::string path = prefix + entry->d_name;
      struct stat status;
      if (filter.regularFilesOnly && (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))) continue;
      files.push_back(std::move(path));
    }
    std::sort(files.begin(), files.end());
    return files;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
