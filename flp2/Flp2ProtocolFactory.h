// The protocol factory of flp2svc: serves "flp20" and "flp20_s".
//
// Threads: supports is called from the event thread, create from the main
// thread; both are stateless.
#pragma once

#include "framework/ProtocolApp.h"

class Flp2ProtocolFactory : public ProtocolFactory {
 public:
  std::unique_ptr<Protocol> create(const std::string& version) override;
  bool supports(const std::string& version) override;
  std::vector<std::string> versions() override { return {"flp20", "flp20_s"}; }
};
