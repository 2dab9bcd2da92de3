// Plain value types of the framework.
#pragma once
#include <cstdint>

namespace norvo {

using Bool = bool;
using Int = std::int64_t;
using UInt = std::uint64_t;
using Float64 = double;

// The optional format statement that text conversions receive. The host passes
// it through to its own conversions; this layer's conversions do not read it.
struct FormatStatement {};

}  // namespace norvo
