// Fuzzes the rig file reader: the module is loaded at start, as the tool
// does; any text is read or refused with a failure, never a crash, and a rig
// that is read writes back to a text that reads again and writes the same
// text once more.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "norvo/retarget/io/rigfile.h"

using namespace norvo;
using namespace norvo::retarget;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Limits that keep one run short; the reader's checks are the same at any
  // size.
  JsonLimits limits;
  limits.textBytes = 1 << 20;
  limits.objects = 4096;
  limits.arrayLength = 4096;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Outcome<Rig> rig = ParseRigFile(text, "fuzz.json", limits);
  if (!rig) {
    if (rig.failure().message.empty()) __builtin_trap();
    return 0;
  }
  Outcome<std::string> written = FormatRigFile(rig.value());
  if (!written) __builtin_trap();
  Outcome<Rig> again = ParseRigFile(written.value(), "again.json");
  if (!again) {
    std::fprintf(stderr, "the written rig does not read again: %s\n", again.failure().Text().c_str());
    __builtin_trap();
  }
  Outcome<std::string> rewritten = FormatRigFile(again.value());
  if (!rewritten || rewritten.value() != written.value()) __builtin_trap();
  return 0;
}
