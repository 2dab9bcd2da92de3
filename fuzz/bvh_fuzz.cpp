// Fuzzes the BVH reader: any text is read or refused with a failure, never
// a crash, and a clip that is read writes back to a text that reads again
// to the same skeleton and frame count.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "norvo/retarget/io/bvh.h"

using namespace norvo::retarget;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Limits that keep one run short; the reader's checks are the same at any
  // size.
  const BvhLimits limits{1 << 20, 4096, 4096, 100000};
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Outcome<Motion> clip = ParseBvh(text, "fuzz.bvh", limits);
  if (!clip) {
    if (clip.failure().message.empty()) __builtin_trap();
    return 0;
  }
  Outcome<std::string> written = FormatBvh(clip.value());
  if (!written) __builtin_trap();  // every value read is finite
  Outcome<Motion> again = ParseBvh(written.value(), "again.bvh");
  if (!again) __builtin_trap();
  if (again.value().skeleton.joints.size() != clip.value().skeleton.joints.size() ||
      again.value().FrameCount() != clip.value().FrameCount())
    __builtin_trap();
  return 0;
}
