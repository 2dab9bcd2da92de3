// Listing the files of a folder for the tool's readers. Listed with opendir
// and readdir: std::filesystem's directory iterator ends the process when it
// runs out of memory.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

struct FolderFilter {
  std::string_view extension;     // names that end in it and are longer than it, e.g. ".bvh"
  bool ignoreCase = false;        // ASCII letters of the extension match in either case
  bool regularFilesOnly = false;  // leave out folders and special files; links are followed
};

// The paths ("folder/name") of the entries of `folder` that pass `filter`,
// sorted. Io "cannot list the <what>: <reason>" when the folder cannot be
// read; OutOfMemory.
Outcome<std::vector<std::string>> ListFolder(const std::string& folder, const FolderFilter& filter,
                                             const char* what = "folder");

}  // namespace norvo::retarget
