#include "Flp1xProtocolFactory.h"

#include "Flp1xProtocol.h"

std::unique_ptr<Protocol> Flp1xProtocolFactory::create(const std::string& version) {
  if (version == "flp1x") return std::make_unique<Flp1xProtocol>();
  return nullptr;
}

bool Flp1xProtocolFactory::supports(const std::string& version) { return version == "flp1x"; }
