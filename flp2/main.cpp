// flp2svc: the FLP 2.0 protocol service.
#include "Flp2ProtocolFactory.h"
#include "framework/ServiceMain.h"

int main() {
  Flp2ProtocolFactory factory;
  return serviceMain(factory, ServiceMainOptions{"flp2svc", false, "com.kestrova.Quorvel.Flp2", "/com/kestrova/Quorvel/Flp2"});
}
