// The protocol factory of flp1xsvc: serves "flp1x".
//
// Threads: supports is called from the event thread, create from the main
// thread; both are stateless.
#pragma once

#include "framework/ProtocolApp.h"

class Flp1xProtocolFactory : public ProtocolFactory {
 public:
  std::unique_ptr<Protocol> create(const std::string& version) override;
  bool supports(const std::string& version) override;
  std::vector<std::string> versions() override { return {"flp1x"}; }
};
