// Loads the installed module and makes one object through it.
#include "norvo/registry.h"
#include "norvo/retargetbase.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int status = 1;
  {
    norvo::Result<norvo::Module> module = norvo::Module::Load(argv[1]);
    if (module) status = norvo::CharacterNodeInfoInterface::CreateNodeInfo(norvo::Uuid(), norvo::String()) ? 0 : 3;
  }
  norvo::ShutdownFramework();
  return status;
}
