// Loads the installed module from the path its package gives and makes one
// object through it.
#include "norvo/registry.h"
#include "norvo/retargetbase.h"

int main() {
  int status = 1;
  {
    norvo::Result<norvo::Module> module = norvo::Module::Load(NORVO_RETARGETBASE_MODULE);
    if (module) status = norvo::CharacterNodeInfoInterface::CreateNodeInfo(norvo::Uuid(), norvo::String()) ? 0 : 3;
  }
  norvo::ShutdownFramework();
  return status;
}
