// The one hash of the framework for texts and bytes: 64-bit FNV-1a. It is
// constexpr, so interface declarations hash their ids at compile time with
// the same function that hashes texts and Uuids at run time.
#pragma once
#include <string_view>

#include "norvo/types.h"

namespace norvo {

constexpr UInt Fnv1aHash(std::string_view bytes) noexcept {
  UInt h = 14695981039346656037ull;
  for (char c : bytes) h = (h ^ UInt(static_cast<unsigned char>(c))) * 1099511628211ull;
  return h;
}

}  // namespace norvo
