// The one hash of the framework: 64-bit FNV-1a over bytes. Ids, strings and
// Uuids hash through it; it is constexpr so interface declarations can carry
// the hash of their id.
#pragma once
#include <string_view>

#include "norvo/types.h"

namespace norvo {

constexpr UInt HashBytesOf(std::string_view bytes) noexcept {
  UInt h = 14695981039346656037ull;
  for (char c : bytes) h = (h ^ UInt(static_cast<unsigned char>(c))) * 1099511628211ull;
  return h;
}

}  // namespace norvo
