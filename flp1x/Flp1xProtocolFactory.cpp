#include "Flp1xProtocolFactory.h"

// The engine is not part of this build yet: the supported version gets no
// engine, which the application reports as a version it cannot create.
Protocol* Flp1xProtocolFactory::create(const std::string& version) {
  (void)version;
  return nullptr;
}

bool Flp1xProtocolFactory::supports(const std::string& version) { return version == "flp1x"; }
