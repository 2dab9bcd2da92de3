// The start of the fuzz programs that reach the module: it is loaded once,
// as a host loads it, and stays loaded for the whole run.
#include <cstdio>
#include <cstdlib>

#include "norvo/registry.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static norvo::Result<norvo::Module> module = norvo::Module::Load(NORVO_FUZZ_MODULE_PATH);
  if (!module) {
    std::fprintf(stderr, "cannot load the module: %s\n", module.error().message());
    std::abort();
  }
  return 0;
}
