#include "Flp2ProtocolFactory.h"

// The engines are not part of this build yet: a supported version gets no
// engine, which the application reports as a version it cannot create.
Protocol* Flp2ProtocolFactory::create(const std::string& version) {
  (void)version;
  return nullptr;
}

bool Flp2ProtocolFactory::supports(const std::string& version) {
  return version == "flp20" || version == "flp20_s";
}
