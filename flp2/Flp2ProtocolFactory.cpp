#include "Flp2ProtocolFactory.h"

#include "Flp2Protocol.h"
#include "SessionProtocol.h"

std::unique_ptr<Protocol> Flp2ProtocolFactory::create(const std::string& version) {
  if (version == "flp20") return std::make_unique<flp2::Protocol>(0);
  if (version == "flp20_s") return std::make_unique<flp2::SessionProtocol>(0);
  return nullptr;
}

bool Flp2ProtocolFactory::supports(const std::string& version) { return version == "flp20" || version == "flp20_s"; }
