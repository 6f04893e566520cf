// flp1xsvc: the FLP 1.x protocol service.
#include "Flp1xProtocolFactory.h"
#include "framework/ServiceMain.h"

int main() {
  Flp1xProtocolFactory factory;
  return serviceMain(factory, ServiceMainOptions{"flp1xsvc", true, "com.kestrova.Quorvel.Flp1x", "/com/kestrova/Quorvel/Flp1x"});
}
